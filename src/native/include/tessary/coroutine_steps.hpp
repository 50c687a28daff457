// The state machine of the Python coroutine object: stepping the frame with send and throw as a
// generator is stepped (`yield from` delegation to the awaited iterator first, PEP 479, StopIteration
// carrying the result), close and the errors of a coroutine that cannot run now.
#pragma once

#include <tessary/task.hpp>

#include <cstring>

namespace tessary {

namespace coroutine_detail {

enum class State : unsigned char { unstarted, suspended, running, finished };

/// The Python object around one frame.
struct CoroutineObject {
    PyObject_HEAD
    Task::handle_type frame;  // null once destroyed
    PyObject *name;
    PyObject *qualname;
    State state;
};

/// The coroutine type of this extension module (one per shared object).
inline PyTypeObject *&type_slot() {
    static PyTypeObject *type = nullptr;
    return type;
}

inline bool is_coroutine(PyObject *object) {
    return type_slot() && Py_TYPE(object) == type_slot();
}

/// Interned attribute names used on hot paths, and the getter of a Python coroutine's cr_await
/// (called directly: it runs at every await of a Python coroutine).
struct Names {
    PyObject *cr_await, *throw_, *close, *aenter, *aexit;
    getter cr_await_get;
};

/// The C getter behind `coroutine.cr_await`, if the coroutine type has one.
inline getter find_cr_await_getter() {
    for (PyGetSetDef *entry = PyCoro_Type.tp_getset; entry && entry->name; ++entry)
        if (std::strcmp(entry->name, "cr_await") == 0 && !entry->closure) return entry->get;
    return nullptr;
}

inline Names &names() {
    static Names n = {PyUnicode_InternFromString("cr_await"), PyUnicode_InternFromString("throw"),
                      PyUnicode_InternFromString("close"), PyUnicode_InternFromString("__aenter__"),
                      PyUnicode_InternFromString("__aexit__"), find_cr_await_getter()};
    return n;
}

/// PEP 479: a StopIteration leaving the body becomes RuntimeError raised from it. Steals `error`.
inline PyObject *replace_stop_iteration(PyObject *error) {
    if (!PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject *>(PyExc_StopIteration))) return error;
    PyObject *replacement = PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
    if (!replacement) {
        Py_DECREF(error);
        return PyErr_GetRaisedException();
    }
    PyException_SetCause(replacement, Py_NewRef(error));
    PyException_SetContext(replacement, error);
    return replacement;
}

/// Sets StopIteration carrying `value` (built explicitly, so a tuple stays one value). Steals `value`.
inline void set_stop_iteration(PyObject *value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop) PyErr_SetRaisedException(stop);
}

/// Takes the value out of a pending StopIteration; false (error kept) for any other exception.
inline bool fetch_stop_iteration(PyObject **value) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
    PyObject *stop = PyErr_GetRaisedException();
    *value = Py_NewRef(reinterpret_cast<PyStopIterationObject *>(stop)->value);
    Py_DECREF(stop);
    return true;
}

/// Destroys the frame, running the destructors of its C++ locals; keeps the pending error.
inline void destroy_frame(CoroutineObject *self) {
    if (!self->frame) return;
    ErrorScope keep_pending;
    std::exchange(self->frame, {}).destroy();
}

/// Resumes the frame until its next suspension or its end.
inline PySendResult run_frame(CoroutineObject *self, PyObject **out) {
    Task::promise_type &promise = self->frame.promise();
    self->state = State::running;
    self->frame.resume();
    if (!self->frame.done()) {
        self->state = State::suspended;
        PyObject *yielded = promise.yielded.take();
        *out = yielded ? yielded : Py_NewRef(Py_None);
        return PYGEN_NEXT;
    }
    self->state = State::finished;
    PyObject *result = promise.result.take();
    PyObject *error = promise.error.take();
    destroy_frame(self);
    if (error) {
        Py_XDECREF(result);
        PyErr_SetRaisedException(replace_stop_iteration(error));
        *out = nullptr;
        return PYGEN_ERROR;
    }
    *out = result ? result : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

/// Raises the usual error for a coroutine that cannot be stepped now; false when it can.
inline bool refuse_step(CoroutineObject *self) {
    if (self->state == State::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    if (self->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    return false;
}

/// One `send(value)` step: the inner awaitable first, the frame once the inner one finishes.
inline PySendResult send(CoroutineObject *self, PyObject *value, PyObject **out) {
    *out = nullptr;
    if (refuse_step(self)) return PYGEN_ERROR;
    if (Py_EnterRecursiveCall(" while stepping a coroutine")) return PYGEN_ERROR;
    PySendResult status;
    if (self->state == State::unstarted) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            status = PYGEN_ERROR;
        } else {
            status = run_frame(self, out);
        }
    } else {
        Task::promise_type &promise = self->frame.promise();
        if (promise.inner) {
            PyObject *step;
            self->state = State::running;
            status = PyIter_Send(promise.inner.ptr, value, &step);
            self->state = State::suspended;
            if (status == PYGEN_NEXT) {
                *out = step;
            } else {
                promise.inner.reset(nullptr);
                if (status == PYGEN_RETURN)
                    promise.resume_value.reset(step);
                else
                    promise.resume_error.reset(PyErr_GetRaisedException());
                status = run_frame(self, out);
            }
        } else {
            promise.resume_value.reset(Py_NewRef(value));
            status = run_frame(self, out);
        }
    }
    Py_LeaveRecursiveCall();
    return status;
}

/// Closes a delegated-to iterator as `yield from` does; -1 with the error pending on failure.
inline int close_inner(PyObject *inner) {
    PyObject *close;
    if (PyObject_GetOptionalAttr(inner, names().close, &close) < 0) PyErr_WriteUnraisable(inner);
    if (!close) return 0;
    PyObject *result = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

/// `throw(exception)`: forwarded to the inner awaitable when suspended on one. Steals `exception`.
inline PySendResult throw_into(CoroutineObject *self, PyObject *exception, PyObject **out) {
    *out = nullptr;
    if (refuse_step(self)) {
        Py_DECREF(exception);
        return PYGEN_ERROR;
    }
    if (self->state == State::unstarted) {
        // Raised at the very start: the body never runs, its frame goes now.
        self->state = State::finished;
        destroy_frame(self);
        PyErr_SetRaisedException(replace_stop_iteration(exception));
        return PYGEN_ERROR;
    }
    Task::promise_type &promise = self->frame.promise();
    if (promise.inner) {
        if (PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit)) {
            PyObject *inner = promise.inner.take();
            self->state = State::running;
            int closed = close_inner(inner);
            self->state = State::suspended;
            Py_DECREF(inner);
            if (closed < 0) {
                // The inner close failed: that error goes into the frame instead.
                Py_DECREF(exception);
                exception = PyErr_GetRaisedException();
            }
        } else {
            PyObject *method;
            if (PyObject_GetOptionalAttr(promise.inner.ptr, names().throw_, &method) < 0) {
                Py_DECREF(exception);
                return PYGEN_ERROR;
            }
            if (method) {
                self->state = State::running;
                PyObject *step = PyObject_CallOneArg(method, exception);
                self->state = State::suspended;
                Py_DECREF(method);
                Py_DECREF(exception);
                if (step) {
                    *out = step;
                    return PYGEN_NEXT;
                }
                promise.inner.reset(nullptr);
                PyObject *value;
                if (fetch_stop_iteration(&value)) {
                    promise.resume_value.reset(value);
                    return run_frame(self, out);
                }
                exception = PyErr_GetRaisedException();
            } else {
                promise.inner.reset(nullptr);
            }
        }
    }
    promise.resume_error.reset(exception);
    return run_frame(self, out);
}

/// The result of a send or throw step as a method returns it (StopIteration for a return).
inline PyObject *method_result(PySendResult status, PyObject *out) {
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) set_stop_iteration(out);
    return nullptr;
}

}  // namespace coroutine_detail

}  // namespace tessary
