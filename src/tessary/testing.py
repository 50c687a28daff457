"""Helpers for gating tests and continuous-integration runs on evaluation results."""

from __future__ import annotations

import math
import operator
import re
from collections.abc import Callable, Mapping
from typing import Any

from tessary.entities.evaluation_result import AggregateMetricResult, MetricsEvaluationResult
from tessary.report.tables import errors_text, is_number, keyed_metrics

__all__ = ["assert_metrics"]

WORST_RECORDS_SHOWN = 5
_BOUND = re.compile(r"^\s*(>=|<=|==|!=|>|<)\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)\s*$")
_OPERATORS: dict[str, Callable[[float, float], bool]] = {
    ">=": operator.ge, "<=": operator.le, ">": operator.gt,
    "<": operator.lt, "==": operator.eq, "!=": operator.ne,
}


def assert_metrics(
    result: MetricsEvaluationResult, bounds: Mapping[str, str] | None = None, /, **named_bounds: str
) -> None:
    """Fail with an `AssertionError` unless every named metric's value keeps its bound.

    Bounds are texts such as ">=0.7" or "<=0.1", given by metric name as keywords
    (`faithfulness=">=0.7"`) or in a mapping for names that are no identifiers
    (`{"pii[output]": "<=0.1"}`). The message names every failing metric with its
    worst records.
    """
    if not isinstance(result, MetricsEvaluationResult):
        raise TypeError(f"assert_metrics takes a MetricsEvaluationResult, got {type(result).__name__}")
    wanted = {**(bounds or {}), **named_bounds}
    if not wanted:
        raise ValueError("assert_metrics needs at least one bound, such as faithfulness='>=0.7'.")
    parsed = {name: _parse_bound(name, text) for name, text in wanted.items()}
    metrics = keyed_metrics(result)
    failures = [
        failure
        for name, (symbol, limit) in parsed.items()
        if (failure := _check(name, symbol, limit, metrics)) is not None
    ]
    if failures:
        heading = f"{len(failures)} of {len(parsed)} metric bounds failed:"
        raise AssertionError("\n".join([heading, *(f"  {line}" for line in failures)]))


def _parse_bound(name: str, text: Any) -> tuple[str, float]:
    match = _BOUND.match(text) if isinstance(text, str) else None
    if match is None:
        raise ValueError(
            f"Bound {text!r} for metric '{name}' is not a comparison such as '>=0.7' or '<=0.1'."
        )
    return match.group(1), float(match.group(2))


def _find(name: str, metrics: dict[str, AggregateMetricResult]) -> AggregateMetricResult | None:
    if name in metrics:
        return metrics[name]
    same_name = [aggregate for aggregate in metrics.values() if aggregate.name == name]
    return same_name[0] if len(same_name) == 1 else None


def _check(
    name: str, symbol: str, limit: float, metrics: dict[str, AggregateMetricResult]
) -> str | None:
    aggregate = _find(name, metrics)
    if aggregate is None:
        return f"{name}: not in the results (metrics: {', '.join(metrics) or 'none'})"
    value = aggregate.value
    expected = f"expected {symbol} {limit:g}"
    if not is_number(value):
        return f"{name}: no value, {expected}; {_error_summary(aggregate)}"
    if _OPERATORS[symbol](value, limit):
        return None
    return f"{name} = {value:.4g}, {expected}; worst records: {_worst_records(aggregate, symbol)}"


def _worst_records(aggregate: AggregateMetricResult, symbol: str) -> str:
    """The records furthest on the wrong side of the bound, errored records first."""
    errored = [r for r in aggregate.record_level_metrics if r.errors]
    scored = [r for r in aggregate.record_level_metrics if is_number(r.value) and not r.errors]
    if symbol in ("<=", "<"):
        scored.sort(key=lambda r: -r.value if not math.isnan(r.value) else math.inf)
    elif symbol in (">=", ">"):
        scored.sort(key=lambda r: r.value)
    # A couple of errored records, then the scored ones furthest on the wrong side.
    shown = [f"{r.record_id} (error: {errors_text(r)})" for r in errored[:2]]
    shown += [f"{r.record_id} = {r.value:.4g}" for r in scored[: WORST_RECORDS_SHOWN - len(shown)]]
    more = len(errored) + len(scored) - len(shown)
    return ", ".join(shown) + (f" and {more} more" if more > 0 else "") if shown else "no record results"


def _error_summary(aggregate: AggregateMetricResult) -> str:
    errors = aggregate.errors or [e for r in aggregate.record_level_metrics for e in (r.errors or [])]
    if not errors:
        return "no record was scored"
    return f"{len(errors)} errors, first: {errors[0]}"
