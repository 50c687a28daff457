"""Retry, back-off and time-outs of judge calls, shared by every back end.

Every judge engine retries connection errors, time-outs, 408, 429 and 5xx answers
with exponential back-off and jitter (0.5 s doubling, at most 10 s between tries),
waits as long as a ``Retry-After`` header asks (within the same cap), and stops
at whichever comes first:

| setting (``tessary.judge(...)``) | meaning | default |
|---|---|---|
| ``timeout`` | seconds one request may take | 20 |
| ``max_retries`` | retries after the first attempt | 3 |
| (engine ``max_retry_time``) | seconds one prompt may spend, waits included | 30 |
| ``deadline`` | seconds a metric's judge calls may take in all | none |

A judge that refuses connections, hangs, rejects the key or is not at the URL
ends the run early: once one prompt has failed that way and none has succeeded,
the prompts not yet sent fail at once with the same cause. So a dead judge costs
at most about ``max_retry_time`` seconds per metric, not one time-out per record.
"""

from __future__ import annotations

import inspect
from typing import Any

from tabulon._engine import RETRYABLE_STATUSES, SERVICE_DOWN_CODES, InferenceEngine

__all__ = ["RETRYABLE_STATUSES", "SERVICE_DOWN_CODES", "defaults", "effective_settings"]

_SETTINGS = ("timeout", "max_retries", "retry_base_delay", "max_retry_delay", "max_retry_time", "deadline")


def defaults() -> dict[str, Any]:
    """The engines' default retry and time-out settings."""
    parameters = inspect.signature(InferenceEngine.__init__).parameters
    return {name: parameters[name].default for name in _SETTINGS}


def effective_settings(engine: Any) -> dict[str, Any]:
    """The retry and time-out settings an engine (or the engine it delegates to) runs with."""
    engine = getattr(engine, "engine", engine)
    return {name: getattr(engine, name, None) for name in _SETTINGS}
