"""C++ coroutines from the shared bridge behave like Python coroutines under asyncio and by hand."""
import asyncio
import collections.abc
import contextlib
import gc
import os
import subprocess
import sys
import textwrap
import traceback
import tracemalloc
import types
import weakref

import pytest

import _coroutine_probe as probe


# Sanitizer builds keep freed memory in quarantine and pad every allocation: growth figures mean nothing there.
memory_growth = pytest.mark.skipif(
    bool(os.environ.get("TESSARY_SANITIZE")), reason="memory growth is not measurable under the sanitizer build"
)



@types.coroutine
def suspend(value=None):
    """Yields `value` to whoever drives the coroutine; returns what is sent back."""
    return (yield value)


async def later(value):
    await asyncio.sleep(0)
    return value


async def boom(message="boom"):
    await asyncio.sleep(0)
    raise ValueError(message)


class Awaitable:
    """An object with __await__ (a generator), suspending once."""

    def __init__(self, value):
        self.value = value

    def __await__(self):
        sent = yield "from __await__"
        return (self.value, sent)


class Holder:
    """An awaitable whose __await__ frame keeps the object (and what it holds) alive."""

    def __await__(self):
        return (yield "held")


def drive(coro, *sends):
    """Steps a coroutine by hand; returns the yielded values and the StopIteration value."""
    yielded = [coro.send(None)]
    for value in sends:
        try:
            yielded.append(coro.send(value))
        except StopIteration as stop:
            return yielded, stop.value
    raise AssertionError("coroutine did not finish")


def counters_delta(before):
    after = probe.counters()
    return {key: after[key] - before[key] for key in after}


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


# --- the object Python sees ---------------------------------------------------------------------


def test_is_a_coroutine_to_asyncio():
    coro = probe.fail("none")
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert type(coro).__module__ == "tessary.native" and type(coro).__name__ == "coroutine"
    assert (coro.__name__, coro.__qualname__) == ("fail", "Probe.fail")
    assert repr(coro).startswith("<tessary.native.coroutine object Probe.fail at 0x")
    assert (coro.cr_running, coro.cr_suspended, coro.cr_await, coro.cr_frame) == (False, False, None, None)
    assert coro.__await__() is coro
    coro.__qualname__ = "Other.name"
    assert coro.__qualname__ == "Other.name"
    with pytest.raises(TypeError, match="__qualname__ must be set to a string object"):
        coro.__qualname__ = 1
    with pytest.raises(TypeError):
        type(coro)()
    assert asyncio.run(coro) == "none"


def test_no_work_until_awaited():
    before = probe.counters()
    awaited = []

    class Recorder:
        def __await__(self):
            awaited.append(True)
            return (yield)

    raising = probe.fail("value_error")  # the body raises only once it runs
    guarded = probe.guarded(Recorder())
    assert awaited == [] and counters_delta(before)["constructed"] == 0
    assert guarded.send(None) is None
    assert awaited == [True] and counters_delta(before)["constructed"] == 1
    assert guarded.cr_suspended and guarded.cr_await is not None
    guarded.close()
    with pytest.raises(ValueError, match="probe: value error from C\\+\\+"):
        raising.send(None)


# --- values and exceptions ----------------------------------------------------------------------


def future_soon(value):
    future = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(future.set_result, value)
    return future


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: later(1), 1),
        (lambda: asyncio.sleep(0, "slept"), "slept"),
        (lambda: future_soon((1, 2)), (1, 2)),
        (lambda: asyncio.ensure_future(later("task")), "task"),
        (lambda: probe.echo(probe.echo(later("nested"))), "nested"),
        (lambda: probe.nested_echo(later("child")), "child"),
        (lambda: probe.give(StopIteration(3)), StopIteration),
    ],
    ids=["coroutine", "sleep", "future", "task", "c++ coroutine", "c++ task", "exception value"],
)
def test_await_results(make, expected):
    async def main():
        return await probe.echo(make())

    result = asyncio.run(main())
    if expected is StopIteration:
        assert type(result) is StopIteration and result.args == (3,)
    else:
        assert result == expected


@pytest.mark.parametrize("value", [None, (), (1, 2), (None,), [3], StopIteration(4)])
def test_return_value_is_the_stop_iteration_value(value):
    with pytest.raises(StopIteration) as stop:
        probe.give(value).send(None)
    assert stop.value.value is value
    assert asyncio.run(probe.give(value)) is value


def test_sent_values_and_yields_pass_through():
    yielded, result = drive(probe.await_each([suspend("a"), Awaitable(1), suspend("b")]), "x", "y", "z")
    assert yielded == ["a", "from __await__", "b"]
    assert result == ["x", (1, "y"), "z"]
    coro = probe.echo(Awaitable(2))
    coro.send(None)
    assert next(coro, "exhausted") == "exhausted"  # iteration sends None; a None result ends it


@pytest.mark.parametrize(
    "kind, error, message",
    [
        ("value_error", ValueError, "probe: value error from C++"),
        ("runtime_error", RuntimeError, "probe: std::runtime_error from C++"),
        ("key_error", KeyError, "'probe: missing'"),
        ("stop_iteration", RuntimeError, "coroutine raised StopIteration"),
    ],
)
@pytest.mark.parametrize("after_await", [False, True])
def test_body_exceptions(kind, error, message, after_await):
    coro = probe.fail(kind, later(0) if after_await else None)
    with pytest.raises(error) as raised:
        asyncio.run(coro)
    assert str(raised.value) == message
    if kind == "stop_iteration":  # PEP 479: raised from the StopIteration
        assert type(raised.value.__cause__) is StopIteration and raised.value.__suppress_context__


def test_python_exception_passes_through_unchanged():
    original = []

    async def raising():
        await asyncio.sleep(0)
        error = ValueError("inner")
        original.append(error)
        raise error

    with pytest.raises(ValueError) as raised:
        asyncio.run(probe.echo(raising()))
    assert raised.value is original[0]
    assert "raising" in [entry.name for entry in traceback.extract_tb(raised.value.__traceback__)]


def test_throw_reaches_inner_awaitable_then_frame():
    # Handled by the inner generator: its return value resumes the frame.
    @types.coroutine
    def handling():
        try:
            yield "waiting"
        except KeyError as error:
            return ("handled", error.args[0])

    coro = probe.echo(handling())
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.throw(KeyError("k"))
    assert stop.value.value == ("handled", "k")

    # Not handled inside: the C++ catch gets it, leaves the handler and awaits the fallback.
    coro = probe.recover(suspend("first"), lambda error: suspend(("fallback", error)))
    assert coro.send(None) == "first"
    thrown = LookupError("thrown")
    assert coro.throw(thrown) == ("fallback", thrown)
    with pytest.raises(StopIteration) as stop:
        coro.send("after")
    assert stop.value.value == (thrown, "after")


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1,), TypeError, "exceptions must be classes or instances deriving from BaseException, not int"),
        ((ValueError("x"), 1), TypeError, "instance exception may not have a separate value"),
        ((ValueError, 1, 2), TypeError, "throw\\(\\) third argument must be a traceback object"),
        ((ValueError, "three args"), ValueError, "three args"),
    ],
)
def test_throw_arguments_like_python(args, error, message):
    coro = probe.echo(suspend())
    coro.send(None)
    with pytest.warns(DeprecationWarning) if len(args) > 1 else contextlib.nullcontext():
        with pytest.raises(error, match=message):
            coro.throw(*args)
    coro.close()


@pytest.mark.parametrize(
    "step, error, message",
    [
        (lambda coro: coro.send(1), TypeError, "can't send non-None value to a just-started coroutine"),
        (lambda coro: (drive(coro, None), coro.send(None)), RuntimeError, "cannot reuse already awaited coroutine"),
        (lambda coro: (drive(coro, None), coro.throw(ValueError)), RuntimeError, "cannot reuse already awaited"),
    ],
)
def test_state_errors(step, error, message):
    with pytest.raises(error, match=message):
        step(probe.echo(suspend()))


def test_reentry_and_double_await_are_refused():
    class Reenter:
        def __await__(self):
            try:
                self.coro.send(None)
            except ValueError as error:
                return str(error)
            yield

    reenter = Reenter()
    reenter.coro = probe.echo(reenter)
    assert _result(reenter.coro) == "coroutine already executing"

    async def python_waiter():
        return await suspend()

    for waiting in (probe.echo(suspend()), python_waiter()):
        waiting.send(None)
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            probe.echo(waiting).send(None)
        waiting.close()


def _result(coro):
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    return stop.value.value


async def await_in_python(target):
    return await target


class AwaitsInt:
    def __await__(self):
        return 5


class AwaitsCoroutine:
    def __init__(self):
        self.inner = later(0)

    def __await__(self):
        return self.inner


@pytest.mark.parametrize("make", [lambda: 1, AwaitsInt, AwaitsCoroutine], ids=["int", "non-iterator", "coroutine"])
def test_await_errors_match_python(make):
    made = [make(), make()]
    with pytest.raises(TypeError) as python:
        await_in_python(made[0]).send(None)
    with pytest.raises(TypeError) as native:
        probe.echo(made[1]).send(None)
    assert str(native.value) == str(python.value)
    for target in made:
        if isinstance(target, AwaitsCoroutine):
            target.inner.close()


# --- asyncio ------------------------------------------------------------------------------------


def test_asyncio_gather_tasks_and_executor():
    async def main():
        task = asyncio.create_task(probe.echo(later("task")))
        gathered = await asyncio.gather(probe.echo(later(1)), probe.give((2, 3)), task)
        mixed = await asyncio.gather(probe.fail("value_error"), probe.echo(boom("py")), probe.echo(later(4)),
                                     return_exceptions=True)
        executed = await probe.in_executor(lambda x: x * 2, 21)
        return gathered, mixed, executed

    gathered, mixed, executed = asyncio.run(main())
    assert gathered == [1, (2, 3), "task"]
    assert [type(entry) for entry in mixed] == [ValueError, ValueError, int]
    assert str(mixed[1]) == "py" and mixed[2] == 4
    assert executed == 42


@pytest.mark.parametrize(
    "outcomes, attempts, expected, sleeps",
    [
        (["ok"], 3, "ok", []),
        ([ValueError("1"), ValueError("2"), "third"], 3, "third", [0.5, 0.5]),
        ([ValueError("1"), ValueError("2"), ValueError("last")], 3, ValueError, [0.5, 0.5]),
        ([asyncio.CancelledError(), "never"], 3, asyncio.CancelledError, []),
    ],
    ids=["first", "third", "exhausted", "cancellation not retried"],
)
def test_retry_loop_sleeps_through_patched_asyncio(monkeypatch, outcomes, attempts, expected, sleeps):
    slept = []
    real_sleep = asyncio.sleep

    async def fake_sleep(delay):
        slept.append(delay)
        await real_sleep(0)

    monkeypatch.setattr(asyncio, "sleep", fake_sleep)
    pending = list(outcomes)

    async def operation():
        outcome = pending.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    async def main():
        return await probe.retry(operation, attempts, 0.5)

    if isinstance(expected, type):
        with pytest.raises(expected) as raised:
            asyncio.run(main())
        assert raised.value is outcomes[len(sleeps)]
    else:
        assert asyncio.run(main()) == expected
    assert slept == sleeps


def test_cancel_runs_catch_cleanup_and_destructors():
    cleaned = []

    async def cleanup():
        cleaned.append("cleanup")
        await asyncio.sleep(0)

    async def main():
        task = asyncio.create_task(probe.guarded(asyncio.sleep(10), cleanup))
        await asyncio.sleep(0)
        assert task.get_coro().cr_await is not None
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    before = probe.counters()
    task = asyncio.run(main())
    assert task.cancelled() and cleaned == ["cleanup"]
    assert counters_delta(before) == {"constructed": 1, "destroyed": 1, "caught": 1}


# --- async with ---------------------------------------------------------------------------------


class Manager:
    def __init__(self, log, name, suppress=False, exit_error=None):
        self.log, self.name, self.suppress, self.exit_error = log, name, suppress, exit_error

    async def __aenter__(self):
        self.log.append(("enter", self.name))
        await asyncio.sleep(0)
        return self.name

    async def __aexit__(self, exc_type, exc, traceback):
        self.log.append(("exit", self.name, exc_type, exc, traceback is (exc and exc.__traceback__)))
        await asyncio.sleep(0)
        if self.exit_error is not None:
            raise self.exit_error
        return self.suppress


async def python_with(manager, inner):
    async with manager as entered:
        return await inner(entered)


def outcome_of(run, manager_args, body_error):
    log = []
    manager = Manager(log, "cm", **manager_args)

    async def inner(entered):
        log.append(("body", entered))
        await asyncio.sleep(0)
        if body_error is not None:
            raise body_error
        return "result"

    try:
        result = asyncio.run(run(manager, inner))
    except BaseException as error:
        context = error.__context__
        return log, ("raised", error, type(context), context is body_error)
    return log, ("returned", result)


@pytest.mark.parametrize(
    "manager_args, body_error",
    [
        ({}, None),
        ({"suppress": True}, None),
        ({}, "body"),
        ({"suppress": True}, "body"),
        ({"exit_error": "exit"}, None),
        ({"exit_error": "exit"}, "body"),
        ({}, asyncio.CancelledError),
    ],
    ids=["normal", "normal, true exit", "propagated", "suppressed", "exit raises", "exit raises while handling", "cancel"],
)
def test_async_with_matches_python(manager_args, body_error):
    def make(value):
        if value == "body":
            return ValueError("body")
        if value == "exit":
            return KeyError("exit")
        return value() if isinstance(value, type) else value

    results = []
    for run in (python_with, probe.with_manager):
        error = make(body_error)
        args = {key: make(value) for key, value in manager_args.items()}
        log, outcome = outcome_of(run, args, error)
        if outcome[0] == "raised":
            if body_error is not asyncio.CancelledError:  # asyncio.run re-creates a cancellation
                assert outcome[1] is (args.get("exit_error") or error)
            outcome = ("raised", type(outcome[1]), outcome[2], outcome[3])
        results.append(([entry[:3] + entry[4:] if entry[0] == "exit" else entry for entry in log], outcome))
    assert results[1] == results[0]


def test_nested_async_with_order_and_errors():
    log = []

    async def inner(a, b):
        log.append(("body", a, b))
        return a + b

    result = asyncio.run(probe.with_nested(Manager(log, "a"), Manager(log, "b"), inner))
    assert result == "ab"
    assert [entry[:2] for entry in log] == [("enter", "a"), ("enter", "b"), ("body", "a"), ("exit", "b"), ("exit", "a")]

    log.clear()

    async def failing(a, b):
        raise ValueError(a + b)

    with pytest.raises(ValueError, match="ab"):
        asyncio.run(probe.with_nested(Manager(log, "a"), Manager(log, "b"), failing))
    assert [(entry[1], entry[2]) for entry in log if entry[0] == "exit"] == [("b", ValueError), ("a", ValueError)]


class NoExit:
    async def __aenter__(self):
        return self


class InstanceOnly:
    def __init__(self):
        self.__aenter__ = self.__aexit__ = lambda *args: later(None)


class SyncExit:
    async def __aenter__(self):
        return self

    def __aexit__(self, *args):
        return True


@pytest.mark.parametrize("manager", [object, NoExit, InstanceOnly, SyncExit])
def test_async_with_protocol_errors_match_python(manager):
    async def inner(entered):
        return entered

    messages = []
    for run in (python_with, probe.with_manager):
        with pytest.raises(TypeError) as raised:
            asyncio.run(run(manager(), inner))
        messages.append(str(raised.value))
    assert messages[1] == messages[0]


# --- close, finalization and collection ---------------------------------------------------------


def test_close_started_closes_inner_then_frame():
    before = probe.counters()
    closed_inner = []

    @types.coroutine
    def inner():
        try:
            yield "inner"
        finally:
            closed_inner.append(True)

    started = probe.guarded(inner())
    started.send(None)
    assert started.close() is None and closed_inner == [True]
    assert counters_delta(before) == {"constructed": 1, "destroyed": 1, "caught": 1}
    assert started.close() is None  # closing twice is silent
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        started.send(None)


@pytest.mark.parametrize("end", ["drop", "close", "throw"])
def test_unstarted_coroutine_ends_without_running(end):
    before = probe.counters()
    target = Holder()
    ref = weakref.ref(target)
    coro = probe.guarded(target)
    del target
    if end == "close":
        assert coro.close() is None
    elif end == "throw":
        with pytest.raises(KeyError):
            coro.throw(KeyError("unstarted"))
    if end != "drop":  # the frame and its arguments are gone, the coroutine is spent
        assert ref() is None
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)
    del coro
    assert ref() is None and counters_delta(before) == {"constructed": 0, "destroyed": 0, "caught": 0}


def test_close_ignored_generator_exit():
    before = probe.counters()
    coro = probe.guarded(suspend("first"), lambda: suspend("during close"))
    coro.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coro.close()
    assert coro.cr_suspended and counters_delta(before)["destroyed"] == 0
    assert coro.close() is None
    assert counters_delta(before) == {"constructed": 1, "destroyed": 1, "caught": 1}


def test_collecting_a_cycle_through_the_awaited_object(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    before = probe.counters()
    holder = Holder()
    holder.coro = probe.guarded(holder)
    holder.coro.send(None)
    ref = weakref.ref(holder.coro)
    del holder
    gc.collect()
    assert ref() is None and unraisable == []
    assert counters_delta(before) == {"constructed": 1, "destroyed": 1, "caught": 1}


def test_finalizer_errors_go_to_unraisablehook(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    class BadClose:
        def __await__(self):
            return self

        def __next__(self):
            return "step"

        def close(self):
            raise KeyError("close failed")

    coro = probe.echo(BadClose())
    assert coro.send(None) == "step"
    description = repr(coro)
    del coro
    assert len(unraisable) == 1
    assert type(unraisable[0].exc_value) is KeyError and repr(unraisable[0].object) == description


def test_collecting_unfinished_coroutines_warns_nothing_under_dev_mode():
    script = textwrap.dedent(
        """
        import asyncio, gc, types
        import _coroutine_probe as probe

        @types.coroutine
        def suspend():
            yield

        class Holder:
            def __await__(self):
                yield

        probe.echo(suspend())
        started = probe.guarded(suspend())
        started.send(None)
        del started
        probe.echo(suspend()).close()
        closing = probe.echo(suspend())
        closing.send(None)
        closing.close()
        holder = Holder()
        holder.coro = probe.echo(holder)
        holder.coro.send(None)
        del holder
        gc.collect()

        async def main():
            task = asyncio.create_task(probe.guarded(asyncio.sleep(10)))
            await asyncio.sleep(0)
            task.cancel()
            await asyncio.gather(task, probe.fail("value_error"), return_exceptions=True)

        asyncio.run(main())
        print("done")
        """
    )
    completed = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", script],
                               capture_output=True, text=True, timeout=60)
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, "done\n", "")


# --- leaks --------------------------------------------------------------------------------------


def scenario(index):
    """One of several ways a coroutine ends: result, error, cancel, close, collect, async with, unstarted."""
    kind = index % 7
    if kind == 0:
        return asyncio.run(probe.echo(later(index)))
    if kind == 1:
        return asyncio.run(probe.recover(probe.fail("value_error", later(0)), lambda error: later(str(error))))
    if kind == 2:
        async def cancel():
            task = asyncio.create_task(probe.guarded(asyncio.sleep(10), lambda: asyncio.sleep(0)))
            await asyncio.sleep(0)
            task.cancel()
            return await asyncio.gather(task, return_exceptions=True)
        return asyncio.run(cancel())
    if kind == 3:
        coro = probe.guarded(suspend())
        coro.send(None)
        return coro.close()
    if kind == 4:
        holder = Holder()
        holder.coro = probe.guarded(holder)
        holder.coro.send(None)
        return None
    if kind == 5:
        return outcome_of(probe.with_manager, {"suppress": index % 2 == 0}, ValueError("body"))
    return probe.guarded(Holder())


@memory_growth
def test_soak_scenarios_leave_no_objects_behind():
    for index in range(70):
        scenario(index)
    gc.collect()
    before_objects, before_counts = len(gc.get_objects()), probe.counters()
    for index in range(1000):
        scenario(index)
    gc.collect()
    delta = counters_delta(before_counts)
    assert delta["constructed"] == delta["destroyed"] > 0
    assert len(gc.get_objects()) - before_objects < 50


@memory_growth
def test_100000_awaits_keep_memory_and_objects_flat():
    asyncio.run(probe.sleep_loop(1000))
    gc.collect()
    objects, rss = len(gc.get_objects()), rss_bytes()
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        assert asyncio.run(probe.sleep_loop(100_000)) == 100_000
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert len(gc.get_objects()) - objects < 50
    assert traced_growth < 64 * 1024
    assert rss_bytes() - rss < 4 * 1024 * 1024  # C++ frames are not traced: a frame leak shows in RSS
