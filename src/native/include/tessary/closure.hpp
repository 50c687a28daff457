// Python-visible functions that carry state of their own, as a Python closure carries its cells.
//
//     nb::object previous = ...;
//     nb::object wrapper = make_closure({.name = "patched", .params = {...}, .impl = patched_impl}, previous);
//     // inside patched_impl: nb::object previous = closure_state();
//
// The function is an ordinary `make_function` object whose call records which closure is running
// (per thread, restored after the call, so nested and recursive calls see their own state).
#pragma once

#include <tessary/function.hpp>

namespace tessary {

inline PyObject *&current_closure_slot() {
    static thread_local PyObject *current = nullptr;
    return current;
}

/// The key under which a closure keeps its state in its own __dict__.
inline PyObject *closure_state_key() {
    static PyObject *key = PyUnicode_InternFromString("__closure_state__");
    return key;
}

/// Calls the function body with this closure marked as the running one.
inline PyObject *closure_vectorcall(PyObject *self, PyObject *const *positional, size_t nargsf, PyObject *kwnames) {
    PyObject *&slot = current_closure_slot();
    PyObject *saved = slot;
    slot = self;
    PyObject *result = function_vectorcall(self, positional, nargsf, kwnames);
    slot = saved;
    return result;
}

/// A function like `make_function(definition)` whose body can read `state` through `closure_state()`.
inline nb::object make_closure(FunctionDefinition definition, nb::handle state) {
    nb::object func = make_function(std::move(definition));
    auto *object = reinterpret_cast<FunctionObject *>(func.ptr());
    if (PyDict_SetItem(object->dict, closure_state_key(), state.ptr()) < 0) throw_pending();
    object->vectorcall = closure_vectorcall;
    return func;
}

/// The state of the closure whose body is running on this thread (call from its impl).
inline nb::object closure_state() {
    PyObject *self = current_closure_slot();
    if (!self) raise_error(PyExc_RuntimeError, "closure_state() called outside a closure body");
    PyObject *dict = reinterpret_cast<FunctionObject *>(self)->dict;
    PyObject *state = dict ? PyDict_GetItemWithError(dict, closure_state_key()) : nullptr;
    if (!state) {
        if (PyErr_Occurred()) throw_pending();
        raise_error(PyExc_RuntimeError, "the closure has lost its state");
    }
    return nb::borrow(state);
}

}  // namespace tessary
