// Raising and catching: Python errors as C++ exceptions and back, chaining (`from`, implicit
// context), catching the Exception family only, wrapping a caught error in a new message, and a
// guard that keeps the pending error across cleanup code. Include this rather than nanobind alone:
// it also makes failed attribute and item lookups raise instead of aborting.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdarg>
#include <new>
#include <utility>

// nanobind converts attribute and item accessors to call arguments, list items and dict values in a
// noexcept caster, so a failing lookup (an AttributeError, a KeyError) would terminate the process.
// These casters perform the lookup where the exception can still propagate as a Python error.
namespace nanobind::detail {
#define TESSARY_ACCESSOR_CASTER(Policy)                                                        \
    template <>                                                                                 \
    struct type_caster<accessor<Policy>, int> {                                                 \
        NB_TYPE_CASTER(accessor<Policy>, const_name("object"))                                  \
        bool from_python(handle, uint8_t, cleanup_list *) noexcept { return false; }           \
        static handle from_cpp(const accessor<Policy> &source, rv_policy, cleanup_list *) {     \
            return handle(source.ptr()).inc_ref();                                              \
        }                                                                                       \
    };
TESSARY_ACCESSOR_CASTER(str_attr)
TESSARY_ACCESSOR_CASTER(obj_attr)
TESSARY_ACCESSOR_CASTER(str_item)
TESSARY_ACCESSOR_CASTER(obj_item)
TESSARY_ACCESSOR_CASTER(dict_item)
TESSARY_ACCESSOR_CASTER(num_item)
TESSARY_ACCESSOR_CASTER(num_item_list)
TESSARY_ACCESSOR_CASTER(num_item_tuple)
#undef TESSARY_ACCESSOR_CASTER
}  // namespace nanobind::detail

namespace tessary {

namespace nb = nanobind;

// ---------------------------------------------------------------------------------------------
// Raising

/// Raises `type` with a printf-style message as a C++ exception carrying the Python error.
[[noreturn]] inline void raise_error(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

/// Raises an existing exception instance.
[[noreturn]] inline void raise_object(nb::handle exception) {
    PyErr_SetRaisedException(exception.inc_ref().ptr());
    throw nb::python_error();
}

/// Throws the pending Python error (after a failed C API call).
[[noreturn]] inline void throw_pending() { throw nb::python_error(); }

/// Checks a C API result: a null pointer means a Python error is pending.
inline nb::object steal_or_throw(PyObject *result) {
    if (!result) throw_pending();
    return nb::steal(result);
}

// ---------------------------------------------------------------------------------------------
// Catching

/// Turns the C++ exception in flight into the Python error indicator (call inside catch).
inline void restore_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &error) {
        error.restore();
    } catch (nb::builtin_exception &error) {
        PyObject *type = PyExc_RuntimeError;
        switch (error.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, error.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

/// The Python exception object of the C++ exception in flight (call inside a catch handler).
inline nb::object caught_exception() {
    restore_current_exception();
    return nb::steal(PyErr_GetRaisedException());
}

/// Takes the Python exception object out of a caught python_error (for chaining or re-raising later).
inline nb::object exception_object(nb::python_error &error) {
    error.restore();
    return nb::steal(PyErr_GetRaisedException());
}

/// True when the exception belongs to the Exception family (not cancellation, exits or interrupts).
inline bool is_general_exception(nb::handle exception) {
    return PyObject_IsInstance(exception.ptr(), PyExc_Exception) == 1;
}

/// What `except Exception` does not catch goes on: re-raises `caught` unless it is a general exception.
inline void reraise_unless_general(nb::handle caught) {
    if (!is_general_exception(caught)) raise_object(caught);
}

/// Runs `body` as the block of `try: ... except Exception as caught:` and answers `caught`
/// (an invalid object when the body succeeded); exceptions outside the Exception family pass on.
/// Not for coroutine bodies that await inside the block: catch there and call caught_exception().
template <typename Body>
nb::object catch_general(Body &&body) {
    nb::object caught;
    try {
        body();
        return caught;
    } catch (...) {
        caught = caught_exception();
    }
    reraise_unless_general(caught);
    return caught;
}

// ---------------------------------------------------------------------------------------------
// Chaining

/// `raise exception from cause`: sets __cause__ and __context__ and suppresses the context.
inline void set_cause(nb::handle exception, nb::handle cause) {
    PyException_SetCause(exception.ptr(), cause.inc_ref().ptr());
    PyException_SetContext(exception.ptr(), cause.inc_ref().ptr());
}

/// The implicit chaining of an exception raised while handling `context`.
inline void set_context(nb::handle exception, nb::handle context) {
    if (exception.ptr() != context.ptr()) PyException_SetContext(exception.ptr(), context.inc_ref().ptr());
}

/// Makes `error` the implicit context at the end of `raised`'s context chain (an exception raised
/// while `error` was being handled), unless the chain already holds it.
inline void chain_context(nb::handle raised, nb::handle error) {
    PyObject *last = raised.ptr();
    for (;;) {
        if (last == error.ptr()) return;
        PyObject *context = PyException_GetContext(last);
        if (!context) break;
        Py_DECREF(context);
        last = context;
    }
    PyException_SetContext(last, Py_NewRef(error.ptr()));
}

/// How `raise_wrapped` chains the new exception to the caught one.
enum class Chain {
    context,  // `except E as caught: raise New(...)`: the caught one is kept as context
    cause,    // `raise New(...) from caught`
};

/// What `raise_wrapped` raises and how it chains it.
struct Wrapping {
    PyObject *type = PyExc_Exception;
    Chain chain = Chain::context;
};

/// Raises `how.type(prefix + detail() + str(caught))` as raised while handling `caught`:
///     except Exception as caught:
///         raise Exception(f"Error while computing metrics: {name}. Reason: {caught}")
/// is `raise_wrapped("Error while computing metrics: ", caught, [&] { return name + ". Reason: "; })`.
/// `detail` returns a str (an nb::object); a failure while building the message is raised instead,
/// with `caught` kept as its context.
template <typename Detail>
[[noreturn]] void raise_wrapped(const char *prefix, nb::handle caught, Detail &&detail, Wrapping how = {}) {
    nb::object wrapped;
    try {
        nb::object message = nb::str(prefix);
        nb::object middle = detail();
        message = message + middle;
        nb::object reason = steal_or_throw(PyObject_Str(caught.ptr()));
        message = message + reason;
        wrapped = steal_or_throw(PyObject_CallOneArg(how.type, message.ptr()));
    } catch (nb::python_error &error) {
        nb::object failure = exception_object(error);
        set_context(failure, caught);
        raise_object(failure);
    }
    if (how.chain == Chain::cause)
        set_cause(wrapped, caught);
    else
        set_context(wrapped, caught);
    raise_object(wrapped);
}

/// `raise how.type(prefix + str(caught))` while handling `caught`.
[[noreturn]] inline void raise_wrapped(const char *prefix, nb::handle caught, Wrapping how = {}) {
    raise_wrapped(prefix, caught, [] { return nb::str(""); }, how);
}

// ---------------------------------------------------------------------------------------------
// Keeping the pending error

/// Saves the pending Python error (if any) and restores it when the scope ends, so cleanup code
/// that calls into Python (a destructor, a finalizer) neither sees nor loses it.
class ErrorScope {
public:
    ErrorScope() noexcept : saved_(PyErr_GetRaisedException()) {}
    ErrorScope(const ErrorScope &) = delete;
    ErrorScope &operator=(const ErrorScope &) = delete;
    ~ErrorScope() { PyErr_SetRaisedException(saved_); }

private:
    PyObject *saved_;
};

}  // namespace tessary
