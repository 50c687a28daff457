"""Checked reading of detector parameters and body fields."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

from tessary.services.detectors.errors import BadDetectionRequest


def threshold(params: Mapping[str, Any], detector: str) -> float:
    """Return the optional "threshold" parameter, a number in [0, 1] (default 0)."""
    value = params.get("threshold", 0.0)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0.0 <= value <= 1.0:
        raise BadDetectionRequest(f"Detector '{detector}': 'threshold' must be a number in [0, 1], got {value!r}.")
    return float(value)


def string_list(params: Mapping[str, Any], key: str, detector: str) -> list[str]:
    """Return the required parameter `key` as a non-empty list of non-empty texts."""
    value = params.get(key)
    if not isinstance(value, list) or not value:
        raise BadDetectionRequest(f"Detector '{detector}' needs the parameter '{key}': a non-empty list of texts.")
    for item in value:
        if not isinstance(item, str) or not item:
            raise BadDetectionRequest(f"Detector '{detector}': every entry of '{key}' must be a non-empty text, got {item!r}.")
    return value


def flag(params: Mapping[str, Any], key: str, detector: str, default: bool = False) -> bool:
    """Return the optional boolean parameter `key`."""
    value = params.get(key, default)
    if not isinstance(value, bool):
        raise BadDetectionRequest(f"Detector '{detector}': '{key}' must be true or false, got {value!r}.")
    return value


def text_field(body: Mapping[str, Any], key: str) -> str:
    """Return the body field `key`, which must be a text holding at least one non-blank character."""
    value = body.get(key)
    if not isinstance(value, str):
        shown = "NaN" if isinstance(value, float) and math.isnan(value) else repr(value)
        raise BadDetectionRequest(f"'{key}' must be a text, got {shown}.")
    if not value.strip():
        raise BadDetectionRequest(f"'{key}' is empty: there is no text to score.")
    return value


def context_passages(body: Mapping[str, Any]) -> list[str]:
    """Return the "context" list of passages; missing cells (null, NaN) are skipped."""
    if body.get("context_type", "docs") != "docs":
        raise BadDetectionRequest(f"'context_type' must be \"docs\", got {body.get('context_type')!r}.")
    value = body.get("context")
    if not isinstance(value, list):
        raise BadDetectionRequest(f"'context' must be a list of passages, got {value!r}.")
    passages = [item for item in value if not _is_missing(item)]
    for item in passages:
        if not isinstance(item, str):
            raise BadDetectionRequest(f"Every 'context' passage must be a text, got {item!r}.")
    if not any(passage.strip() for passage in passages):
        raise BadDetectionRequest("'context' holds no passage with text.")
    return passages


def _is_missing(value: Any) -> bool:
    """Tell whether a cell value stands for a missing passage."""
    return value is None or (isinstance(value, float) and math.isnan(value))
