import asyncio
import threading

import pytest

from tessary.utils.async_util import (
    gather_with_concurrency,
    run_in_event_loop,
    start_event_loop_run_func,
)


async def add(a, b=0):
    await asyncio.sleep(0)
    return a + b


async def fail(message):
    await asyncio.sleep(0)
    raise KeyError(message)


async def where():
    await asyncio.sleep(0)
    return threading.current_thread(), asyncio.get_running_loop()


def test_run_in_event_loop_from_plain_code_returns_result_and_reuses_loop():
    assert run_in_event_loop(add, 1, b=2) == 3
    thread_1, loop_1 = run_in_event_loop(where)
    thread_2, loop_2 = run_in_event_loop(where)

    assert thread_1 is thread_2 is threading.current_thread()
    assert loop_1 is loop_2 and not loop_1.is_running()


def test_run_in_event_loop_lets_exceptions_through():
    with pytest.raises(KeyError, match="boom"):
        run_in_event_loop(fail, "boom")
    assert run_in_event_loop(add, 4) == 4  # the thread's loop is still usable


def test_run_in_event_loop_returns_plain_results_unchanged():
    assert run_in_event_loop(lambda x: [x], 5) == [5]


@pytest.mark.asyncio
async def test_run_in_event_loop_inside_running_loop_uses_another_thread():
    caller_loop = asyncio.get_running_loop()

    thread, loop = run_in_event_loop(where)

    assert thread is not threading.current_thread()
    assert loop is not caller_loop
    assert run_in_event_loop(add, 2, 3) == 5
    with pytest.raises(KeyError, match="inside"):
        run_in_event_loop(fail, "inside")


@pytest.mark.asyncio
async def test_run_in_event_loop_nested_inside_helper_thread():
    async def outer():
        return run_in_event_loop(add, 10, 1)  # blocking call from the helper thread's loop

    assert run_in_event_loop(outer) == 11


class Tracker:
    def __init__(self):
        self.running = 0
        self.peak = 0
        self.started = []

    async def job(self, index, pause_rounds):
        self.started.append(index)
        self.running += 1
        self.peak = max(self.peak, self.running)
        for _ in range(pause_rounds):
            await asyncio.sleep(0)
        self.running -= 1
        return index * 10


@pytest.mark.asyncio
@pytest.mark.parametrize(("count", "bound"), [(7, 2), (5, 1), (3, 10), (6, None)])
async def test_gather_with_concurrency_bounds_in_flight_and_keeps_order(count, bound):
    tracker = Tracker()
    # later jobs finish sooner, so completion order differs from input order
    coros = [tracker.job(i, pause_rounds=count - i) for i in range(count)]

    results = await gather_with_concurrency(coros=coros, max_concurrency=bound)

    assert results == [i * 10 for i in range(count)]
    assert tracker.peak == min(count, bound or count)


@pytest.mark.asyncio
async def test_gather_with_concurrency_propagates_failure_and_cancels_the_rest():
    finished = []

    async def slow(i):
        await asyncio.sleep(0.05)
        finished.append(i)

    with pytest.raises(KeyError, match="first"):
        await gather_with_concurrency(
            coros=[fail("first"), slow(1), slow(2), slow(3)], max_concurrency=2
        )
    await asyncio.sleep(0.1)
    assert finished == []


@pytest.mark.asyncio
@pytest.mark.parametrize(
    ("bound", "error"), [(0, ValueError), (-1, ValueError), (2.5, TypeError), (True, TypeError)]
)
async def test_gather_with_concurrency_refuses_bad_bounds(bound, error):
    pending = add(1)
    with pytest.raises(error):
        await gather_with_concurrency(coros=[pending], max_concurrency=bound)
    assert pending.cr_frame is None  # closed, so no "never awaited" warning


@pytest.mark.asyncio
async def test_gather_with_concurrency_of_nothing_is_empty():
    assert await gather_with_concurrency(coros=[], max_concurrency=3) == []


def blocking_evaluate(data):
    # Blocking code that asks for the thread's loop, as some libraries do.
    loop = asyncio.get_event_loop()
    return data * 2, loop.run_until_complete(add(1))


@pytest.mark.asyncio
async def test_start_event_loop_run_func_on_executor_thread():
    import functools

    loop = asyncio.get_running_loop()
    positional = functools.partial(start_event_loop_run_func, blocking_evaluate, data=4)
    by_keyword = functools.partial(start_event_loop_run_func, func=blocking_evaluate, data=5)

    assert await loop.run_in_executor(None, positional) == (8, 1)
    assert await loop.run_in_executor(None, by_keyword) == (10, 1)


@pytest.mark.asyncio
async def test_start_event_loop_run_func_propagates_errors():
    def broken(data):
        raise RuntimeError(f"bad {data}")

    import functools

    call = functools.partial(start_event_loop_run_func, broken, data="row")
    with pytest.raises(RuntimeError, match="bad row"):
        await asyncio.get_running_loop().run_in_executor(None, call)
