// _coroutine_probe: small C++ coroutines for the tests of the coroutine bridge (never shipped).
#include <tessary/coroutine.hpp>

#include <nanobind/stl/string.h>

#include <stdexcept>
#include <string>

namespace nb = nanobind;
using namespace tessary;

namespace {

/// Lifetimes of Guard objects, and exceptions the guarded body caught.
struct Counters {
    long constructed = 0;
    long destroyed = 0;
    long caught = 0;
} counters;

/// Counts its construction and destruction, to show a frame's destructors ran.
struct Guard {
    Guard() { ++counters.constructed; }
    ~Guard() { ++counters.destroyed; }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

/// `return await target`.
Task echo(nb::object target) {
    nb::object result = co_await awaitable(target);
    co_return result;
}

/// Awaits each awaitable in turn; returns their results as a list.
Task await_each(nb::object targets) {
    nb::list results;
    for (nb::handle target : targets) results.append(co_await awaitable(target));
    co_return results;
}

/// `return await operation()`, retried up to `attempts` times on Exception-family errors with
/// `await asyncio.sleep(delay)` between attempts (asyncio read from the module globals each time).
Task retry(nb::object operation, int attempts, nb::object delay) {
    for (int attempt = 1;; ++attempt) {
        try {
            nb::object result = co_await awaitable(operation());
            co_return result;
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_Exception) || attempt >= attempts) throw;
        }
        co_await awaitable(global("asyncio").attr("sleep")(delay));
    }
}

/// Raises from the body, before or after awaiting `target` (None: no await).
Task fail(std::string kind, nb::object target) {
    if (!target.is_none()) co_await awaitable(target);
    if (kind == "value_error") throw nb::value_error("probe: value error from C++");
    if (kind == "runtime_error") throw std::runtime_error("probe: std::runtime_error from C++");
    if (kind == "stop_iteration") throw nb::stop_iteration("probe: stop");
    if (kind == "key_error") raise_error(PyExc_KeyError, "probe: %s", "missing");
    co_return nb::str(kind.c_str());
}

/// `return value` without awaiting anything.
Task give(nb::object value) { co_return value; }

/// Awaits `first`; on an Exception-family error leaves the handler, then awaits
/// `fallback(error)`. Returns (error or None, result).
Task recover(nb::object first, nb::object fallback) {
    nb::object caught;
    try {
        nb::object value = co_await awaitable(first);
        co_return nb::make_tuple(nb::none(), value);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception)) throw;
        caught = exception_object(error);
    }
    nb::object value = co_await awaitable(fallback(caught));
    co_return nb::make_tuple(caught, value);
}

/// Holds a Guard across `await target`. Any exception (cancellation, GeneratorExit) is counted,
/// then `await cleanup()` runs outside the handler (unless cleanup is None) and it is re-raised.
Task guarded(nb::object target, nb::object cleanup) {
    Guard guard;
    nb::object caught;
    try {
        nb::object result = co_await awaitable(target);
        co_return result;
    } catch (nb::python_error &error) {
        ++counters.caught;
        caught = exception_object(error);
    }
    if (!cleanup.is_none()) co_await awaitable(cleanup());
    raise_object(caught);
}

/// `async with manager as entered: return await inner(entered)`.
Task with_manager(nb::object manager, nb::object inner) {
    auto body = [inner](nb::object entered) { return echo(inner(entered)); };
    nb::object result = co_await async_with(manager, std::move(body));
    co_return result;
}

/// The inner block of with_nested.
Task with_inner(nb::object manager, nb::object inner, nb::object outer_entered) {
    auto body = [inner, outer_entered](nb::object entered) { return echo(inner(outer_entered, entered)); };
    nb::object result = co_await awaitable(make_coroutine(async_with(manager, std::move(body)), "with_nested.<inner>"));
    co_return result;
}

/// `async with outer as a: async with inner_manager as b: return await inner(a, b)`.
Task with_nested(nb::object outer, nb::object inner_manager, nb::object inner) {
    auto body = [inner_manager, inner](nb::object entered) { return with_inner(inner_manager, inner, entered); };
    nb::object result = co_await async_with(outer, std::move(body));
    co_return result;
}

/// `return await asyncio.get_running_loop().run_in_executor(None, func, arg)`.
Task in_executor(nb::object func, nb::object arg) {
    nb::object loop = global("asyncio").attr("get_running_loop")();
    nb::object result = co_await awaitable(loop.attr("run_in_executor")(nb::none(), func, arg));
    co_return result;
}

/// `for _ in range(count): await asyncio.sleep(0)`; returns count (names looked up at every step).
Task sleep_loop(long count) {
    for (long i = 0; i < count; ++i) co_await awaitable(tessary::attr<"sleep">(tessary::global<"asyncio">())(0));
    co_return nb::int_(count);
}

/// `return await child` where child is another C++ coroutine awaiting `target` (Task awaited directly).
Task nested_echo(nb::object target) {
    nb::object result = co_await echo(target);
    co_return result;
}

}  // namespace

NB_MODULE(_coroutine_probe, m) {
    bind_module(m);
    import_module("asyncio");
    init_coroutines();

    m.def("echo", [](nb::object target) { return make_coroutine(echo(target), "echo"); });
    m.def("await_each", [](nb::object targets) { return make_coroutine(await_each(targets), "await_each"); });
    m.def("retry", [](nb::object operation, int attempts, nb::object delay) {
        return make_coroutine(retry(operation, attempts, delay), "retry");
    });
    m.def("fail", [](std::string kind, nb::object target) { return make_coroutine(fail(kind, target), "Probe.fail"); },
          nb::arg("kind"), nb::arg("target").none() = nb::none());
    m.def("give", [](nb::object value) { return make_coroutine(give(value), "give"); }, nb::arg("value").none());
    m.def("recover", [](nb::object first, nb::object fallback) { return make_coroutine(recover(first, fallback), "recover"); });
    m.def("guarded", [](nb::object target, nb::object cleanup) { return make_coroutine(guarded(target, cleanup), "guarded"); },
          nb::arg("target"), nb::arg("cleanup").none() = nb::none());
    m.def("with_manager", [](nb::object manager, nb::object inner) {
        return make_coroutine(with_manager(manager, inner), "with_manager");
    });
    m.def("with_nested", [](nb::object outer, nb::object inner_manager, nb::object inner) {
        return make_coroutine(with_nested(outer, inner_manager, inner), "with_nested");
    });
    m.def("in_executor", [](nb::object func, nb::object arg) { return make_coroutine(in_executor(func, arg), "in_executor"); });
    m.def("sleep_loop", [](long count) { return make_coroutine(sleep_loop(count), "sleep_loop"); });
    m.def("nested_echo", [](nb::object target) { return make_coroutine(nested_echo(target), "nested_echo"); });
    m.def("counters", []() {
        nb::dict result;
        result["constructed"] = counters.constructed;
        result["destroyed"] = counters.destroyed;
        result["caught"] = counters.caught;
        return result;
    });
}
