"""Two runs side by side: per metric the change of value and the records that got worse."""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any

from tessary.entities.evaluation_result import AggregateMetricResult
from tessary.report.tables import errors_text, higher_is_better, is_number, keyed_metrics, record_key

if TYPE_CHECKING:
    from tessary.entities.evaluation_result import MetricsEvaluationResult

# Changes smaller than this are rounding noise, not a change.
TOLERANCE = 1e-9


@dataclass
class RecordChange:
    record_id: str
    old: Any
    new: Any
    change: float | None
    status: str  # "worse": moved the wrong way; "errored": had a value, now fails
    error: str | None = None


@dataclass
class MetricChange:
    key: str
    status: str  # "compared", "added" (new run only) or "removed" (old run only)
    old_value: Any = None
    new_value: Any = None
    change: float | None = None
    higher_is_better: bool = True
    compared_records: int = 0
    better_records: int = 0
    missing_records: int = 0  # in the old run, not in the new one
    worse: list[RecordChange] = field(default_factory=list)

    @property
    def got_worse(self) -> bool:
        if self.worse:
            return True
        if self.change is None:
            return self.status == "compared" and is_number(self.old_value) and not is_number(self.new_value)
        return self.change < -TOLERANCE if self.higher_is_better else self.change > TOLERANCE


@dataclass
class Comparison:
    metrics: list[MetricChange]

    @property
    def any_worse(self) -> bool:
        return any(metric.got_worse for metric in self.metrics)

    def to_dict(self) -> dict[str, Any]:
        return {"metrics": [asdict(metric) | {"got_worse": metric.got_worse} for metric in self.metrics]}

    def to_text(self, records_shown: int | None = 10) -> str:
        """The comparison as lines of text; `records_shown` worse records per metric (None: all)."""
        lines: list[str] = []
        for metric in self.metrics:
            lines.append(_metric_line(metric))
            shown = metric.worse if records_shown is None else metric.worse[:records_shown]
            width = max((len(r.record_id) for r in shown), default=0)
            lines.extend(f"    {_record_line(r, width)}" for r in shown)
            if len(shown) < len(metric.worse):
                lines.append(f"    ... and {len(metric.worse) - len(shown)} more")
        return "\n".join(lines) if lines else "No metrics to compare."


def compare_results(old: MetricsEvaluationResult, new: MetricsEvaluationResult) -> Comparison:
    """Compare two runs metric by metric (matched by name, and method where a name repeats)."""
    old_metrics, new_metrics = keyed_metrics(old), keyed_metrics(new)
    changes = []
    for key, aggregate in old_metrics.items():
        if key in new_metrics:
            changes.append(_compare_metric(key, aggregate, new_metrics[key]))
        else:
            changes.append(MetricChange(key=key, status="removed", old_value=aggregate.value,
                                        higher_is_better=higher_is_better(aggregate)))
    changes.extend(
        MetricChange(key=key, status="added", new_value=aggregate.value,
                     higher_is_better=higher_is_better(aggregate))
        for key, aggregate in new_metrics.items()
        if key not in old_metrics
    )
    return Comparison(metrics=changes)


def _compare_metric(key: str, old: AggregateMetricResult, new: AggregateMetricResult) -> MetricChange:
    direction = 1.0 if higher_is_better(new) else -1.0
    metric = MetricChange(
        key=key, status="compared", old_value=old.value, new_value=new.value,
        change=_difference(old.value, new.value), higher_is_better=direction > 0,
    )
    new_records = {record_key(r, i): r for i, r in enumerate(new.record_level_metrics)}
    for position, before in enumerate(old.record_level_metrics):
        row_key = record_key(before, position)
        after = new_records.get(row_key)
        if after is None:
            metric.missing_records += 1
            continue
        metric.compared_records += 1
        change = _difference(before.value, after.value)
        if change is not None and change * direction < -TOLERANCE:
            metric.worse.append(RecordChange(row_key, before.value, after.value, change, "worse"))
        elif change is not None and change * direction > TOLERANCE:
            metric.better_records += 1
        elif _has_number(before.value) and not _has_number(after.value):
            metric.worse.append(RecordChange(row_key, before.value, after.value, None, "errored",
                                             errors_text(after)))
    # Newly failing records first, then the largest moves the wrong way.
    metric.worse.sort(key=lambda r: (r.status != "errored", -abs(r.change or 0.0)))
    return metric


def _has_number(value: Any) -> bool:
    return is_number(value) and not math.isinf(value)


def _difference(old: Any, new: Any) -> float | None:
    if _has_number(old) and _has_number(new):
        return round(new - old, 6)
    return None


def _format(value: Any) -> str:
    from tessary.report.html import format_value

    return format_value(value)


def _signed(change: float) -> str:
    return f"{change:+.4f}".rstrip("0").rstrip(".")


def _metric_line(metric: MetricChange) -> str:
    if metric.status == "added":
        return f"{metric.key}: only in the new results ({_format(metric.new_value)})"
    if metric.status == "removed":
        return f"{metric.key}: only in the old results ({_format(metric.old_value)})"
    change = f" ({_signed(metric.change)})" if metric.change is not None else ""
    better = "higher" if metric.higher_is_better else "lower"
    missing = f", {metric.missing_records} missing from the new results" if metric.missing_records else ""
    return (
        f"{metric.key}: {_format(metric.old_value)} -> {_format(metric.new_value)}{change}, "
        f"{better} is better; {len(metric.worse)} of {metric.compared_records} records worse, "
        f"{metric.better_records} better{missing}"
    )


def _record_line(record: RecordChange, width: int) -> str:
    if record.status == "errored":
        return f"{record.record_id:<{width}}  {_format(record.old)} -> error ({record.error or 'no value'})"
    return f"{record.record_id:<{width}}  {_format(record.old)} -> {_format(record.new)} ({_signed(record.change)})"
