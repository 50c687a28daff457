// `co_await awaitable(x)` inside a Task: delegates to `x.__await__()` as `yield from` does (the first
// step taken eagerly, the suspended iterator handed to the promise), on Python coroutines, ours,
// futures, tasks and any object with __await__; and `co_await task` for a child Task.
#pragma once

#include <tessary/coroutine_type.hpp>

namespace tessary {

namespace coroutine_detail {

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

}  // namespace coroutine_detail

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

}  // namespace tessary
