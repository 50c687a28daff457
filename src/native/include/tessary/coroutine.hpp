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
#pragma once

#include <tessary/python.hpp>

#include <coroutine>
#include <cstring>
#include <functional>
#include <type_traits>
#include <utility>

namespace tessary {

class Task;

namespace coroutine_detail {

struct CoroutineObject;

/// Reference-owning slot of the promise; released by the promise's destructor.
struct Slot {
    PyObject *ptr = nullptr;
    Slot() = default;
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;
    ~Slot() { Py_XDECREF(ptr); }
    PyObject *take() noexcept { return std::exchange(ptr, nullptr); }
    void reset(PyObject *value) noexcept { Py_XSETREF(ptr, value); }
    explicit operator bool() const noexcept { return ptr != nullptr; }
};

}  // namespace coroutine_detail

/// The return type of a C++ coroutine body; owns the frame until `make_coroutine` takes it.
class Task {
public:
    struct promise_type {
        coroutine_detail::Slot result;        // the co_return value, once finished
        coroutine_detail::Slot error;         // the exception that left the body
        coroutine_detail::Slot inner;         // the __await__ iterator a suspended frame delegates to
        coroutine_detail::Slot yielded;       // what the frame yields to its driver when it suspends
        coroutine_detail::Slot resume_value;  // the awaited result handed to the resumed frame
        coroutine_detail::Slot resume_error;  // or the exception raised at the suspension point

        // The frame's copies of its nb::object parameters, shown to the cycle collector.
        static constexpr int max_watched = 8;
        const nb::object *watched[max_watched];
        int watched_count = 0;

        /// Receives the frame's parameters (the language passes the frame's copies here).
        template <typename... Args>
        explicit promise_type(Args &...args) noexcept {
            (watch(args), ...);
        }

        Task get_return_object() noexcept { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(nb::object value) noexcept { result.reset(value.release().ptr()); }
        void unhandled_exception() noexcept {
            restore_current_exception();
            error.reset(PyErr_GetRaisedException());
        }

    private:
        template <typename T>
        void watch(T &arg) noexcept {
            if constexpr (std::is_base_of_v<nb::object, T>)
                if (watched_count < max_watched) watched[watched_count++] = &arg;
        }
    };
    using handle_type = std::coroutine_handle<promise_type>;

    Task(Task &&other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Task &operator=(Task &&other) noexcept {
        if (this != &other) {
            if (frame_) frame_.destroy();
            frame_ = std::exchange(other.frame_, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() {
        if (frame_) frame_.destroy();
    }

    /// Gives up ownership of the (suspended, unstarted) frame.
    handle_type release() noexcept { return std::exchange(frame_, {}); }

    /// `co_await task` runs the task as a child coroutine named "<task>" (see `awaitable(Task&&, ...)`).
    auto operator co_await() &&;

private:
    explicit Task(handle_type frame) noexcept : frame_(frame) {}
    handle_type frame_;
};

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
    PyObject *pending = PyErr_GetRaisedException();
    std::exchange(self->frame, {}).destroy();
    PyErr_SetRaisedException(pending);
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

// --- slots and methods -------------------------------------------------------------------------

/// am_send.
inline PySendResult coroutine_am_send(PyObject *self, PyObject *value, PyObject **out) {
    return send(reinterpret_cast<CoroutineObject *>(self), value, out);
}

/// tp_iternext: send(None); a None result ends iteration without an exception.
inline PyObject *coroutine_iternext(PyObject *self) {
    PyObject *out;
    PySendResult status = send(reinterpret_cast<CoroutineObject *>(self), Py_None, &out);
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        if (out == Py_None)
            Py_DECREF(out);
        else
            set_stop_iteration(out);
    }
    return nullptr;
}

/// am_await: the coroutine is its own iterator.
inline PyObject *coroutine_await(PyObject *self) { return Py_NewRef(self); }

/// send(value).
inline PyObject *coroutine_send(PyObject *self, PyObject *value) {
    PyObject *out;
    PySendResult status = send(reinterpret_cast<CoroutineObject *>(self), value, &out);
    return method_result(status, out);
}

/// throw(value) or the deprecated throw(type[, value[, traceback]]).
inline PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject *type = args[0];
    PyObject *value = nargs > 1 ? args[1] : Py_None;
    PyObject *traceback = nargs > 2 ? args[2] : Py_None;
    if (traceback != Py_None && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject *exception;
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);  // normalises: an instance of `type` is kept, else type(value)
        exception = PyErr_GetRaisedException();
        if (!exception) return nullptr;
        if (!PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject *>(type))) {
            // PyErr_SetObject raised something else while building the exception: that is the error.
            PyErr_SetRaisedException(exception);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exception = Py_NewRef(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (traceback != Py_None && PyException_SetTraceback(exception, traceback) < 0) {
        Py_DECREF(exception);
        return nullptr;
    }
    PyObject *out;
    PySendResult status = throw_into(reinterpret_cast<CoroutineObject *>(self), exception, &out);
    return method_result(status, out);
}

/// close(): GeneratorExit into a suspended frame; returns the value the body returned, if any.
inline PyObject *coroutine_close(PyObject *self_object, PyObject *) {
    auto *self = reinterpret_cast<CoroutineObject *>(self_object);
    if (self->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (self->state != State::suspended) {
        self->state = State::finished;
        destroy_frame(self);
        Py_RETURN_NONE;
    }
    PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject *out;
    PySendResult status = throw_into(self, exit, &out);
    if (status == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) return out;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

/// tp_finalize: a suspended coroutine is closed; what goes wrong goes to sys.unraisablehook.
inline void coroutine_finalize(PyObject *self) {
    if (reinterpret_cast<CoroutineObject *>(self)->state != State::suspended) return;
    PyObject *pending = PyErr_GetRaisedException();
    PyObject *result = coroutine_close(self, nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
}

/// tp_traverse: the references the promise holds.
inline int coroutine_traverse(PyObject *self_object, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CoroutineObject *>(self_object);
    Py_VISIT(Py_TYPE(self_object));
    if (self->frame) {
        Task::promise_type &promise = self->frame.promise();
        Py_VISIT(promise.result.ptr);
        Py_VISIT(promise.error.ptr);
        Py_VISIT(promise.inner.ptr);
        Py_VISIT(promise.yielded.ptr);
        Py_VISIT(promise.resume_value.ptr);
        Py_VISIT(promise.resume_error.ptr);
        for (int i = 0; i < promise.watched_count; ++i) Py_VISIT(promise.watched[i]->ptr());
    }
    return 0;
}

/// tp_clear: breaking a cycle destroys the frame (it is closed by then, the finalizer ran first).
inline int coroutine_clear(PyObject *self_object) {
    auto *self = reinterpret_cast<CoroutineObject *>(self_object);
    if (self->state != State::running) {
        self->state = State::finished;
        destroy_frame(self);
    }
    return 0;
}

/// tp_dealloc: finalize, then destroy the frame so the C++ destructors run.
inline void coroutine_dealloc(PyObject *self_object) {
    if (PyObject_CallFinalizerFromDealloc(self_object) < 0) return;  // resurrected
    auto *self = reinterpret_cast<CoroutineObject *>(self_object);
    PyObject_GC_UnTrack(self_object);
    PyObject_ClearWeakRefs(self_object);
    self->state = State::finished;
    destroy_frame(self);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    PyTypeObject *type = Py_TYPE(self_object);
    PyObject_GC_Del(self_object);
    Py_DECREF(type);
}

/// tp_repr, in the form asyncio and CPython use for coroutines.
inline PyObject *coroutine_repr(PyObject *self) {
    return PyUnicode_FromFormat("<%s object %U at %p>", Py_TYPE(self)->tp_name,
                                reinterpret_cast<CoroutineObject *>(self)->qualname, self);
}

/// Getter of __name__ and __qualname__ (closure: field offset).
inline PyObject *get_text(PyObject *self, void *closure) {
    return Py_NewRef(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + reinterpret_cast<Py_ssize_t>(closure)));
}

/// Setter of __name__ and __qualname__: strings only, as for coroutines.
inline int set_text(PyObject *self, PyObject *value, void *closure) {
    bool is_name = reinterpret_cast<Py_ssize_t>(closure) == offsetof(CoroutineObject, name);
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", is_name ? "__name__" : "__qualname__");
        return -1;
    }
    Py_XSETREF(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + reinterpret_cast<Py_ssize_t>(closure)),
               Py_NewRef(value));
    return 0;
}

/// cr_running.
inline PyObject *get_running(PyObject *self, void *) {
    return PyBool_FromLong(reinterpret_cast<CoroutineObject *>(self)->state == State::running);
}

/// cr_suspended.
inline PyObject *get_suspended(PyObject *self, void *) {
    return PyBool_FromLong(reinterpret_cast<CoroutineObject *>(self)->state == State::suspended);
}

/// cr_await: the awaitable's iterator the coroutine is suspended on, else None.
inline PyObject *get_await(PyObject *self_object, void *) {
    auto *self = reinterpret_cast<CoroutineObject *>(self_object);
    if (self->frame && self->frame.promise().inner) return Py_NewRef(self->frame.promise().inner.ptr);
    Py_RETURN_NONE;
}

/// cr_frame and cr_code: there is no Python frame.
inline PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

/// Creates this module's coroutine type.
inline PyTypeObject *create_type() {
    static PyMethodDef methods[] = {
        {"send", reinterpret_cast<PyCFunction>(coroutine_send), METH_O,
         PyDoc_STR("send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.")},
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
         PyDoc_STR("throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated "
                   "value or raise StopIteration.")},
        {"close", reinterpret_cast<PyCFunction>(coroutine_close), METH_NOARGS,
         PyDoc_STR("close() -> raise GeneratorExit inside coroutine.")},
        {nullptr, nullptr, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__name__", get_text, set_text, PyDoc_STR("name of the coroutine"),
         reinterpret_cast<void *>(offsetof(CoroutineObject, name))},
        {"__qualname__", get_text, set_text, PyDoc_STR("qualified name of the coroutine"),
         reinterpret_cast<void *>(offsetof(CoroutineObject, qualname))},
        {"cr_running", get_running, nullptr, nullptr, nullptr},
        {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
        {"cr_await", get_await, nullptr, PyDoc_STR("object being awaited on, or None"), nullptr},
        {"cr_frame", get_none, nullptr, nullptr, nullptr},
        {"cr_code", get_none, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
        {Py_tp_traverse, reinterpret_cast<void *>(coroutine_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(coroutine_clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
        {Py_tp_iternext, reinterpret_cast<void *>(coroutine_iternext)},
        {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
        {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char *>("A coroutine implemented in C++.")},
        {0, nullptr}};
    static PyType_Spec definition = {"tessary.native.coroutine", sizeof(CoroutineObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                   Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_MANAGED_WEAKREF,
                               slots};
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&definition));
}

/// The iterator `await object` steps, as CPython's GET_AWAITABLE finds it; new reference or null.
/// `source` names where an `async with` got the object ("__aenter__", "__aexit__"), else null.
inline PyObject *await_iterator(PyObject *object, const char *source) {
    PyTypeObject *type = Py_TYPE(object);
    if (PyCoro_CheckExact(object)) {
        PyObject *awaiting = names().cr_await_get ? names().cr_await_get(object, nullptr)
                                                  : PyObject_GetAttr(object, names().cr_await);
        if (!awaiting) return nullptr;
        Py_DECREF(awaiting);
        if (awaiting != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(object);
    }
    if (PyGen_CheckExact(object)) {  // a @types.coroutine generator is its own iterator
        PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(object));
        bool iterable = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable) return Py_NewRef(object);
    }
    if (is_coroutine(object)) {
        auto *coroutine = reinterpret_cast<CoroutineObject *>(object);
        if (coroutine->frame && coroutine->frame.promise().inner) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(object);
    }
    unaryfunc get = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!get) {
        if (source)
            PyErr_Format(PyExc_TypeError, "'async with' received an object from %s that does not implement __await__: %.100s",
                         source, type->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
        return nullptr;
    }
    PyObject *iterator = get(object);
    if (!iterator) return nullptr;
    if (PyCoro_CheckExact(iterator)) {
        Py_DECREF(iterator);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(iterator)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(iterator)->tp_name);
        Py_DECREF(iterator);
        return nullptr;
    }
    return iterator;
}

/// The awaiter of `co_await awaitable(x)`: `yield from x.__await__()`.
class Awaiter {
public:
    Awaiter(nb::object owned, const char *source) noexcept
        : target_(owned.ptr()), owned_(owned.release().ptr()), source_(source) {}
    Awaiter(Awaiter &&other) noexcept
        : target_(other.target_), owned_(std::exchange(other.owned_, nullptr)), source_(other.source_) {}
    Awaiter(const Awaiter &) = delete;
    Awaiter &operator=(const Awaiter &) = delete;
    ~Awaiter() {
        Py_XDECREF(iterator_);
        Py_XDECREF(value_);
        Py_XDECREF(error_);
        Py_XDECREF(owned_);
    }

    /// Takes the first step now: an awaitable that finishes at once never suspends the frame.
    bool await_ready() noexcept {
        PyObject *iterator = await_iterator(target_, source_);
        Py_CLEAR(owned_);
        if (!iterator) {
            error_ = PyErr_GetRaisedException();
            return true;
        }
        PyObject *step;
        PySendResult status = PyIter_Send(iterator, Py_None, &step);
        if (status == PYGEN_NEXT) {
            iterator_ = iterator;
            value_ = step;
            return false;
        }
        Py_DECREF(iterator);
        if (status == PYGEN_RETURN)
            value_ = step;
        else
            error_ = PyErr_GetRaisedException();
        return true;
    }

    /// Hands the iterator and its first yielded value to the promise: a suspended awaiter owns nothing.
    void await_suspend(Task::handle_type frame) noexcept {
        promise_ = &frame.promise();
        promise_->inner.reset(std::exchange(iterator_, nullptr));
        promise_->yielded.reset(std::exchange(value_, nullptr));
    }

    /// The awaited result, or the exception raised in its place.
    nb::object await_resume() {
        if (promise_) {
            value_ = promise_->resume_value.take();
            error_ = promise_->resume_error.take();
        }
        if (error_) {
            PyErr_SetRaisedException(std::exchange(error_, nullptr));
            throw nb::python_error();
        }
        PyObject *value = std::exchange(value_, nullptr);
        return nb::steal(value ? value : Py_NewRef(Py_None));
    }

private:
    PyObject *target_;
    PyObject *owned_ = nullptr;
    const char *source_;
    PyObject *iterator_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *error_ = nullptr;
    Task::promise_type *promise_ = nullptr;
};

/// A method looked up on the type and bound, as `async with` finds __aenter__ and __aexit__.
inline PyObject *lookup_special(PyObject *object, PyObject *name) {
    PyObject *attribute = _PyType_Lookup(Py_TYPE(object), name);
    if (!attribute) return nullptr;
    descrgetfunc get = Py_TYPE(attribute)->tp_descr_get;
    if (!get) return Py_NewRef(attribute);
    return get(attribute, object, reinterpret_cast<PyObject *>(Py_TYPE(object)));
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

}  // namespace coroutine_detail

/// Creates this module's coroutine type and registers it as a collections.abc.Coroutine;
/// call once in the module's init.
inline void init_coroutines(nb::module_ module) {
    (void) module;
    PyTypeObject *&type = coroutine_detail::type_slot();
    if (type) return;
    PyTypeObject *created = coroutine_detail::create_type();
    if (!created) throw_pending();
    nb::object keep = nb::steal(reinterpret_cast<PyObject *>(created));
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(keep);
    coroutine_detail::names();
    type = reinterpret_cast<PyTypeObject *>(keep.release().ptr());  // lives as long as the process
}

/// Wraps a coroutine body into the Python coroutine object; nothing runs until it is awaited.
/// `qualname` is shown by reprs ("Client.fetch"); __name__ is its last dotted part.
inline nb::object make_coroutine(Task &&task, const char *qualname) {
    using namespace coroutine_detail;
    PyTypeObject *type = type_slot();
    if (!type) raise_error(PyExc_RuntimeError, "make_coroutine(%s): init_coroutines() was not called in this module", qualname);
    const char *dot = std::strrchr(qualname, '.');
    nb::object qualified = steal_or_throw(PyUnicode_FromString(qualname));
    nb::object name = steal_or_throw(PyUnicode_FromString(dot ? dot + 1 : qualname));
    CoroutineObject *self = PyObject_GC_New(CoroutineObject, type);
    if (!self) throw_pending();
    self->frame = task.release();
    self->name = name.release().ptr();
    self->qualname = qualified.release().ptr();
    self->state = State::unstarted;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

/// `co_await awaitable(x)`: the result of `await x`, or its exception thrown as nb::python_error.
/// Works on coroutines (Python's or ours), futures, tasks and any object with __await__.
inline coroutine_detail::Awaiter awaitable(nb::handle python_awaitable) {
    return coroutine_detail::Awaiter(nb::borrow(python_awaitable), nullptr);
}

/// `co_await awaitable(std::move(task), "qualname")`: runs a Task as a child coroutine.
inline coroutine_detail::Awaiter awaitable(Task &&task, const char *qualname) {
    return coroutine_detail::Awaiter(make_coroutine(std::move(task), qualname), nullptr);
}

inline auto Task::operator co_await() && { return awaitable(std::move(*this), "<task>"); }

/// `async with context_manager as entered: <body>` as a Task: __aenter__ and __aexit__ are
/// looked up on the type, __aexit__ gets (type, value, traceback) of an exception leaving the
/// body and a true result suppresses it (the Task then returns None); otherwise the Task returns
/// the body's result. Await it directly or as a named coroutine object:
///     auto body = [self](nb::object session) { return fetch_all(self, session); };
///     nb::object result = co_await async_with(client, std::move(body));
///     nb::object same = co_await awaitable(make_coroutine(async_with(client, std::move(body2)), "Client.fetch_all"));
/// `body` lives in this frame until the body coroutine finishes, so its captures stay valid; name
/// the lambda before the `co_await` statement (g++ 12, see the top of this file).
inline Task async_with(nb::object context_manager, std::function<Task(nb::object entered)> body) {
    using namespace coroutine_detail;
    nb::object enter = nb::steal(lookup_special(context_manager.ptr(), names().aenter));
    if (!enter.is_valid()) {
        if (PyErr_Occurred()) throw_pending();
        raise_error(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
                    Py_TYPE(context_manager.ptr())->tp_name);
    }
    nb::object exit = nb::steal(lookup_special(context_manager.ptr(), names().aexit));
    if (!exit.is_valid()) {
        if (PyErr_Occurred()) throw_pending();
        raise_error(PyExc_TypeError,
                    "'%.200s' object does not support the asynchronous context manager protocol (missed __aexit__ method)",
                    Py_TYPE(context_manager.ptr())->tp_name);
    }
    nb::object entered = co_await Awaiter(enter(), "__aenter__");
    nb::object result;
    nb::object error;
    try {
        result = co_await awaitable(make_coroutine(body(entered), "async_with.<body>"));
    } catch (...) {
        restore_current_exception();
        error = nb::steal(PyErr_GetRaisedException());
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
