"""Bridges between blocking code and asyncio.

`run_in_event_loop` drives a coroutine to completion from blocking code, also
when that code itself runs inside an event loop (a notebook, a web server):
then the coroutine runs on a helper thread with its own loop, and asyncio is
never patched. Each thread keeps one event loop and reuses it, so repeated
calls stay cheap.
"""

from __future__ import annotations

import asyncio
import contextvars
import inspect
import os
import threading
from collections.abc import Awaitable, Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

_thread_state = threading.local()
_helper_pool: ThreadPoolExecutor | None = None
_helper_pool_lock = threading.Lock()
_HELPER_POOL_SIZE = min(32, (os.cpu_count() or 1) + 4)


class _ThreadLoop:
    """Owns one thread's event loop and closes it when the thread's state goes away."""

    __slots__ = ("loop",)

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()

    def __del__(self) -> None:
        loop = self.loop
        if not loop.is_closed() and not loop.is_running():
            loop.close()


def _thread_loop() -> asyncio.AbstractEventLoop:
    """Return this thread's reusable event loop, creating it on first use."""
    holder = getattr(_thread_state, "loop_holder", None)
    if holder is None or holder.loop.is_closed():
        holder = _ThreadLoop()
        _thread_state.loop_holder = holder
    return holder.loop


def _drive(func: Callable[..., Any], args: tuple, kwargs: dict) -> Any:
    """Call `func` and, when it returns an awaitable, run it on this thread's loop."""
    result = func(*args, **kwargs)
    if not inspect.isawaitable(result):
        return result
    return _thread_loop().run_until_complete(result)


def _drive_on_helper(func: Callable[..., Any], args: tuple, kwargs: dict) -> Any:
    _thread_state.is_helper = True
    return _drive(func, args, kwargs)


def _get_helper_pool() -> ThreadPoolExecutor:
    global _helper_pool
    if _helper_pool is None:
        with _helper_pool_lock:
            if _helper_pool is None:
                _helper_pool = ThreadPoolExecutor(
                    max_workers=_HELPER_POOL_SIZE, thread_name_prefix="tessary-loop"
                )
    return _helper_pool


def _run_on_other_thread(func: Callable[..., Any], args: tuple, kwargs: dict) -> Any:
    """Run on a helper thread and wait; context variables travel along."""
    context = contextvars.copy_context()
    if getattr(_thread_state, "is_helper", False):
        # Already on a helper thread: a dedicated thread avoids exhausting the pool
        # with nested blocking calls.
        return _run_on_new_thread(context, func, args, kwargs)
    future = _get_helper_pool().submit(context.run, _drive_on_helper, func, args, kwargs)
    return future.result()


def _run_on_new_thread(
    context: contextvars.Context, func: Callable[..., Any], args: tuple, kwargs: dict
) -> Any:
    outcome: dict[str, Any] = {}

    def target() -> None:
        try:
            outcome["value"] = context.run(_drive, func, args, kwargs)
        except BaseException as error:  # handed back to the waiting caller
            outcome["error"] = error

    thread = threading.Thread(target=target, name="tessary-loop-nested")
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def run_in_event_loop(func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """Call `func(*args, **kwargs)` and drive the awaitable it returns to completion.

    Works from plain code and from code running inside an event loop (then on
    a helper thread, blocking the caller until done). Returns the awaitable's
    result; its exception propagates. A non-awaitable result is returned as is.
    """
    if asyncio._get_running_loop() is None:
        return _drive(func, args, kwargs)
    return _run_on_other_thread(func, args, kwargs)


async def gather_with_concurrency[T](
    coros: Iterable[Awaitable[T]], max_concurrency: int | None = 10
) -> list[T]:
    """Await all `coros` with at most `max_concurrency` in flight; results in input order.

    `max_concurrency` None means no bound. When one awaitable fails, the
    others are cancelled (those not started are closed) and the failure
    propagates.
    """
    awaitables = list(coros)
    try:
        _check_concurrency(max_concurrency)
    except (TypeError, ValueError):
        _close_unstarted(awaitables)
        raise
    if not awaitables:
        return []
    if max_concurrency is None or max_concurrency >= len(awaitables):
        tasks = [asyncio.ensure_future(awaitable) for awaitable in awaitables]
    else:
        semaphore = asyncio.Semaphore(max_concurrency)
        tasks = [asyncio.ensure_future(_bounded(semaphore, a)) for a in awaitables]
    try:
        return await asyncio.gather(*tasks)
    except BaseException:
        for task in tasks:
            task.cancel()
        raise


def _check_concurrency(max_concurrency: Any) -> None:
    if max_concurrency is None:
        return
    if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int):
        raise TypeError(
            f"max_concurrency must be a whole number, got {type(max_concurrency).__name__}"
        )
    if max_concurrency < 1:
        raise ValueError(f"max_concurrency must be at least 1, got {max_concurrency}")


async def _bounded[T](semaphore: asyncio.Semaphore, awaitable: Awaitable[T]) -> T:
    try:
        async with semaphore:
            return await awaitable
    finally:
        # A coroutine cancelled before it started would otherwise warn that it
        # was never awaited.
        _close_unstarted([awaitable])


def _close_unstarted(awaitables: list[Awaitable[Any]]) -> None:
    for awaitable in awaitables:
        if inspect.iscoroutine(awaitable):
            awaitable.close()  # no-op for a coroutine that already ran


def start_event_loop_run_func(func: Callable[..., Any], **kwargs: Any) -> Any:
    """Run `func(**kwargs)` on a worker thread and return its result.

    Gives the thread its own event loop first, so that blocking code which asks
    for the current loop finds one; an awaitable result is driven to completion.
    """
    if asyncio._get_running_loop() is None:
        loop = _thread_loop()
        if getattr(_thread_state, "installed_loop", None) is not loop:
            asyncio.set_event_loop(loop)
            _thread_state.installed_loop = loop
    return run_in_event_loop(func, **kwargs)
