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
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def encode(value: Any, where: str = "result") -> Any:
    """Turn `value` into data that `json.dumps` writes without loss."""
    if value is None or isinstance(value, (bool, str, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else {_FLOAT_TAG: _non_finite_name(value)}
    if isinstance(value, dict):
        return _encode_dict(value, where)
    if isinstance(value, list):
        return [encode(item, f"{where}[{i}]") for i, item in enumerate(value)]
    if isinstance(value, tuple):
        return {_TUPLE_TAG: [encode(item, f"{where}[{i}]") for i, item in enumerate(value)]}
    if isinstance(value, datetime):
        return {_DATETIME_TAG: value.isoformat()}
    if isinstance(value, date):
        return {_DATE_TAG: value.isoformat()}
    if isinstance(value, Enum):
        return encode(value.value, where)
    if isinstance(value, np.generic):
        return encode(value.item(), where)
    if isinstance(value, np.ndarray):
        return encode(value.tolist(), where)
    if isinstance(value, BaseModel):
        return encode(value.model_dump(), where)
    raise TypeError(f"{where} holds a {type(value).__name__}, which cannot be written as JSON")


def decode(data: Any) -> Any:
    """Undo `encode`."""
    if isinstance(data, list):
        return [decode(item) for item in data]
    if not isinstance(data, dict):
        return data
    if len(data) == 1:
        (tag, inner), = data.items()
        if tag == _FLOAT_TAG:
            return _NON_FINITE[inner]
        if tag == _DATETIME_TAG:
            return datetime.fromisoformat(inner)
        if tag == _DATE_TAG:
            return date.fromisoformat(inner)
        if tag == _TUPLE_TAG:
            return tuple(decode(item) for item in inner)
        if tag == _DICT_TAG:
            return {_hashable(decode(key)): decode(item) for key, item in inner}
    return {key: decode(item) for key, item in data.items()}


def dumps(document: dict[str, Any], indent: int | None = None) -> str:
    return json.dumps(document, ensure_ascii=False, allow_nan=False, indent=indent)


def read_document(source: str | bytes | Path) -> dict[str, Any]:
    """Parse results written by `to_json`: JSON text, or the path of a file holding it."""
    text = _source_text(source)
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"The results are not valid JSON: {error}") from None
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


def _encode_dict(value: dict[Any, Any], where: str) -> dict[str, Any]:
    if all(isinstance(key, str) and not key.startswith("$") for key in value):
        return {key: encode(item, f"{where}[{key!r}]") for key, item in value.items()}
    pairs = [[encode(key, where), encode(item, f"{where}[{key!r}]")] for key, item in value.items()]
    return {_DICT_TAG: pairs}


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
    return [_decode_item(item, f"metrics_result[{i}]") for i, item in enumerate(items)], decode(
        document.get("run_info")
    )


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
        return kinds[kind].model_validate(decode(item.get("fields")))
    except ValidationError as error:
        raise ValueError(f"{where} is not a valid {kind} result: {error}") from None
