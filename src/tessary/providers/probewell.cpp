// tessary.providers.probewell: DetectorsProvider, one detector-based metric computed by the detection
// service over HTTP, one JSON request per record, with retries, folded into record and aggregate results.
#include <tessary/coroutine.hpp>
#include <tessary/module.hpp>
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/klass.hpp>
#include <tessary/params.hpp>
#include <tessary/provider.hpp>

#include <cmath>
#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using tessary::ArgsOf;
using tessary::param;
using tessary::attr;
using tessary::global;

using tessary::truthy;
using tessary::text_of;
using tessary::unpack_pair;
using tessary::contains;
using tessary::provider::equals_text;
using tessary::provider::first_item;

namespace {

// ---------------------------------------------------------------------------------------------
// Pure helpers: rounding and JSON text

/// Appends `\uXXXX` (lower-case hex, as json.dumps writes it).
void append_unicode_escape(std::string &out, unsigned code) {
    char buffer[7];
    PyOS_snprintf(buffer, sizeof buffer, "\\u%04x", code & 0xffff);
    out.append(buffer, 6);
}

/// Appends `text` as json.dumps writes a str with ensure_ascii (the default): quoted, escaped, ASCII only.
void append_json_string(std::string &out, PyObject *text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    out.reserve(out.size() + static_cast<size_t>(length) + 2);
    out.push_back('"');
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            out.push_back(static_cast<char>(c));
            continue;
        }
        switch (c) {
            case '\\': out.append("\\\\"); break;
            case '"': out.append("\\\""); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                if (c >= 0x10000) {
                    Py_UCS4 v = c - 0x10000;
                    append_unicode_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
                    append_unicode_escape(out, 0xdc00 | (v & 0x3ff));
                } else {
                    append_unicode_escape(out, c);
                }
        }
    }
    out.push_back('"');
}

/// Appends a list of exact str as json.dumps writes it; false (nothing appended) for anything else.
bool append_json_text_list(std::string &out, PyObject *items) {
    if (!PyList_CheckExact(items)) return false;
    Py_ssize_t count = PyList_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(items, i))) return false;
    out.push_back('[');
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i) out.append(", ");
        append_json_string(out, PyList_GET_ITEM(items, i));
    }
    out.push_back(']');
    return true;
}

nb::object ascii_text(const std::string &text) {
    return tessary::steal_or_throw(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// ---------------------------------------------------------------------------------------------
// Small Python-side helpers

/// `column.tolist()` of one table column, as a list of our own (whatever `tolist()` returned).
nb::list column_values(nb::handle data, nb::handle column) {
    return tessary::tolist_snapshot(tessary::steal_or_throw(PyObject_GetItem(data.ptr(), column.ptr())));
}


/// `container[key]`, raising what the subscription raises.
nb::object subscript(nb::handle container, PyObject *key) {
    return tessary::steal_or_throw(PyObject_GetItem(container.ptr(), key));
}

/// `Error(code=code, message_en=message)` as a fresh entity.
nb::object make_error(nb::handle error_class, nb::handle code, nb::handle message) {
    return tessary::call_keywords<"code", "message_en">(error_class, {code, message});
}

/// `{"error": Error(...)}`: one failed request.
nb::object failure_record(nb::handle code, nb::handle message) {
    nb::dict record;
    record["error"] = make_error(global<"Error">(), code, message);
    return record;
}

// ---------------------------------------------------------------------------------------------
// Parameters of the provider's methods

using tessary::defaults::empty_list;
using tessary::defaults::none;

constexpr auto kInitParams = tessary::params(
    param<"self">(), param<"configuration">("GenAIConfiguration"),
    param<"metric_name">("str").exactly(&PyUnicode_Type), param<"metric_display_name">("str").exactly(&PyUnicode_Type),
    param<"metric_method">("Optional[str]").defaults_to(none).exactly(&PyUnicode_Type),
    param<"metric_group">("MetricGroup").defaults_to(none),
    param<"thresholds">("list[MetricThreshold]").defaults_to(empty_list).exactly(&PyList_Type),
    tessary::var_keywords<"kwargs">());
constexpr auto kSelfParams = tessary::params(param<"self">());
constexpr auto kDataParams = tessary::params(param<"self">(), param<"data">("pd.DataFrame"));
constexpr auto kClientParams = tessary::params(param<"self">(), param<"api_client">());
constexpr auto kMetricNameParams = tessary::params(param<"self">(), param<"metric_name">());
constexpr auto kPayloadParams = tessary::params(
    param<"self">(), param<"input_contents">("list").exactly(&PyList_Type), param<"output_contents">("list | None"),
    param<"context_contents">("list | None"), param<"tools_catalog_content">("list | None"),
    param<"tool_calls_content">("list | None"));
constexpr auto kAdditionalInfoParams = tessary::params(param<"self">(), param<"results">());
constexpr auto kPostProcessParams = tessary::params(param<"self">(), param<"results">("list").exactly(&PyList_Type),
                                                    param<"record_ids">("list").exactly(&PyList_Type));
constexpr auto kSendParams =
    tessary::params(param<"self">(), param<"payload">(), param<"session">("aiohttp.ClientSession"));
constexpr auto kComputeParams = tessary::params(param<"self">(), param<"api_payloads">("list").exactly(&PyList_Type));

// ---------------------------------------------------------------------------------------------
// Set-up and endpoints

nb::object provider_init(ArgsOf<kInitParams> args) {
    nb::handle self = args.get<"self">(), configuration = args.get<"configuration">();
    nb::handle metric_name = args.get<"metric_name">(), display_name = args.get<"metric_display_name">();
    nb::handle method = args.get<"metric_method">(), group = args.get<"metric_group">();
    nb::handle thresholds = args.get<"thresholds">();
    nb::dict kwargs = args.kwargs();
    nb::object api_client = kwargs.attr("get")("api_client");
    nb::object method_text = text_of(method);
    if (!truthy(api_client))
        tessary::raise_error(PyExc_ValueError,
                             "ORVANE LumeriX Governance SDK must be initialized to compute %U using %U. Please "
                             "initialize the client to proceed, or remove this metric from the evaluation.",
                             metric_name.ptr(), method_text.ptr());
    int is_client = PyObject_IsInstance(attr<"qts_client">(api_client).ptr(), global<"QTSClient">().ptr());
    if (is_client < 0) tessary::throw_pending();
    if (!is_client)
        tessary::raise_error(PyExc_ValueError,
                             "lumeris.governance service instance id is required to compute %U using %U. You can "
                             "set the service instance ID using the `QZG_SERVICE_INSTANCE_ID` environment variable "
                             "in the notebook and retry.",
                             metric_name.ptr(), method_text.ptr());
    nb::object template_text = attr<"_DetectorsProvider__get_base_url">(self)(metric_name);
    nb::object service_url = attr<"get_detector_url">(self)(api_client);
    self.attr("base_url") = template_text.attr("format")(service_url);
    self.attr("configuration") = configuration;
    self.attr("configuration_") = nb::dict();
    self.attr("metric_name") = metric_name;
    self.attr("metric_display_name") = display_name;
    self.attr("metric_method") = method;
    self.attr("metric_group") = group;
    self.attr("service_instance_id") = attr<"get_service_instance_id">(self)(api_client);
    self.attr("thresholds") = thresholds;
    self.attr("detector_params") = kwargs.attr("get")("detector_params");
    return nb::none();
}

nb::object get_base_url(ArgsOf<kMetricNameParams> args) {
    nb::handle name = args.get<"metric_name">();
    if (equals_text(name, "answer_relevance")) return nb::str("{}/ml/v1/text/detection/generated?version=2023-10-25");
    if (equals_text(name, "context_relevance") || equals_text(name, "faithfulness"))
        return nb::str("{}/ml/v1/text/detection/context?version=2023-10-25");
    if (equals_text(name, "tool_call_accuracy")) return nb::str("{}/ml/v1/text/detection/chat?version=2023-10-25");
    return nb::str("{}/ml/v1/text/detection?version=2023-10-25");
}

nb::object get_detector_url(ArgsOf<kClientParams> args) {
    nb::handle self = args.get<"self">(), api_client = args.get<"api_client">();
    self.attr("qts_client") = attr<"qts_client">(api_client);
    nb::object credentials = attr<"credentials">(api_client);
    self.attr("verify") = nb::bool_(!truthy(attr<"disable_ssl">(credentials)));
    if (truthy(attr<"version">(credentials))) return attr<"url">(credentials);
    nb::object url = attr<"url">(credentials);
    nb::object halyard = tessary::import_name("tessary.utils.halyard", "QTS_HALYARD");
    nb::object record = halyard.attr("get")(url);
    if (record.is_none())
        tessary::raise_error(PyExc_ValueError,
                             "The governance service URL %R is not a known cloud region URL, so the detection "
                             "service URL cannot be found. Use the governance service URL of your region.",
                             url.ptr());
    return attr<"qml_url">(record);
}

nb::object get_service_instance_id(ArgsOf<kClientParams> args) {
    nb::handle self = args.get<"self">(), api_client = args.get<"api_client">();
    nb::object client = attr<"qts_client">(api_client);
    self.attr("qts_client") = client;
    return attr<"service_instance_id">(client);
}

nb::object get_headers(ArgsOf<kSelfParams> args) {
    nb::handle self = args.get<"self">();
    nb::object token = global<"get_authenticator_token">()(attr<"authenticator">(attr<"qts_client">(self)));
    nb::dict headers;
    headers["Content-Type"] = "application/json";
    headers["Authorization"] = nb::str("Bearer ") + nb::str(text_of(token));
    headers["x-governance-instance-id"] = attr<"service_instance_id">(self);
    headers["origin"] = "sdk";
    return headers;
}

nb::object set_metric_name(ArgsOf<kMetricNameParams> args) {
    nb::handle self = args.get<"self">();
    nb::object name = args.owned<"metric_name">();
    if (equals_text(attr<"metric_name">(self), "prompt_safety_risk") && equals_text(attr<"metric_method">(self), "korund_guardian"))
        name = nb::str("harm");
    if (contains(global<"KorundGuardianRisks">().attr("values")(), name)) return nb::str("korund_guardian");
    return name;
}

// ---------------------------------------------------------------------------------------------
// Request bodies

nb::object pre_process_data(ArgsOf<kDataParams> args) {
    nb::handle self = args.get<"self">(), data = args.get<"data">();
    nb::object configuration = attr<"configuration">(self);
    nb::object metric_name = attr<"metric_name">(self);
    nb::object inputs = column_values(data, first_item(attr<"input_fields">(configuration)));
    nb::object outputs = nb::none(), contexts = nb::none(), catalog = nb::none(), tool_calls = nb::none();
    if (equals_text(metric_name, "answer_relevance") || equals_text(metric_name, "faithfulness"))
        outputs = column_values(data, first_item(attr<"output_fields">(configuration)));
    if (equals_text(metric_name, "context_relevance") || equals_text(metric_name, "faithfulness")) {
        nb::object fields = attr<"context_fields">(configuration);
        Py_ssize_t field_count = nb::len(fields);
        if (field_count > 1) {
            std::vector<nb::object> columns;
            for (nb::handle field : fields) columns.push_back(column_values(data, field));
            Py_ssize_t rows = PyObject_Length(columns[0].ptr());
            if (rows < 0) tessary::throw_pending();
            nb::list per_record;
            for (Py_ssize_t row = 0; row < rows; ++row) {
                nb::list texts;
                for (const nb::object &column : columns)
                    texts.append(tessary::steal_or_throw(PySequence_GetItem(column.ptr(), row)));
                per_record.append(texts);
            }
            contexts = per_record;
        } else if (field_count == 1) {
            tessary::provider::TextListCell texts_of;
            nb::list per_record;
            for (nb::handle value : column_values(data, first_item(fields))) per_record.append(texts_of(value));
            contexts = per_record;
        }
    }
    if (equals_text(metric_name, "tool_call_accuracy")) {
        catalog = attr<"get_tools_catalog_content">(self)();
        tool_calls = attr<"get_tool_calls_content">(self)(data);
    }
    nb::object payloads = attr<"_DetectorsProvider__get_json_payloads">(self)(inputs, outputs, contexts, catalog, tool_calls);
    nb::object record_ids = column_values(data, attr<"record_id_field">(configuration));
    return nb::make_tuple(payloads, record_ids);
}

/// Refuses a value that is neither a list nor None, with the exact-type message.
void check_list_or_none(nb::handle value, const char *name) {
    if (value.is_none() || PyList_CheckExact(value.ptr())) return;
    tessary::raise_error(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                         PyList_Type.tp_name, Py_TYPE(value.ptr())->tp_name);
}

/// The list itself, or the TypeError zip() raises for a value it cannot iterate.
nb::handle pairable(nb::handle value) {
    if (value.is_none()) tessary::raise_error(PyExc_TypeError, "'NoneType' object is not iterable");
    return value;
}

enum class Shape { answer_relevance, context, faithfulness, tool_calls, plain };

/// Writes one body: the common head, then the per-record members when they are plain texts; returns
/// false (nothing kept) when json.dumps must encode the record instead.
bool fast_body(std::string &out, const std::string &head, Shape shape, PyObject *first, PyObject *second) {
    out.assign(head);
    switch (shape) {
        case Shape::plain:
            if (!PyUnicode_CheckExact(first)) return false;
            out.append(", \"input\": ");
            append_json_string(out, first);
            break;
        case Shape::answer_relevance:
            if (!PyUnicode_CheckExact(first) || !PyUnicode_CheckExact(second)) return false;
            out.append(", \"prompt\": ");
            append_json_string(out, first);
            out.append(", \"generated_text\": ");
            append_json_string(out, second);
            break;
        case Shape::context:
        case Shape::faithfulness:
            if (!PyUnicode_CheckExact(first)) return false;
            out.append(", \"input\": ");
            append_json_string(out, first);
            out.append(", \"context_type\": \"docs\", \"context\": ");
            if (!append_json_text_list(out, second)) return false;
            break;
        case Shape::tool_calls:
            return false;
    }
    out.push_back('}');
    return true;
}

/// The body as a dict in its documented key order, for json.dumps.
nb::dict body_object(nb::handle detectors, Shape shape, nb::handle first, nb::handle second) {
    nb::dict body;
    body["detectors"] = detectors;
    switch (shape) {
        case Shape::plain: body["input"] = first; break;
        case Shape::answer_relevance:
            body["prompt"] = first;
            body["generated_text"] = second;
            break;
        case Shape::context:
        case Shape::faithfulness:
            body["input"] = first;
            body["context_type"] = "docs";
            body["context"] = second;
            break;
        case Shape::tool_calls: {
            nb::dict user, assistant;
            user["content"] = first;
            user["role"] = "user";
            assistant["tool_calls"] = second;
            assistant["role"] = "assistant";
            nb::list messages;
            messages.append(user);
            messages.append(assistant);
            body["messages"] = messages;
            break;
        }
    }
    return body;
}

nb::object get_json_payloads(ArgsOf<kPayloadParams> args) {
    nb::handle self = args.get<"self">(), inputs = args.get<"input_contents">(), outputs = args.get<"output_contents">();
    nb::handle contexts = args.get<"context_contents">(), catalog = args.get<"tools_catalog_content">();
    nb::handle tool_calls = args.get<"tool_calls_content">();
    check_list_or_none(outputs, "output_contents");
    check_list_or_none(contexts, "context_contents");
    check_list_or_none(catalog, "tools_catalog_content");
    check_list_or_none(tool_calls, "tool_calls_content");
    // Own copies: json.dumps and the detector parameters run Python code that may change the caller's lists.
    nb::object input_items = tessary::snapshot(inputs);
    nb::object output_items = outputs.is_none() ? nb::none() : nb::object(tessary::snapshot(outputs));
    nb::object context_items = contexts.is_none() ? nb::none() : nb::object(tessary::snapshot(contexts));
    nb::object tool_call_items = tool_calls.is_none() ? nb::none() : nb::object(tessary::snapshot(tool_calls));
    nb::list payloads;
    nb::object metric_name = attr<"metric_name">(self);
    nb::object detector_name = attr<"set_metric_name">(self)(metric_name);
    nb::object params = attr<"detector_params">(self);
    if (params.is_none() || !truthy(params)) params = nb::dict();
    nb::dict detectors;
    detectors[detector_name] = params;

    Shape shape = Shape::plain;
    nb::handle second_list;
    if (equals_text(metric_name, "answer_relevance")) {
        shape = Shape::answer_relevance;
        second_list = pairable(output_items);
    } else if (equals_text(metric_name, "context_relevance")) {
        shape = Shape::context;
        second_list = pairable(context_items);
    } else if (equals_text(metric_name, "faithfulness")) {
        shape = Shape::faithfulness;
        second_list = pairable(context_items);
    } else if (equals_text(metric_name, "tool_call_accuracy")) {
        shape = Shape::tool_calls;
        second_list = pairable(tool_call_items);
    }
    nb::handle first_list = shape == Shape::faithfulness ? pairable(output_items) : nb::handle(input_items);
    Py_ssize_t count = PyList_GET_SIZE(first_list.ptr());
    if (second_list.is_valid() && PyList_GET_SIZE(second_list.ptr()) < count) count = PyList_GET_SIZE(second_list.ptr());

    nb::object dumps = global<"json">().attr("dumps");
    std::string head, text;
    bool have_head = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *first = PyList_GET_ITEM(first_list.ptr(), i);
        PyObject *second = second_list.is_valid() ? PyList_GET_ITEM(second_list.ptr(), i) : nullptr;
        nb::object body;
        if (shape != Shape::tool_calls) {
            if (!have_head) {
                // '{"detectors": {...}' exactly as json.dumps writes the head of every body.
                nb::dict only_detectors;
                only_detectors["detectors"] = detectors;
                nb::object encoded = dumps(only_detectors);
                Py_ssize_t size;
                const char *utf8 = PyUnicode_AsUTF8AndSize(encoded.ptr(), &size);
                if (!utf8) tessary::throw_pending();
                head.assign(utf8, static_cast<size_t>(size) - 1);
                have_head = true;
            }
            if (fast_body(text, head, shape, first, second)) body = ascii_text(text);
        }
        if (!body.is_valid()) {
            nb::dict object = body_object(detectors, shape, first, second);
            if (shape == Shape::tool_calls) object["tools"] = catalog;
            body = dumps(object);
        }
        payloads.append(body);
    }
    return payloads;
}

nb::object get_tool_calls_content(ArgsOf<kDataParams> args) {
    nb::handle self = args.get<"self">(), data = args.get<"data">();
    nb::list result;
    nb::object field = attr<"tool_calls_field">(attr<"configuration">(self));
    if (!truthy(field)) return result;
    nb::object loads = global<"json">().attr("loads");
    nb::list decoded;
    for (nb::handle value : column_values(data, field))
        decoded.append(PyUnicode_Check(value.ptr()) ? loads(value) : nb::borrow(value));
    // A one-dimensional object column, whatever the parsed values hold.
    nb::object column = global<"pd">().attr("Series")(decoded, nb::arg("index") = data.attr("index"),
                                                      nb::arg("dtype") = "object");
    if (PyObject_SetItem(data.ptr(), field.ptr(), column.ptr()) < 0) tessary::throw_pending();
    nb::object extract = global<"ToolCallMetricProvider">().attr("extract_tool_calls_from_response");
    for (nb::handle value : column_values(data, field)) {
        nb::object calls = extract(value);
        if (!PyList_Check(calls.ptr()))
            tessary::raise_error(PyExc_TypeError, "extract_tool_calls_from_response returned %.200s, not a list",
                                 Py_TYPE(calls.ptr())->tp_name);
        for (nb::handle call : calls) {
            nb::object function = subscript(call, tessary::interned<"function">());
            nb::object arguments = subscript(function, tessary::interned<"arguments">());
            if (PyUnicode_Check(arguments.ptr()) &&
                PyObject_SetItem(function.ptr(), nb::str("arguments").ptr(), loads(arguments).ptr()) < 0)
                tessary::throw_pending();
        }
        result.append(calls);
    }
    return result;
}

nb::object get_tools_catalog_content(ArgsOf<kSelfParams> args) {
    nb::object tools = attr<"tools">(attr<"configuration">(args.get<"self">()));
    bool all_callable = PyList_Check(tools.ptr());
    if (all_callable)
        for (nb::handle tool : tools)
            if (!PyCallable_Check(tool.ptr())) {
                all_callable = false;
                break;
            }
    if (!all_callable) return tools;
    nb::list catalog;
    for (nb::handle schema : global<"ToolCallMetricProvider">().attr("get_tools_list_schema")(tools))
        catalog.append(schema.attr("model_dump")());
    return catalog;
}

// ---------------------------------------------------------------------------------------------
// Post-processing

/// `await awaitable` as a Task (the body of an `async with`).
tessary::Task await_object(nb::object awaitable) {
    nb::object result = co_await tessary::awaitable(awaitable);
    co_return result;
}

/// A detector answer that cannot be scored: the record gets an "INVALID_RESPONSE" error saying why.
struct InvalidAnswer {
    nb::object message;
};

[[noreturn]] void refuse_answer(const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyObject *message = PyUnicode_FromFormatV(format, args);
    va_end(args);
    if (!message) tessary::throw_pending();
    throw InvalidAnswer{nb::steal(message)};
}

/// `mapping[key]` of a JSON object of an answer, or an invalid handle when the key is absent: one
/// lookup in a plain dict; a dict subclass is asked whether it holds the key, then for the item.
nb::object member(nb::handle mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(mapping.ptr(), key, &value) < 0) tessary::throw_pending();
        return nb::steal(value);
    }
    int present = PyDict_Contains(mapping.ptr(), key);
    if (present < 0) tessary::throw_pending();
    if (!present) return nb::object();
    return tessary::steal_or_throw(PyObject_GetItem(mapping.ptr(), key));
}

/// A detection's "score": a real number (not a truth value) from 0 to 1.
nb::object checked_score(nb::handle detection, Py_ssize_t index) {
    if (!PyDict_Check(detection.ptr()))
        refuse_answer("detection %zd is %.200s, not a JSON object", index, Py_TYPE(detection.ptr())->tp_name);
    nb::object score = member(detection, tessary::interned<"score">());
    if (!score.is_valid()) refuse_answer("detection %zd has no \"score\"", index);
    PyObject *raw = score.ptr();
    if (PyBool_Check(raw) || !(PyFloat_Check(raw) || PyLong_Check(raw)))
        refuse_answer("detection %zd has the score %.200R (%.100s), not a number", index, raw, Py_TYPE(raw)->tp_name);
    double value = PyFloat_Check(raw) ? PyFloat_AS_DOUBLE(raw) : PyLong_AsDouble(raw);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        refuse_answer("detection %zd has a score too large for a number", index);
    }
    if (!std::isfinite(value)) refuse_answer("detection %zd has the score %R, not a finite number", index, raw);
    if (value < 0.0 || value > 1.0) refuse_answer("detection %zd has the score %R, outside 0 to 1", index, raw);
    return score;
}

/// An exact int or float: comparing two of them runs no Python code.
bool is_plain_number(nb::handle value) { return PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr()); }

/// `score > best`, as max() compares.
bool greater(nb::handle score, nb::handle best) {
    if (PyFloat_CheckExact(score.ptr()) && PyFloat_CheckExact(best.ptr()))
        return PyFloat_AS_DOUBLE(score.ptr()) > PyFloat_AS_DOUBLE(best.ptr());
    int compared = PyObject_RichCompareBool(score.ptr(), best.ptr(), Py_GT);
    if (compared < 0) tessary::throw_pending();
    return compared;
}

/// The largest "score" of the detections (invalid when there are none), compared as max() compares.
/// Every score is checked before any comparison that may run Python code (a number of another type).
nb::object highest_score(nb::handle detections) {
    nb::list items = tessary::snapshot(detections);  // a score's comparison may change the caller's list
    nb::object best;
    std::vector<nb::object> compared_later;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object score = checked_score(PyList_GET_ITEM(items.ptr(), i), i);
        if (!compared_later.empty() || !is_plain_number(score)) compared_later.push_back(std::move(score));
        else if (!best.is_valid() || greater(score, best)) best = std::move(score);
    }
    for (nb::object &score : compared_later)
        if (!best.is_valid() || greater(score, best)) best = score;
    return best;
}

/// The record's value: the highest score, or 1 minus it for an accuracy metric, rounded to 4 places;
/// with no detection, 0 (1 for an accuracy metric).
nb::object record_score(nb::handle detections, bool accuracy, const tessary::provider::Round4 &round4) {
    nb::object highest = highest_score(detections);
    if (!highest.is_valid()) return nb::int_(accuracy ? 1 : 0);
    return accuracy ? round4.complement(highest) : round4(highest);
}

/// The "detections" list of an answer that is not a failure.
nb::object answer_detections(nb::handle outcome) {
    nb::object detections = member(outcome, tessary::interned<"detections">());
    if (!detections.is_valid()) refuse_answer("the answer has no \"detections\" list");
    if (detections.is_none()) refuse_answer("\"detections\" is null, not a list");
    if (!PyList_Check(detections.ptr()))
        refuse_answer("\"detections\" is %.200s, not a list", Py_TYPE(detections.ptr())->tp_name);
    return detections;
}

/// Each detection's span: its "text", "score", "start" and "end".
nb::list detection_spans(nb::handle detections) {
    nb::list spans;
    for (nb::handle detection : detections) {
        nb::dict span;
        for (PyObject *key : {tessary::interned<"text">(), tessary::interned<"score">(), tessary::interned<"start">(),
                              tessary::interned<"end">()})
            if (PyDict_SetItem(span.ptr(), key, subscript(detection, key).ptr()) < 0) tessary::throw_pending();
        spans.append(span);
    }
    return spans;
}

/// Each detection's first "evidence" passage.
nb::list evidence_passages(nb::handle detections) {
    nb::list passages;
    nb::object first = nb::int_(0);
    for (nb::handle detection : detections)
        passages.append(subscript(subscript(detection, tessary::interned<"evidence">()), first.ptr()));
    return passages;
}

/// Which evidences a record carries.
enum class Evidences { none, spans, passages, by_method };

bool is_rag_evidence_metric(nb::handle metric_name) { return contains(global<"RAG_EVIDENCE_METRICS">(), metric_name); }

nb::object get_additional_info(ArgsOf<kAdditionalInfoParams> args) {
    nb::handle self = args.get<"self">(), detections = args.get<"results">();
    if (is_rag_evidence_metric(attr<"metric_name">(self))) return evidence_passages(detections);
    return detection_spans(detections);
}

/// The provider's own `__get_additional_info`, as the class was built with it.
nb::handle &built_additional_info() {
    static nb::handle function;
    return function;
}

/// What every record of one post-processing call shares.
struct RecordContext {
    tessary::provider::RecordBuilder records;
    nb::object error_class;
    bool accuracy;
    Evidences evidences;
    nb::object additional_info;  // a replaced `__get_additional_info`, called per record (Evidences::by_method)
    tessary::provider::Round4 round4;
};

/// The evidences a record gets: none, or those of the provider's `__get_additional_info`, looked up once.
/// The method as built is run here directly; a replaced one is called for each record.
Evidences evidence_kind(nb::handle self, nb::handle metric_name, nb::handle method, nb::object &replaced) {
    bool with_evidences = contains(global<"EVIDENCES">(), metric_name) ||
                          (is_rag_evidence_metric(metric_name) && contains(global<"RAG_SMALL_MODELS">(), method));
    if (!with_evidences) return Evidences::none;
    nb::object bound = attr<"_DetectorsProvider__get_additional_info">(self);
    bool as_built = PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == built_additional_info().ptr() &&
                    PyMethod_GET_SELF(bound.ptr()) == self.ptr();
    if (!as_built) {
        replaced = std::move(bound);
        return Evidences::by_method;
    }
    return is_rag_evidence_metric(attr<"metric_name">(self)) ? Evidences::passages : Evidences::spans;
}

RecordContext record_context(nb::handle self) {
    nb::object metric_name = attr<"metric_name">(self);
    nb::object method = attr<"metric_method">(self);
    nb::object record_name = metric_name;
    if (equals_text(metric_name, "keyword")) record_name = nb::str("keyword_detection");
    else if (equals_text(metric_name, "regex")) record_name = nb::str("regex_detection");
    tessary::provider::MetricFields fields{record_name,
                                           attr<"metric_display_name">(self),
                                           method,
                                           attr<"value">(attr<"DETECTORS">(global<"EvaluationProvider">())),
                                           attr<"metric_group">(self),
                                           attr<"thresholds">(self)};
    RecordContext context{tessary::provider::RecordBuilder(global<"RecordMetricResult">(), std::move(fields)),
                          global<"Error">(), contains(global<"ACCURACY_METRICS">(), metric_name), Evidences::none,
                          nb::object(), tessary::provider::Round4()};
    context.evidences = evidence_kind(self, metric_name, method, context.additional_info);
    return context;
}

/// A failed request's code and message, or a value with its evidences.
struct Outcome {
    nb::object code, message;
    nb::object value, evidences;
};

/// Tells a failure record ({"error": Error}) from an answer; refuses what is neither.
bool read_failure(const RecordContext &context, nb::handle outcome, Outcome &read) {
    PyObject *raw = outcome.ptr();
    if (PyExceptionInstance_Check(raw)) {  // an exception passed through by the gathering
        nb::object text = text_of(outcome);
        if (!truthy(text)) text = nb::str(Py_TYPE(raw)->tp_name);
        read.code = nb::str("REQUEST_FAILED");
        read.message = text;
        return true;
    }
    if (!PyDict_Check(raw)) {
        if (raw == Py_None) refuse_answer("the answer is null, not a JSON object");
        refuse_answer("the answer is %.200s, not a JSON object", Py_TYPE(raw)->tp_name);
    }
    nb::object failure = member(outcome, tessary::interned<"error">());
    if (!failure.is_valid()) return false;
    if (!tessary::is_instance(failure, context.error_class)) {
        nb::object text = PyUnicode_Check(failure.ptr()) ? nb::object(failure) : nb::object(text_of(failure));
        refuse_answer("it carries the error %.500U instead of detections", text.ptr());
    }
    read.code = attr<"code">(failure);
    read.message = text_of(attr<"message_en">(failure));
    return true;
}

/// The record's evidences; a detection lacking what they need makes the answer invalid.
nb::object read_evidences(const RecordContext &context, nb::handle detections) {
    nb::object failure;
    try {
        switch (context.evidences) {
            case Evidences::none: return nb::object();
            case Evidences::spans: return detection_spans(detections);
            case Evidences::passages: return evidence_passages(detections);
            case Evidences::by_method: return context.additional_info(detections);
        }
    } catch (nb::python_error &error) {
        failure = tessary::exception_object(error);
    }
    if (!tessary::is_general_exception(failure)) tessary::raise_object(failure);
    nb::object name = nb::str(Py_TYPE(failure.ptr())->tp_name);
    refuse_answer("its evidences could not be read (%U: %S)", name.ptr(), failure.ptr());
}

/// An "INVALID_RESPONSE" failure saying why the answer cannot be scored.
Outcome invalid_answer(nb::object reason) {
    Outcome read;
    read.code = nb::str("INVALID_RESPONSE");
    read.message = nb::str("Invalid answer from the detection service: ") + nb::str(reason);
    return read;
}

/// Reads one outcome; an answer that cannot be scored becomes an "INVALID_RESPONSE" failure.
Outcome read_outcome(const RecordContext &context, nb::handle outcome) {
    Outcome read;
    try {
        if (read_failure(context, outcome, read)) return read;
        nb::object detections = answer_detections(outcome);
        read.value = record_score(detections, context.accuracy, context.round4);
        read.evidences = read_evidences(context, detections);
    } catch (InvalidAnswer &invalid) {
        return invalid_answer(invalid.message);
    } catch (nb::python_error &error) {  // an answer object whose own methods fail costs its record only
        nb::object failure = tessary::exception_object(error);
        if (!tessary::is_general_exception(failure)) tessary::raise_object(failure);
        return invalid_answer(tessary::steal_or_throw(
            PyUnicode_FromFormat("reading it raised %s: %S", Py_TYPE(failure.ptr())->tp_name, failure.ptr())));
    }
    return read;
}

/// The records built so far, the values scored and the failures met.
struct Collected {
    nb::list records, scores, errors;
};

void collect_record(const RecordContext &context, const Outcome &read, nb::handle record_id, Collected &collected) {
    const tessary::provider::RecordBuilder &records = context.records;
    if (read.code.is_valid()) {
        nb::list record_errors;
        record_errors.append(make_error(context.error_class, read.code, read.message));
        collected.records.append(records.build<"record_id", "value", "errors">(record_id, nb::none(), record_errors));
        collected.errors.append(make_error(context.error_class, read.code, read.message));
        return;
    }
    if (read.evidences.is_valid() && truthy(read.evidences))
        collected.records.append(records.build<"record_id", "value", "evidences">(record_id, read.value, read.evidences));
    else
        collected.records.append(records.build<"record_id", "value">(record_id, read.value));
    collected.scores.append(read.value);
}

/// The aggregate: mean (rounded), min and max of the values, or "Error" with the failures when none.
nb::object aggregate_result(nb::handle self, const RecordContext &context, const Collected &collected,
                            Py_ssize_t total_records) {
    const tessary::provider::MetricFields &fields = context.records.fields();
    nb::object metric_name = attr<"metric_name">(self);
    nb::object total = nb::int_(total_records);
    nb::object value = nb::str("Error"), low = nb::none(), high = nb::none(), mean = nb::none();
    Py_ssize_t scored = PyList_GET_SIZE(collected.scores.ptr());
    if (scored) {
        nb::object sum = global<"sum">()(collected.scores);
        value = mean = context.round4(
            tessary::steal_or_throw(PyNumber_TrueDivide(sum.ptr(), nb::int_(scored).ptr())));
        low = global<"min">()(collected.scores);
        high = global<"max">()(collected.scores);
    }
    nb::object aggregate_class = global<"AggregateMetricResult">();
    if (scored)  // no "errors": its default stands
        return tessary::call_keywords<"name", "display_name", "method", "group", "provider", "value", "total_records",
                                      "record_level_metrics", "min", "max", "mean", "thresholds">(
            aggregate_class, {metric_name, fields.display_name, fields.method, fields.group, fields.provider, value, total,
                              collected.records, low, high, mean, fields.thresholds});
    return tessary::call_keywords<"name", "display_name", "method", "group", "provider", "value", "total_records",
                                  "record_level_metrics", "min", "max", "mean", "thresholds", "errors">(
        aggregate_class, {metric_name, fields.display_name, fields.method, fields.group, fields.provider, value, total,
                          collected.records, low, high, mean, fields.thresholds, collected.errors});
}

nb::object post_process(ArgsOf<kPostProcessParams> args) {
    nb::handle self = args.get<"self">();
    RecordContext context = record_context(self);
    // Own copies: the outcomes' dunder methods and the entities' validators run Python code.
    nb::list outcomes = tessary::snapshot(args.get<"results">()), ids = tessary::snapshot(args.get<"record_ids">());
    Py_ssize_t count = std::min(PyList_GET_SIZE(outcomes.ptr()), PyList_GET_SIZE(ids.ptr()));
    Collected collected;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Outcome read = read_outcome(context, PyList_GET_ITEM(outcomes.ptr(), i));
        collect_record(context, read, PyList_GET_ITEM(ids.ptr(), i), collected);
    }
    return aggregate_result(self, context, collected, PyList_GET_SIZE(outcomes.ptr()));
}

// ---------------------------------------------------------------------------------------------
// Calls and retries

/// Marks an attempt that ended in a retryable status and its pause.
nb::handle retry_marker() {
    static PyObject *marker = PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    return marker;
}

/// `attempt < self.RETRY_COUNT - 1`, with the count read now (an instance may shadow it).
bool before_last_attempt(nb::handle self, nb::handle attempt) {
    nb::object last = tessary::steal_or_throw(PyNumber_Subtract(attr<"RETRY_COUNT">(self).ptr(), nb::int_(1).ptr()));
    int before = PyObject_RichCompareBool(attempt.ptr(), last.ptr(), Py_LT);
    if (before < 0) tessary::throw_pending();
    return before;
}

/// A limit of the provider: an instance attribute when one shadows the class's, else the environment
/// variable when set, else the class attribute. `parse` reads the variable's text.
nb::object limit_value(nb::handle self, const char *name, const char *variable, PyObject *(*parse)(PyObject *),
                       const char *expected) {
    nb::object key = nb::str(name);
    PyObject *own = nullptr;
    nb::object instance_dict = nb::getattr(self, "__dict__", nb::none());
    if (PyDict_Check(instance_dict.ptr()) && PyDict_GetItemRef(instance_dict.ptr(), key.ptr(), &own) < 0)
        tessary::throw_pending();
    if (own) return nb::steal(own);
    nb::object text = global<"os">().attr("environ").attr("get")(variable);
    if (text.is_none() || !truthy(text)) return tessary::steal_or_throw(PyObject_GetAttr(self.ptr(), key.ptr()));
    PyObject *parsed = parse(text.ptr());
    if (!parsed) {
        PyErr_Clear();
        tessary::raise_error(PyExc_ValueError, "%s must be %s, not %R", variable, expected, text.ptr());
    }
    return nb::steal(parsed);
}

PyObject *parse_seconds(PyObject *text) { return PyFloat_FromString(text); }
PyObject *parse_bytes(PyObject *text) { return PyLong_FromUnicodeObject(text, 10); }

/// A time limit in seconds; None or a value <= 0 means no limit.
nb::object seconds_limit(nb::handle self, const char *name, const char *variable) {
    nb::object value = limit_value(self, name, variable, parse_seconds, "a number of seconds");
    if (value.is_none()) return value;
    nb::object zero = nb::int_(0);
    int positive = PyObject_RichCompareBool(value.ptr(), zero.ptr(), Py_GT);
    if (positive < 0) tessary::throw_pending();
    return positive ? value : nb::none();
}

nb::object request_timeout(nb::handle self) { return seconds_limit(self, "REQUEST_TIMEOUT", "TESSARY_DETECTOR_TIMEOUT"); }

nb::object metric_deadline(nb::handle self) { return seconds_limit(self, "METRIC_DEADLINE", "TESSARY_DETECTOR_DEADLINE"); }

/// The largest answer read, in bytes (None: unbounded).
nb::object answer_size_limit(nb::handle self) {
    nb::object value = limit_value(self, "MAX_ANSWER_BYTES", "TESSARY_DETECTOR_MAX_ANSWER_BYTES", parse_bytes,
                                   "a whole number of bytes");
    if (value.is_none()) return value;
    return tessary::steal_or_throw(PyNumber_Index(value.ptr()));
}

/// The response body, read no further than the size limit; None when the answer is larger.
tessary::Task read_bounded(nb::object response, nb::object limit) {
    if (limit.is_none()) {
        nb::object text = co_await tessary::awaitable(attr<"text">(response)());
        co_return text;
    }
    nb::object declared = nb::getattr(response, "content_length", nb::none());
    if (!declared.is_none()) {
        int larger = PyObject_RichCompareBool(declared.ptr(), limit.ptr(), Py_GT);
        if (larger < 0) tessary::throw_pending();
        if (larger) co_return nb::none();
    }
    Py_ssize_t cap = PyNumber_AsSsize_t(limit.ptr(), PyExc_OverflowError);
    if (cap == -1 && PyErr_Occurred()) tessary::throw_pending();
    nb::object read = attr<"read">(attr<"content">(response));
    std::string body;
    for (;;) {  // read(n) gives what has arrived, up to n bytes; b"" at the end of the body
        Py_ssize_t wanted = cap - static_cast<Py_ssize_t>(body.size()) + 1;
        nb::object chunk = co_await tessary::awaitable(read(nb::int_(wanted)));
        if (!PyBytes_Check(chunk.ptr()))
            tessary::raise_error(PyExc_TypeError, "the response body was read as %.200s, not bytes",
                                 Py_TYPE(chunk.ptr())->tp_name);
        if (PyBytes_GET_SIZE(chunk.ptr()) == 0) break;
        body.append(PyBytes_AS_STRING(chunk.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr())));
        if (static_cast<Py_ssize_t>(body.size()) > cap) co_return nb::none();
    }
    nb::object raw = tessary::steal_or_throw(PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
    nb::object encoding = nb::getattr(response, "charset", nb::none());  // JSON is UTF-8 unless told otherwise
    if (encoding.is_none()) encoding = nb::str("utf-8");
    co_return raw.attr("decode")(encoding);
}

/// One attempt's answer: the parsed body, a failure record, or the retry marker (the pause follows
/// once the response is released and the attempt's time-out no longer runs).
tessary::Task read_answer(nb::object self, nb::object response, nb::object attempt) {
    nb::object status = attr<"status">(response);
    nb::object limit = answer_size_limit(self);
    nb::object text = co_await tessary::awaitable(read_bounded(response, limit), "DetectorsProvider.read_answer");
    if (text.is_none()) {
        nb::object message = tessary::steal_or_throw(PyUnicode_FromFormat(
            "The answer from %S is larger than the limit of %S bytes (MAX_ANSWER_BYTES or "
            "TESSARY_DETECTOR_MAX_ANSWER_BYTES)",
            attr<"base_url">(self).ptr(), limit.ptr()));
        co_return failure_record(nb::str("ANSWER_TOO_LARGE"), message);
    }
    nb::object loads = global<"json">().attr("loads");
    if (PyLong_CheckExact(status.ptr()) ? PyLong_AsLong(status.ptr()) == 200 : status.equal(nb::int_(200)))
        co_return loads(text);
    if (contains(attr<"RETRY_AFTER_STATUS_CODES">(self), status) && before_last_attempt(self, attempt))
        co_return nb::borrow(retry_marker());
    nb::object message = text_of(loads(text));
    co_return failure_record(text_of(status), message);
}

/// One POST and its answer, the response released when it ends.
tessary::Task post_once(nb::object self, nb::object payload, nb::object session, nb::object attempt) {
    nb::object headers = attr<"_DetectorsProvider__get_headers">(self)();
    nb::object url = attr<"base_url">(self), verify = attr<"verify">(self);
    nb::object request =
        tessary::call_keywords<"url", "headers", "data", "ssl">(attr<"post">(session), {url, headers, payload, verify});
    auto body = [self, attempt](nb::object response) { return read_answer(self, response, attempt); };
    nb::object outcome = co_await tessary::async_with(request, std::move(body));
    co_return outcome;
}

/// The text of a failed attempt; a time-out (which has none of its own) names the limit and the URL.
nb::object failure_message(nb::handle self, nb::handle failure, nb::handle timeout) {
    nb::object text = text_of(failure);
    if (!PyErr_GivenExceptionMatches(failure.ptr(), PyExc_TimeoutError)) return text;
    nb::object message = tessary::steal_or_throw(PyUnicode_FromFormat(
        "No answer from %S within the request time-out of %S seconds (REQUEST_TIMEOUT or TESSARY_DETECTOR_TIMEOUT)",
        attr<"base_url">(self).ptr(), timeout.ptr()));
    if (truthy(text)) message = message + nb::str(": ") + text;
    return message;
}

tessary::Task send_with_retries_body(nb::object self, nb::object payload, nb::object session) {
    nb::object count_object = tessary::steal_or_throw(PyNumber_Index(attr<"RETRY_COUNT">(self).ptr()));
    long long retry_count = PyLong_AsLongLong(count_object.ptr());
    if (retry_count == -1 && PyErr_Occurred()) tessary::throw_pending();
    for (long long attempt = 0; attempt < retry_count; ++attempt) {
        nb::object outcome;
        nb::object failure;
        nb::object timeout = nb::none();
        try {
            timeout = request_timeout(self);
            nb::object attempt_object = nb::int_(attempt);
            nb::object limit = attr<"timeout">(global<"asyncio">())(timeout);
            auto body = [self, payload, session, attempt_object](nb::object) {
                return post_once(self, payload, session, attempt_object);
            };
            outcome = co_await tessary::async_with(limit, std::move(body));
        } catch (...) {
            failure = tessary::caught_exception();
        }
        if (failure.is_valid()) {
            if (!tessary::is_general_exception(failure)) tessary::raise_object(failure);
            nb::object message = failure_message(self, failure, timeout);
            co_return failure_record(nb::str("REQUEST_FAILED"), message);
        }
        if (!outcome.is(retry_marker())) co_return outcome;
        nb::object factor = tessary::steal_or_throw(PyNumber_Power(nb::int_(2).ptr(), nb::int_(attempt).ptr(), Py_None));
        nb::object delay = tessary::steal_or_throw(PyNumber_Multiply(attr<"BACK_OFF_FACTOR">(self).ptr(), factor.ptr()));
        co_await tessary::awaitable(attr<"sleep">(global<"asyncio">())(delay));
    }
    co_return nb::none();
}

nb::object send_with_retries(ArgsOf<kSendParams> args) {
    return tessary::make_coroutine(
        send_with_retries_body(args.owned<"self">(), args.owned<"payload">(), args.owned<"session">()),
                                   "DetectorsProvider.send_with_retries");
}

/// One record's request, under the metric's deadline when there is one: past it, the record's failure
/// names the deadline and the URL. `progress` (the provider's `record_progress`), when set, is called
/// as the request ends, however it ends.
tessary::Task settled_request(nb::object self, nb::object sending, nb::object deadline_at, nb::object deadline,
                              nb::object progress) {
    nb::object outcome;
    nb::object failure;
    try {
        if (deadline_at.is_none()) {
            outcome = co_await tessary::awaitable(sending);
        } else {
            nb::object limit = attr<"timeout_at">(global<"asyncio">())(deadline_at);
            auto body = [sending](nb::object) { return await_object(sending); };
            outcome = co_await tessary::async_with(limit, std::move(body));
        }
    } catch (...) {
        failure = tessary::caught_exception();
    }
    if (!progress.is_none()) progress();
    if (!failure.is_valid()) co_return outcome;
    if (deadline_at.is_none() || !PyErr_GivenExceptionMatches(failure.ptr(), PyExc_TimeoutError))
        tessary::raise_object(failure);
    nb::object message = tessary::steal_or_throw(PyUnicode_FromFormat(
        "No answer from %S before the metric's deadline of %S seconds (METRIC_DEADLINE or TESSARY_DETECTOR_DEADLINE)",
        attr<"base_url">(self).ptr(), deadline.ptr()));
    co_return failure_record(nb::str("DEADLINE_EXCEEDED"), message);
}

tessary::Task gather_requests(nb::object self, nb::object payloads, nb::object session) {
    nb::object send = attr<"send_with_retries">(self);
    nb::list bodies = tessary::snapshot(payloads);  // creating a coroutine may run code that changes the list
    nb::object deadline = metric_deadline(self);
    nb::object progress = attr<"record_progress">(self);
    nb::object deadline_at = nb::none();
    if (!deadline.is_none()) {
        nb::object now = attr<"time">(attr<"get_running_loop">(global<"asyncio">())())();
        deadline_at = tessary::steal_or_throw(PyNumber_Add(now.ptr(), deadline.ptr()));
    }
    Py_ssize_t count = PyList_GET_SIZE(bodies.ptr());
    nb::object coroutines = tessary::steal_or_throw(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object coroutine = send(nb::handle(PyList_GET_ITEM(bodies.ptr(), i)), session);
        if (!deadline_at.is_none() || !progress.is_none())
            coroutine = tessary::make_coroutine(settled_request(self, coroutine, deadline_at, deadline, progress),
                                                "DetectorsProvider.send_one_record");
        PyTuple_SET_ITEM(coroutines.ptr(), i, coroutine.release().ptr());
    }
    nb::dict keywords;
    keywords["return_exceptions"] = true;
    nb::object gathering = tessary::steal_or_throw(
        PyObject_Call(attr<"gather">(global<"asyncio">()).ptr(), coroutines.ptr(), keywords.ptr()));
    nb::object gathered = co_await tessary::awaitable(gathering);
    co_return gathered;
}

tessary::Task compute_metric_body(nb::object self, nb::object payloads) {
    nb::object session = global<"aiohttp">().attr("ClientSession")();
    auto body = [self, payloads](nb::object entered) { return gather_requests(self, payloads, entered); };
    nb::object gathered = co_await tessary::async_with(session, std::move(body));
    co_return gathered;
}

nb::object compute_metric(ArgsOf<kComputeParams> args) {
    return tessary::make_coroutine(compute_metric_body(args.owned<"self">(), args.owned<"api_payloads">()),
                                   "DetectorsProvider.__compute_metric");
}

constexpr const char *kComputingFailed = "Error while computing metrics: ";

tessary::Task evaluate_async_body(nb::object self, nb::object data) {
    nb::object result;
    nb::object failure;
    try {
        nb::object prepared = attr<"_DetectorsProvider__pre_process_data">(self)(nb::arg("data") = data);
        std::pair<nb::object, nb::object> unpacked = unpack_pair(prepared);
        nb::object payloads = std::move(unpacked.first);
        nb::object record_ids = std::move(unpacked.second);
        nb::object computing = attr<"_DetectorsProvider__compute_metric">(self)(payloads);
        nb::object responses = co_await tessary::awaitable(computing);
        result = attr<"_DetectorsProvider__post_process">(self)(responses, record_ids);
    } catch (...) {
        failure = tessary::caught_exception();
    }
    if (!failure.is_valid()) co_return result;
    if (!tessary::is_general_exception(failure)) tessary::raise_object(failure);
    tessary::raise_wrapped(kComputingFailed, failure,
                           [&] { return text_of(attr<"metric_name">(self)) + nb::str(". Reason: "); });
}

nb::object evaluate_async(ArgsOf<kDataParams> args) {
    return tessary::make_coroutine(evaluate_async_body(args.owned<"self">(), args.owned<"data">()),
                                   "DetectorsProvider.evaluate_async");
}

nb::object evaluate(ArgsOf<kDataParams> args) {
    return global<"run_in_event_loop">()(attr<"evaluate_async">(args.get<"self">()), nb::arg("data") = args.get<"data">());
}

// ---------------------------------------------------------------------------------------------
// Module init

void bind_imports() {
    tessary::import_module("asyncio");
    tessary::import_module("json");
    tessary::import_module("os");
    tessary::import_from("typing", {{"Optional"}});
    tessary::import_module("aiohttp");
    tessary::import_module("pandas", "pd");
    tessary::import_from("orvane_corvel_tallion", {{"APIClient", "QTSClient"}});
    tessary::import_from("tessary.config", {{"GenAIConfiguration"}});
    tessary::import_from("tessary.entities.base_classes", {{"Error"}});
    tessary::import_from("tessary.entities.enums", {{"EvaluationProvider"}, {"KorundGuardianRisks"}, {"MetricGroup"}});
    tessary::import_from("tessary.entities.evaluation_result", {{"AggregateMetricResult"}, {"RecordMetricResult"}});
    tessary::import_from("tessary.entities.metric_threshold", {{"MetricThreshold"}});
    tessary::import_from("tessary.providers.tool_call_metric_provider", {{"ToolCallMetricProvider"}});
    tessary::import_from("tessary.utils.async_util", {{"run_in_event_loop"}});
    tessary::import_from("tessary.utils.python_utils", {{"get_authenticator_token"}, {"transform_str_to_list"}});
    tessary::provider::remember_text_list_function();
}

nb::list text_list(std::initializer_list<const char *> texts) {
    nb::list list;
    for (const char *text : texts) list.append(nb::str(text));
    return list;
}

void bind_constants(nb::module_ m) {
    m.attr("ACCURACY_METRICS") = text_list({"topic_relevance", "tool_call_accuracy"});
    m.attr("RAG_EVIDENCE_METRICS") = text_list({"faithfulness", "context_relevance"});
    m.attr("RAG_SMALL_MODELS") = text_list({"faithfulness_model", "context_relevance_model"});
    m.attr("EVIDENCES") = text_list({"hap", "pii", "keyword", "regex"});
}

void define_provider() {
    nb::list status_codes;
    for (int code : {502, 503, 504}) status_codes.append(nb::int_(code));
    nb::object provider_class = tessary::ClassBuilder("DetectorsProvider")
        .attr("RETRY_AFTER_STATUS_CODES", status_codes)
        .attr("RETRY_COUNT", nb::int_(3))
        .attr("BACK_OFF_FACTOR", nb::int_(1))
        .attr("REQUEST_TIMEOUT", nb::int_(30))
        .attr("METRIC_DEADLINE", nb::int_(45))
        .attr("MAX_ANSWER_BYTES", nb::int_(8 * 1024 * 1024))
        .attr("record_progress", nb::none())
        .method<provider_init>({.name = "__init__", .returns = "None"})
        .method<evaluate>({.name = "evaluate", .returns = "AggregateMetricResult"})
        .method<evaluate_async>({.name = "evaluate_async", .returns = "AggregateMetricResult", .coroutine = true})
        .method<pre_process_data>({.name = "__pre_process_data"})
        .method<send_with_retries>({.name = "send_with_retries", .coroutine = true})
        .method<compute_metric>({.name = "__compute_metric", .returns = "list", .coroutine = true})
        .method<get_additional_info>({.name = "__get_additional_info", .returns = "list"})
        .method<post_process>({.name = "__post_process", .returns = "AggregateMetricResult"})
        .method<get_json_payloads>({.name = "__get_json_payloads", .returns = "list"})
        .method<get_headers>({.name = "__get_headers"})
        .method<get_detector_url>({.name = "get_detector_url", .returns = "str"})
        .method<get_service_instance_id>({.name = "get_service_instance_id", .returns = "str"})
        .method<set_metric_name>({.name = "set_metric_name", .returns = "str"})
        .method<get_base_url>({.name = "__get_base_url", .returns = "str"})
        .method<get_tool_calls_content>({.name = "get_tool_calls_content", .returns = "list"})
        .method<get_tools_catalog_content>({.name = "get_tools_catalog_content", .returns = "list"})
        .build();
    // Kept for the life of the process, as the class keeps it.
    built_additional_info() =
        nb::object(provider_class.attr("__dict__")["_DetectorsProvider__get_additional_info"]).release();
}

}  // namespace

TESSARY_MODULE(probewell, m) {
    tessary::init_coroutines();
    bind_imports();
    bind_constants(m);
    define_provider();
}
