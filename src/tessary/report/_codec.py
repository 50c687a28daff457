"""Lossless JSON form of evaluation results.

JSON has no NaN, infinities, datetimes, tuples or non-text keys; those are
written as one-key tagged objects (`{"$float": "nan"}`), and mappings that could
be mistaken for a tag are written as key/value pairs, so that reading the text
back gives the very values that were written.
"""

from __future__ import annotations

import json
import math
from datetime import date, datetime
from enum import Enum
from pathlib import Path
from typing import Any

import numpy as np
from pydantic import BaseModel

FORMAT_NAME = "tessary-results"
FORMAT_VERSION = 1

_FLOAT_TAG, _DATETIME_TAG, _DATE_TAG, _DICT_TAG, _TUPLE_TAG = (
    "$float",
    "$datetime",
    "$date",
    "$dict",
    "$tuple",
)
_PLAIN = frozenset({str, int, bool})
# Results repeat a few shapes of mapping (records, thresholds, errors, spans) thousands of times.
_PLAIN_KEY_SETS: dict[tuple[Any, ...], bool] = {}
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def encode(value: Any, where: str = "result") -> Any:
    """Turn `value` into data that `json.dumps` writes without loss."""
    try:
        return _encode(value)
    except _Unwritable:
        raise TypeError(f"{_unwritable_path(value, where)}, which cannot be written as JSON") from None


class _Unwritable(Exception):
    pass


def _encode(value: Any) -> Any:
    kind = type(value)
    if value is None or kind is str or kind is int or kind is bool:
        return value
    if kind is float:
        return value if math.isfinite(value) else {_FLOAT_TAG: _non_finite_name(value)}
    if kind is dict:
        return _encode_dict(value)
    if kind is list:
        return [_encode(item) for item in value]
    return _encode_other(value)


def _encode_other(value: Any) -> Any:
    if isinstance(value, Enum):
        return _encode(value.value)
    if isinstance(value, (bool, str, int)):
        return value
    if isinstance(value, float):
        return _encode(float(value))
    if isinstance(value, dict):
        return _encode_dict(value)
    if isinstance(value, list):
        return [_encode(item) for item in value]
    if isinstance(value, tuple):
        return {_TUPLE_TAG: [_encode(item) for item in value]}
    if isinstance(value, datetime):
        return {_DATETIME_TAG: value.isoformat()}
    if isinstance(value, date):
        return {_DATE_TAG: value.isoformat()}
    if isinstance(value, np.generic):
        return _encode(value.item())
    if isinstance(value, np.ndarray):
        return _encode(value.tolist())
    if isinstance(value, BaseModel):
        return _encode(value.model_dump())
    raise _Unwritable


def _unwritable_path(value: Any, where: str) -> str:
    """Where the value that cannot be written sits, for the error message (slow path)."""
    if isinstance(value, BaseModel):
        value = value.model_dump()
    children: Any = ()
    if isinstance(value, dict):
        children = ((f"{where}[{key!r}]", item) for key, item in value.items())
    elif isinstance(value, (list, tuple)):
        children = ((f"{where}[{i}]", item) for i, item in enumerate(value))
    for child_where, child in children:
        try:
            _encode(child)
        except _Unwritable:
            return _unwritable_path(child, child_where)
    return f"{where} holds a {type(value).__name__}"


def restore(data: dict[str, Any]) -> Any:
    """Undo `encode` for one mapping whose contents are already restored (a `json.loads` object hook)."""
    if len(data) == 1:
        (tag, inner), = data.items()
        if tag == _FLOAT_TAG:
            return _NON_FINITE[inner]
        if tag == _DATETIME_TAG:
            return datetime.fromisoformat(inner)
        if tag == _DATE_TAG:
            return date.fromisoformat(inner)
        if tag == _TUPLE_TAG:
            return tuple(inner)
        if tag == _DICT_TAG:
            return {_hashable(key): item for key, item in inner}
    return data


def dumps(document: dict[str, Any], indent: int | None = None) -> str:
    return json.dumps(document, ensure_ascii=False, allow_nan=False, indent=indent)


def read_document(source: str | bytes | Path) -> dict[str, Any]:
    """Parse results written by `to_json`: JSON text, or the path of a file holding it."""
    text = _source_text(source)
    try:
        document = json.loads(text, object_hook=restore)
    except json.JSONDecodeError as error:
        raise ValueError(f"The results are not valid JSON: {error}") from None
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"The results hold a malformed tagged value: {error!r}") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT_NAME:
        raise ValueError(
            f"The JSON is not a results document (expected \"format\": \"{FORMAT_NAME}\")."
        )
    if document.get("version") != FORMAT_VERSION:
        raise ValueError(
            f"Results format version {document.get('version')!r} is not supported "
            f"(this version reads {FORMAT_VERSION})."
        )
    return document


def _source_text(source: str | bytes | Path) -> str:
    if isinstance(source, bytes):
        return source.decode("utf-8")
    if isinstance(source, str) and source.lstrip().startswith(("{", "[")):
        return source
    if isinstance(source, (str, Path)):
        path = Path(source)
        if not path.is_file():
            raise FileNotFoundError(f"No results file at {str(path)!r}.")
        return path.read_text(encoding="utf-8")
    raise TypeError(f"from_json takes JSON text or a path, got {type(source).__name__}")


def _encode_dict(value: dict[Any, Any]) -> dict[str, Any]:
    if _plain_keys(value):
        # Text, whole numbers and None are by far the most common cells: no call for those.
        return {
            key: item if item is None or type(item) in _PLAIN else _encode(item)
            for key, item in value.items()
        }
    return {_DICT_TAG: [[_encode(key), _encode(item)] for key, item in value.items()]}


def _plain_keys(value: dict[Any, Any]) -> bool:
    """True when every key is text that cannot be taken for a tag; remembered per key set."""
    keys = tuple(value)
    plain = _PLAIN_KEY_SETS.get(keys)
    if plain is None:
        plain = all(type(key) is str and key[:1] != "$" for key in keys)
        if len(_PLAIN_KEY_SETS) < 4096:
            _PLAIN_KEY_SETS[keys] = plain
    return plain


def _hashable(key: Any) -> Any:
    return tuple(_hashable(item) for item in key) if isinstance(key, list) else key


def _non_finite_name(value: float) -> str:
    if math.isnan(value):
        return "nan"
    return "inf" if value > 0 else "-inf"


def results_document(metrics_result: list[Any], run_info: dict[str, Any] | None) -> dict[str, Any]:
    """The JSON document of one run: its run information and every result, tagged by kind."""
    return {
        "format": FORMAT_NAME,
        "version": FORMAT_VERSION,
        "run_info": encode(run_info, "run_info"),
        "metrics_result": [
            _encode_item(item, f"metrics_result[{i}]") for i, item in enumerate(metrics_result)
        ],
    }


def results_from_document(document: dict[str, Any]) -> tuple[list[Any], dict[str, Any] | None]:
    items = document.get("metrics_result")
    if not isinstance(items, list):
        raise ValueError("The results document has no \"metrics_result\" list.")
    run_info = document.get("run_info")
    if run_info is not None and not isinstance(run_info, dict):
        raise ValueError("The results document's \"run_info\" is not a mapping.")
    return [_decode_item(item, f"metrics_result[{i}]") for i, item in enumerate(items)], run_info


def _encode_item(item: Any, where: str) -> dict[str, Any]:
    from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult

    if isinstance(item, AggregateMetricResult):
        return {"kind": "aggregate", "fields": encode(item.model_dump(), where)}
    if isinstance(item, RecordMetricResult):
        return {"kind": "record", "fields": encode(item.model_dump(), where)}
    if isinstance(item, (list, tuple)):
        return {"kind": "list", "items": [_encode_item(x, f"{where}[{i}]") for i, x in enumerate(item)]}
    raise TypeError(f"{where} is a {type(item).__name__}, not a metric result")


def _decode_item(item: Any, where: str) -> Any:
    from pydantic import ValidationError

    from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult

    kinds = {"aggregate": AggregateMetricResult, "record": RecordMetricResult}
    kind = item.get("kind") if isinstance(item, dict) else None
    if kind == "list":
        return [_decode_item(x, f"{where}[{i}]") for i, x in enumerate(item.get("items", []))]
    if kind not in kinds:
        raise ValueError(f"{where} has no known \"kind\" (aggregate, record or list).")
    try:
        return kinds[kind].model_validate(item.get("fields"))
    except ValidationError as error:
        raise ValueError(f"{where} is not a valid {kind} result: {error}") from None
