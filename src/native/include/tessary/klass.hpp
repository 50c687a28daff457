// Ordinary Python classes built at module init through the metaclass of their bases.
#pragma once

#include <tessary/params.hpp>

#include <string>
#include <utility>
#include <vector>

namespace tessary {

/// The attribute name Python stores `__name` under inside class `class_name`.
inline std::string mangle(const std::string &class_name, const std::string &name) {
    bool is_private = name.size() > 2 && name.compare(0, 2, "__") == 0 && name.compare(name.size() - 2, 2, "__") != 0;
    if (!is_private) return name;
    size_t start = class_name.find_first_not_of('_');
    if (start == std::string::npos) return name;
    return "_" + class_name.substr(start) + name;
}

/// Collects a class namespace the way a class body would, then calls the metaclass.
class ClassBuilder {
public:
    explicit ClassBuilder(const char *name, const char *doc = nullptr) : name_(name) {
        namespace_["__module__"] = module_name();
        namespace_["__qualname__"] = nb::str(name);
        if (doc) namespace_["__doc__"] = nb::str(doc);
    }

    /// A plain attribute of the class body (class constants, shared defaults).
    ClassBuilder &attr(const char *name, nb::handle value) {
        namespace_[nb::str(mangle(name_, name).c_str())] = value;
        return *this;
    }

    /// An annotated field (for pydantic models): `name: annotation` with an optional default.
    ClassBuilder &field(const char *name, nb::handle annotation, nb::handle default_value = nb::handle()) {
        annotations_[name] = annotation;
        if (default_value.is_valid()) namespace_[name] = default_value;
        return *this;
    }

    /// A method; a `__private` name is stored mangled, its __name__ and __qualname__ stay as written.
    ClassBuilder &method(FunctionDefinition definition) {
        std::string stored = mangle(name_, definition.name);
        namespace_[nb::str(stored.c_str())] = make_method(std::move(definition));
        return *this;
    }

    /// A method whose parameters `Body` declares (see params.hpp); `definition` gives name, doc, result.
    template <auto Body>
    ClassBuilder &method(FunctionDefinition definition) {
        return method(declared<Body>(std::move(definition)));
    }

    template <auto Body>
    ClassBuilder &static_method(FunctionDefinition definition) {
        return static_method(declared<Body>(std::move(definition)));
    }

    template <auto Body>
    ClassBuilder &class_method(FunctionDefinition definition) {
        return class_method(declared<Body>(std::move(definition)));
    }

    ClassBuilder &static_method(FunctionDefinition definition) {
        std::string stored = mangle(name_, definition.name);
        nb::object func = make_method(std::move(definition));
        namespace_[nb::str(stored.c_str())] = steal_or_throw(PyStaticMethod_New(func.ptr()));
        return *this;
    }

    ClassBuilder &class_method(FunctionDefinition definition) {
        std::string stored = mangle(name_, definition.name);
        nb::object func = make_method(std::move(definition));
        namespace_[nb::str(stored.c_str())] = steal_or_throw(PyClassMethod_New(func.ptr()));
        return *this;
    }

    /// Creates the class with `type(bases[0])` (or `type`) and binds it as a module global.
    nb::object build(std::vector<nb::object> bases = {}) {
        if (nb::len(annotations_)) namespace_["__annotations__"] = annotations_;
        nb::tuple base_tuple = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
        for (size_t i = 0; i < bases.size(); ++i) PyTuple_SET_ITEM(base_tuple.ptr(), i, bases[i].inc_ref().ptr());
        nb::handle metaclass = bases.empty() ? nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))
                                             : nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(bases[0].ptr())));
        nb::object cls = metaclass(nb::str(name_.c_str()), base_tuple, namespace_);
        set_global(name_.c_str(), cls);
        return cls;
    }

private:
    nb::object make_method(FunctionDefinition definition) {
        definition.qualname = name_ + "." + definition.name;
        return make_function(std::move(definition));
    }

    std::string name_;
    nb::dict namespace_;
    nb::dict annotations_;
};

}  // namespace tessary
