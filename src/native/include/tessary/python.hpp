// Shared basics: errors, module globals with late binding, imports and keyword calls.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdarg>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

// nanobind converts attribute and item accessors to call arguments, list items and dict values in a
// noexcept caster, so a failing lookup (an AttributeError, a KeyError) would terminate the process.
// These casters perform the lookup where the exception can still propagate as a Python error.
namespace nanobind::detail {
#define TESSARY_ACCESSOR_CASTER(Policy)                                                        \
    template <>                                                                                 \
    struct type_caster<accessor<Policy>, int> {                                                 \
        NB_TYPE_CASTER(accessor<Policy>, const_name("object"))                                  \
        bool from_python(handle, uint8_t, cleanup_list *) noexcept { return false; }           \
        static handle from_cpp(const accessor<Policy> &source, rv_policy, cleanup_list *) {     \
            return handle(source.ptr()).inc_ref();                                              \
        }                                                                                       \
    };
TESSARY_ACCESSOR_CASTER(str_attr)
TESSARY_ACCESSOR_CASTER(obj_attr)
TESSARY_ACCESSOR_CASTER(str_item)
TESSARY_ACCESSOR_CASTER(obj_item)
TESSARY_ACCESSOR_CASTER(dict_item)
TESSARY_ACCESSOR_CASTER(num_item)
TESSARY_ACCESSOR_CASTER(num_item_list)
TESSARY_ACCESSOR_CASTER(num_item_tuple)
#undef TESSARY_ACCESSOR_CASTER
}  // namespace nanobind::detail

namespace tessary {

namespace nb = nanobind;

/// Raises `type` with a printf-style message as a C++ exception carrying the Python error.
[[noreturn]] inline void raise_error(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

/// Raises an existing exception instance.
[[noreturn]] inline void raise_object(nb::handle exception) {
    PyErr_SetRaisedException(exception.inc_ref().ptr());
    throw nb::python_error();
}

/// Throws the pending Python error (after a failed C API call).
[[noreturn]] inline void throw_pending() { throw nb::python_error(); }

/// Checks a C API result: a null pointer means a Python error is pending.
inline nb::object steal_or_throw(PyObject *result) {
    if (!result) throw_pending();
    return nb::steal(result);
}

/// Turns the C++ exception in flight into the Python error indicator (call inside catch).
inline void restore_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &error) {
        error.restore();
    } catch (nb::builtin_exception &error) {
        PyObject *type = PyExc_RuntimeError;
        switch (error.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, error.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

/// Takes the Python exception object out of a caught python_error (for chaining or re-raising later).
inline nb::object exception_object(nb::python_error &error) {
    error.restore();
    return nb::steal(PyErr_GetRaisedException());
}

/// `raise exception from cause`: sets __cause__ and __context__ and suppresses the context.
inline void set_cause(nb::handle exception, nb::handle cause) {
    PyException_SetCause(exception.ptr(), cause.inc_ref().ptr());
    PyException_SetContext(exception.ptr(), cause.inc_ref().ptr());
}

/// The implicit chaining of an exception raised while handling `context`.
inline void set_context(nb::handle exception, nb::handle context) {
    if (exception.ptr() != context.ptr()) PyException_SetContext(exception.ptr(), context.inc_ref().ptr());
}

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

/// True when the exception belongs to the Exception family (not cancellation, exits or interrupts).
inline bool is_general_exception(nb::handle exception) {
    return PyObject_IsInstance(exception.ptr(), PyExc_Exception) == 1;
}

// ---------------------------------------------------------------------------------------------
// Module globals: names are bound into the module dict at init and looked up there at call time,
// so monkeypatching the module changes behaviour as it would for Python code.

/// The dict of the module this shared object defines (one extension module per .so).
inline PyObject *&module_dict_slot() {
    static PyObject *dict = nullptr;
    return dict;
}

inline nb::str &module_name_slot() {
    static nb::str *name = new nb::str("");
    return *name;
}

/// Records the module being initialised; call first in the module's init.
inline void bind_module(nb::module_ module) {
    module_dict_slot() = module.attr("__dict__").inc_ref().ptr();
    module_name_slot() = nb::borrow<nb::str>(module.attr("__name__"));
}

inline nb::dict module_dict() { return nb::borrow<nb::dict>(module_dict_slot()); }
inline nb::str module_name() { return module_name_slot(); }

/// LOAD_GLOBAL's NameError: "name '%.200s' is not defined", with the name in its `name` attribute.
[[noreturn]] inline void raise_name_error(PyObject *key) {
    const char *text = PyUnicode_AsUTF8(key);
    if (!text) throw_pending();
    PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", text);
    PyObject *error = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(error, "name", key) < 0) PyErr_Clear();
    PyErr_SetRaisedException(error);
    throw nb::python_error();
}

/// Reads a global by interned key as LOAD_GLOBAL does: module dict, then builtins, else NameError.
inline nb::object global_key(PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(module_dict_slot(), key);
    if (!value) {
        if (PyErr_Occurred()) throw_pending();
        PyObject *builtins = PyEval_GetFrameBuiltins();
        if (builtins) {
            value = PyDict_GetItemWithError(builtins, key);
            Py_DECREF(builtins);
        }
        if (!value) {
            if (PyErr_Occurred()) throw_pending();
            raise_name_error(key);
        }
    }
    return nb::borrow(value);
}

/// A string literal usable as a template argument, so each name is interned once per call site.
template <size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&source)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = source[i];
    }
};

/// The interned str of a literal, created on first use and kept for the life of the process.
template <Literal L>
inline PyObject *interned() {
    static PyObject *key = PyUnicode_InternFromString(L.text);
    return key;
}

/// `global<"asyncio">()`: a module global looked up at call time with a cached key.
template <Literal L>
inline nb::object global() {
    return global_key(interned<L>());
}

/// `attr<"sleep">(asyncio)`: an attribute read with a cached interned name.
template <Literal L>
inline nb::object attr(nb::handle object) {
    return steal_or_throw(PyObject_GetAttr(object.ptr(), interned<L>()));
}

/// Reads a global by a runtime name (interns it on each call; prefer global<"name">() on hot paths).
inline nb::object global(const char *name) {
    nb::object key = steal_or_throw(PyUnicode_InternFromString(name));
    return global_key(key.ptr());
}

/// Sets a module global.
inline void set_global(const char *name, nb::handle value) {
    if (PyDict_SetItemString(module_dict_slot(), name, value.ptr()) < 0) throw_pending();
}

/// `import module as alias` (alias defaults to the top-level name, as a plain import binds it).
inline nb::object import_module(const char *module, const char *alias = nullptr) {
    nb::object imported = nb::module_::import_(module);
    if (alias) {
        set_global(alias, imported);
        return imported;
    }
    std::string top(module);
    top = top.substr(0, top.find('.'));
    nb::object top_module = nb::module_::import_(top.c_str());
    set_global(top.c_str(), top_module);
    return imported;
}

struct ImportName {
    const char *name;
    const char *alias = nullptr;
};

/// The ImportError of a failed `from module import name`, with CPython's text and its `name`, `path`
/// and `name_from` attributes (the module is named by its own __name__, as the interpreter does).
[[noreturn]] inline void raise_cannot_import(nb::handle imported, nb::handle module_name, nb::handle name) {
    PyObject *path = PyModule_Check(imported.ptr()) ? PyModule_GetFilenameObject(imported.ptr()) : nullptr;
    nb::object file = nb::steal(path);
    if (!file.is_valid() || !PyUnicode_Check(file.ptr())) {
        PyErr_Clear();
        file = nb::none();
    }
    nb::object shown = module_name.is_valid() ? nb::borrow(module_name) : nb::object(nb::str("<unknown module name>"));
    nb::object message;
    if (file.is_none()) {
        message = steal_or_throw(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(),
                                                      shown.ptr()));
    } else {
        nb::object module_spec = nb::getattr(imported, "__spec__", nb::none());
        bool initializing = !module_spec.is_none() && truthy(nb::getattr(module_spec, "_initializing", nb::bool_(false)));
        const char *format = initializing ? "cannot import name %R from partially initialized module %R "
                                            "(most likely due to a circular import) (%S)"
                                          : "cannot import name %R from %R (%S)";
        message = steal_or_throw(PyUnicode_FromFormat(format, name.ptr(), shown.ptr(), file.ptr()));
    }
    nb::object error = nb::handle(PyExc_ImportError)(message, nb::arg("name") = module_name.is_valid() ? module_name : nb::none(),
                                                     nb::arg("path") = file);
    error.attr("name_from") = name;
    raise_object(error);
}

/// Fetches one name from a module as `from module import name` does (submodules included).
inline nb::object import_name(const char *module, const char *name) {
    nb::str attribute(name);
    nb::object fromlist = nb::make_tuple(attribute);
    nb::object imported = steal_or_throw(
        PyImport_ImportModuleLevel(module, module_dict_slot(), nullptr, fromlist.ptr(), 0));
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(imported.ptr(), attribute.ptr(), &value) < 0) throw_pending();
    if (value) return nb::steal(value);
    // A circular import may have left the submodule in sys.modules without the attribute set.
    PyObject *found_name = nullptr;
    if (PyObject_GetOptionalAttr(imported.ptr(), interned<"__name__">(), &found_name) < 0) throw_pending();
    nb::object module_name = nb::steal(found_name);
    if (module_name.is_valid() && !PyUnicode_Check(module_name.ptr())) module_name = nb::object();
    if (module_name.is_valid()) {
        nb::object qualified = steal_or_throw(PyUnicode_FromFormat("%U.%U", module_name.ptr(), attribute.ptr()));
        if (PyObject *sub = PyImport_GetModule(qualified.ptr())) return nb::steal(sub);
        if (PyErr_Occurred()) throw_pending();
    }
    raise_cannot_import(imported, module_name, attribute);
}

/// `from module import a, b as c`: binds each name in order; a failure fails the module import.
inline void import_from(const char *module, std::initializer_list<ImportName> names) {
    for (const ImportName &entry : names) set_global(entry.alias ? entry.alias : entry.name, import_name(module, entry.name));
}

// ---------------------------------------------------------------------------------------------
// Calls

/// The callable's description used in call errors: "module.qualname()" or "qualname()".
inline nb::str function_description(nb::handle func) {
    PyObject *description = _PyObject_FunctionStr(func.ptr());
    if (!description) throw_pending();
    return nb::steal<nb::str>(description);
}

struct Keyword {
    const char *name;
    nb::handle value;
};

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

/// Calls `func(**fixed, **extra)`: fixed keywords first, then the caller's extra mapping (any mapping,
/// read through keys() and item access as the interpreter does); errors as CPython's keyword merge gives them.
inline nb::object call_with_keywords(nb::handle func, std::initializer_list<Keyword> fixed, nb::handle extra = nb::handle()) {
    nb::dict keywords;
    for (const Keyword &keyword : fixed) keywords[keyword.name] = keyword.value;
    if (extra.is_valid() && !extra.is_none()) {
        if (PyDict_Check(extra.ptr()) && Py_TYPE(extra.ptr())->tp_iter == PyDict_Type.tp_iter) {
            PyObject *key, *value;
            Py_ssize_t position = 0;
            while (PyDict_Next(extra.ptr(), &position, &key, &value)) {
                nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
                refuse_repeated_keyword(func, keywords, key);
                if (PyDict_SetItem(keywords.ptr(), key, value) < 0) throw_pending();
            }
        } else {
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
    }
    nb::tuple no_args;
    return steal_or_throw(PyObject_Call(func.ptr(), no_args.ptr(), keywords.ptr()));
}

// ---------------------------------------------------------------------------------------------
// `with` statements

/// A special method looked up on the type and bound to `object`, as the interpreter does; null when absent.
inline nb::object bound_special(nb::handle object, PyObject *name) {
    PyObject *found = _PyType_LookupRef(Py_TYPE(object.ptr()), name);
    if (!found) {
        if (PyErr_Occurred()) throw_pending();
        return nb::object();
    }
    nb::object method = nb::steal(found);
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (!bind) return method;
    return steal_or_throw(bind(found, object.ptr(), reinterpret_cast<PyObject *>(Py_TYPE(object.ptr()))));
}

/// Runs `body` inside `with manager:` (enter and exit looked up on the type and bound, as the statement does).
/// Returns false when the exit suppressed an exception raised by the body.
template <typename Body>
bool run_with(nb::handle manager, Body &&body) {
    nb::object enter = bound_special(manager, interned<"__enter__">());
    if (!enter.is_valid())
        raise_error(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                    Py_TYPE(manager.ptr())->tp_name);
    nb::object exit = bound_special(manager, interned<"__exit__">());
    if (!exit.is_valid())
        raise_error(PyExc_TypeError,
                    "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                    Py_TYPE(manager.ptr())->tp_name);
    enter();
    nb::object exception;
    try {
        body();
    } catch (...) {
        restore_current_exception();
        exception = nb::steal(PyErr_GetRaisedException());
    }
    if (!exception.is_valid()) {
        exit(nb::none(), nb::none(), nb::none());
        return true;
    }
    nb::object traceback = nb::steal(PyException_GetTraceback(exception.ptr()));
    nb::object suppress;
    try {
        suppress = exit(exception.type(), exception, traceback.is_valid() ? traceback : nb::none());
    } catch (nb::python_error &exit_error) {
        nb::object raised = exception_object(exit_error);
        set_context(raised, exception);
        raise_object(raised);
    }
    if (truthy(suppress)) return false;
    raise_object(exception);
}

}  // namespace tessary
