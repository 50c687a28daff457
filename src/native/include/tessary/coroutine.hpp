// C++20 coroutines that Python and asyncio drive as ordinary coroutine objects.
//
//     Task fetch(nb::object self, nb::object url) {
//         nb::object reply = co_await awaitable(self.attr("get")(url));   // any Python awaitable
//         co_return reply.attr("text");                                   // the coroutine's result
//     }
//     m.def("fetch", [](nb::object self, nb::object url) { return make_coroutine(fetch(self, url), "Client.fetch"); });
//
// A `Task` frame starts suspended and is wrapped by `make_coroutine` into a Python object of
// the heap type `tessary.native.coroutine` (one per extension module, created by
// `init_coroutines`). Python drives it with send/throw/close exactly as it drives an `async def`:
// `co_await awaitable(x)` delegates to `x.__await__()` as `yield from` does, so the values the
// event loop sends and the exceptions it throws (cancellation included) go to the innermost
// awaitable first and reach the C++ frame as results or `nb::python_error` exceptions.
//
// Rules for bodies:
//  - Every body ends with `co_return <nb::object>` (falling off the end is undefined behaviour).
//  - Parameters are copied into the frame; pass objects by value (`nb::object`), never by
//    reference. Lambdas may build a Task by calling a free coroutine function, but a lambda that
//    is itself a coroutine must not capture anything (its captures die with the lambda).
//  - g++ 12 destroys twice a lambda with captures or a brace-initialised aggregate created as a
//    temporary in a full-expression that contains `co_await` (a double decref). Name it first:
//        auto body = [inner](nb::object entered) { return step(inner, entered); };
//        nb::object result = co_await async_with(manager, std::move(body));
//    Temporaries made by constructors (nb::object, nb::str, awaitable(...), calls) are fine.
//  - No `co_await` inside a `catch` handler: capture the exception object, leave the handler,
//    then await (see `async_with`).
//  - `catch (nb::python_error &)` also catches CancelledError and GeneratorExit; rethrow those.
//  - The cycle collector sees the objects the promise holds and the body's nb::object parameters
//    (the first eight); other C++ locals of a suspended frame are invisible to it, so never keep
//    the coroutine reachable from objects only such locals hold.
//
// The parts, one header each: task.hpp (Task and its promise), coroutine_steps.hpp (send/throw
// stepping), coroutine_type.hpp (the Python type, init_coroutines, make_coroutine), awaitable.hpp
// (`co_await awaitable(x)`), async_with.hpp.
#pragma once

#include <tessary/async_with.hpp>
// The basic layer too, as this header always brought it (the provider modules rely on it).
#include <tessary/python.hpp>
