// The whole basic layer in one include: errors.hpp, names.hpp, builtins.hpp, globals.hpp,
// calls.hpp, with.hpp. New code includes the header it needs; this umbrella also keeps the
// former `call_with_keywords({{"name", value}, ...}, extra)` until its last callers move to call_keywords.
#pragma once

#include <tessary/builtins.hpp>
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/globals.hpp>
#include <tessary/names.hpp>
#include <tessary/with.hpp>

#include <initializer_list>

namespace tessary {

struct Keyword {
    const char *name;
    nb::handle value;
};

/// The former keyword call, names given at run time (interned on every call): prefer call_keywords.
inline nb::object call_with_keywords(nb::handle func, std::initializer_list<Keyword> fixed, nb::handle extra = nb::handle()) {
    nb::dict keywords;
    for (const Keyword &keyword : fixed) keywords[keyword.name] = keyword.value;
    if (extra.is_valid() && !extra.is_none()) calls_detail::merge_extra(func, keywords, extra);
    nb::tuple no_args;
    return steal_or_throw(PyObject_Call(func.ptr(), no_args.ptr(), keywords.ptr()));
}

}  // namespace tessary
