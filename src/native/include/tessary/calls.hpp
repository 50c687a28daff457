// Calls with keyword arguments: `func(name=value, ..., **extra)` through vectorcall, the keyword
// names interned into one tuple once per name list and their count checked against the values at
// compile time; CPython's own errors for a repeated keyword or a `**` argument that is no mapping.
#pragma once

#include <tessary/builtins.hpp>

#include <array>
#include <cstddef>

namespace tessary {

/// The callable's description used in call errors: "module.qualname()" or "qualname()".
inline nb::str function_description(nb::handle func) {
    PyObject *description = _PyObject_FunctionStr(func.ptr());
    if (!description) throw_pending();
    return nb::steal<nb::str>(description);
}

/// The tuple of the interned names, made on first use and kept for the life of the process
/// (a borrowed pointer: no destructor runs after the interpreter has gone).
template <Literal... Names>
inline PyObject *keyword_names() {
    static PyObject *tuple = [] {
        PyObject *created = PyTuple_New(sizeof...(Names));
        if (!created) throw_pending();
        Py_ssize_t index = 0;
        ((PyTuple_SET_ITEM(created, index++, Py_NewRef(interned<Names>()))), ...);
        return created;
    }();
    return tuple;
}

namespace calls_detail {

/// Fails when `key` is already among `keywords`, as CPython's keyword merge does.
inline void refuse_repeated_keyword(nb::handle func, const nb::dict &keywords, PyObject *key) {
    int present = PyDict_Contains(keywords.ptr(), key);
    if (present < 0) throw_pending();
    if (!present) return;
    if (!PyUnicode_Check(key))
        raise_error(PyExc_TypeError, "%U keywords must be strings", function_description(func).ptr());
    raise_error(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", function_description(func).ptr(),
                key);
}

/// Adds the caller's `**extra` to `keywords`: any mapping, read through keys() and item access as the
/// interpreter does (a dict without its own __iter__ directly).
inline void merge_extra(nb::handle func, nb::dict &keywords, nb::handle extra) {
    if (PyDict_Check(extra.ptr()) && Py_TYPE(extra.ptr())->tp_iter == PyDict_Type.tp_iter) {
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(extra.ptr(), &position, &key, &value)) {
            nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
            refuse_repeated_keyword(func, keywords, key);
            if (PyDict_SetItem(keywords.ptr(), key, value) < 0) throw_pending();
        }
        return;
    }
    PyObject *keys_method = nullptr;
    if (PyObject_GetOptionalAttr(extra.ptr(), interned<"keys">(), &keys_method) < 0) throw_pending();
    if (!keys_method)
        raise_error(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                    function_description(func).ptr(), Py_TYPE(extra.ptr())->tp_name);
    nb::object keys_of = nb::steal(keys_method);
    nb::object keys = keys_of();
    for (nb::handle key : keys) {
        refuse_repeated_keyword(func, keywords, key.ptr());
        nb::object value = steal_or_throw(PyObject_GetItem(extra.ptr(), key.ptr()));
        if (PyDict_SetItem(keywords.ptr(), key.ptr(), value.ptr()) < 0) throw_pending();
    }
}

/// True when `**extra` adds nothing and needs no reading (absent, None or an empty plain dict).
inline bool adds_nothing(nb::handle extra) {
    return !extra.is_valid() || extra.is_none() || (PyDict_CheckExact(extra.ptr()) && PyDict_GET_SIZE(extra.ptr()) == 0);
}

/// `func(**dict(zip(names, values)), **extra)` through a dict, for a non-empty `extra`.
inline nb::object call_merged(nb::handle func, PyObject *names, PyObject *const *values, nb::handle extra) {
    nb::dict keywords;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
        if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(names, i), values[i]) < 0) throw_pending();
    merge_extra(func, keywords, extra);
    nb::tuple no_args;
    return steal_or_throw(PyObject_Call(func.ptr(), no_args.ptr(), keywords.ptr()));
}

}  // namespace calls_detail

/// `func(data=data, configuration=configuration, **extra)`:
///     call_keywords<"data", "configuration">(func, {data, configuration}, extra)
/// One value per name (checked when compiling); `extra` is optional (any mapping, None or absent).
/// Values are borrowed for the call only; pass owned objects, not borrowed list items.
template <Literal... Names, size_t N>
nb::object call_keywords(nb::handle func, const nb::handle (&values)[N], nb::handle extra = nb::handle()) {
    static_assert(N == sizeof...(Names), "call_keywords: give exactly one value per keyword name");
    static_assert(N > 0, "call_keywords: name at least one keyword");
    std::array<PyObject *, N> stack;
    for (size_t i = 0; i < N; ++i) stack[i] = values[i].ptr();
    PyObject *names = keyword_names<Names...>();
    if (!calls_detail::adds_nothing(extra)) return calls_detail::call_merged(func, names, stack.data(), extra);
    return steal_or_throw(PyObject_Vectorcall(func.ptr(), stack.data(), 0, names));
}

}  // namespace tessary
