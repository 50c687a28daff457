"""A bound on calls in flight shared by every event loop and thread using one engine."""

from __future__ import annotations

import asyncio
import threading
from collections import deque
from collections.abc import Coroutine
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

T = TypeVar("T")


class CallSlots:
    """An asyncio-friendly semaphore that works across loops and threads.

    An engine is shared process-wide (it is cached), so two evaluations on two
    threads must share one bound rather than get one each.
    """

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise ValueError(f"The number of parallel requests must be at least 1, got {limit}.")
        self.limit = limit
        self._in_use = 0
        self._waiters: deque[tuple[asyncio.AbstractEventLoop, asyncio.Future]] = deque()
        self._lock = threading.Lock()

    @property
    def in_use(self) -> int:
        return self._in_use

    async def acquire(self) -> None:
        """Wait for a free slot."""
        with self._lock:
            if self._in_use < self.limit and not self._waiters:
                self._in_use += 1
                return
            loop = asyncio.get_running_loop()
            future = loop.create_future()
            self._waiters.append((loop, future))
        try:
            await future
        except asyncio.CancelledError:
            # The slot may have been granted just before the cancellation landed.
            if future.done() and not future.cancelled():
                self.release()
            raise

    def release(self) -> None:
        """Free a slot, handing it straight to the oldest live waiter if there is one."""
        with self._lock:
            while self._waiters:
                loop, future = self._waiters.popleft()
                if future.done():
                    continue
                try:
                    loop.call_soon_threadsafe(self._grant, future)
                    return
                except RuntimeError:  # that waiter's loop is closed
                    continue
            self._in_use -= 1

    def _grant(self, future: asyncio.Future) -> None:
        if future.done():  # cancelled between hand-over and now: pass the slot on
            self.release()
        else:
            future.set_result(None)


def run_blocking(coroutine: Coroutine[Any, Any, T]) -> T:
    """Run ``coroutine`` to completion from blocking code, even inside a running loop."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(coroutine)
    # A loop runs on this thread (a notebook, a server): use a private loop elsewhere.
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="tabulon-infer") as pool:
        return pool.submit(asyncio.run, coroutine).result()
