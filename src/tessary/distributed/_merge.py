"""Exact merging of block results into the result of one whole-table run.

A metric's aggregate is recomputed with the very arithmetic its provider uses,
over the per-record scores of all blocks in table order: Python's `sum` over the
detection scores, pandas' mean over the recipe library's unrounded scores,
`AggregateMetricResult.create` over record values. Sums of rounded means, or
means of means, would differ in the last places; these do not. One score per
record and metric is carried (about 9 bytes), never the record objects unless
they are kept.
"""

from __future__ import annotations

import math
import pickle
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from tessary.entities.base_classes import Error
from tessary.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)

# Aggregate fields that the merge recomputes; every other field is the metric's
# description and must agree between blocks.
STATISTICS = ("value", "total_records", "record_level_metrics", "min", "max", "mean", "errors")
ERROR_VALUE = "Error"
NO_VALUE_ERROR_CODE = "NO_VALUE"
_EXACT_INT = 2**53


class MergeError(ValueError):
    """Block results that cannot be merged into one exact result."""


# --- compact score lists ------------------------------------------------------------


@dataclass
class Packed:
    """A list of scores stored compactly: floats in an array, the positions of whole numbers beside."""

    floats: np.ndarray | None = None
    int_positions: np.ndarray | None = None
    objects: list[Any] | None = None

    @classmethod
    def of(cls, values: list[Any]) -> Packed:
        kinds = {type(value) for value in values}
        if kinds <= {float, int} and all(
            type(value) is float or -_EXACT_INT < value < _EXACT_INT for value in values
        ):
            positions = [i for i, value in enumerate(values) if type(value) is int]
            return cls(np.array(values, dtype=np.float64), np.array(positions, dtype=np.int64))
        return cls(objects=list(values))

    def unpack(self) -> list[Any]:
        if self.objects is not None:
            return list(self.objects)
        values = self.floats.tolist()
        for position in self.int_positions.tolist():
            values[position] = int(values[position])
        return values

    def __len__(self) -> int:
        return len(self.objects) if self.objects is not None else len(self.floats)


# --- one metric's share of one block -------------------------------------------------


@dataclass
class MetricPart:
    """What one block contributes to one metric's aggregate.

    `kind` names the arithmetic: "detectors" (the detection provider: mean of the
    scored records, errors only when none scored), "tabulon" (the recipe library:
    pandas' mean of the unrounded scores, min and max of the rounded record values)
    or "records" (`AggregateMetricResult.create`).
    """

    kind: str
    fields: dict[str, Any]
    total_records: int
    scores: Packed
    record_values: Packed | None = None
    errors: list[Error] = field(default_factory=list)
    records: list[RecordMetricResult] | None = None

    @property
    def key(self) -> tuple[Any, ...]:
        return (self.fields.get("name"), self.fields.get("method"), self.kind)


@dataclass
class BlockResult:
    """The parts of every metric for one block, plus where its record rows went."""

    position: int | None
    rows: int
    parts: list[MetricPart]
    records_files: list[str] = field(default_factory=list)

    def to_bytes(self) -> bytes:
        return pickle.dumps(self, protocol=pickle.HIGHEST_PROTOCOL)

    @classmethod
    def from_bytes(cls, payload: bytes) -> BlockResult:
        block = pickle.loads(payload)
        if not isinstance(block, cls):
            raise TypeError(f"Expected a pickled BlockResult, got {type(block).__name__}.")
        return block


def _has_value(value: Any) -> bool:
    if value is None:
        return False
    if isinstance(value, float):
        return not math.isnan(value)
    try:
        return not bool(value != value)
    except (TypeError, ValueError):
        return True


def _no_value_error(record: RecordMetricResult) -> Error:
    detail = f" (label {record.label!r})" if record.label is not None else ""
    return Error(
        code=NO_VALUE_ERROR_CODE,
        message_en=f"Record {record.record_id!r} of metric {record.name!r} has no value{detail}.",
    )


def describe(aggregate: Any, raw_scores: list[Any] | None, keep_records: bool) -> MetricPart:
    """The part of one block's aggregate; `raw_scores` are the recipe library's unrounded scores."""
    if not isinstance(aggregate, AggregateMetricResult):
        raise MergeError(
            f"A metric returned {type(aggregate).__name__}; only AggregateMetricResult can be merged."
        )
    records = list(aggregate.record_level_metrics)
    fields = {k: v for k, v in aggregate.__dict__.items() if k not in STATISTICS}
    kept = records if keep_records else None
    if aggregate.provider == "detectors":
        scores = [r.value for r in records if not r.errors]
        errors = [error for r in records if r.errors for error in r.errors]
        part = MetricPart("detectors", fields, aggregate.total_records, Packed.of(scores), None, errors, kept)
    elif aggregate.provider == "tabulon":
        if raw_scores is None:
            raise MergeError(
                f"Metric {aggregate.name!r}: the recipe library's unrounded scores were not captured, "
                "so its mean cannot be merged exactly."
            )
        values = [r.value for r in records]
        part = MetricPart(
            "tabulon", fields, aggregate.total_records, Packed.of(raw_scores), Packed.of(values), [], kept
        )
    else:
        values = [r.value for r in records if _has_value(r.value)]
        errors = []
        for record in records:
            if record.errors:
                errors.extend(record.errors)
            elif not _has_value(record.value):
                errors.append(_no_value_error(record))
        part = MetricPart("records", fields, len(records), Packed.of(values), None, errors, kept)
    verify(part, aggregate)
    return part


# --- the providers' arithmetic -------------------------------------------------------


def _round_mean(mean: Any) -> Any:
    return round(float(mean), 4) if isinstance(mean, float) else round(mean, 4)


def _statistics(kind: str, fields: dict[str, Any], parts: list[MetricPart]) -> dict[str, Any]:
    scores = [value for part in parts for value in part.scores.unpack()]
    errors = [error for part in parts for error in part.errors]
    total = sum(part.total_records for part in parts)
    if kind == "tabulon":
        mean = _round_mean(pd.DataFrame({"score": scores})["score"].mean())
        values = [value for part in parts for value in part.record_values.unpack()]
        return {"value": mean, "total_records": total, "min": min(values), "max": max(values), "mean": mean}
    if kind == "detectors":
        if not scores:
            return {"value": ERROR_VALUE, "total_records": total, "min": None, "max": None,
                    "mean": None, "errors": errors}
        mean = _round_mean(sum(scores) / len(scores))
        return {"value": mean, "total_records": total, "min": min(scores), "max": max(scores), "mean": mean}
    if not scores:
        return {"value": ERROR_VALUE, "total_records": total, "min": None, "max": None, "mean": None,
                "errors": errors or None}
    mean = round(sum(scores) / len(scores), 4)
    return {"value": mean, "total_records": total, "min": min(scores), "max": max(scores), "mean": mean,
            "errors": errors or None}


def build_aggregate(parts: list[MetricPart]) -> AggregateMetricResult:
    """One metric's aggregate over its parts, given in table order."""
    first = parts[0]
    fields = _merged_fields(parts)
    records = [r for part in parts for r in part.records] if first.records is not None else []
    statistics = _statistics(first.kind, fields, parts)
    return AggregateMetricResult(**fields, **statistics, record_level_metrics=records)


def _merged_fields(parts: list[MetricPart]) -> dict[str, Any]:
    """Fields other than the statistics: equal in every block, or numbers that add up (token counts)."""
    merged = dict(parts[0].fields)
    for part in parts[1:]:
        for name, value in part.fields.items():
            current = merged.get(name)
            if _same(current, value):
                continue
            if _is_number(current) and _is_number(value):
                merged[name] = current + value
                continue
            raise MergeError(
                f"Metric {merged.get('name')!r}: the field {name!r} differs between blocks "
                f"({current!r} and {value!r}) and cannot be merged."
            )
    return merged


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _same(left: Any, right: Any) -> bool:
    """Equal values of the same type; NaN equals NaN."""
    if type(left) is not type(right):
        return False
    if isinstance(left, float) and math.isnan(left):
        return math.isnan(right)
    if isinstance(left, list):
        return len(left) == len(right) and all(_same(a, b) for a, b in zip(left, right))
    return bool(left == right)


def verify(part: MetricPart, aggregate: AggregateMetricResult) -> None:
    """Check that recomputing this block alone gives the provider's own aggregate."""
    rebuilt = _statistics(part.kind, part.fields, [part])
    for name, expected_default in (("errors", None),):
        rebuilt.setdefault(name, expected_default)
    for name, value in rebuilt.items():
        actual = getattr(aggregate, name)
        if not _same(value, actual):
            raise MergeError(
                f"Metric {aggregate.name!r} does not compute its {name} from its record scores the way "
                f"its provider is known to ({actual!r} returned, {value!r} recomputed), so its results "
                "cannot be merged across blocks. Evaluate it in one process."
            )


# --- the merger ------------------------------------------------------------------------


class ResultMerger:
    """Merges block results, given in any order, into one `MetricsEvaluationResult`.

    `update(block, position=None)` takes a `BlockResult` (or its bytes, or a frame
    with a "block" column as `BlockEvaluator` returns); without a position, blocks
    count in the order they arrive. `result()` orders them by position and returns
    exactly what one run over the whole table returns. With records written to
    Parquet, `result()` also renames the block files to "part-MMM-BBBBB.parquet"
    (metric, then block in table order).
    """

    def __init__(self) -> None:
        self._blocks: dict[int, BlockResult] = {}
        self._next_position = 0

    def update(self, block: Any, position: int | None = None) -> None:
        for item in _blocks_of(block):
            self._add(item, position)
            position = None if position is None else position + 1

    def _add(self, block: BlockResult, position: int | None) -> None:
        if position is None:
            position = block.position if block.position is not None else self._next_position
        if position in self._blocks:
            raise MergeError(f"Two blocks share the position {position}.")
        self._blocks[position] = block
        self._next_position = max(self._next_position, position + 1)

    @property
    def rows(self) -> int:
        """Records merged so far."""
        return sum(block.rows for block in self._blocks.values())

    def result(self) -> MetricsEvaluationResult:
        if not self._blocks:
            raise MergeError("No block results to merge.")
        ordered = [self._blocks[position] for position in sorted(self._blocks)]
        keys = [part.key for part in ordered[0].parts]
        for block in ordered[1:]:
            if [part.key for part in block.parts] != keys:
                raise MergeError(
                    "Blocks returned different metric results "
                    f"({keys} and {[part.key for part in block.parts]}): a metric returned nothing "
                    "on some blocks, so no exact whole-table result exists."
                )
        aggregates = [build_aggregate([block.parts[i] for block in ordered]) for i in range(len(keys))]
        _order_record_files(ordered)
        return MetricsEvaluationResult(metrics_result=aggregates)


def _blocks_of(block: Any) -> list[BlockResult]:
    if isinstance(block, BlockResult):
        return [block]
    if isinstance(block, (bytes, bytearray, memoryview)):
        return [BlockResult.from_bytes(bytes(block))]
    if isinstance(block, pd.DataFrame) and "block" in block.columns:
        return [item for payload in block["block"] for item in _blocks_of(payload)]
    if isinstance(block, dict) and "block" in block:
        payloads = block["block"]
        if isinstance(payloads, (bytes, bytearray)):
            payloads = [payloads]
        return [item for payload in payloads for item in _blocks_of(payload)]
    raise TypeError(f"Expected a BlockResult, its bytes or a frame of them, got {type(block).__name__}.")


def _order_record_files(ordered: list[BlockResult]) -> None:
    from tessary.distributed._records import order_files

    if any(block.records_files for block in ordered):
        order_files([block.records_files for block in ordered])
