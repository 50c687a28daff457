"""Usage telemetry: evaluation events, batched and posted as JSON.

Telemetry is off unless TESSARY_TELEMETRY_URL names a destination. Then every
event is queued, and a full batch (TESSARY_TELEMETRY_BATCH_SIZE events, 20 by
default) or one older than a minute is posted to that URL as
{"source": "tessary", "sent_at": ..., "events": [{"id", "timestamp", "properties"}]}.
Events still queued when the process ends are posted then. A destination that
cannot be reached never fails an evaluation: the batch is dropped and logged.
"""

from __future__ import annotations

import asyncio
import atexit
import logging
import threading
import time
import uuid
from collections.abc import Mapping
from datetime import UTC, datetime
from typing import Any

from tessary.utils.environment import (
    get_telemetry_batch_size,
    get_telemetry_timeout,
    get_telemetry_url,
)

logger = logging.getLogger(__name__)

MAX_BATCH_AGE_SECONDS = 60.0

# Events waiting to be posted, per destination URL; shared by all managers
# because each evaluation call creates its own manager.
_pending: dict[str, list[dict[str, Any]]] = {}
_oldest_pending: dict[str, float] = {}
_pending_lock = threading.Lock()


class SegmentBatchManager:
    """Collects telemetry events and posts them in batches."""

    __slots__ = ("url", "batch_size", "timeout")

    def __init__(
        self, url: str | None = None, batch_size: int | None = None, timeout: float | None = None
    ) -> None:
        self.url = url or get_telemetry_url()
        if self.url is None:
            return  # disabled: nothing else is read or prepared
        self.batch_size = batch_size if batch_size is not None else get_telemetry_batch_size()
        self.timeout = timeout if timeout is not None else get_telemetry_timeout()
        if self.batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {self.batch_size}.")

    @property
    def enabled(self) -> bool:
        """Whether events are sent anywhere."""
        return self.url is not None

    async def track_event(self, event: Mapping[str, Any]) -> None:
        """Queue one event; post the batch when it is full or old."""
        if self.url is None:
            return
        if not isinstance(event, Mapping):
            raise TypeError(f"A telemetry event must be a mapping, got {type(event).__name__}.")
        batch = _enqueue(self.url, _envelope(event), self.batch_size)
        if batch:
            await post_batch(self.url, batch, self.timeout)

    async def flush(self) -> None:
        """Post every event queued for this manager's destination."""
        if self.url is None:
            return
        batch = _take(self.url)
        if batch:
            await post_batch(self.url, batch, self.timeout)


def _envelope(event: Mapping[str, Any]) -> dict[str, Any]:
    return {
        "id": str(uuid.uuid4()),
        "timestamp": datetime.now(UTC).isoformat(),
        "properties": dict(event),
    }


def _enqueue(url: str, entry: dict[str, Any], batch_size: int) -> list[dict[str, Any]]:
    """Queue `entry`; return the batch to post now, or an empty list."""
    now = time.monotonic()
    with _pending_lock:
        queue = _pending.setdefault(url, [])
        if not queue:
            _oldest_pending[url] = now
        queue.append(entry)
        too_old = now - _oldest_pending[url] >= MAX_BATCH_AGE_SECONDS
        if len(queue) < batch_size and not too_old:
            return []
        return _take_locked(url)


def _take(url: str) -> list[dict[str, Any]]:
    with _pending_lock:
        return _take_locked(url)


def _take_locked(url: str) -> list[dict[str, Any]]:
    _oldest_pending.pop(url, None)
    return _pending.pop(url, [])


async def post_batch(url: str, events: list[dict[str, Any]], timeout: float) -> bool:
    """Post `events` to `url`; return whether the destination accepted them.

    Failures are logged and swallowed so that telemetry never breaks an evaluation.
    """
    import aiohttp  # only when telemetry is on

    payload = {
        "source": "tessary",
        "sent_at": datetime.now(UTC).isoformat(),
        "events": events,
    }
    try:
        client_timeout = aiohttp.ClientTimeout(total=timeout)
        async with aiohttp.ClientSession(timeout=client_timeout) as session:
            async with session.post(url, json=payload) as response:
                if response.status >= 300:
                    logger.debug(
                        "Telemetry destination answered %s; %d events dropped.",
                        response.status,
                        len(events),
                    )
                    return False
                return True
    except Exception as error:  # never let telemetry fail the caller
        logger.debug(
            "Telemetry post to %s failed (%s); %d events dropped.", url, error, len(events)
        )
        return False


def _flush_all_at_exit() -> None:
    with _pending_lock:
        batches = list(_pending.items())
        _pending.clear()
        _oldest_pending.clear()
    if not batches:
        return
    timeout = get_telemetry_timeout()

    async def post_all() -> None:
        await asyncio.gather(*(post_batch(url, events, timeout) for url, events in batches))

    try:
        asyncio.run(post_all())
    except Exception as error:
        logger.debug("Telemetry could not be flushed at exit: %s", error)


atexit.register(_flush_all_at_exit)
