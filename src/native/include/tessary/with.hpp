// The `with` statement: special methods looked up on the type and bound as the interpreter does,
// __exit__ called with the exception triple of a failing body, a true result suppressing it.
// (`async with` is a coroutine: see async_with.hpp.)
#pragma once

#include <tessary/builtins.hpp>

namespace tessary {

/// A special method looked up on the type and bound to `object`, as the interpreter does; null when absent.
inline nb::object bound_special(nb::handle object, PyObject *name) {
    PyObject *found = _PyType_LookupRef(Py_TYPE(object.ptr()), name);
    if (!found) {
        if (PyErr_Occurred()) throw_pending();
        return nb::object();
    }
    nb::object method = nb::steal(found);
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (!bind) return method;
    return steal_or_throw(bind(found, object.ptr(), reinterpret_cast<PyObject *>(Py_TYPE(object.ptr()))));
}

/// Runs `body` inside `with manager:` (enter and exit looked up on the type and bound, as the statement does).
/// Returns false when the exit suppressed an exception raised by the body.
template <typename Body>
bool run_with(nb::handle manager, Body &&body) {
    nb::object enter = bound_special(manager, interned<"__enter__">());
    if (!enter.is_valid())
        raise_error(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                    Py_TYPE(manager.ptr())->tp_name);
    nb::object exit = bound_special(manager, interned<"__exit__">());
    if (!exit.is_valid())
        raise_error(PyExc_TypeError,
                    "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                    Py_TYPE(manager.ptr())->tp_name);
    enter();
    nb::object exception;
    try {
        body();
    } catch (...) {
        exception = caught_exception();
    }
    if (!exception.is_valid()) {
        exit(nb::none(), nb::none(), nb::none());
        return true;
    }
    nb::object traceback = nb::steal(PyException_GetTraceback(exception.ptr()));
    nb::object suppress;
    try {
        suppress = exit(exception.type(), exception, traceback.is_valid() ? traceback : nb::none());
    } catch (nb::python_error &exit_error) {
        nb::object raised = exception_object(exit_error);
        set_context(raised, exception);
        raise_object(raised);
    }
    if (truthy(suppress)) return false;
    raise_object(exception);
}

}  // namespace tessary
