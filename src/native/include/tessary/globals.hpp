// Module globals and imports: names bound into the module dict at init and looked up there at call
// time (LOAD_GLOBAL semantics, so monkeypatching the module changes behaviour), `import x` and
// `from x import a, b as c` with the interpreter's errors. One extension module per shared object.
#pragma once

#include <tessary/builtins.hpp>

#include <initializer_list>
#include <string>

namespace tessary {

/// The dict of the module this shared object defines (one extension module per .so).
inline PyObject *&module_dict_slot() {
    static PyObject *dict = nullptr;
    return dict;
}

inline nb::str &module_name_slot() {
    static nb::str *name = new nb::str("");
    return *name;
}

/// Records the module being initialised; call first in the module's init (TESSARY_MODULE does).
inline void bind_module(nb::module_ module) {
    module_dict_slot() = module.attr("__dict__").inc_ref().ptr();
    module_name_slot() = nb::borrow<nb::str>(module.attr("__name__"));
}

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

/// `global<"asyncio">()`: a module global looked up at call time with a cached key.
template <Literal L>
inline nb::object global() {
    return global_key(interned<L>());
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

}  // namespace tessary
