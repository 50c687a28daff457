"""Record-by-metric tables: one row per record, one column per metric."""

from __future__ import annotations

import json
import math
from collections import Counter
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult

if TYPE_CHECKING:
    from tessary.entities.evaluation_result import MetricsEvaluationResult

RECORD_ID_COLUMN = "record_id"
ERROR_SUFFIX = " error"
# Detector metrics that flag something bad: a higher value is worse.
_LOWER_IS_BETTER_NAMES = frozenset({"keyword", "regex"})


def metric_results(result: MetricsEvaluationResult) -> list[AggregateMetricResult]:
    """The run's aggregates; loose record results are gathered per metric into one aggregate."""
    aggregates: list[AggregateMetricResult] = []
    loose: dict[tuple[str, str | None], list[RecordMetricResult]] = {}
    for item in _flatten(result.metrics_result):
        if isinstance(item, AggregateMetricResult):
            aggregates.append(item)
        elif isinstance(item, RecordMetricResult):
            loose.setdefault((item.name, item.method), []).append(item)
    aggregates.extend(AggregateMetricResult.create(records) for records in loose.values())
    return aggregates


def metric_keys(aggregates: list[AggregateMetricResult]) -> list[str]:
    """Unique column names: the metric's name, with ":method" where a name repeats."""
    name_counts = Counter(aggregate.name for aggregate in aggregates)
    keys: list[str] = []
    for aggregate in aggregates:
        key = aggregate.name
        if name_counts[key] > 1 and aggregate.method:
            key = f"{key}:{aggregate.method}"
        base, serial = key, 2
        while key in keys:
            key, serial = f"{base}#{serial}", serial + 1
        keys.append(key)
    return keys


def keyed_metrics(result: MetricsEvaluationResult) -> dict[str, AggregateMetricResult]:
    aggregates = metric_results(result)
    return dict(zip(metric_keys(aggregates), aggregates, strict=True))


def record_key(record: RecordMetricResult, position: int) -> str:
    """How a record is matched across metrics and runs: its identifier, else its position."""
    return str(record.record_id) if record.record_id is not None else f"#{position}"


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and not (
        isinstance(value, float) and math.isnan(value)
    )


def higher_is_better(aggregate: AggregateMetricResult) -> bool:
    """Which way a metric improves: from its thresholds, else from what it measures."""
    for threshold in aggregate.thresholds:
        return threshold.type == "lower_limit"
    base_name = aggregate.name.split("[", 1)[0]
    if aggregate.group == MetricGroup.CONTENT_SAFETY or base_name in _LOWER_IS_BETTER_NAMES:
        return False
    return True


def errors_text(record: RecordMetricResult) -> str | None:
    if not record.errors:
        return None
    return "; ".join(str(error) for error in record.errors)


def wide_frame(
    result: MetricsEvaluationResult,
    data: pd.DataFrame | None = None,
    record_id_field: str = RECORD_ID_COLUMN,
) -> pd.DataFrame:
    """One row per record: its identifier (or the record's own columns), then every metric's value.

    Metrics with errored records get a "<metric> error" column beside their values.
    """
    keyed = keyed_metrics(result)
    order: dict[str, Any] = {}
    columns: dict[str, dict[str, Any]] = {}
    for key, aggregate in keyed.items():
        values: dict[str, Any] = {}
        errors: dict[str, str] = {}
        for position, record in enumerate(aggregate.record_level_metrics):
            row_key = record_key(record, position)
            order.setdefault(row_key, record.record_id)
            values[row_key] = record.value
            if record.errors:
                errors[row_key] = errors_text(record)
        columns[key] = values
        if errors:
            columns[key + ERROR_SUFFIX] = errors
    if data is None:
        frame = pd.DataFrame({record_id_field: list(order.values())})
        row_keys = list(order)
    else:
        frame, row_keys = _base_rows(data, order, record_id_field)
    for name, cells in columns.items():
        column = name if name not in frame.columns else f"metric:{name}"
        frame[column] = [cells.get(row_key) for row_key in row_keys]
    return frame


def write_parquet(frame: pd.DataFrame, path: str | Path) -> None:
    """Write `frame` with pyarrow; mixed-type object columns are stored as JSON text."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    arrays = {}
    for name in frame.columns:
        column = frame[name]
        try:
            arrays[str(name)] = pa.array(column, from_pandas=True)
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
            arrays[str(name)] = pa.array([_json_cell(cell) for cell in column], type=pa.string())
    pq.write_table(pa.table(arrays), str(path))


def csv_ready(frame: pd.DataFrame) -> pd.DataFrame:
    """Lists and mappings as JSON text, so that a reader gets them back as written."""
    ready = frame.copy()
    for name in ready.columns:
        if ready[name].dtype == object:
            ready[name] = [
                json.dumps(cell, ensure_ascii=False, default=str)
                if isinstance(cell, (list, dict, tuple))
                else cell
                for cell in ready[name]
            ]
    return ready


def _base_rows(
    data: pd.DataFrame, order: dict[str, Any], record_id_field: str
) -> tuple[pd.DataFrame, list[str]]:
    """The data's rows, matched to the results by identifier (or position), plus any unmatched results."""
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame, got {type(data).__name__}")
    frame = data.reset_index(drop=True).copy()
    if record_id_field in frame.columns:
        row_keys = [_data_key(value, position) for position, value in enumerate(frame[record_id_field])]
        known = set(row_keys)
        extra = [key for key in order if key not in known]
        if extra:
            extra_rows = pd.DataFrame({record_id_field: [order[key] for key in extra]})
            frame = pd.concat([frame, extra_rows], ignore_index=True)
        return frame, row_keys + extra
    if len(frame) != len(order):
        raise ValueError(
            f"data has no '{record_id_field}' column and {len(frame)} rows for "
            f"{len(order)} records, so the records cannot be matched to its rows."
        )
    frame.insert(0, record_id_field, list(order.values()))
    return frame, list(order)


def _data_key(value: Any, position: int) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return f"#{position}"
    return str(value)


def _json_cell(cell: Any) -> str | None:
    if cell is None or (isinstance(cell, float) and math.isnan(cell)):
        return None
    if isinstance(cell, str):
        return cell
    return json.dumps(cell, ensure_ascii=False, default=str)


def _flatten(items: list[Any]) -> list[Any]:
    flat: list[Any] = []
    for item in items:
        if isinstance(item, (list, tuple)):
            flat.extend(_flatten(list(item)))
        else:
            flat.append(item)
    return flat
