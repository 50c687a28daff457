// `async with` as a helper coroutine: __aenter__/__aexit__ looked up on the type and awaited, the
// body a callable returning a Task (no co_await may sit inside a catch handler, so the body's
// exception is captured first and __aexit__ awaited after the handler).
#pragma once

#include <tessary/awaitable.hpp>
#include <tessary/with.hpp>

#include <functional>

namespace tessary {

/// `async with context_manager as entered: <body>` as a Task: __aenter__ and __aexit__ are
/// looked up on the type, __aexit__ gets (type, value, traceback) of an exception leaving the
/// body and a true result suppresses it (the Task then returns None); otherwise the Task returns
/// the body's result. Await it directly or as a named coroutine object:
///     auto body = [self](nb::object session) { return fetch_all(self, session); };
///     nb::object result = co_await async_with(client, std::move(body));
///     nb::object same = co_await awaitable(make_coroutine(async_with(client, std::move(body2)), "Client.fetch_all"));
/// `body` lives in this frame until the body coroutine finishes, so its captures stay valid; name
/// the lambda before the `co_await` statement (g++ 12, see coroutine.hpp).
inline Task async_with(nb::object context_manager, std::function<Task(nb::object entered)> body) {
    using namespace coroutine_detail;
    nb::object enter = bound_special(context_manager, names().aenter);
    if (!enter.is_valid())
        raise_error(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
                    Py_TYPE(context_manager.ptr())->tp_name);
    nb::object exit = bound_special(context_manager, names().aexit);
    if (!exit.is_valid())
        raise_error(PyExc_TypeError,
                    "'%.200s' object does not support the asynchronous context manager protocol (missed __aexit__ method)",
                    Py_TYPE(context_manager.ptr())->tp_name);
    nb::object entered = co_await Awaiter(enter(), "__aenter__");
    nb::object result;
    nb::object error;
    try {
        result = co_await awaitable(make_coroutine(body(entered), "async_with.<body>"));
    } catch (...) {
        error = caught_exception();
    }
    if (!error.is_valid()) {
        co_await Awaiter(exit(nb::none(), nb::none(), nb::none()), "__aexit__");
        co_return result;
    }
    // Leave the handler before awaiting __aexit__; an exception it raises is chained to `error`.
    nb::object suppress;
    nb::object raised;
    try {
        PyObject *traceback = PyException_GetTraceback(error.ptr());
        nb::object traceback_object = traceback ? nb::steal(traceback) : nb::none();
        suppress = co_await Awaiter(exit(error.type(), error, traceback_object), "__aexit__");
    } catch (nb::python_error &failure) {
        raised = exception_object(failure);
    }
    if (raised.is_valid()) {
        chain_context(raised, error);
        raise_object(raised);
    }
    int truth = PyObject_IsTrue(suppress.ptr());
    if (truth < 0) throw_pending();
    if (!truth) raise_object(error);
    co_return nb::none();
}

}  // namespace tessary
