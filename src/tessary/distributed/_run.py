"""Steps both engines share: check the arguments, settle judges and records, build the evaluator."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pandas as pd

from tessary.distributed._block import DEFAULT_MAX_IN_FLIGHT, BlockEvaluator
from tessary.distributed._prepare import (
    EMPTY_DATA_MESSAGE,
    RecordFill,
    RecordsMode,
    apply_judge,
    client_factory,
    populate_in_place,
)


def checked_metrics(metrics: Any) -> list[Any]:
    if not isinstance(metrics, list):
        raise TypeError(f"metrics must be a list of metric objects, got {type(metrics).__name__}.")
    if not metrics:
        raise ValueError("metrics must name at least one metric.")
    return metrics


def default_configuration(configuration: Any) -> Any:
    from tessary.config import GenAIConfiguration

    return configuration if configuration is not None else GenAIConfiguration()


def records_mode(records: Any) -> RecordsMode:
    mode = RecordsMode.parse(records)
    if mode.kind == "parquet":
        from tessary.distributed._records import prepare_directory

        prepare_directory(mode.directory)
    return mode


def fill_for_pandas(configuration: Any, data: pd.DataFrame) -> RecordFill:
    """Fill the caller's table in place, as an in-process run does; blocks then fill nothing."""
    populate_in_place(configuration, data)
    return RecordFill.decide(configuration, columns=list(data.columns), has_values=lambda column: True)


def fill_for_table(
    configuration: Any, *, rows: int, columns: list[str], has_values: Callable[[str], bool]
) -> RecordFill:
    if rows == 0 or not columns:
        raise ValueError(EMPTY_DATA_MESSAGE)
    return RecordFill.decide(configuration, columns=columns, has_values=has_values)


def build_evaluator(
    metrics: Any,
    configuration: Any,
    *,
    judge: Any,
    api_client_factory: Any,
    records: RecordsMode,
    fill: RecordFill,
    max_in_flight: int = DEFAULT_MAX_IN_FLIGHT,
) -> BlockEvaluator:
    configuration, metrics = apply_judge(configuration, metrics, judge)
    client_factory(api_client_factory)
    return BlockEvaluator(
        metrics,
        configuration,
        api_client_factory=api_client_factory,
        records=records,
        fill=fill,
        max_in_flight=max_in_flight,
    )
