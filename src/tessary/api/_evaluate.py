"""The public evaluation API: `evaluate`, `evaluate_async` and `MetricsEvaluator`.

    result = tessary.evaluate("records.csv", ["faithfulness", "hap", "answer_correctness:token_recall"])

Records are read and their columns found (`tessary.api._data`), metric names
resolved (`tessary.api._registry`), the judge applied (`tessary.api._judge_argument`),
missing services started (`tessary.api._services`), and the driver's own entry
points compute the result, which also carries `run_info`: what was evaluated,
by which services, in how long.
"""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from tessary.api._data import DataError, check_fields, decode_json_cells, detect_configuration, read_records, role_columns
from tessary.api._judge_argument import _judging_module, apply_judge, describe_judge, needs_judge, resolve_judge
from tessary.api._progress import ProgressDisplay, TrackedMetric, progress_wanted, result_name
from tessary.api._registry import fields_needed, resolve_metrics
from tessary.api._services import ServicePlan, embedded_services

FIELD_OPTIONS = ("input_field", "output_field", "context_field", "reference_field", "tool_calls_field")


@dataclass
class PreparedRun:
    """Everything an evaluation or an estimate needs, prepared the same way for both."""

    table: pd.DataFrame
    configuration: Any
    metrics: list[Any]
    source: str
    judge_argument: Any = None
    extra: dict[str, Any] = field(default_factory=dict)


def _source_of(data: Any) -> str:
    if isinstance(data, (str, os.PathLike)):
        return os.fspath(data)
    if isinstance(data, pd.DataFrame):
        return "data frame"
    return "records"


def _metric_groups(metric_groups: Any) -> list[Any]:
    from tessary.entities.enums import MetricGroup

    if metric_groups is None:
        return []
    if isinstance(metric_groups, (str, MetricGroup)):
        metric_groups = [metric_groups]
    groups = []
    for group in metric_groups:
        if isinstance(group, MetricGroup):
            groups.append(group)
            continue
        try:
            groups.append(MetricGroup(str(group).strip().lower()))
        except ValueError:
            known = ", ".join(member.value for member in MetricGroup)
            raise DataError(f"Unknown metric group '{group}'; the groups are: {known}.") from None
    return groups


def _with_fields(configuration: Any, overrides: dict[str, str | None]) -> Any:
    """A copy of a given configuration with the columns named on the command line."""
    update = {}
    for option, value in overrides.items():
        if not value:
            continue
        if option == "tool_calls_field":
            update["tool_calls_field"] = value
        else:
            update[option.replace("_field", "_fields")] = [value]
    return configuration.model_copy(update=update) if update else configuration


def prepare_run(
    data: Any,
    metrics: Any,
    *,
    configuration: Any = None,
    metric_groups: Any = None,
    judge: Any = None,
    **fields: str | None,
) -> PreparedRun:
    """Read the records, find or check the columns, resolve the metrics and apply the judge."""
    unknown = set(fields) - set(FIELD_OPTIONS)
    if unknown:
        raise TypeError(f"Unexpected keyword arguments: {', '.join(sorted(unknown))}.")
    table = read_records(data)
    if configuration is None:
        configuration = detect_configuration(table, **fields)
    else:
        configuration = _with_fields(configuration, fields)
    if not isinstance(data, pd.DataFrame):
        roles = role_columns(configuration)
        decode_json_cells(table, [*roles["context"], *roles["reference"], *roles["tool_calls"]])
    work = _work_list(resolve_metrics(metrics), _metric_groups(metric_groups))
    if not work:
        raise DataError("No metrics to compute: name at least one metric or metric group.")
    check_fields(table, configuration, {result_name(metric): fields_needed(metric) for metric in work})
    resolved_judge = resolve_judge(judge)
    if resolved_judge is not None:
        configuration, work = apply_judge(resolved_judge, configuration, work)
    return PreparedRun(table=table, configuration=configuration, metrics=work, source=_source_of(data),
                       judge_argument=judge)


def _work_list(metrics: list[Any], groups: list[Any]) -> list[Any]:
    """The driver's own ordering (dependencies first, group metrics last), so that every metric is seen here."""
    from tessary.evaluators.impl.runsmith import _resolve_metric_dependencies

    return _resolve_metric_dependencies(metrics=list(metrics), metric_groups=list(groups))


@contextlib.contextmanager
def _openai_base_url(judge_argument: Any) -> Iterator[None]:
    """Judges given as a URL: judge paths that read only the environment use that URL too."""
    if not (isinstance(judge_argument, str) and "://" in judge_argument) or _judging_module() is not None:
        yield
        return
    previous = os.environ.get("OPENAI_BASE_URL")
    os.environ["OPENAI_BASE_URL"] = judge_argument.strip()
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop("OPENAI_BASE_URL", None)
        else:
            os.environ["OPENAI_BASE_URL"] = previous


@contextlib.contextmanager
def _running(run: PreparedRun, api_client: Any, progress: bool | None) -> Iterator[tuple[ServicePlan, list[Any]]]:
    """Services up, judge applied, progress shown: yields the plan and the metrics to hand to the driver."""
    with embedded_services(run.metrics, run.configuration, api_client) as plan, _openai_base_url(run.judge_argument):
        if plan.judge is not None:
            run.configuration, run.metrics = apply_judge(plan.judge, run.configuration, run.metrics)
        if not progress_wanted(progress):
            yield plan, run.metrics
            return
        with ProgressDisplay(run.metrics, len(run.table)) as display:
            yield plan, [TrackedMetric(metric, display) for metric in run.metrics]


def _run_info(run: PreparedRun, plan: ServicePlan, seconds: float) -> dict[str, Any]:
    judged = [metric for metric in run.metrics if needs_judge(metric)]
    judges = sorted({describe_judge(getattr(m, "llm_judge", None) or run.configuration.llm_judge) or "" for m in judged})
    return {
        "data": run.source,
        "records": len(run.table),
        "metrics": [result_name(metric) for metric in run.metrics],
        "columns": role_columns(run.configuration),
        "judge": "; ".join(j for j in judges if j) or None,
        "seconds": round(seconds, 3),
        "services": dict(plan.services),
    }


def _driver_keywords(max_concurrency: int | None) -> dict[str, Any]:
    return {} if max_concurrency is None else {"max_concurrency": max_concurrency}


def evaluate(
    data: Any,
    metrics: Any,
    *,
    configuration: Any = None,
    metric_groups: Any = None,
    judge: Any = None,
    api_client: Any = None,
    max_concurrency: int | None = None,
    progress: bool | None = None,
    **fields: str | None,
) -> Any:
    """Evaluate `metrics` over `data` and return the `MetricsEvaluationResult` (blocking).

    `data`: a data frame, a mapping, a list of mappings, or a CSV/JSONL/JSON/Parquet path.
    `metrics`: metric objects or names ("faithfulness", "answer_correctness:token_recall", "pii[output]").
    `configuration`: a `GenAIConfiguration`; when left out, the columns are found by their usual names
    (`input_field=...` and the like name them instead). `judge`: None (the embedded local judge), an
    OpenAI-protocol base URL, "backend/model" or an `LLMJudge`.
    """
    run = prepare_run(data, metrics, configuration=configuration, metric_groups=metric_groups, judge=judge, **fields)
    return run_prepared(run, api_client=api_client, max_concurrency=max_concurrency, progress=progress)


def run_prepared(run: PreparedRun, *, api_client: Any = None, max_concurrency: int | None = None,
                 progress: bool | None = None) -> Any:
    """Evaluate a prepared run (blocking); its table then holds the record ids the results refer to."""
    from tessary.evaluators.impl.runsmith import _evaluate_metrics

    started = time.perf_counter()
    with _running(run, api_client, progress) as (plan, driven):
        result = _evaluate_metrics(run.configuration, run.table, driven, api_client=plan.api_client,
                                   **_driver_keywords(max_concurrency))
    result.run_info = _run_info(run, plan, time.perf_counter() - started)
    return result


async def evaluate_async(
    data: Any,
    metrics: Any,
    *,
    configuration: Any = None,
    metric_groups: Any = None,
    judge: Any = None,
    api_client: Any = None,
    max_concurrency: int | None = None,
    progress: bool | None = None,
    **fields: str | None,
) -> Any:
    """Awaitable twin of `evaluate`: metrics without dependencies run together, `max_concurrency` at once."""
    from tessary.evaluators.impl.runsmith import _evaluate_metrics_async

    run = prepare_run(data, metrics, configuration=configuration, metric_groups=metric_groups, judge=judge, **fields)
    started = time.perf_counter()
    with _running(run, api_client, progress) as (plan, driven):
        result = await _evaluate_metrics_async(run.configuration, run.table, driven, api_client=plan.api_client,
                                               **_driver_keywords(max_concurrency))
    result.run_info = _run_info(run, plan, time.perf_counter() - started)
    return result


class MetricsEvaluator:
    """Evaluations that share a configuration, an API client and a judge."""

    def __init__(self, configuration: Any = None, api_client: Any = None, judge: Any = None,
                 max_concurrency: int | None = None, progress: bool | None = None) -> None:
        self.configuration = configuration
        self.api_client = api_client
        self.judge = judge
        self.max_concurrency = max_concurrency
        self.progress = progress

    def _settings(self, overrides: dict[str, Any]) -> dict[str, Any]:
        settings = {"configuration": self.configuration, "api_client": self.api_client, "judge": self.judge,
                    "max_concurrency": self.max_concurrency, "progress": self.progress}
        settings.update(overrides)
        return settings

    def evaluate(self, data: Any, metrics: Any, **overrides: Any) -> Any:
        """`tessary.evaluate` with this evaluator's settings (keywords given here win)."""
        return evaluate(data, metrics, **self._settings(overrides))

    async def evaluate_async(self, data: Any, metrics: Any, **overrides: Any) -> Any:
        """`tessary.evaluate_async` with this evaluator's settings."""
        return await evaluate_async(data, metrics, **self._settings(overrides))

    def estimate(self, data: Any, metrics: Any, **overrides: Any) -> Any:
        """`tessary.estimate` with this evaluator's settings."""
        from tessary.api._estimate import estimate

        settings = self._settings(overrides)
        settings.pop("max_concurrency")
        settings.pop("progress")
        return estimate(data, metrics, **settings)
