"""What the driver settles once, before the table is cut into blocks.

Record identifiers and the timestamp are decided here for the whole table;
the judge settings that engines would otherwise read from the environment are
written into the judges; the platform client becomes a factory that each
worker calls once.
"""

from __future__ import annotations

import os
import uuid
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from datetime import datetime
from typing import Any

import pandas as pd

EMPTY_DATA_MESSAGE = "The provided data is empty for metrics computation."

# Judge provider kind -> credentials field -> environment variable the inference
# engines fall back to when the field is empty.
_JUDGE_ENVIRONMENT = {
    "openai": {"url": "OPENAI_BASE_URL", "api_key": "OPENAI_API_KEY"},
    "azure_openai": {"url": "AZURE_OPENAI_ENDPOINT", "api_key": "AZURE_OPENAI_API_KEY"},
}


# --- records modes ------------------------------------------------------------


@dataclass(frozen=True)
class RecordsMode:
    """Where record-level results go: kept in the result, dropped, or written to Parquet."""

    kind: str  # "keep" | "none" | "parquet"
    directory: str | None = None

    @classmethod
    def parse(cls, records: Any) -> RecordsMode:
        """Read "keep", "none" or "parquet:DIR"; anything else is refused."""
        if isinstance(records, RecordsMode):
            return records
        if records in ("keep", "none"):
            return cls(records)
        if isinstance(records, str) and records.startswith("parquet:") and records[len("parquet:"):].strip():
            return cls("parquet", records[len("parquet:"):].strip())
        raise ValueError(f'records must be "keep", "none" or "parquet:DIR", got {records!r}.')


# --- platform client ------------------------------------------------------------


class CredentialsClientFactory:
    """Builds an `APIClient` from fixed credentials; picklable, unlike a client."""

    def __init__(self, credentials: Any) -> None:
        self.credentials = credentials

    def __call__(self) -> Any:
        from tessary.clients.api_client import APIClient

        return APIClient(credentials=self.credentials)


class EnvironmentClient:
    """Stands in for the client built from the worker's environment until a metric uses it.

    Metrics that need no service never touch it, so they run on workers where the
    platform variables are unset; a detector metric gets the usual credentials error.
    """

    def __init__(self) -> None:
        self._client: Any = None

    def __bool__(self) -> bool:
        return True

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        if self._client is None:
            from tessary.clients.api_client import APIClient

            self._client = APIClient()
        return getattr(self._client, name)

    def __getstate__(self) -> dict[str, Any]:
        return {}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self._client = None


def client_factory(api_client_factory: Any) -> Callable[[], Any]:
    """A picklable zero-argument callable that builds one worker's client.

    Accepts None (the worker's environment, built only when needed), a callable,
    `Credentials`, or an `APIClient` (its credentials are used).
    """
    from tessary.clients.api_client import APIClient
    from tessary.entities.credentials import Credentials

    if api_client_factory is None:
        return EnvironmentClient
    if isinstance(api_client_factory, APIClient):
        return CredentialsClientFactory(api_client_factory.credentials)
    if isinstance(api_client_factory, Credentials):
        return CredentialsClientFactory(api_client_factory)
    if callable(api_client_factory):
        return api_client_factory
    raise TypeError(
        "api_client_factory must be a callable returning an APIClient, Credentials or an APIClient, "
        f"got {type(api_client_factory).__name__}."
    )


# --- judge ---------------------------------------------------------------------


def resolve_judge(judge: Any) -> Any:
    """None, an `LLMJudge`, a foundation model, an OpenAI-protocol base URL, or "backend/model"."""
    from tessary.entities.foundation_model import FoundationModel
    from tessary.entities.llm_judge import LLMJudge

    if judge is None or isinstance(judge, LLMJudge):
        return judge
    if isinstance(judge, FoundationModel):
        return LLMJudge(model=judge)
    if isinstance(judge, str) and "://" in judge:
        return _url_judge(judge)
    if isinstance(judge, str) and "/" in judge:
        try:
            from tessary.judging import judge as build_judge
        except ImportError as error:
            raise ValueError(
                f"The judge {judge!r} names a backend and model, which needs tessary.judging; "
                "pass an LLMJudge or the base URL of an OpenAI-protocol server instead."
            ) from error
        return build_judge(judge)
    raise TypeError(
        "judge must be an LLMJudge, a foundation model, a base URL or 'backend/model', "
        f"got {judge!r}."
    )


def _url_judge(url: str) -> Any:
    """`http://host:port/v1#model`: an OpenAI-protocol server, the model after '#' (else "default")."""
    from tessary.entities.foundation_model import (
        OpenAICredentials,
        OpenAIFoundationModel,
        OpenAIModelProvider,
    )
    from tessary.entities.llm_judge import LLMJudge

    base, _, model = url.partition("#")
    credentials = OpenAICredentials(url=base, api_key=os.environ.get("OPENAI_API_KEY") or None)
    return LLMJudge(
        model=OpenAIFoundationModel(
            model_id=model or "default", provider=OpenAIModelProvider(credentials=credentials)
        )
    )


def pin_judge(judge: Any) -> Any:
    """A copy of `judge` whose empty URL and key fields hold what this process's environment says.

    Inference engines fall back to environment variables for these fields; workers
    do not share the driver's environment, so the values travel with the judge.
    """
    if judge is None:
        return None
    provider = getattr(judge.model, "provider", None)
    kind = getattr(getattr(provider, "type", None), "value", None)
    fallbacks = _JUDGE_ENVIRONMENT.get(kind)
    credentials = getattr(provider, "credentials", None)
    if not fallbacks or credentials is None:
        return judge
    update = {
        field: os.environ[variable]
        for field, variable in fallbacks.items()
        if not getattr(credentials, field, None) and os.environ.get(variable)
    }
    if not update:
        return judge
    pinned_provider = provider.model_copy(update={"credentials": credentials.model_copy(update=update)})
    return judge.model_copy(update={"model": judge.model.model_copy(update={"provider": pinned_provider})})


def apply_judge(configuration: Any, metrics: Iterable[Any], judge: Any) -> tuple[Any, list[Any]]:
    """Copies of the configuration and metrics with `judge` filled in and every judge pinned.

    `judge` replaces the configuration's judge and fills metrics whose `llm_judge` is None.
    """
    judge = resolve_judge(judge)
    configuration_judge = judge if judge is not None else configuration.llm_judge
    configuration = configuration.model_copy(update={"llm_judge": pin_judge(configuration_judge)})
    prepared = []
    for metric in metrics:
        if "llm_judge" in type(metric).model_fields:
            own = metric.llm_judge if metric.llm_judge is not None else judge
            metric = metric.model_copy(update={"llm_judge": pin_judge(own)})
        prepared.append(metric)
    return configuration, prepared


# --- record identifiers and timestamp ---------------------------------------------


@dataclass(frozen=True)
class RecordFill:
    """Which columns every block fills, decided once for the whole table.

    A column is filled exactly when the whole table lacks it or holds only nulls in
    it; every record gets its own version-4 UUID and all share one timestamp taken
    on the driver.
    """

    id_column: str
    timestamp_column: str
    fill_ids: bool
    fill_timestamp: bool
    timestamp: str

    @classmethod
    def decide(
        cls, configuration: Any, *, columns: list[str], has_values: Callable[[str], bool]
    ) -> RecordFill:
        """`has_values(column)` tells whether a present column holds any non-null value."""
        id_column = configuration.record_id_field
        timestamp_column = configuration.record_timestamp_field
        fill_ids = id_column not in columns or not has_values(id_column)
        if timestamp_column == id_column:
            fill_timestamp = False  # the identifiers fill it first, as in a whole-table run
        else:
            fill_timestamp = timestamp_column not in columns or not has_values(timestamp_column)
        return cls(id_column, timestamp_column, fill_ids, fill_timestamp, datetime.now().isoformat())

    def apply(self, block: pd.DataFrame, position: Any = None) -> pd.DataFrame:
        """The block with its identifiers and timestamp filled (a new frame sharing the columns)."""
        filled: dict[str, Any] = {}
        if self.fill_ids:
            filled[self.id_column] = [str(uuid.uuid4()) for _ in range(len(block))]
        if self.fill_timestamp:
            filled[self.timestamp_column] = self.timestamp
        for column, fill in ((self.id_column, self.fill_ids), (self.timestamp_column, self.fill_timestamp)):
            if not fill and column in block.columns and len(block) and block[column].isnull().all():
                raise ValueError(
                    f"Block {position if position is not None else '?'} has only nulls in the column "
                    f"{column!r}, which other records fill: a block run would invent values for these "
                    "records where a whole-table run keeps the nulls. Fill the missing values (or drop "
                    "the column) before evaluating on a cluster."
                )
        return block.assign(**filled) if filled else block


def populate_in_place(configuration: Any, data: pd.DataFrame) -> None:
    """Validate and fill a pandas table exactly as an in-process run does, marks included."""
    from tessary.evaluators.impl import runsmith

    getattr(runsmith, "__validate_data")(configuration=configuration, data=data)
    getattr(runsmith, "__populate_record_id_timestamp")(configuration=configuration, data=data)
