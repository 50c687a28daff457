"""Results of a metric evaluation: per record, per metric, and for a whole run."""

from __future__ import annotations

import gc
import math
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from datetime import datetime
from itertools import repeat
from pathlib import Path
from typing import Any, Literal

import pandas as pd
from pydantic import BaseModel, Field, field_validator

from tessary.entities.base_classes import BaseEntity, Error
from tessary.entities.enums import MetricGroup
from tessary.entities.metric_threshold import MetricThreshold

_ERROR_VALUE = "Error"
# Code of the error that `AggregateMetricResult.create` records for a record
# that ended with neither a value nor an error of its own.
NO_VALUE_ERROR_CODE = "NO_VALUE"

# Columns of the record table that `to_df` builds, in display order.
RECORD_COLUMNS = (
    "name",
    "display_name",
    "method",
    "provider",
    "group",
    "record_id",
    "record_timestamp",
    "value",
    "label",
    "explanation",
    "evidences",
    "additional_info",
    "errors",
)


class BaseMetricResult(BaseEntity):
    """What every metric result carries: who computed what, and the bounds that apply."""

    name: str
    display_name: str | None = None
    method: str | None = None
    provider: str | None = None
    group: MetricGroup | None = None
    thresholds: list[MetricThreshold] = Field(default_factory=list)
    errors: list[Error] | None = None


class RecordMetricResult(BaseMetricResult):
    """One record's value of one metric, or the errors that prevented it."""

    value: float | int | None = None
    record_id: str | int | None = None
    record_timestamp: str | datetime | None = None
    evidences: list[Any] | None = None
    label: str | None = None
    explanation: str | None = None
    additional_info: dict[str, Any] | None = None

    @field_validator("record_id", mode="before")
    @classmethod
    def _record_id_as_text(cls, value: Any) -> Any:
        # Identifiers come from table cells: keep text and whole numbers, render
        # anything else (UUID objects, numpy scalars) as text; a missing cell is None.
        if value is None or isinstance(value, (str, int)):
            return value
        if _is_nan(value):
            return None
        return str(value)

    @field_validator("record_timestamp", mode="before")
    @classmethod
    def _timestamp_as_text(cls, value: Any) -> Any:
        # pandas' NaT is a datetime too, so missing cells are tested first.
        if value is None or _is_nan(value):
            return None
        if isinstance(value, (str, datetime)):
            return value
        return str(value)

    def __setattr__(self, name: str, value: Any) -> None:
        _own_fields_set(self)
        super().__setattr__(name, value)

    @property
    def model_fields_set(self) -> set[str]:
        """The names of the fields set explicitly (this record's own set: changing it changes no other)."""
        return _own_fields_set(self)

    @classmethod
    def _bulk_template(cls, shared: dict[str, Any]) -> dict[str, Any]:
        """Every field's state of a record whose `shared` fields are validated once, for builders of
        many records of one metric (`from_values`, the compiled providers). Each record's state is a
        copy of it with that record's own cells set and a list of its own as "thresholds"."""
        if cls is not RecordMetricResult:
            raise TypeError(f"{cls.__name__} validates its records one by one")
        return _record_template(shared)

    @classmethod
    def _bulk_fields_set(cls, names: Iterable[str]) -> set[str]:
        """The fields set that records built in bulk with these field names share (see `_bulk_template`)."""
        return _shared_fields_set(names)

    @staticmethod
    def _copies_with(records: list[RecordMetricResult], updates: list[dict[str, Any]]) -> list[RecordMetricResult]:
        """`record.model_copy(update=update)` of each record, for builders that complete many records:
        the same state and fields, with one fields set shared by the copies whose records shared one
        and got the same names."""
        if not _plain_records(records, updates):
            return [record.model_copy(update=update) for record, update in zip(records, updates, strict=True)]
        states = list(map(dict.copy, map(_DICT_OF, records)))
        deque(map(dict.update, states, updates), maxlen=0)
        return _records_of_states(states, _fields_sets_with(records, updates))

    @staticmethod
    def _updated(records: list[RecordMetricResult], updates: list[dict[str, Any]]) -> list[RecordMetricResult]:
        """`_copies_with` for a builder completing records it has just made and holds alone (a
        provider's aggregate, fresh from its base class): the records themselves get the fields,
        unvalidated and named in their fields sets, as the copies would, where building a copy of each
        and dropping the record would double the cost. Other records, and a record listed twice, are
        copied."""
        if not _plain_records(records, updates) or len(set(map(id, records))) != len(records):
            return RecordMetricResult._copies_with(records, updates)
        fields_sets = _fields_sets_with(records, updates)  # from the names the records have now
        deque(map(dict.update, map(_DICT_OF, records), updates), maxlen=0)
        deque(map(_FIELDS_SET_SLOT, records, fields_sets), maxlen=0)
        return list(records)

    def to_row(self) -> dict[str, Any]:
        """Return this record as one row of a results table."""
        return {
            "name": self.name,
            "display_name": self.display_name,
            "method": self.method,
            "provider": self.provider,
            "group": self.group.value if self.group is not None else None,
            "record_id": self.record_id,
            "record_timestamp": self.record_timestamp,
            "value": self.value,
            "label": self.label,
            "explanation": self.explanation,
            "evidences": self.evidences,
            "additional_info": self.additional_info,
            "errors": _errors_text(self.errors),
        }


class AggregateMetricResult(BaseMetricResult):
    """One metric over all records: mean `value`, `min`, `max` and the record results.

    `value` is "Error" when no record could be scored.
    """

    value: float | int | Literal["Error"] | None = None
    total_records: int = Field(default=0, ge=0)
    record_level_metrics: list[RecordMetricResult] = Field(default_factory=list)
    min: float | int | None = None
    max: float | int | None = None
    mean: float | int | None = None
    # Judged metrics: tokens of the judge calls, their cost (with prices), calls made and served from the cache.
    input_tokens: int | None = None
    output_tokens: int | None = None
    cost: float | None = None
    judge_calls: int | None = None
    cached_calls: int | None = None

    @field_validator("value", mode="before")
    @classmethod
    def _refuse_other_text(cls, value: Any) -> Any:
        if isinstance(value, str) and value != _ERROR_VALUE:
            raise ValueError(f"value must be a number or the text '{_ERROR_VALUE}', got {value!r}")
        return value

    @property
    def measured_records(self) -> int:
        """How many record results hold a value (None and NaN do not count)."""
        return sum(1 for record in self.record_level_metrics if _has_value(record.value))

    def __repr_args__(self) -> Any:
        # The record results can be thousands of rows: show how many, not each one.
        for name, value in super().__repr_args__():
            if name == "record_level_metrics":
                value = _RecordsSummary(len(value), self.measured_records)
            yield name, value

    @classmethod
    def create(
        cls, record_level_metrics: list[RecordMetricResult], **fields: Any
    ) -> AggregateMetricResult:
        """Aggregate record results of one metric.

        Name, display name, method, provider, group and thresholds come from the
        first record unless given in `fields`. `min` and `max` are taken over the
        record values, `mean` (also the `value`) is rounded to 4 places; records
        without a value (None or NaN) are left out, and their errors are gathered.
        A record left out without an error of its own is reported in `errors`
        with the code "NO_VALUE", so that every record ends with a value or an
        error. With no value at all, `value` is "Error" and `min`, `max`, `mean`
        are None.
        """
        if not isinstance(record_level_metrics, list):
            raise TypeError(
                "record_level_metrics must be a list of RecordMetricResult, "
                f"got {type(record_level_metrics).__name__}"
            )
        if not record_level_metrics:
            raise ValueError("Cannot aggregate an empty list of record results.")
        for position, record in enumerate(record_level_metrics):
            if not isinstance(record, RecordMetricResult):
                raise TypeError(
                    f"record_level_metrics[{position}] must be a RecordMetricResult, "
                    f"got {type(record).__name__}"
                )
        _share_fields_sets(record_level_metrics)
        return cls._aggregate(record_level_metrics, fields)

    @classmethod
    def _aggregate(cls, record_level_metrics: list[RecordMetricResult], fields: dict[str, Any],
                   values_and_errors: tuple[list[Any], list[Error]] | None = None, *,
                   adopt: bool = False) -> AggregateMetricResult:
        """`create` for records already checked (and their values and errors, when known).

        With `adopt`, the list itself becomes the aggregate's `record_level_metrics` (validation would
        hold a copy of it with the same records): only for a list nobody else holds.
        """
        first = record_level_metrics[0]
        values, errors = values_and_errors or _values_and_errors(record_level_metrics)
        statistics = _statistics(values)
        aggregate = {
            "name": first.name,
            "display_name": first.display_name,
            "method": first.method,
            "provider": first.provider,
            "group": first.group,
            "thresholds": first.thresholds,
            "value": statistics["mean"] if values else _ERROR_VALUE,
            "total_records": len(record_level_metrics),
            "record_level_metrics": record_level_metrics,
            **statistics,
            "errors": errors or None,
        }
        aggregate.update(fields)
        if not adopt or cls is not AggregateMetricResult or "record_level_metrics" in fields:
            return cls(**aggregate)
        # Validating an empty list instead of many records gives the same aggregate (records are
        # taken as they are; the class checks nothing across fields), then it takes the records.
        aggregate["record_level_metrics"] = []
        result = cls(**aggregate)
        result.__dict__["record_level_metrics"] = record_level_metrics
        return result

    @classmethod
    def from_values(
        cls,
        *,
        name: str,
        record_ids: Sequence[Any],
        values: Sequence[Any],
        method: str | None = None,
        provider: str | None = None,
        display_name: str | None = None,
        group: MetricGroup | None = None,
        thresholds: list[MetricThreshold] | None = None,
        errors: Sequence[Any] | None = None,
        record_timestamps: Sequence[Any] | None = None,
        **fields: Any,
    ) -> AggregateMetricResult:
        """Build the record results and their aggregate in one call.

        The same as constructing one `RecordMetricResult` per record (with the
        shared fields, `record_id`, `value` and, where given, that record's
        `errors` and `record_timestamp`) and passing them to `create`, at a
        fraction of the cost: the shared fields are validated once, and records
        whose cells already have their final types skip per-record validation.
        """
        columns = _bulk_columns(record_ids, values, errors, record_timestamps)
        shared = {"name": name, "display_name": display_name, "method": method,
                  "provider": provider, "group": group, "thresholds": thresholds}
        shared = {key: value for key, value in shared.items() if value is not None}
        records, missing = _collected_as_old(len(columns[1]), _bulk_records, shared, *columns)
        if not records:
            raise ValueError("Cannot aggregate an empty list of record results.")
        known = _plain_values_and_errors(records, columns[1], missing) if missing is not None else None
        # The records are this call's own list: the aggregate can hold it instead of a validated copy.
        return cls._aggregate(records, fields, known, adopt=True)

    def to_df(self) -> pd.DataFrame:
        """Return the record results as a table, one row per record."""
        return _records_frame(_aggregate_rows(self))

    def to_dict(self) -> dict[str, Any]:
        """Return this result as plain, JSON-serialisable data (NaN becomes None)."""
        return _plain(self)


class MetricsEvaluationResult(BaseEntity):
    """All results of one evaluation run, usually one `AggregateMetricResult` per metric."""

    metrics_result: list[Any] = Field(default_factory=list)
    run_info: dict[str, Any] | None = None

    def to_df(
        self,
        wide: bool = False,
        data: pd.DataFrame | None = None,
        record_id_field: str = "record_id",
    ) -> pd.DataFrame:
        """Return one row per record result of every metric.

        A metric without record results still gets one row carrying its value
        and errors, so nothing disappears from the table.

        With `wide=True`: one row per record and one column per metric (plus a
        "<metric> error" column for metrics with errored records); given the
        evaluated table as `data`, its own columns come first, matched by
        `record_id_field` (or by position when it has no such column).
        """
        if wide:
            from tessary.report.tables import wide_frame

            return wide_frame(self, data=data, record_id_field=record_id_field)
        if data is not None:
            raise ValueError("Only the wide table joins the records' columns: pass wide=True.")
        rows = []
        for result in _flatten(self.metrics_result):
            if isinstance(result, AggregateMetricResult):
                rows.extend(_aggregate_rows(result))
            elif isinstance(result, RecordMetricResult):
                rows.append(result.to_row())
        return _records_frame(rows)

    def summary_df(self) -> pd.DataFrame:
        """Return one row per metric: value, min, max, mean, record counts, errors."""
        rows = [
            _summary_row(r)
            for r in _flatten(self.metrics_result)
            if isinstance(r, AggregateMetricResult)
        ]
        columns = [
            "name",
            "method",
            "value",
            "min",
            "max",
            "mean",
            "total_records",
            "measured_records",
            "errors",
        ]
        return pd.DataFrame(rows, columns=columns)

    def to_dict(self) -> dict[str, Any]:
        """Return the results as plain, JSON-serialisable data."""
        plain: dict[str, Any] = {"metrics_result": [_plain(result) for result in self.metrics_result]}
        if self.run_info is not None:
            plain["run_info"] = _finite(self.run_info)
        return plain

    def to_json(self, path: str | Path | None = None, *, indent: int | None = None) -> str:
        """Return the whole result as JSON text (also written to `path` when given).

        `from_json` reads it back exactly: NaN, infinities, timestamps and
        non-ASCII text included.
        """
        from tessary.report import _codec

        text = _codec.dumps(_codec.results_document(self.metrics_result, self.run_info), indent)
        if path is not None:
            Path(path).write_text(text, encoding="utf-8")
        return text

    @classmethod
    def from_json(cls, source: str | bytes | Path) -> MetricsEvaluationResult:
        """Read a result written by `to_json`: its JSON text or the path of its file."""
        from tessary.report import _codec

        items, run_info = _codec.results_from_document(_codec.read_document(source))
        return cls(metrics_result=items, run_info=run_info)

    def to_csv(self, path: str | Path, *, data: pd.DataFrame | None = None) -> Path:
        """Write the record-by-metric table (`to_df(wide=True, data=data)`) as UTF-8 CSV."""
        from tessary.report.tables import csv_ready

        path = Path(path)
        csv_ready(self.to_df(wide=True, data=data)).to_csv(path, index=False, encoding="utf-8")
        return path

    def to_parquet(self, path: str | Path, *, data: pd.DataFrame | None = None) -> Path:
        """Write the record-by-metric table (`to_df(wide=True, data=data)`) as Parquet."""
        from tessary.report.tables import write_parquet

        path = Path(path)
        write_parquet(self.to_df(wide=True, data=data), path)
        return path

    def to_html(
        self,
        path: str | Path | None = None,
        *,
        data: pd.DataFrame | None = None,
        configuration: Any = None,
        title: str | None = None,
    ) -> str:
        """Render the self-contained HTML report; write it to `path` when given.

        With the evaluated table as `data`, detector evidences are highlighted in
        the records' text (the configuration, when given, names the text columns).
        """
        from tessary.report.html import render_report

        html = render_report(self, data=data, configuration=configuration, title=title)
        if path is not None:
            Path(path).write_text(html, encoding="utf-8")
        return html

    def __repr__(self) -> str:
        if not self.metrics_result:
            return "MetricsEvaluationResult(no results)"
        with pd.option_context("display.width", 120, "display.max_columns", 20):
            table = self.summary_df().to_string(index=False)
        return f"MetricsEvaluationResult({len(self.metrics_result)} metrics)\n{table}"

    __str__ = __repr__

    def _repr_html_(self) -> str:
        return self.summary_df().to_html(index=False)


def _is_nan(value: Any) -> bool:
    """True for a missing table cell other than None: NaN, NaT, pandas' NA."""
    if isinstance(value, float):
        return math.isnan(value)
    if value is pd.NA or value is pd.NaT:
        return True
    try:
        return bool(value != value)  # numpy's NaN and NaT scalars
    except (TypeError, ValueError):
        return False


def _has_value(value: Any) -> bool:
    return value is not None and not _is_nan(value)


def _values_and_errors(records: list[RecordMetricResult]) -> tuple[list[Any], list[Error]]:
    """The records' values (None and NaN left out) and their errors, in one pass."""
    values: list[Any] = []
    errors: list[Error] = []
    for record in records:
        value = record.value
        # A float that equals itself is a value: the common case skips the general test.
        has_value = value == value if type(value) is float else _has_value(value)
        if has_value:
            values.append(value)
        if record.errors:
            errors.extend(record.errors)
        elif not has_value:
            errors.append(_no_value_error(record))
    return values, errors


def _no_value_error(record: RecordMetricResult) -> Error:
    detail = f" (label {record.label!r})" if record.label is not None else ""
    return Error(
        code=NO_VALUE_ERROR_CODE,
        message_en=f"Record {record.record_id!r} of metric {record.name!r} has no value{detail}.",
    )


class _RecordsSummary:
    __slots__ = ("total", "measured")

    def __init__(self, total: int, measured: int) -> None:
        self.total, self.measured = total, measured

    def __repr__(self) -> str:
        return f"<{self.total} records, {self.measured} with a value>"


def _flatten(results: list[Any]) -> list[Any]:
    flat: list[Any] = []
    for result in results:
        if isinstance(result, (list, tuple)):
            flat.extend(_flatten(list(result)))
        else:
            flat.append(result)
    return flat


def _statistics(values: list[float | int]) -> dict[str, float | int | None]:
    if not values:
        return {"min": None, "max": None, "mean": None}
    return {"min": min(values), "max": max(values), "mean": round(sum(values) / len(values), 4)}


def _errors_text(errors: list[Error] | None) -> str | None:
    if not errors:
        return None
    return "; ".join(str(error) for error in errors)


def _aggregate_rows(result: AggregateMetricResult) -> list[dict[str, Any]]:
    if result.record_level_metrics:
        return [record.to_row() for record in result.record_level_metrics]
    row = dict.fromkeys(RECORD_COLUMNS)
    row.update(
        name=result.name,
        display_name=result.display_name,
        method=result.method,
        provider=result.provider,
        group=result.group.value if result.group is not None else None,
        value=result.value,
        errors=_errors_text(result.errors),
    )
    return [row]


def _summary_row(result: AggregateMetricResult) -> dict[str, Any]:
    return {
        "name": result.name,
        "method": result.method,
        "value": result.value,
        "min": result.min,
        "max": result.max,
        "mean": result.mean,
        "total_records": result.total_records,
        "measured_records": result.measured_records,
        "errors": _error_count(result),
    }


def _error_count(result: AggregateMetricResult) -> int:
    # A provider may keep failed records' errors on the records only (when some
    # other record was scored), so those count too.
    if result.errors:
        return len(result.errors)
    return sum(len(record.errors or []) for record in result.record_level_metrics)


def _records_frame(rows: list[dict[str, Any]]) -> pd.DataFrame:
    return pd.DataFrame(rows, columns=list(RECORD_COLUMNS))


def _plain(result: Any) -> Any:
    if isinstance(result, BaseEntity):
        return _finite(result.model_dump(mode="json"))
    if isinstance(result, (list, tuple)):
        return [_plain(item) for item in result]
    return _finite(result)


def _finite(data: Any) -> Any:
    """Replace NaN and infinities, which JSON cannot carry, by None."""
    if isinstance(data, float):
        return data if math.isfinite(data) else None
    if isinstance(data, dict):
        return {key: _finite(value) for key, value in data.items()}
    if isinstance(data, list):
        return [_finite(item) for item in data]
    return data


def _bulk_columns(record_ids: Sequence[Any], values: Sequence[Any], errors: Sequence[Any] | None,
                  timestamps: Sequence[Any] | None) -> tuple[list[Any] | None, ...]:
    """The per-record columns of `from_values` as lists of one length (None for a column not given)."""
    columns = {"record_ids": list(record_ids), "values": list(values)}
    for label, column in (("errors", errors), ("record_timestamps", timestamps)):
        columns[label] = list(column) if column is not None else None
    count = len(columns["values"])
    lengths = {label: len(column) if column is not None else count for label, column in columns.items()}
    if len(set(lengths.values())) > 1:
        raise ValueError(f"from_values needs columns of one length, got {lengths}")
    return tuple(columns.values())


def _bulk_records(shared: dict[str, Any], record_ids: list[Any], values: list[Any],
                  errors: list[Any] | None, timestamps: list[Any] | None) -> tuple[list[RecordMetricResult], int | None]:
    """The records of `from_values`, and when all of them took the unvalidated path, how many have no
    value (None or NaN); None when some record was validated."""
    template = _record_template(shared)
    thresholds = template["thresholds"]
    fields_set = _shared_fields_set(frozenset(shared) | {"record_id", "value"})
    copy = template.copy
    states: list[dict[str, Any]] = []
    append = states.append
    plain_ids, plain_values = _PLAIN_ID_SET, _PLAIN_VALUE_SET
    validated: dict[int, RecordMetricResult] = {}
    missing = 0
    if _all_none(errors) and _all_none(timestamps):
        for record_id, value in zip(record_ids, values):
            if type(value) in plain_values and type(record_id) in plain_ids:
                # The common case: the state validation would build, without validating again.
                state = copy()
                state["record_id"] = record_id
                state["value"] = value
                state["thresholds"] = [*thresholds]
                append(state)
                if value is None or value != value:
                    missing += 1
                continue
            validated[len(states) + len(validated)] = RecordMetricResult(**shared, record_id=record_id, value=value)
    else:
        errors = errors if errors is not None else repeat(None)
        timestamps = timestamps if timestamps is not None else repeat(None)
        for position, (record_id, value, error, timestamp) in enumerate(zip(record_ids, values, errors, timestamps)):
            if (error is None and timestamp is None and type(value) in plain_values
                    and type(record_id) in plain_ids):
                state = copy()
                state["record_id"] = record_id
                state["value"] = value
                state["thresholds"] = [*thresholds]
                append(state)
                continue
            cells = {"record_id": record_id, "value": value}
            if error is not None:
                cells["errors"] = error
            if timestamp is not None:
                cells["record_timestamp"] = timestamp
            validated[position] = RecordMetricResult(**shared, **cells)
    if not validated:
        return _records_of_states(states, repeat(fields_set)), missing
    built = iter(_records_of_states(states, repeat(fields_set)))
    records = [validated[position] if position in validated else next(built) for position in range(len(values))]
    return records, None


def _all_none(column: list[Any] | None) -> bool:
    return column is None or column.count(None) == len(column)


def _plain_values_and_errors(records: list[RecordMetricResult], values: list[Any],
                             missing: int) -> tuple[list[Any], list[Error]]:
    """`_values_and_errors` of records built from `values` of the plain types, `missing` of them None
    or NaN, read off the column (the column itself when every value counts)."""
    if not missing:
        return values, []
    measured = [value for value in values if value is not None and value == value]
    return measured, [_no_value_error(record) for record, value in zip(records, values)
                      if value is None or value != value]


def _collected_as_old(count: int, build: Callable[..., Any], *args: Any) -> Any:
    """`build(*args)` without the cyclic collector scanning the many objects it makes, which hold no cycles.

    Unpaused, the collector scans every new record several times over as it ages them. Instead the
    youngest objects are collected first, the collector is paused while building, and then the young
    objects (the records, and what already survived a collection) join the oldest generation at once,
    as the survivors of the young collections would. Small builds, a paused collector and one
    holding frozen objects of its own are left alone.
    """
    if count < _BULK_COLLECT_MIN or not gc.isenabled() or gc.get_freeze_count():
        return build(*args)
    gc.collect(0)
    gc.disable()
    try:
        return build(*args)
    finally:
        gc.freeze()
        gc.unfreeze()
        gc.enable()


def _record_template(shared: dict[str, Any]) -> dict[str, Any]:
    """Every field of a record with the shared fields validated, as a dict that copies cheaply.

    The dict is an instance dict of the record class, so its copies share one key table (a third
    smaller than a dict of their own) for as long as only existing fields are assigned.
    """
    prototype = RecordMetricResult(**shared)
    template = object.__new__(RecordMetricResult).__dict__
    for field in RecordMetricResult.model_fields:
        template[field] = getattr(prototype, field)
    return template


def _records_of_states(states: list[dict[str, Any]], fields_sets: Iterable[set[str]]) -> list[RecordMetricResult]:
    """Records holding the given field states and fields sets (one per state), as validation builds them."""
    count = len(states)
    records = list(map(object.__new__, repeat(RecordMetricResult, count)))
    # Whole-column slot assignment: each map runs in C, one descriptor call per record.
    for setter, column in ((_DICT_SLOT, states), (_FIELDS_SET_SLOT, fields_sets),
                           (_EXTRA_SLOT, repeat(None, count)), (_PRIVATE_SLOT, repeat(None, count))):
        deque(map(setter, records, column), maxlen=0)
    return records


def _plain_records(records: list[RecordMetricResult], updates: list[dict[str, Any]]) -> bool:
    """True when every record is a plain record without private state (records that bulk updates may
    build or change directly), one update each."""
    if any(type(record) is not RecordMetricResult or record.__pydantic_private__ is not None for record in records):
        return False
    if len(records) != len(updates):
        raise ValueError(f"{len(records)} records were given {len(updates)} updates")
    return True


def _fields_sets_with(records: list[RecordMetricResult], updates: list[dict[str, Any]]) -> Iterable[set[str]]:
    """The fields set of each record with its update: its own names and the update's, one shared set
    for those whose records shared one and got the same names (most often, all of them)."""
    if not records:
        return []
    fields_sets = list(map(_FIELDS_SET_OF, records))
    names = list(map(tuple, updates))
    if fields_sets.count(fields_sets[0]) == len(fields_sets) and names.count(names[0]) == len(names):
        return repeat(_shared_fields_set(fields_sets[0].union(names[0])), len(records))
    shared_sets: dict[tuple[Any, ...], _SharedFieldsSet] = {}
    per_record = []
    for fields_set, update in zip(fields_sets, updates):
        # Every record is alive until the end of the loop, so no two fields sets share an id.
        shared_key = (id(fields_set), *update)
        shared = shared_sets.get(shared_key)
        if shared is None:
            shared = shared_sets[shared_key] = _shared_fields_set(fields_set.union(update))
        per_record.append(shared)
    return per_record


class _SharedFieldsSet(set):
    """The fields set of many records at once, which every record built the same way can share.

    It cannot change: a record replaces it by a plain copy of its own before anything is set on it
    (`RecordMetricResult.__setattr__`, `model_fields_set`), and copies of it are plain sets.
    """

    __slots__ = ()

    def _refuse(self, *args: Any, **kwargs: Any) -> Any:
        raise TypeError("A fields set shared by several records cannot change; use the record's model_fields_set.")

    add = discard = remove = pop = clear = update = _refuse
    difference_update = intersection_update = symmetric_difference_update = _refuse
    __ior__ = __iand__ = __isub__ = __ixor__ = _refuse

    def __copy__(self) -> set[str]:
        return set.copy(self)

    def __deepcopy__(self, memo: dict[int, Any]) -> set[str]:
        return set.copy(self)

    def __repr__(self) -> str:
        return repr(set.copy(self))


_SHARED_FIELDS_SETS: dict[frozenset[str], _SharedFieldsSet] = {}


def _shared_fields_set(names: Iterable[str]) -> _SharedFieldsSet:
    key = frozenset(names)
    shared = _SHARED_FIELDS_SETS.get(key)
    if shared is None:
        shared = _SHARED_FIELDS_SETS[key] = _SharedFieldsSet(key)
    return shared


def _share_fields_sets(records: list[RecordMetricResult]) -> None:
    """Let records whose fields sets are equal share one (a set of five names takes 728 bytes)."""
    shared_sets, set_fields_set = _SHARED_FIELDS_SETS, _FIELDS_SET_SLOT
    for record in records:
        fields_set = record.__pydantic_fields_set__
        if type(fields_set) is set:
            shared = shared_sets.get(frozenset(fields_set)) or _shared_fields_set(fields_set)
            set_fields_set(record, shared)


def _own_fields_set(record: RecordMetricResult) -> set[str]:
    """The record's fields set, first made its own when it was shared."""
    fields_set = record.__pydantic_fields_set__
    if type(fields_set) is _SharedFieldsSet:
        fields_set = set.copy(fields_set)
        _FIELDS_SET_SLOT(record, fields_set)
    return fields_set


_DICT_SLOT = BaseModel.__dict__["__dict__"].__set__
_DICT_OF = BaseModel.__dict__["__dict__"].__get__
_FIELDS_SET_OF = BaseModel.__dict__["__pydantic_fields_set__"].__get__
_FIELDS_SET_SLOT = BaseModel.__dict__["__pydantic_fields_set__"].__set__
_EXTRA_SLOT = BaseModel.__dict__["__pydantic_extra__"].__set__
_PRIVATE_SLOT = BaseModel.__dict__["__pydantic_private__"].__set__
_PLAIN_VALUE_SET = frozenset((float, int, type(None)))
_PLAIN_ID_SET = frozenset((str, int, type(None)))
# Builds from this many records on pause the collector (below, its own scans cost less than a pause).
_BULK_COLLECT_MIN = 5_000
