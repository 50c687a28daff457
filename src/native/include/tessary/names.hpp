// Interned names known at compile time: a string literal as a template argument, turned into an
// interned str once per distinct literal and kept for the life of the process. Everything that
// looks a name up on a hot path (globals, attributes, keywords, parameters) goes through here.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace tessary {

namespace nb = nanobind;

/// A string literal usable as a template argument, so each name is interned once per call site.
template <size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&source)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = source[i];
    }
};

/// True when two literals spell the same name (usable in static_assert).
template <size_t A, size_t B>
constexpr bool same_text(const Literal<A> &left, const Literal<B> &right) {
    if constexpr (A != B) {
        return false;
    } else {
        for (size_t i = 0; i < A; ++i)
            if (left.text[i] != right.text[i]) return false;
        return true;
    }
}

/// The interned str of a literal, created on first use and kept for the life of the process
/// (a failure to create it raises and is retried on the next use).
template <Literal L>
inline PyObject *interned() {
    static PyObject *key = [] {
        PyObject *created = PyUnicode_InternFromString(L.text);
        if (!created) throw nb::python_error();
        return created;
    }();
    return key;
}

}  // namespace tessary
