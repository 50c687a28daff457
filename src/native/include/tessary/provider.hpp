// What the three metric providers share: the record builder, round(x, 4) per record, the judge
// service's credential mapping and the hand-off of `evaluate` to the event loop's executor.
#pragma once

#include <tessary/builtins.hpp>
#include <tessary/calls.hpp>
#include <tessary/coroutine.hpp>
#include <tessary/errors.hpp>
#include <tessary/globals.hpp>
#include <tessary/record_assembly.hpp>

#include <cmath>
#include <cstring>
#include <initializer_list>

namespace tessary::provider {

// ---------------------------------------------------------------------------------------------
// Small text and sequence helpers

using tessary::equals_text;  // builtins.hpp

/// `fields[0]`, raising what the subscription raises.
inline nb::object first_item(nb::handle fields) { return steal_or_throw(PySequence_GetItem(fields.ptr(), 0)); }

// ---------------------------------------------------------------------------------------------
// Cells of list columns

/// The `transform_str_to_list` the module imported, kept at init to tell it from a replacement.
inline nb::object &imported_text_list_slot() {
    static nb::object *function = new nb::object();
    return *function;
}

/// Call at init, once the module global `transform_str_to_list` is bound.
inline void remember_text_list_function() { imported_text_list_slot() = global<"transform_str_to_list">(); }

/// `transform_str_to_list(cell)` with the module global as it is when a call starts. While it is the
/// function imported at init, the cells that function answers without parsing are answered here (a
/// plain text that does not open with "[" after its leading white space is the one-text list of it;
/// a plain list is itself); every other cell, and every cell once it is replaced, goes through it.
class TextListCell {
public:
    TextListCell() : transform_(global<"transform_str_to_list">()), imported_(transform_.is(imported_text_list_slot())) {}

    nb::object operator()(nb::handle cell) const {
        if (imported_) {
            if (PyUnicode_CheckExact(cell.ptr()) && !opens_list(cell.ptr())) {
                nb::object texts = steal_or_throw(PyList_New(1));
                PyList_SET_ITEM(texts.ptr(), 0, Py_NewRef(cell.ptr()));
                return texts;
            }
            if (PyList_CheckExact(cell.ptr())) return nb::borrow(cell);
        }
        return transform_(cell);
    }

private:
    /// `text.lstrip().startswith("[")`.
    static bool opens_list(PyObject *text) {
        int kind = PyUnicode_KIND(text);
        const void *data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0, length = PyUnicode_GET_LENGTH(text); i < length; ++i) {
            Py_UCS4 character = PyUnicode_READ(kind, data, i);
            if (!Py_UNICODE_ISSPACE(character)) return character == '[';
        }
        return false;
    }

    nb::object transform_;
    bool imported_;
};

// ---------------------------------------------------------------------------------------------
// Rounding

/// Python's round(x, 4) for a double. x * 10^4 rounded to the nearest integer n gives the decimal
/// n / 10^4 whenever the product lies further than its own rounding error from a tie, and n / 10000.0
/// is then the double nearest that decimal (IEEE division rounds correctly). Near a tie, for large or
/// non-finite values, the correctly rounded decimal text decides.
inline double round4_double(double value) {
    double scaled = value * 10000.0;
    double magnitude = std::fabs(scaled);
    if (std::isfinite(scaled) && magnitude < 4503599627370496.0) {  // 2^52: fractions are exact below
        double fraction = magnitude - std::floor(magnitude);
        double error_bound = std::nextafter(magnitude, INFINITY) - magnitude;
        if (std::fabs(fraction - 0.5) > error_bound) return std::nearbyint(scaled) / 10000.0;
    }
    return round4(value);
}

/// True for the interpreter's own `round` (not a replacement put in a module's globals or in builtins).
inline bool is_builtin_round(nb::handle func) {
    if (!PyCFunction_Check(func.ptr())) return false;
    auto *function = reinterpret_cast<PyCFunctionObject *>(func.ptr());
    if (std::strcmp(function->m_ml->ml_name, "round") != 0 || !function->m_self || !PyModule_Check(function->m_self))
        return false;
    const char *module = PyModule_GetName(function->m_self);
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(module, "builtins") == 0;
}

/// round(value, 4) with the module's `round` as it is when a call starts: exact floats in C++ while
/// it is the builtin, anything else (and every value, once replaced) through it.
class Round4 {
public:
    Round4() : round_(global<"round">()), builtin_(is_builtin_round(round_)) {}

    nb::object operator()(nb::handle value) const {
        if (builtin_ && PyFloat_CheckExact(value.ptr()))
            return steal_or_throw(PyFloat_FromDouble(round4_double(PyFloat_AS_DOUBLE(value.ptr()))));
        return round_(value, 4);
    }

    /// round(1 - value, 4).
    nb::object complement(nb::handle value) const {
        if (builtin_ && PyFloat_CheckExact(value.ptr()))
            return steal_or_throw(PyFloat_FromDouble(round4_double(1.0 - PyFloat_AS_DOUBLE(value.ptr()))));
        nb::object one = nb::int_(1);
        return (*this)(steal_or_throw(PyNumber_Subtract(one.ptr(), value.ptr())));
    }

private:
    nb::object round_;
    bool builtin_;
};

// ---------------------------------------------------------------------------------------------
// Record results

/// Builds `RecordMetricResult(**shared, **own)` for each record: the shared fields first, then each
/// record's own keywords (`build<"record_id", "value">(id, value)`). Records whose cells have the
/// types validation keeps are assembled directly (see record_assembly.hpp); the others, and every
/// record of a replaced record class, are one vectorcall of the class each.
class RecordBuilder {
public:
    RecordBuilder(nb::object record_class, MetricFields fields)
        : record_class_(std::move(record_class)), fields_(std::move(fields)),
          assembly_(RecordAssembly::prepare(record_class_, fields_)) {}

    template <Literal... Names, typename... Values>
    nb::object build(const Values &...values) const {
        nb::object record = assembled<Names...>(values...);
        if (record.is_valid()) return record;
        PyObject *stack[] = {fields_.name.ptr(),  fields_.display_name.ptr(), fields_.method.ptr(),
                             fields_.provider.ptr(), fields_.group.ptr(),     fields_.thresholds.ptr(),
                             nb::handle(values).ptr()...};
        return steal_or_throw(PyObject_Vectorcall(record_class_.ptr(), stack, 0, all_names<Names...>()));
    }

    /// The record assembled without validating it, or an invalid object when it must be validated.
    template <Literal... Names, typename... Values>
    nb::object assembled(const Values &...values) const {
        static_assert(sizeof...(Names) == sizeof...(Values) && sizeof...(Names) > 0, "one value per keyword name");
        if (!assembly_) return nb::object();
        nb::object cells[] = {assembly_->template stored_cell<cell_kind<Names>()>(nb::handle(values).ptr())...};
        for (const nb::object &cell : cells)
            if (!cell.is_valid()) return nb::object();
        return assembly_->record(all_names<Names...>(), cells, sizeof...(Names));
    }

    const MetricFields &fields() const { return fields_; }

private:
    template <Literal... Names>
    static PyObject *all_names() {
        return keyword_names<"name", "display_name", "method", "provider", "group", "thresholds", Names...>();
    }

    nb::object record_class_;
    MetricFields fields_;
    std::optional<RecordAssembly> assembly_;
};

// ---------------------------------------------------------------------------------------------
// Judge services

/// The AI service's credentials as its engines expect them: url, then api_key, then the on-premises
/// user fields, then the project or space the judge runs in.
inline nb::dict service_credentials(nb::handle model) {
    nb::object credentials = attr<"credentials">(attr<"provider">(model));
    nb::dict mapping;
    mapping["url"] = attr<"url">(credentials);
    nb::object api_key = attr<"api_key">(credentials);
    if (truthy(api_key)) mapping["api_key"] = api_key;
    if (truthy(attr<"version">(credentials))) {
        mapping["username"] = attr<"username">(credentials);
        mapping["instance_id"] = attr<"instance_id">(credentials);
        nb::object password = attr<"password">(credentials);
        if (truthy(password)) mapping["password"] = password;
    }
    nb::object project_id = attr<"project_id">(model);
    if (truthy(project_id)) {
        mapping["project_id"] = project_id;
    } else {
        nb::object space_id = attr<"space_id">(model);
        if (!truthy(space_id)) raise_error(PyExc_Exception, "Either project or space id is required");
        mapping["space_id"] = space_id;
    }
    return mapping;
}

/// How `start_event_loop_run_func` receives the bound `evaluate`.
enum class EvaluatePassed { positionally, as_func_keyword };

/// `await loop.run_in_executor(None, partial(start_event_loop_run_func, self.evaluate, data=data))`
/// (or `func=self.evaluate`), with the module's globals read when it runs.
inline Task evaluate_in_executor(nb::object self, nb::object data, EvaluatePassed passed) {
    nb::object loop = attr<"get_event_loop">(global<"asyncio">())();
    nb::object partial = attr<"partial">(global<"functools">());
    nb::object run = global<"start_event_loop_run_func">();
    nb::object evaluate = attr<"evaluate">(self);
    nb::object call = passed == EvaluatePassed::positionally
                          ? partial(run, evaluate, nb::arg("data") = data)
                          : partial(run, nb::arg("func") = evaluate, nb::arg("data") = data);
    nb::object future = loop.attr("run_in_executor")(nb::none(), call);
    nb::object result = co_await awaitable(future);
    co_return result;
}

}  // namespace tessary::provider
