// Parameters declared once and read by name. A function's parameters (names, annotations,
// defaults, exact types) are one constexpr declaration; its body reads `args.get<"name">()`, the
// index found when compiling (a misspelt name does not compile), and `def<body>` builds the
// Python-visible signature from the same declaration, so the order lives in one place:
//
//     constexpr auto kCheckParams = tessary::params(tessary::param<"model_id">(),
//                                                   tessary::param<"limit">("int").defaults_to(tessary::defaults::none));
//     nb::object check(tessary::ArgsOf<kCheckParams> args) { nb::handle id = args.get<"model_id">(); ... }
//     tessary::def<check>(m, {.name = "check", .doc = "..."});
#pragma once

#include <tessary/function.hpp>

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace tessary {

/// Makes a default object when the function is made; every call then shares that one object.
using DefaultMaker = nb::object (*)();

/// Default makers for the usual defaults.
namespace defaults {
inline nb::object none() { return nb::none(); }
inline nb::object empty_list() { return nb::list(); }
inline nb::object empty_text() { return nb::str(""); }
inline nb::object false_value() { return nb::bool_(false); }
inline nb::object true_value() { return nb::bool_(true); }
template <long Value>
inline nb::object integer() { return nb::int_(Value); }
}  // namespace defaults

/// One declared parameter; the name is part of the type so lookups by name resolve when compiling.
template <Literal Name>
struct Parameter {
    static constexpr Literal name = Name;
    const char *annotation = nullptr;
    PyTypeObject *exact_type = nullptr;
    DefaultMaker make_default = nullptr;
    ParamKind kind = ParamKind::positional_or_keyword;

    /// Only this exact type is accepted ("Argument 'x' has incorrect type ..."; None when the default is None).
    constexpr Parameter exactly(PyTypeObject *type) const { Parameter copy = *this; copy.exact_type = type; return copy; }
    constexpr Parameter defaults_to(DefaultMaker maker) const { Parameter copy = *this; copy.make_default = maker; return copy; }
    constexpr Parameter keyword_only() const { Parameter copy = *this; copy.kind = ParamKind::keyword_only; return copy; }

    /// The runtime description the function object is made from (the default made now).
    Param to_param() const {
        Param param(name.text, annotation);
        if (make_default) param.default_value = make_default();
        param.exact_type = exact_type;
        param.kind = kind;
        return param;
    }
};

/// A positional-or-keyword parameter with an optional annotation text.
template <Literal Name>
constexpr Parameter<Name> param(const char *annotation = nullptr) {
    return Parameter<Name>{annotation};
}

/// `**name`: collects surplus keywords into a dict (read with `args.kwargs()`); last in the list.
template <Literal Name>
constexpr Parameter<Name> var_keywords(const char *annotation = nullptr) {
    Parameter<Name> declared{annotation};
    declared.kind = ParamKind::var_keyword;
    return declared;
}

/// The declared parameter list of one or more functions, in signature order.
template <typename... Declared>
struct Params {
    std::tuple<Declared...> list;

    static constexpr size_t npos = static_cast<size_t>(-1);
    static constexpr size_t count = sizeof...(Declared);
    static_assert(count <= kMaxParams, "too many parameters");

    /// The position of the parameter called `N`, or npos.
    template <Literal N>
    static constexpr size_t index_of() {
        constexpr bool matches[] = {same_text(Declared::name, N)..., false};
        for (size_t i = 0; i < count; ++i)
            if (matches[i]) return i;
        return npos;
    }

    /// The parameters as the function object is made from them (defaults made now).
    std::vector<Param> to_params() const {
        return std::apply([](const auto &...declared) { return std::vector<Param>{declared.to_param()...}; }, list);
    }

    /// True when the list is ordered as a def must be: positional, then keyword-only, then `**kwargs`.
    constexpr bool well_ordered() const {
        int previous = 0;
        bool ordered = true;
        std::apply([&](const auto &...declared) {
            ((ordered = ordered && static_cast<int>(declared.kind) >= previous, previous = static_cast<int>(declared.kind)), ...);
        }, list);
        return ordered && var_keywords_count() <= 1;
    }

    /// The kind of the parameter at `index` (positional-or-keyword when out of range).
    constexpr ParamKind kind_at(size_t index) const {
        ParamKind found = ParamKind::positional_or_keyword;
        size_t position = 0;
        std::apply([&](const auto &...declared) { ((found = position++ == index ? declared.kind : found), ...); }, list);
        return found;
    }

    constexpr size_t var_keywords_count() const {
        return std::apply([](const auto &...declared) {
            return (size_t{0} + ... + (declared.kind == ParamKind::var_keyword ? 1 : 0));
        }, list);
    }
};

/// Declares a parameter list: `constexpr auto kParams = params(param<"self">(), ...);`
template <typename... Declared>
constexpr Params<Declared...> params(Declared... declared) {
    return Params<Declared...>{{declared...}};
}

/// The bound arguments of one call of a function declared with `Declared`, read by name.
template <const auto &Declared>
class ArgsOf {
    using List = std::remove_cvref_t<decltype(Declared)>;
    static_assert(Declared.well_ordered(), "parameters: positional first, then keyword-only, then one **kwargs");

public:
    static constexpr const auto &declaration = Declared;

    explicit ArgsOf(const Args &args) noexcept : args_(args) {}

    /// The argument of parameter `N` (borrowed from the call or the shared default).
    template <Literal N>
    nb::handle get() const {
        constexpr size_t index = List::template index_of<N>();
        static_assert(index != List::npos, "no parameter of that name");
        static_assert(index == List::npos || Declared.kind_at(index) != ParamKind::var_keyword,
                      "read **kwargs with kwargs()");
        return args_[index];
    }

    /// The argument of parameter `N` as a new reference (to keep it, or to pass it into a coroutine).
    template <Literal N>
    nb::object owned() const {
        return nb::borrow(get<N>());
    }

    /// The surplus keywords (`**kwargs`).
    nb::dict kwargs() const {
        static_assert(Declared.var_keywords_count() == 1, "the function declares no **kwargs");
        return args_.kwargs();
    }

private:
    const Args &args_;
};

namespace params_detail {

template <typename Body>
struct BodyTraits;

template <const auto &Declared>
struct BodyTraits<nb::object (*)(ArgsOf<Declared>)> {
    using Arguments = ArgsOf<Declared>;
};

/// The plain implementation the function object calls: binds the by-name view and runs the body.
template <auto Body>
nb::object run_body(const Args &args) {
    using Arguments = typename BodyTraits<decltype(Body)>::Arguments;
    return Body(Arguments(args));
}

}  // namespace params_detail

/// The function description of `Body` (a function taking `ArgsOf<kParams>`): its parameters come
/// from the declaration; `definition` gives the name, annotations of the result, doc and coroutine mark.
template <auto Body>
FunctionDefinition declared(FunctionDefinition definition) {
    using Arguments = typename params_detail::BodyTraits<decltype(Body)>::Arguments;
    definition.params = Arguments::declaration.to_params();
    definition.impl = params_detail::run_body<Body>;
    return definition;
}

/// Defines a module-level function whose parameters `Body` declares.
template <auto Body>
nb::object def(nb::module_ module, FunctionDefinition definition) {
    return def(module, declared<Body>(std::move(definition)));
}

}  // namespace tessary
