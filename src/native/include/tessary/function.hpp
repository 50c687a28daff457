// Python-visible functions: CPython's argument binding and errors, real defaults, signatures,
// method binding and the coroutine-function marker, around a plain C++ implementation.
#pragma once

#include <tessary/globals.hpp>

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <vector>

namespace tessary {

enum class ParamKind { positional_or_keyword, keyword_only, var_keyword };

/// One parameter: name, annotation text, default (invalid handle = required) and exact type check.
struct Param {
    const char *name;
    const char *annotation = nullptr;
    nb::object default_value = nb::object();
    PyTypeObject *exact_type = nullptr;
    ParamKind kind = ParamKind::positional_or_keyword;

    Param(const char *name_, const char *annotation_ = nullptr) : name(name_), annotation(annotation_) {}
    Param &&defaults_to(nb::handle value) && { default_value = nb::borrow(value); return std::move(*this); }
    Param &&exactly(PyTypeObject *type) && { exact_type = type; return std::move(*this); }
    Param &&keyword_only() && { kind = ParamKind::keyword_only; return std::move(*this); }
};

/// `**name`: collects surplus keywords into a dict.
inline Param var_keyword(const char *name, const char *annotation = nullptr) {
    Param param(name, annotation);
    param.kind = ParamKind::var_keyword;
    return param;
}

constexpr size_t kMaxParams = 16;

/// The bound arguments of one call; values are borrowed from the call or the shared defaults.
class Args {
public:
    nb::handle operator[](size_t index) const { return values_[index]; }
    /// Surplus keywords (`**kwargs`); an empty dict when the function has none.
    nb::dict kwargs() const { return kwargs_.is_valid() ? nb::borrow<nb::dict>(kwargs_) : nb::dict(); }
    nb::object owned(size_t index) const { return nb::borrow(values_[index]); }

private:
    friend struct Binder;
    std::array<PyObject *, kMaxParams> values_{};
    nb::object kwargs_;
};

using Impl = nb::object (*)(const Args &);

/// Everything Python sees of a function, and its C++ body.
struct FunctionDefinition {
    const char *name;
    std::vector<Param> params = {};    // filled from the declaration by def<body> (params.hpp)
    Impl impl = nullptr;
    const char *returns = nullptr;     // return annotation text
    const char *doc = nullptr;
    bool coroutine = false;            // marks it for inspect.iscoroutinefunction
    std::string qualname = {};         // set by def / ClassBuilder
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    FunctionDefinition *definition;
    PyObject *qualname;
    PyObject *interned_names[kMaxParams];
    Py_ssize_t positional_count;  // positional-or-keyword parameters, always first
    Py_ssize_t named_count;       // all parameters but **kwargs
    bool has_var_keyword;
};

inline PyTypeObject *&function_type_slot() {
    static PyTypeObject *type = nullptr;
    return type;
}

/// The function's __qualname__ as it stands now (borrowed): the attribute once reassigned, else the original.
inline PyObject *current_qualname(FunctionObject *func) {
    PyObject *value = func->dict ? PyDict_GetItemWithError(func->dict, interned<"__qualname__">()) : nullptr;
    if (value && PyUnicode_Check(value)) return value;
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return func->qualname;
}

/// Binds arguments exactly as CPython does for a def with the same parameters, with its messages.
struct Binder {
    FunctionObject *func;
    Args &args;

    /// The current __qualname__ (borrowed), as CPython's messages use it.
    PyObject *qualname() const { return current_qualname(func); }

    Py_ssize_t find_keyword(PyObject *key) const {
        for (Py_ssize_t i = 0; i < func->named_count; ++i)
            if (func->interned_names[i] == key) return i;
        for (Py_ssize_t i = 0; i < func->named_count; ++i) {
            int equal = PyUnicode_Compare(func->interned_names[i], key);
            if (equal == 0) return i;
            if (equal == -1 && PyErr_Occurred()) return -2;
        }
        return -1;
    }

    bool bind(PyObject *const *positional, Py_ssize_t nargs, PyObject *kwnames) {
        const FunctionDefinition &definition = *func->definition;
        Py_ssize_t copied = nargs < func->positional_count ? nargs : func->positional_count;
        for (Py_ssize_t i = 0; i < copied; ++i) args.values_[i] = positional[i];
        if (func->has_var_keyword) args.kwargs_ = nb::steal(PyDict_New());
        if (kwnames && !bind_keywords(positional + nargs, kwnames)) return false;
        if (nargs > func->positional_count) return too_many_positional(nargs);
        if (!fill_defaults(ParamKind::positional_or_keyword, 0, func->positional_count)) return false;
        if (!fill_defaults(ParamKind::keyword_only, func->positional_count, func->named_count)) return false;
        return check_types(definition);
    }

    bool bind_keywords(PyObject *const *values, PyObject *kwnames) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t index = find_keyword(key);
            if (index == -2) return false;
            if (index < 0) {
                if (!func->has_var_keyword) return unexpected_keyword(key);
                if (PyDict_SetItem(args.kwargs_.ptr(), key, values[k]) < 0) return false;
                continue;
            }
            if (args.values_[index]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname(), key);
                return false;
            }
            args.values_[index] = values[k];
        }
        return true;
    }

    /// "got an unexpected keyword argument", with CPython's "Did you mean" among the parameter names.
    bool unexpected_keyword(PyObject *key) {
        PyObject *suggestion = suggest_name(key);
        if (suggestion)
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                         qualname(), key, suggestion);
        else
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname(), key);
        Py_XDECREF(suggestion);
        return false;
    }

    /// The closest parameter name to `key` as CPython's suggestion finder picks it, or null.
    PyObject *suggest_name(PyObject *key) const {
        PyObject *suggestion = nullptr;
        PyObject *candidates = PyList_New(func->named_count);
        PyObject *finder = candidates ? PyImport_ImportModule("_suggestions") : nullptr;
        if (finder) {
            for (Py_ssize_t i = 0; i < func->named_count; ++i)
                PyList_SET_ITEM(candidates, i, Py_NewRef(func->interned_names[i]));
            suggestion = PyObject_CallMethod(finder, "_generate_suggestions", "OO", candidates, key);
        }
        Py_XDECREF(finder);
        Py_XDECREF(candidates);
        if (!suggestion || suggestion == Py_None) {
            PyErr_Clear();
            Py_XDECREF(suggestion);
            return nullptr;
        }
        return suggestion;
    }

    bool too_many_positional(Py_ssize_t given) {
        const FunctionDefinition &definition = *func->definition;
        Py_ssize_t defaults = 0, keyword_only_given = 0;
        for (Py_ssize_t i = 0; i < func->positional_count; ++i) defaults += definition.params[i].default_value.is_valid();
        for (Py_ssize_t i = func->positional_count; i < func->named_count; ++i) keyword_only_given += args.values_[i] != nullptr;
        Py_ssize_t count = func->positional_count;
        nb::object signature = defaults ? nb::steal(PyUnicode_FromFormat("from %zd to %zd", count - defaults, count))
                                        : nb::steal(PyUnicode_FromFormat("%zd", count));
        bool plural = defaults || count != 1;
        nb::object keyword_only = keyword_only_given
            ? nb::steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                             given != 1 ? "s" : "", keyword_only_given,
                                             keyword_only_given != 1 ? "s" : ""))
            : nb::steal(PyUnicode_FromString(""));
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", qualname(),
                     signature.ptr(), plural ? "s" : "", given, keyword_only.ptr(),
                     given == 1 && !keyword_only_given ? "was" : "were");
        return false;
    }

    bool fill_defaults(ParamKind kind, Py_ssize_t begin, Py_ssize_t end) {
        const FunctionDefinition &definition = *func->definition;
        std::vector<PyObject *> missing;
        for (Py_ssize_t i = begin; i < end; ++i) {
            if (args.values_[i]) continue;
            if (definition.params[i].default_value.is_valid()) args.values_[i] = definition.params[i].default_value.ptr();
            else missing.push_back(func->interned_names[i]);
        }
        if (missing.empty()) return true;
        report_missing(missing, kind == ParamKind::keyword_only ? "keyword-only" : "positional");
        return false;
    }

    /// "'a'", "'a' and 'b'", "'a', 'b' and 'c'", as CPython lists missing arguments.
    void report_missing(const std::vector<PyObject *> &names, const char *kind) {
        nb::object list = nb::steal(PyUnicode_FromString(""));
        size_t count = names.size();
        for (size_t i = 0; i < count; ++i) {
            const char *separator = i == 0 ? "" : (i + 1 == count ? " and " : ", ");
            list = nb::steal(PyUnicode_FromFormat("%U%s'%U'", list.ptr(), separator, names[i]));
        }
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", qualname(), (Py_ssize_t)count,
                     kind, count == 1 ? "" : "s", list.ptr());
    }

    bool check_types(const FunctionDefinition &definition) {
        for (Py_ssize_t i = 0; i < func->named_count; ++i) {
            const Param &param = definition.params[i];
            PyObject *value = args.values_[i];
            if (!param.exact_type || Py_TYPE(value) == param.exact_type) continue;
            if (value == Py_None && param.default_value.is_valid() && param.default_value.is_none()) continue;
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         param.name, param.exact_type->tp_name, Py_TYPE(value)->tp_name);
            return false;
        }
        return true;
    }
};

inline PyObject *function_vectorcall(PyObject *self, PyObject *const *positional, size_t nargsf, PyObject *kwnames) {
    auto *func = reinterpret_cast<FunctionObject *>(self);
    Args args;
    Binder binder{func, args};
    if (!binder.bind(positional, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
    try {
        return func->definition->impl(args).release().ptr();
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

inline PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline PyObject *function_repr(PyObject *self) {
    auto *func = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", current_qualname(func), self);
}

inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<FunctionObject *>(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int function_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<FunctionObject *>(self)->dict);
    return 0;
}

inline void function_dealloc(PyObject *self) {
    auto *func = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_XDECREF(func->qualname);
    for (Py_ssize_t i = 0; i < func->named_count + func->has_var_keyword; ++i) Py_XDECREF(func->interned_names[i]);
    delete func->definition;
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

/// Builds inspect.Signature from the real default objects and the annotation texts.
inline PyObject *function_signature(PyObject *self, void *) {
    auto *func = reinterpret_cast<FunctionObject *>(self);
    try {
        nb::object inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object empty = parameter.attr("empty");
        nb::list parameters;
        for (const Param &param : func->definition->params) {
            const char *kind = param.kind == ParamKind::positional_or_keyword ? "POSITIONAL_OR_KEYWORD"
                             : param.kind == ParamKind::keyword_only          ? "KEYWORD_ONLY"
                                                                               : "VAR_KEYWORD";
            nb::object annotation = param.annotation ? nb::object(nb::str(param.annotation)) : empty;
            nb::object default_value = param.default_value.is_valid() ? param.default_value : empty;
            parameters.append(parameter(nb::str(param.name), parameter.attr(kind), nb::arg("default") = default_value,
                                        nb::arg("annotation") = annotation));
        }
        nb::object returns = func->definition->returns ? nb::object(nb::str(func->definition->returns)) : empty;
        return inspect.attr("Signature")(parameters, nb::arg("return_annotation") = returns).release().ptr();
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

/// Pickles by reference, like a def: pickle looks the qualified name up in __module__ on loading.
inline PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(current_qualname(reinterpret_cast<FunctionObject *>(self)));
}

inline PyTypeObject *function_type() {
    PyTypeObject *&type = function_type_slot();
    if (type) return type;
    static PyMethodDef methods[] = {
        {"__reduce__", function_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
        {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__signature__", function_signature, nullptr, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec definition = {
        "tessary.native.function", sizeof(FunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&definition));
    if (!type) throw_pending();
    return type;
}

/// Creates the function object; qualname defaults to the name.
inline nb::object make_function(FunctionDefinition given) {
    auto definition = std::make_unique<FunctionDefinition>(std::move(given));
    if (definition->qualname.empty()) definition->qualname = definition->name;
    if (definition->params.size() > kMaxParams) throw std::length_error("too many parameters");
    PyTypeObject *type = function_type();
    auto *func = PyObject_GC_New(FunctionObject, type);
    if (!func) throw_pending();
    func->vectorcall = function_vectorcall;
    func->definition = nullptr;
    std::fill(std::begin(func->interned_names), std::end(func->interned_names), nullptr);
    func->dict = nullptr;
    func->qualname = nullptr;
    func->positional_count = func->named_count = 0;
    func->has_var_keyword = false;
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(func));
    func->definition = definition.release();
    func->dict = PyDict_New();
    if (!func->dict) throw_pending();
    func->qualname = PyUnicode_FromString(func->definition->qualname.c_str());
    if (!func->qualname) throw_pending();
    Py_ssize_t index = 0;
    for (const Param &param : func->definition->params) {
        func->interned_names[index] = PyUnicode_InternFromString(param.name);
        if (!func->interned_names[index++]) throw_pending();
        if (param.kind == ParamKind::positional_or_keyword) ++func->positional_count;
        if (param.kind != ParamKind::var_keyword) ++func->named_count;
        else func->has_var_keyword = true;
    }
    nb::dict dict = nb::borrow<nb::dict>(func->dict);
    nb::dict annotations, keyword_defaults;
    nb::list defaults;
    for (const Param &param : func->definition->params) {
        if (param.annotation) annotations[param.name] = nb::str(param.annotation);
        if (!param.default_value.is_valid()) continue;
        if (param.kind == ParamKind::keyword_only) keyword_defaults[param.name] = param.default_value;
        else defaults.append(param.default_value);
    }
    if (func->definition->returns) annotations["return"] = nb::str(func->definition->returns);
    dict["__name__"] = nb::str(func->definition->name);
    dict["__qualname__"] = nb::str(func->definition->qualname.c_str());
    dict["__module__"] = module_name();
    dict["__doc__"] = func->definition->doc ? nb::object(nb::str(func->definition->doc)) : nb::none();
    dict["__annotations__"] = annotations;
    dict["__defaults__"] = nb::len(defaults) ? nb::object(nb::tuple(defaults)) : nb::none();
    dict["__kwdefaults__"] = nb::len(keyword_defaults) ? nb::object(keyword_defaults) : nb::none();
    if (func->definition->coroutine)
        dict["_is_coroutine_marker"] = nb::module_::import_("inspect").attr("_is_coroutine_mark");
    PyObject_GC_Track(func);
    return result;
}

/// Defines a module-level function under its own name.
inline nb::object def(nb::module_ module, FunctionDefinition definition) {
    std::string name = definition.name;
    nb::object func = make_function(std::move(definition));
    module.attr(name.c_str()) = func;
    return func;
}

/// A default value shared by every call: one object made when the function is made.
inline nb::object empty_list_default() { return nb::list(); }

}  // namespace tessary
