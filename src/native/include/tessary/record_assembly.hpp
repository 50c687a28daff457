// Record results of one metric assembled without validating each record: the record class validates
// the shared fields once (`RecordMetricResult._bulk_template`), and a record whose own cells already
// have the types validation keeps gets a copy of that state with its cells set, as validation would
// have stored them. Anything else (another cell type, a replaced record class) goes through the class.
#pragma once

#include <tessary/builtins.hpp>
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/names.hpp>

#include <optional>
#include <utility>
#include <vector>

namespace tessary::provider {

/// The fields every record result of one metric shares, read from the provider once per call.
struct MetricFields {
    nb::object name, display_name, method, provider, group, thresholds;
};

/// What validation does with a record's own cell of each field the providers set.
enum class CellKind {
    record_id,        // str | int | None, kept
    value,            // float | int | None, kept
    text,             // str | None, kept (label, explanation, record_timestamp)
    list,             // list[Any] | None, copied (evidences)
    error_list,       // list[Error] | None, copied, the Error objects kept
    text_keyed_dict,  // dict[str, Any] | None, copied (additional_info)
};

template <Literal Name>
constexpr CellKind cell_kind() {
    if constexpr (same_text(Name, Literal("record_id"))) return CellKind::record_id;
    else if constexpr (same_text(Name, Literal("value"))) return CellKind::value;
    else if constexpr (same_text(Name, Literal("label")) || same_text(Name, Literal("explanation")) ||
                       same_text(Name, Literal("record_timestamp")))
        return CellKind::text;
    else if constexpr (same_text(Name, Literal("evidences"))) return CellKind::list;
    else if constexpr (same_text(Name, Literal("errors"))) return CellKind::error_list;
    else if constexpr (same_text(Name, Literal("additional_info"))) return CellKind::text_keyed_dict;
    else static_assert(sizeof(Name.text) == 0, "no assembled form for this record field");
}

/// `RecordMetricResult(**shared, **cells)` for cells of the kept types, built as validation builds it.
class RecordAssembly {
public:
    /// The assembly for these shared fields, or nothing when the class validates each record itself
    /// (a replaced class, shared fields that validation changes, a layout it does not offer).
    static std::optional<RecordAssembly> prepare(nb::handle record_class, const MetricFields &fields) {
        if (!PyType_Check(record_class.ptr()) || !PyList_CheckExact(fields.thresholds.ptr())) return std::nullopt;
        RecordAssembly assembly(nb::borrow(record_class));
        bool ready = false;
        try {
            ready = assembly.take_layout(fields);
        } catch (nb::python_error &error) {
            nb::object failure = exception_object(error);
            reraise_unless_general(failure);  // the records' own construction reports real faults
        }
        if (!ready) return std::nullopt;
        return assembly;
    }

    /// The cell as validation stores it, or an invalid object when only validating it tells.
    template <CellKind Kind>
    nb::object stored_cell(PyObject *cell) const {
        if (cell == Py_None) return nb::none();
        if constexpr (Kind == CellKind::record_id) {
            if (PyUnicode_CheckExact(cell) || PyLong_CheckExact(cell)) return nb::borrow(cell);
        } else if constexpr (Kind == CellKind::value) {
            if (PyFloat_CheckExact(cell) || PyLong_CheckExact(cell)) return nb::borrow(cell);
        } else if constexpr (Kind == CellKind::text) {
            if (PyUnicode_CheckExact(cell)) return nb::borrow(cell);
        } else if constexpr (Kind == CellKind::list) {
            if (PyList_CheckExact(cell)) return list_copy(cell);
        } else if constexpr (Kind == CellKind::error_list) {
            if (PyList_CheckExact(cell) && all_errors(cell)) return list_copy(cell);
        } else if constexpr (Kind == CellKind::text_keyed_dict) {
            if (PyDict_CheckExact(cell) && text_keys(cell)) return steal_or_throw(PyDict_Copy(cell));
        }
        return nb::object();
    }

    /// The record with the shared fields and `cells`, whose keyword names are `names`
    /// (the shared names, then one per cell).
    nb::object record(PyObject *names, const nb::object *cells, Py_ssize_t count) const {
        nb::handle fields_set = fields_set_of(names);
        nb::object state = steal_or_throw(PyDict_Copy(template_.ptr()));
        set_item(state, interned<"thresholds">(), list_copy(thresholds_.ptr()));
        Py_ssize_t first = PyTuple_GET_SIZE(names) - count;
        for (Py_ssize_t i = 0; i < count; ++i) set_item(state, PyTuple_GET_ITEM(names, first + i), cells[i]);
        nb::object record = steal_or_throw(PyBaseObject_Type.tp_new(
            reinterpret_cast<PyTypeObject *>(class_.ptr()), empty_tuple().ptr(), nullptr));
        set_slot(slots_.dict, record, state);
        set_slot(slots_.fields_set, record, fields_set);
        set_slot(slots_.extra, record, nb::none());
        set_slot(slots_.private_attributes, record, nb::none());
        return record;
    }

private:
    /// The instance slots validation fills, as the model's base class declares them.
    struct Slots {
        nb::object dict, fields_set, extra, private_attributes;
    };

    explicit RecordAssembly(nb::object record_class) : class_(std::move(record_class)) {}

    bool take_layout(const MetricFields &fields) {
        nb::dict shared;
        shared["name"] = fields.name;
        shared["display_name"] = fields.display_name;
        shared["method"] = fields.method;
        shared["provider"] = fields.provider;
        shared["group"] = fields.group;
        shared["thresholds"] = fields.thresholds;
        template_ = attr<"_bulk_template">(class_)(shared);
        if (!PyDict_CheckExact(template_.ptr())) return false;
        PyObject *validated = PyDict_GetItemWithError(template_.ptr(), interned<"thresholds">());
        if (!validated) {
            if (PyErr_Occurred()) throw_pending();
            return false;
        }
        thresholds_ = nb::borrow(validated);
        // Thresholds that validation rebuilds (mappings, say) are rebuilt for every record: validate those.
        if (!same_items(thresholds_.ptr(), fields.thresholds.ptr())) return false;
        error_type_ = nb::module_::import_("tessary.entities.base_classes").attr("Error");
        return find_slots();
    }

    static bool same_items(PyObject *validated, PyObject *given) {
        if (!PyList_CheckExact(validated) || PyList_GET_SIZE(validated) != PyList_GET_SIZE(given)) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(given); ++i)
            if (PyList_GET_ITEM(validated, i) != PyList_GET_ITEM(given, i)) return false;
        return true;
    }

    /// Finds the four slots along the class's method resolution order, as attribute lookup would.
    bool find_slots() {
        nb::object *targets[] = {&slots_.dict, &slots_.fields_set, &slots_.extra, &slots_.private_attributes};
        PyObject *names[] = {interned<"__dict__">(), interned<"__pydantic_fields_set__">(),
                             interned<"__pydantic_extra__">(), interned<"__pydantic_private__">()};
        nb::object mro = attr<"__mro__">(class_);
        if (!PyTuple_CheckExact(mro.ptr())) return false;
        for (size_t slot = 0; slot < 4; ++slot) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.ptr()) && !targets[slot]->is_valid(); ++i) {
                PyObject *base = PyTuple_GET_ITEM(mro.ptr(), i);
                if (!PyType_Check(base)) return false;
                nb::object namespace_ = steal_or_throw(PyType_GetDict(reinterpret_cast<PyTypeObject *>(base)));
                PyObject *found = PyDict_GetItemWithError(namespace_.ptr(), names[slot]);
                if (found) *targets[slot] = nb::borrow(found);
                else if (PyErr_Occurred()) throw_pending();
            }
            if (!targets[slot]->is_valid() || !Py_TYPE(targets[slot]->ptr())->tp_descr_set) return false;
        }
        return true;
    }

    bool all_errors(PyObject *list) const {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            if (reinterpret_cast<PyObject *>(Py_TYPE(PyList_GET_ITEM(list, i))) != error_type_.ptr()) return false;
        return true;
    }

    static bool text_keys(PyObject *dict) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &position, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
        return true;
    }

    static nb::object list_copy(PyObject *list) {
        return steal_or_throw(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
    }

    static void set_item(const nb::object &state, PyObject *key, const nb::object &value) {
        if (PyDict_SetItem(state.ptr(), key, value.ptr()) < 0) throw_pending();
    }

    static void set_slot(const nb::object &descriptor, const nb::object &record, nb::handle value) {
        if (Py_TYPE(descriptor.ptr())->tp_descr_set(descriptor.ptr(), record.ptr(), value.ptr()) < 0) throw_pending();
    }

    static const nb::object &empty_tuple() {
        static nb::object tuple = steal_or_throw(PyTuple_New(0));
        return tuple;
    }

    /// The fields set shared by the records built with these keyword names (one per name combination).
    nb::handle fields_set_of(PyObject *names) const {
        for (const auto &[known, fields_set] : fields_sets_)
            if (known == names) return fields_set;
        nb::object fields_set = attr<"_bulk_fields_set">(class_)(nb::handle(names));
        if (!PyAnySet_Check(fields_set.ptr())) raise_error(PyExc_TypeError, "a record's fields set must be a set");
        return fields_sets_.emplace_back(names, std::move(fields_set)).second;
    }

    nb::object class_, template_, thresholds_, error_type_;
    Slots slots_;
    mutable std::vector<std::pair<PyObject *, nb::object>> fields_sets_;  // keyed by interned name tuples
};

}  // namespace tessary::provider
