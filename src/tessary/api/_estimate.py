"""The dry run: what an evaluation will send, counted before anything is sent.

Detector metrics build their request bodies with the detection provider's own
preparation step (one body is one request). Judged metrics run their real code
path with every inference engine's request step replaced by a recorder: the
prompt that would be sent is kept, counted with the offline "cl100k_base"
encoding, and answered on the spot by the local judge's rules (so that judges
that re-ask on unreadable answers behave as against a well-behaved server).
No connection is opened to any service.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import asdict, dataclass, field
from typing import Any

from tessary.api._evaluate import _openai_base_url, prepare_run
from tessary.api._judge_argument import apply_judge, lacks_judge, needs_judge
from tessary.api._progress import result_name
from tessary.api._services import UNUSED_SERVICE_URL, local_client, local_judge, needs_detection, platform_configured


@dataclass
class MetricEstimate:
    """One metric's share of the run."""

    name: str
    method: str | None
    detector_requests: int = 0
    judge_calls: int = 0
    prompt_tokens: int = 0
    cached_calls: int = 0
    note: str = ""


@dataclass
class Estimate:
    """Requests, judge calls and prompt tokens of a run, per metric and in total."""

    records: int
    metrics: list[MetricEstimate] = field(default_factory=list)
    price_per_1k_tokens: float | None = None

    @property
    def detector_requests(self) -> int:
        return sum(metric.detector_requests for metric in self.metrics)

    @property
    def judge_calls(self) -> int:
        return sum(metric.judge_calls for metric in self.metrics)

    @property
    def prompt_tokens(self) -> int:
        return sum(metric.prompt_tokens for metric in self.metrics)

    @property
    def cost(self) -> float | None:
        """The prompt tokens' price, when a price per 1,000 tokens was given."""
        if self.price_per_1k_tokens is None:
            return None
        return round(self.prompt_tokens / 1000 * self.price_per_1k_tokens, 6)

    def as_dict(self) -> dict[str, Any]:
        return {"records": self.records, "metrics": [asdict(metric) for metric in self.metrics],
                "detector_requests": self.detector_requests, "judge_calls": self.judge_calls,
                "prompt_tokens": self.prompt_tokens, "price_per_1k_tokens": self.price_per_1k_tokens,
                "cost": self.cost}

    def __str__(self) -> str:
        lines = [f"Dry run over {self.records} records (nothing sent):"]
        for metric in self.metrics:
            note = f"  ({metric.note})" if metric.note else ""
            cached = f", {metric.cached_calls} from cache" if metric.cached_calls else ""
            lines.append(f"  {metric.name} [{metric.method}]: {metric.detector_requests} detector requests, "
                         f"{metric.judge_calls} judge calls{cached}, {metric.prompt_tokens} prompt tokens{note}")
        total = (f"Total: {self.detector_requests} detector requests, {self.judge_calls} judge calls, "
                 f"{self.prompt_tokens} prompt tokens")
        if self.cost is not None:
            total += f", {self.cost:.4f} at {self.price_per_1k_tokens} per 1k tokens"
        lines.append(total)
        return "\n".join(lines)


# -- the recorder -----------------------------------------------------------------------------


class _Recorder:
    def __init__(self) -> None:
        self.prompts: list[str] = []
        self.cached = 0


_CAPTURE_LOCK = threading.Lock()
_recorder: _Recorder | None = None


def _prompt_tokens(source: Any) -> int:
    from tessary.utils.token_counting import count_tokens

    if isinstance(source, str):
        return count_tokens(source)
    return sum(count_tokens(message.get("content", "")) for message in source)


async def _recorded_call(engine: Any, session: Any, source: Any, metadata: Any, run: Any = None,
                         key: Any = None, stored: Any = None) -> Any:
    """Stands in for an engine's request step: records the prompt and answers it locally.

    Nothing is written to the engine's caches: a dry run's stand-in answers must never be served later.
    """
    from tabulon._engine import Completion, to_text
    from tessary.services.judged import judge_reply

    refusal = engine._policy_refusal(metadata)
    if refusal:  # refused before sending in a real run too
        return engine._failed(refusal, attempts=0)
    recorder = _recorder
    if stored is not None or engine._cache_get(key if key is not None else engine._cache_key(source)) is not None:
        recorder.cached += 1
    else:
        recorder.prompts.append(source)
    return engine._succeeded(Completion(judge_reply(to_text(source))), attempts=0)


@contextmanager
def _recording() -> Iterator[_Recorder]:
    """Every inference engine records instead of sending, for the time of the block (one dry run at a time)."""
    global _recorder
    from tabulon._engine import InferenceEngine

    with _CAPTURE_LOCK:
        original = InferenceEngine.__dict__["_infer_one"]
        _recorder = _Recorder()
        InferenceEngine._infer_one = _recorded_call
        try:
            yield _recorder
        finally:
            InferenceEngine._infer_one = original
            _recorder = None


# -- per metric -------------------------------------------------------------------------------


def _detector_requests(metric: Any, table: Any, configuration: Any, api_client: Any) -> int:
    provider = metric._provider(configuration, {"api_client": api_client})
    payloads, _ = provider._DetectorsProvider__pre_process_data(data=table.copy())
    return len(payloads)


def _judge_calls(metric: Any, table: Any, configuration: Any, api_client: Any, recorder: _Recorder) -> tuple[int, int, int]:
    recorder.prompts.clear()
    recorder.cached = 0
    metric.evaluate(data=table.copy(), configuration=configuration, api_client=api_client)
    return len(recorder.prompts), sum(_prompt_tokens(prompt) for prompt in recorder.prompts), recorder.cached


def _prepared_table(table: Any, configuration: Any) -> Any:
    """A copy prepared as the blocking driver prepares the records (ids, timestamp, output columns as text)."""
    from tessary.evaluators.impl import runsmith

    table = table.copy(deep=True)
    getattr(runsmith, "__validate_data")(configuration=configuration, data=table)
    getattr(runsmith, "__populate_record_id_timestamp")(configuration=configuration, data=table)
    if configuration.output_fields:
        table = table.astype({name: str for name in configuration.output_fields})
    return table


def estimate(
    data: Any,
    metrics: Any,
    *,
    configuration: Any = None,
    metric_groups: Any = None,
    judge: Any = None,
    api_client: Any = None,
    price_per_1k_tokens: float | None = None,
    **fields: str | None,
) -> Estimate:
    """Count the detector requests, judge calls and prompt tokens that `evaluate` with the same arguments makes.

    Nothing is sent: not to the detection service, not to the judge, and no local service is started.
    """
    if price_per_1k_tokens is not None and not price_per_1k_tokens >= 0:
        raise ValueError(f"price_per_1k_tokens must be 0 or more, got {price_per_1k_tokens!r}.")
    run = prepare_run(data, metrics, configuration=configuration, metric_groups=metric_groups, judge=judge, **fields)
    configuration, work = run.configuration, run.metrics
    if any(lacks_judge(metric, configuration) for metric in work):
        # The judge the embedded default would start, at an address that is never contacted.
        configuration, work = apply_judge(local_judge(UNUSED_SERVICE_URL), configuration, work)
    if api_client is None:
        api_client = None if platform_configured() else local_client(UNUSED_SERVICE_URL)
        if api_client is None:
            from tessary.clients.api_client import APIClient

            api_client = APIClient()
    table = _prepared_table(run.table, configuration)
    result = Estimate(records=len(table), price_per_1k_tokens=price_per_1k_tokens)
    with _openai_base_url(run.judge_argument), _recording() as recorder:
        for metric in work:
            row = MetricEstimate(name=result_name(metric), method=getattr(metric, "method", None))
            if needs_detection(metric):
                row.detector_requests = _detector_requests(metric, table, configuration, api_client)
            elif needs_judge(metric):
                row.judge_calls, row.prompt_tokens, row.cached_calls = _judge_calls(
                    metric, table, configuration, api_client, recorder)
            else:
                row.note = "computed locally"
            result.metrics.append(row)
    return result
