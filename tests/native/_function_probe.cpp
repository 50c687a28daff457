// Test-only module exercising functions, classes, globals and keyword calls of the shared helpers.
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/klass.hpp>
#include <tessary/module.hpp>
#include <tessary/params.hpp>
#include <tessary/with.hpp>

namespace nb = nanobind;
using tessary::Args;
using tessary::Param;

namespace {

nb::object echo_all(const Args &args) {
    return nb::make_tuple(args[0], args[1], args[2], args.kwargs());
}

nb::object echo_two(const Args &args) { return nb::make_tuple(args[0], args[1]); }

/// Hands attribute and item lookups straight to calls, lists and dicts (failures must raise, not abort).
nb::object pass_lookups(const Args &args) {
    nb::handle func = args[0], target = args[1];
    func(target.attr("real"));
    nb::list collected;
    collected.append(target.attr("imag"));
    nb::dict mapping;
    mapping["value"] = target.attr("numerator");
    return nb::make_tuple(collected, mapping);
}

nb::object call_global(const Args &args) {
    return tessary::global(nb::borrow<nb::str>(args[0]).c_str())();
}

nb::object import_missing(const Args &args) {
    tessary::import_from(nb::borrow<nb::str>(args[0]).c_str(), {{nb::borrow<nb::str>(args[1]).c_str()}});
    return nb::none();
}

nb::object call_keywords(const Args &args) {
    return tessary::call_keywords<"data", "configuration">(args[0], {args[1], args[2]}, args[3]);
}

constexpr auto kByNameParams = tessary::params(
    tessary::param<"a">(), tessary::param<"b">("int").defaults_to(tessary::defaults::integer<1>),
    tessary::param<"c">().keyword_only(),
    tessary::param<"d">("str | None").defaults_to(tessary::defaults::none).exactly(&PyUnicode_Type).keyword_only(),
    tessary::var_keywords<"kw">());

/// Reads its parameters by name, in another order than declared.
nb::object by_name(tessary::ArgsOf<kByNameParams> args) {
    nb::dict seen;
    seen["kw"] = args.kwargs();
    seen["d"] = args.get<"d">();
    seen["b"] = args.get<"b">();
    seen["c"] = args.get<"c">();
    seen["a"] = args.get<"a">();
    return seen;
}

constexpr auto kWrapParams = tessary::params(tessary::param<"prefix">("str").exactly(&PyUnicode_Type),
                                             tessary::param<"error">(), tessary::param<"detail">(),
                                             tessary::param<"from_caught">().defaults_to(tessary::defaults::false_value));

/// `try: raise error` / `except Exception as caught: raise Exception(prefix + detail() + str(caught)) [from caught]`.
nb::object wrap(tessary::ArgsOf<kWrapParams> args) {
    nb::object detail = args.owned<"detail">();
    nb::object caught = tessary::catch_general([&] { tessary::raise_object(args.get<"error">()); });
    tessary::Wrapping how{.chain = tessary::truthy(args.get<"from_caught">()) ? tessary::Chain::cause : tessary::Chain::context};
    tessary::raise_wrapped(nb::borrow<nb::str>(args.get<"prefix">()).c_str(), caught, [&] { return detail(); }, how);
}

nb::object get_state(const Args &args) {
    nb::handle self = args[0];
    return nb::make_tuple(self.attr("LIMIT"), self.attr("_Probe__secret")());
}

nb::object secret(const Args &args) { return nb::str("secret of {}").format(args[0].type().attr("__name__")); }

nb::object twice(const Args &args) { return args[0] * nb::int_(2); }

nb::object nothing(const Args &) { return nb::none(); }

nb::object echo_one(const Args &args) { return nb::borrow(args[0]); }

nb::object echo_collected(const Args &args) { return nb::make_tuple(args[0], args.kwargs()); }

nb::object class_and_value(const Args &args) { return nb::make_tuple(args[0], args[1]); }

/// Runs `with manager:` around a body that raises ValueError("body") when `fail` is true; returns
/// whether the block ran to its end (false when the exit suppressed the error).
nb::object with_manager(const Args &args) {
    bool fail = tessary::truthy(args[1]);
    bool completed = tessary::run_with(args[0], [&] {
        if (fail) tessary::raise_error(PyExc_ValueError, "body");
    });
    return nb::bool_(completed);
}

void define_functions(nb::module_ m) {
    tessary::def(m, {.name = "echo_all",
                     .params = {Param("a"), Param("b").defaults_to(nb::int_(1)), Param("c").keyword_only(),
                                tessary::var_keyword("kw")},
                     .impl = echo_all,
                     .doc = "Returns its arguments."});
    tessary::def(m, {.name = "echo_required",
                     .params = {Param("a"), Param("b"), Param("c").keyword_only(), Param("d").keyword_only()},
                     .impl = echo_two});
    tessary::def(m, {.name = "typed",
                     .params = {Param("items", "list[str]").defaults_to(nb::list()).exactly(&PyList_Type),
                                Param("label", "str").defaults_to(nb::none()).exactly(&PyUnicode_Type)},
                     .impl = echo_two,
                     .returns = "tuple"});
    tessary::def(m, {.name = "pass_lookups", .params = {Param("func"), Param("target")}, .impl = pass_lookups});
    tessary::def(m, {.name = "single", .params = {Param("x")}, .impl = echo_one});
    tessary::def(m, {.name = "call_global", .params = {Param("name")}, .impl = call_global});
    tessary::def(m, {.name = "import_missing", .params = {Param("module"), Param("name")}, .impl = import_missing});
    tessary::def(m, {.name = "call_keywords",
                     .params = {Param("func"), Param("data"), Param("configuration"), Param("extra")},
                     .impl = call_keywords});
    tessary::def(m, {.name = "marked_coroutine", .params = {}, .impl = nothing, .coroutine = true});
    tessary::def(m, {.name = "no_params", .params = {}, .impl = nothing});
    tessary::def(m, {.name = "keyword_defaults",
                     .params = {Param("alpha"), Param("beta").defaults_to(nb::int_(2)).keyword_only(),
                                Param("gamma").keyword_only()},
                     .impl = echo_one});
    tessary::def(m, {.name = "collect", .params = {Param("a"), tessary::var_keyword("kw")}, .impl = echo_collected});
    tessary::def(m, {.name = "with_manager", .params = {Param("manager"), Param("fail")}, .impl = with_manager});
    tessary::def<by_name>(m, {.name = "by_name", .returns = "dict"});
    tessary::def<wrap>(m, {.name = "wrap"});
}

void define_classes(nb::module_ m) {
    tessary::ClassBuilder("Probe", "A probe class.")
        .attr("LIMIT", nb::int_(3))
        .method({.name = "state", .params = {Param("self")}, .impl = get_state})
        .method({.name = "__secret", .params = {Param("self")}, .impl = secret})
        .static_method({.name = "twice", .params = {Param("x")}, .impl = twice})
        .class_method({.name = "make", .params = {Param("cls"), Param("x").defaults_to(nb::int_(1))},
                       .impl = class_and_value})
        .build();
    nb::object base_model = nb::module_::import_("pydantic").attr("BaseModel");
    tessary::ClassBuilder("Record")
        .field("name", nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type)))
        .field("size", nb::borrow(reinterpret_cast<PyObject *>(&PyLong_Type)), nb::int_(0))
        .build({base_model});
    m.attr("Probe") = tessary::global("Probe");
    m.attr("Record") = tessary::global("Record");
}

}  // namespace

TESSARY_MODULE(_function_probe, m) {
    tessary::import_from("os.path", {{"join"}, {"basename", "base_name"}});
    define_functions(m);
    define_classes(m);
}
