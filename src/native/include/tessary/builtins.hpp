// Python's built-in operations with the interpreter's semantics and errors: bool(), `in`,
// isinstance(), ==, str(), f-strings, getattr with an interned name, two-item unpacking, list(),
// round(x, 4). Each raises what Python would raise, as a C++ exception.
#pragma once

#include <tessary/errors.hpp>
#include <tessary/names.hpp>

#include <utility>

namespace tessary {

/// `bool(value)`, raising what `__bool__` raises.
inline bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw_pending();
    return truth;
}

/// `item in container`, with Python's comparison semantics.
inline bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw_pending();
    return found;
}

/// `isinstance(value, cls)`; pass a module global so a patched class is honoured.
inline bool is_instance(nb::handle value, nb::handle cls) {
    int match = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (match < 0) throw_pending();
    return match;
}

/// `value == text` for an ASCII literal: a str (subclasses included) compares its characters,
/// anything else goes through Python's ==.
inline bool equals_text(nb::handle value, const char *text) {
    if (PyUnicode_Check(value.ptr())) return PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
    nb::object other = steal_or_throw(PyUnicode_FromString(text));
    int equal = PyObject_RichCompareBool(value.ptr(), other.ptr(), Py_EQ);
    if (equal < 0) throw_pending();
    return equal;
}

/// `str(value)`.
inline nb::str text_of(nb::handle value) {
    PyObject *text = PyObject_Str(value.ptr());
    if (!text) throw_pending();
    return nb::steal<nb::str>(text);
}

/// `f"{value}"`.
inline nb::str formatted(nb::handle value) {
    PyObject *text = PyObject_Format(value.ptr(), nullptr);
    if (!text) throw_pending();
    return nb::steal<nb::str>(text);
}

/// `attr<"sleep">(asyncio)`: an attribute read with a cached interned name.
template <Literal L>
inline nb::object attr(nb::handle object) {
    return steal_or_throw(PyObject_GetAttr(object.ptr(), interned<L>()));
}

/// `first, second = value`, with the interpreter's unpacking errors (an iterator is read no further
/// than it must be).
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        PyTypeObject *type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            raise_error(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
        }
        throw_pending();
    }
    nb::object items[2];
    for (int index = 0; index < 2; ++index) {
        items[index] = nb::steal(PyIter_Next(iterator.ptr()));
        if (!items[index].is_valid()) {
            if (PyErr_Occurred()) throw_pending();
            raise_error(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", index);
        }
    }
    nb::object surplus = nb::steal(PyIter_Next(iterator.ptr()));
    if (surplus.is_valid()) raise_error(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw_pending();
    return {std::move(items[0]), std::move(items[1])};
}

/// `list(values)`: a new list that owns a reference to every item and that no Python code can reach,
/// so its items and size stay as read however the caller's container (or the items' own dunder
/// methods) change it meanwhile. Accepts any iterable; what `tolist()` or a callback returns is
/// checked this way before any list macro touches it.
inline nb::list snapshot(nb::handle values) {
    PyObject *copy = PySequence_List(values.ptr());
    if (!copy) throw_pending();
    return nb::steal<nb::list>(copy);
}

/// `snapshot(holder.tolist())`: a table column's values as a list of our own.
inline nb::list tolist_snapshot(nb::handle holder) {
    PyObject *method = PyObject_GetAttrString(holder.ptr(), "tolist");
    if (!method) throw_pending();
    nb::object bound = nb::steal(method);
    PyObject *values = PyObject_CallNoArgs(method);
    if (!values) throw_pending();
    nb::object owned = nb::steal(values);
    return snapshot(owned);
}

/// Python's round(x, 4) for a double: the double nearest to the correctly rounded decimal text.
inline double round4(double value) {
    char *text = PyOS_double_to_string(value, 'f', 4, 0, nullptr);
    if (!text) throw_pending();
    double rounded = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (rounded == -1.0 && PyErr_Occurred()) throw_pending();
    return rounded;
}

}  // namespace tessary
