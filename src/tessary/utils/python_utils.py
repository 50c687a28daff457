"""Small helpers: duration tracking, cell parsing, authenticator tokens."""

from __future__ import annotations

import ast
import json
import logging
import math
import time
from typing import Any, Protocol

logger = logging.getLogger(__name__)


class track_duration:  # noqa: N801 - used like a function: `with track_duration(label):`
    """Context manager that measures how long its block takes.

    The duration (seconds) is kept in `duration` and logged at debug level
    under `label`. Exceptions inside the block always propagate.
    """

    __slots__ = ("label", "duration", "_start")

    def __init__(self, label: str) -> None:
        self.label = label
        self.duration: float | None = None
        self._start = 0.0

    def __enter__(self) -> track_duration:
        self._start = time.perf_counter()
        return self

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> bool:
        self.duration = time.perf_counter() - self._start
        if logger.isEnabledFor(logging.DEBUG):
            outcome = "failed" if exc_type is not None else "done"
            logger.debug("%s %s in %.6f s", self.label, outcome, self.duration)
        return False


def _is_missing(value: Any) -> bool:
    """True for an empty table cell: None, NaN of any float type, NaT, pandas' NA."""
    if value is None:
        return True
    if isinstance(value, float):
        return math.isnan(value)
    if type(value).__name__ in _MISSING_TYPE_NAMES:
        return True
    if hasattr(value, "dtype") and getattr(value, "ndim", None) == 0:  # numpy scalars
        try:
            return bool(value != value)
        except (TypeError, ValueError):
            return False
    return False


# pandas' missing-value markers, recognised without importing pandas here.
_MISSING_TYPE_NAMES = frozenset({"NAType", "NaTType"})


# Python-literal parsing costs far more memory than the text (an 8 MB literal takes gigabytes):
# longer texts are parsed as JSON only.
LITERAL_SIZE_LIMIT = 100_000


def _parse_list_text(text: str) -> list | None:
    """Parse JSON or (short) Python-literal text of a list; None when it is neither."""
    try:
        parsed = json.loads(text)
    except RecursionError:
        return None  # nested deeper than any list of texts
    except ValueError:
        if len(text) > LITERAL_SIZE_LIMIT:
            return None
        try:
            parsed = ast.literal_eval(text)
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            return None
    if isinstance(parsed, (list, tuple)):
        return list(parsed)
    return None


def transform_str_to_list(value: Any) -> list:
    """Turn one cell value into a list of texts.

    A list is returned as is; a tuple or array becomes a list; JSON text or
    Python-literal text (up to ``LITERAL_SIZE_LIMIT`` characters) of a list is
    parsed; any other text, or one that cannot be parsed at bounded cost,
    becomes a one-element list; None and NaN give an empty list; other scalars become a
    one-element list of their text form.
    """
    if isinstance(value, str):
        if value.lstrip().startswith("["):
            parsed = _parse_list_text(value.strip())
            if parsed is not None:
                return parsed
        return [value]
    if isinstance(value, list):
        return value
    if _is_missing(value):
        return []
    if isinstance(value, tuple):
        return list(value)
    if hasattr(value, "tolist"):  # numpy arrays and pandas series
        converted = value.tolist()
        return converted if isinstance(converted, list) else [str(converted)]
    return [str(value)]


class _Authenticator(Protocol):
    def get_token(self) -> str: ...


def get_authenticator_token(authenticator: _Authenticator) -> str:
    """Return the current bearer token of `authenticator`."""
    if authenticator is None:
        raise ValueError("No authenticator is configured, so no bearer token can be sent.")
    return authenticator.get_token()
