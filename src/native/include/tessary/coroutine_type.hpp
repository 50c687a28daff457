// The Python type around a C++ coroutine frame (`tessary.native.coroutine`, one per extension
// module): its slots and methods (send, throw, close, finalize, GC), its registration as a
// collections.abc.Coroutine, and `make_coroutine`, which wraps a Task into an object of it.
#pragma once

#include <tessary/coroutine_steps.hpp>

namespace tessary {

namespace coroutine_detail {

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
    ErrorScope keep_pending;
    PyObject *result = coroutine_close(self, nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(self);
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

}  // namespace coroutine_detail

/// Creates this module's coroutine type and registers it as a collections.abc.Coroutine;
/// call once in the module's init.
inline void init_coroutines() {
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

}  // namespace tessary
