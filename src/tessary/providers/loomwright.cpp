// tessary.providers.loomwright: catalog and LLM-as-judge metrics through the tabulon recipe library,
// with a process-wide cache of judge inference engines and a process-wide run lock.
#include <tessary/closure.hpp>
#include <tessary/module.hpp>
#include <tessary/coroutine.hpp>
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/klass.hpp>
#include <tessary/params.hpp>
#include <tessary/provider.hpp>

#include <cmath>
#include <cstring>
#include <vector>

namespace nb = nanobind;
using tessary::ArgsOf;
using tessary::param;
using tessary::defaults::none;
using tessary::attr;
using tessary::global;

using tessary::truthy;
using tessary::text_of;
using tessary::formatted;
using tessary::contains;
using tessary::is_instance;
using tessary::provider::equals_text;
using tessary::provider::first_item;

namespace {

// ---------------------------------------------------------------------------------------------
// Pure helpers


/// `getattr(object, name, fallback)`.
nb::object attr_or(nb::handle object, const char *name, nb::handle fallback) {
    PyObject *value = nullptr;
    int found = PyObject_GetOptionalAttrString(object.ptr(), name, &value);
    if (found < 0) tessary::throw_pending();
    return found ? nb::steal(value) : nb::borrow(fallback);
}

nb::object json_module() { return nb::module_::import_("json"); }

nb::handle str_type() { return nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)); }

// ---------------------------------------------------------------------------------------------
// patch_bertscore_overflow

constexpr long kOverflowThreshold = 100000;
constexpr long kCustomMax = 512;

/// The replacement tokenizer factory: the previous one, with an oversized length capped.
constexpr auto kTokenizerParams =
    tessary::params(param<"model_type">(), param<"use_fast">().defaults_to(tessary::defaults::false_value));

nb::object patched_get_tokenizer(ArgsOf<kTokenizerParams> args) {
    nb::object previous = tessary::closure_state();
    nb::object tokenizer = previous(args.get<"model_type">(), args.get<"use_fast">());
    PyObject *length = nullptr;
    int found = PyObject_GetOptionalAttrString(tokenizer.ptr(), "model_max_length", &length);
    if (found < 0) tessary::throw_pending();
    if (found) {
        nb::object owned = nb::steal(length);
        nb::object threshold = nb::int_(kOverflowThreshold);
        int above = PyObject_RichCompareBool(owned.ptr(), threshold.ptr(), Py_GT);
        if (above < 0) tessary::throw_pending();
        if (above) {
            nb::object custom_max = nb::int_(kCustomMax);
            tokenizer.attr("model_max_length") = custom_max;
        }
    }
    return tokenizer;
}

void install_tokenizer_patch() {
    nb::object utils = tessary::steal_or_throw(PyImport_ImportModule("bert_score.utils"));
    nb::object scorer = tessary::steal_or_throw(PyImport_ImportModule("bert_score.scorer"));
    if (nb::hasattr(utils, "_is_patched_for_overflow")) return;
    nb::object previous = utils.attr("get_tokenizer");
    nb::object patched = tessary::make_closure(
        tessary::declared<patched_get_tokenizer>({.name = "patched_get_tokenizer",
                                                  .qualname = "patch_bertscore_overflow.<locals>.patched_get_tokenizer"}),
        previous);
    utils.attr("get_tokenizer") = patched;
    if (nb::hasattr(scorer, "get_tokenizer")) scorer.attr("get_tokenizer") = patched;
    utils.attr("_is_patched_for_overflow") = nb::bool_(true);
}

constexpr auto kNoParams = tessary::params();

nb::object patch_bertscore_overflow(ArgsOf<kNoParams>) {
    try {
        install_tokenizer_patch();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ImportError)) throw;
    }
    return nb::none();
}

// ---------------------------------------------------------------------------------------------
// Parameters of the provider's methods

constexpr auto kSelfParams = tessary::params(param<"self">());
constexpr auto kDataParams = tessary::params(param<"self">(), param<"data">("pd.DataFrame"));
constexpr auto kMetricNameParams = tessary::params(param<"self">(), param<"metric_name">("str").exactly(&PyUnicode_Type));
constexpr auto kGenerateParams =
    tessary::params(param<"self">(), param<"metric_name">("str").exactly(&PyUnicode_Type),
                    param<"metric_prefix">("str").exactly(&PyUnicode_Type));
constexpr auto kResultParams = tessary::params(param<"self">(), param<"result">("pd.DataFrame"));

// ---------------------------------------------------------------------------------------------
// Engine factory and judge engine selection

nb::object parse_json_or_empty(nb::handle text) {
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return nb::dict();
    return json_module().attr("loads")(text);
}

constexpr auto kEngineParams = tessary::params(
    param<"provider">("str").exactly(&PyUnicode_Type), param<"model_id">("str").exactly(&PyUnicode_Type),
    param<"use_cache">("bool"), param<"credentials_json">("str").exactly(&PyUnicode_Type),
    param<"parameters_json">("str").defaults_to(tessary::defaults::empty_text).exactly(&PyUnicode_Type));

nb::object create_inference_engine_impl(ArgsOf<kEngineParams> args) {
    nb::handle provider = args.get<"provider">(), model_id = args.get<"model_id">();
    nb::object use_cache = nb::bool_(truthy(args.get<"use_cache">()));  // the engines receive its truth value
    nb::object credentials = parse_json_or_empty(args.get<"credentials_json">());
    nb::object parameters = parse_json_or_empty(args.get<"parameters_json">());
    if (equals_text(provider, "qzai"))
        return global<"QMLInferenceEngineGeneration">()(nb::arg("credentials") = credentials,
                                                       nb::arg("model_name") = model_id, nb::arg("use_cache") = use_cache);
    if (equals_text(provider, "openai"))
        return global<"OpenAiInferenceEngine">()(nb::arg("model_name") = model_id, nb::arg("credentials") = credentials,
                                                nb::arg("use_cache") = use_cache);
    if (equals_text(provider, "azure_openai"))
        return global<"AzureOpenAIInferenceEngine">()(nb::arg("model_name") = model_id,
                                                     nb::arg("credentials") = credentials, nb::arg("use_cache") = use_cache);
    if (equals_text(provider, "vertexai") || equals_text(provider, "google_ai_studio") ||
        equals_text(provider, "aws_bedrock")) {
        nb::object engine_class = global<"LiteLLMInferenceEngine">();
        if (!PyDict_Check(parameters.ptr()))
            tessary::raise_error(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                                 tessary::function_description(engine_class).ptr(), Py_TYPE(parameters.ptr())->tp_name);
        return tessary::call_keywords<"model", "credentials", "use_cache">(engine_class, {model_id, credentials, use_cache},
                                                                          parameters);
    }
    if (equals_text(provider, "portkey"))
        return global<"PortKeyInferenceEngine">()(nb::arg("credentials") = credentials, nb::arg("model") = model_id,
                                                 nb::arg("use_cache") = use_cache);
    if (equals_text(provider, "qzo_gateway"))
        return global<"QzoAIGatewayInferenceEngine">()(nb::arg("credentials") = credentials,
                                                      nb::arg("use_cache") = use_cache);
    tessary::raise_error(PyExc_Exception, "LLM Model provider '%U' is not supported.", provider.ptr());
}

struct JudgeKind {
    const char *model_class;
    const char *provider;  // nullptr: the custom-function engine, never cached
    bool by_alias;
    bool with_parameters;
};

// Tested in this order; the first class the model belongs to decides.
constexpr JudgeKind kJudgeKinds[] = {
    {"QzAIFoundationModel", "qzai", false, false},
    {"OpenAIFoundationModel", "openai", false, false},
    {"AzureOpenAIFoundationModel", "azure_openai", true, false},
    {"VertexAIFoundationModel", "vertexai", false, false},
    {"GoogleAIStudioFoundationModel", "google_ai_studio", false, false},
    {"AWSBedrockFoundationModel", "aws_bedrock", false, true},
    {"CustomFoundationModel", nullptr, false, false},
    {"PortKeyGateway", "portkey", false, false},
    {"QzoAIGateway", "qzo_gateway", false, false},
};

nb::object custom_function_engine(nb::handle model, nb::handle enable_cache) {
    return global<"CustomFunctionInferenceEngine">()(
        nb::arg("scoring_fn") = model.attr("_scoring_fn"),
        nb::arg("model_name") = attr_or(model, "model_id", nb::str("custom_fn")),
        nb::arg("context") = attr_or(model, "context", nb::none()),
        nb::arg("num_parallel_requests") = attr_or(model, "num_parallel_requests", nb::int_(20)),
        nb::arg("use_cache") = enable_cache);
}

nb::object get_ai_evaluator_inference_engine(ArgsOf<kSelfParams> args) {
    nb::handle self = args.get<"self">();
    nb::object dumps = json_module().attr("dumps");
    nb::object enable_cache = global<"get_tabluon_enable_inference_cache">()();
    nb::object model = self.attr("llm_judge").attr("model");
    for (const JudgeKind &kind : kJudgeKinds) {
        if (!is_instance(model, global(kind.model_class))) continue;
        if (!kind.provider) return custom_function_engine(model, enable_cache);
        nb::object credentials;
        if (std::strcmp(kind.provider, "qzai") == 0) {
            credentials = tessary::provider::service_credentials(model);
        } else {
            nb::object dump = model.attr("provider").attr("credentials").attr("model_dump");
            // The engine logs in with the secrets, which every other dump masks.
            nb::object reveal = global<"REVEAL_SECRETS">();
            credentials = kind.by_alias ? dump(nb::arg("by_alias") = true, nb::arg("context") = reveal)
                                        : dump(nb::arg("context") = reveal);
        }
        nb::object credentials_json = dumps(credentials, nb::arg("sort_keys") = true);
        nb::object model_id = std::strcmp(kind.provider, "qzo_gateway") == 0 ? nb::str("") : model.attr("model_id");
        nb::object factory = attr<"_create_inference_engine_impl">(global<"TabulonProvider">());
        if (!kind.with_parameters)
            return factory(nb::arg("provider") = kind.provider, nb::arg("model_id") = model_id,
                           nb::arg("use_cache") = enable_cache, nb::arg("credentials_json") = credentials_json);
        nb::object parameters = model.attr("parameters");
        if (!truthy(parameters)) parameters = nb::dict();
        return factory(nb::arg("provider") = kind.provider, nb::arg("model_id") = model_id,
                       nb::arg("use_cache") = enable_cache, nb::arg("credentials_json") = credentials_json,
                       nb::arg("parameters_json") = dumps(parameters, nb::arg("sort_keys") = true));
    }
    tessary::raise_error(PyExc_Exception, "LLM Model provider is not supported.");
}

// ---------------------------------------------------------------------------------------------
// Judge metric construction

nb::object generate_tabulon_metric(ArgsOf<kGenerateParams> args) {
    nb::handle self = args.get<"self">(), metric_name = args.get<"metric_name">(), metric_prefix = args.get<"metric_prefix">();
    nb::object method = self.attr("metric_method");
    if (method.equal(nb::str("llm_as_judge")))
        return attr<"_TabulonProvider__get_llmaj_metric">(self)(nb::arg("metric_name") = metric_name);
    nb::str dot(".");
    return nb::str(metric_prefix) + dot + nb::str(metric_name) + dot + formatted(method);
}

nb::object get_llmaj_metric(ArgsOf<kMetricNameParams> args) {
    nb::handle self = args.get<"self">(), metric_name = args.get<"metric_name">();
    nb::object engine = attr<"_TabulonProvider__get_ai_evaluator_inference_engine">(self)();
    nb::object format = attr<"_TabulonProvider__get_llmaj_format">(self)();
    nb::object template_name = attr<"_TabulonProvider__get_llmaj_template">(self)(nb::arg("metric_name") = metric_name);
    nb::str name(metric_name);
    nb::object task = nb::str("tasks.rag_eval.") + name + nb::str(".binary");
    nb::object main_score = name + nb::str("_judge");
    nb::object mapping = self.attr("column_mapping");
    nb::object prediction_field = equals_text(metric_name, "context_relevance") ? mapping.attr("contexts")
                                                                                : mapping.attr("answer");
    return global<"TaskBasedLLMasJudge">()(
        nb::arg("inference_model") = engine, nb::arg("format") = format, nb::arg("template") = template_name,
        nb::arg("task") = task, nb::arg("main_score") = main_score, nb::arg("prediction_field") = prediction_field,
        nb::arg("infer_log_probs") = false, nb::arg("judge_to_generator_fields_mapping") = nb::dict());
}

nb::object get_llmaj_template(ArgsOf<kMetricNameParams> args) {
    nb::handle metric_name = args.get<"metric_name">();
    nb::object template_name = global<"METRIC_TO_TEMPLATE">()[metric_name];
    const char *suffix = equals_text(metric_name, "faithfulness") ? "_verbal" : "_numeric";
    return nb::str("templates.rag_eval.") + nb::str(metric_name) + nb::str(".") + nb::str(template_name) +
           nb::str(suffix);
}

nb::object get_llmaj_format(ArgsOf<kSelfParams> args) {
    nb::handle self = args.get<"self">();
    nb::object type = self.attr("llm_judge").attr("model").attr("provider").attr("type");
    if (type.equal(global<"ModelProviderType">().attr("OPENAI"))) return global<"ChatAPIFormat">()();
    return nb::none();
}

// ---------------------------------------------------------------------------------------------
// Evaluation run

nb::object evaluate(ArgsOf<kDataParams> args) {
    nb::handle self = args.get<"self">(), data = args.get<"data">();
    nb::object caught;
    try {
        global<"patch_bertscore_overflow">()();
        nb::object table = attr<"_TabulonProvider__pre_process_data">(self)(nb::arg("data") = data);
        nb::object scores = attr<"_TabulonProvider__compute_metric">(self)(nb::arg("data") = table);
        return attr<"_TabulonProvider__post_process">(self)(nb::arg("result") = scores);
    } catch (...) {
        caught = tessary::caught_exception();
    }
    tessary::reraise_unless_general(caught);
    tessary::raise_wrapped("Error while computing metrics: ", caught, [&] {
        return formatted(self.attr("metric_name")) + nb::str(" with the method ") + formatted(self.attr("metric_method")) +
               nb::str(" using tabulon library. Reason: ");
    });
}

nb::object evaluate_async(ArgsOf<kDataParams> args) {
    return tessary::make_coroutine(
        tessary::provider::evaluate_in_executor(args.owned<"self">(), args.owned<"data">(),
                                                tessary::provider::EvaluatePassed::positionally),
        "TabulonProvider.evaluate_async");
}

/// Stops at the first field missing from the table.
bool all_present(nb::handle fields, nb::handle columns) {
    for (nb::handle field : fields)
        if (!contains(columns, field)) return false;
    return true;
}

/// The values of one column as a list of our own, refused unless it has one value per row.
nb::list column_snapshot(nb::handle table, nb::handle column, Py_ssize_t rows) {
    nb::object values = table[column];
    nb::list items = tessary::tolist_snapshot(values);
    if (PyList_GET_SIZE(items.ptr()) != rows)
        tessary::raise_error(PyExc_ValueError, "column %R gave %zd values for %zd rows", column.ptr(),
                             PyList_GET_SIZE(items.ptr()), rows);
    return items;
}

/// One list of texts per row: the row's values in `fields`, or the parsed single field.
nb::object list_column(nb::handle converted, nb::handle fields, nb::handle index) {
    nb::list field_names = tessary::snapshot(fields);
    Py_ssize_t field_count = PyList_GET_SIZE(field_names.ptr());
    // The first column decides the row count (len() of a table is not trusted with list sizes).
    nb::list first = tessary::tolist_snapshot(nb::object(converted[nb::handle(PyList_GET_ITEM(field_names.ptr(), 0))]));
    Py_ssize_t rows = PyList_GET_SIZE(first.ptr());
    nb::list cells = nb::borrow<nb::list>(tessary::steal_or_throw(PyList_New(rows)));
    if (field_count == 1) {
        tessary::provider::TextListCell texts_of;
        for (Py_ssize_t row = 0; row < rows; ++row) {
            nb::object cell = texts_of(nb::handle(PyList_GET_ITEM(first.ptr(), row)));
            PyList_SET_ITEM(cells.ptr(), row, cell.release().ptr());
        }
    } else {
        std::vector<nb::object> columns{first};
        for (Py_ssize_t i = 1; i < field_count; ++i)
            columns.push_back(column_snapshot(converted, PyList_GET_ITEM(field_names.ptr(), i), rows));
        for (Py_ssize_t row = 0; row < rows; ++row) {
            PyObject *cell = PyList_New(field_count);
            if (!cell) tessary::throw_pending();
            for (Py_ssize_t i = 0; i < field_count; ++i)
                PyList_SET_ITEM(cell, i, Py_NewRef(PyList_GET_ITEM(columns[i].ptr(), row)));
            PyList_SET_ITEM(cells.ptr(), row, cell);
        }
    }
    return global<"pd">().attr("Series")(cells, nb::arg("index") = index, nb::arg("dtype") = nb::str("object"));
}

/// The table's columns that the library table takes, each once, in the order they are first used.
nb::list used_columns(nb::handle configuration, nb::handle columns) {
    nb::list used;
    auto use = [&](nb::handle field) {
        if (!contains(used, field)) used.append(field);
    };
    nb::object inputs = configuration.attr("input_fields");
    if (nb::len(inputs) && contains(columns, first_item(inputs))) use(first_item(inputs));
    nb::object outputs = configuration.attr("output_fields");
    if (nb::len(outputs) && all_present(outputs, columns)) use(first_item(outputs));
    for (const char *name : {"context_fields", "reference_fields"}) {
        nb::object fields = configuration.attr(name);
        if (nb::len(fields) && all_present(fields, columns))
            for (nb::handle field : fields) use(field);
    }
    return used;
}

/// True for pandas' text type stored by Arrow, whose cells read out as plain str.
bool is_arrow_text(nb::handle dtype) {
    return tessary::is_instance(dtype, global<"pd">().attr("StringDtype")) && equals_text(dtype.attr("storage"), "pyarrow");
}

/// True when every column holds pandas' text type stored by Arrow.
bool all_arrow_text(nb::handle table) {
    for (nb::handle dtype : table.attr("dtypes"))
        if (!is_arrow_text(dtype)) return false;
    return true;
}

/// The used columns, every cell in its text form, missing cells included: numpy's text type
/// converts as astype(str) did before pandas 3 (whose astype(str) keeps missing cells missing) ...
nb::object text_table(nb::handle data, nb::handle used) {
    nb::object selected = data[used];
    // Text columns already hold their text form: read out as objects they give the same cells
    // (missing ones become None below either way) without the detour through fixed-width text.
    nb::object converted = all_arrow_text(selected) ? selected.attr("astype")(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type)))
                                                    : selected.attr("astype")(nb::str("U"));
    // ... except that a missing cell stays missing (None), so the metric sees no text rather than "nan".
    // With no missing cell the mask would change nothing: its copy of the table is skipped.
    nb::object missing = selected.attr("isna")();
    if (truthy(missing.attr("to_numpy")().attr("any")())) converted = converted.attr("mask")(missing, nb::none());
    return converted;
}

/// `column.hasnans` of a column of Arrow text, read off its Arrow data's count of missing cells.
bool has_missing_text(nb::handle column) {
    nb::object array = column.attr("array");
    if (nb::hasattr(array, "__arrow_array__")) {
        nb::object missing = array.attr("__arrow_array__")().attr("null_count");
        if (PyLong_CheckExact(missing.ptr())) return truthy(missing);
    }
    return truthy(column.attr("hasnans"));
}

/// The used columns in their text form (see `text_table`), by column name. A column of Arrow text
/// without a missing cell already is its text form, cell for cell: it is taken as it is, which
/// spares selecting and converting a table (most of the preparation's cost).
nb::dict text_columns(nb::handle data, nb::handle used) {
    nb::dict columns;
    nb::list rest;
    bool unique = truthy(data.attr("columns").attr("is_unique"));
    for (nb::handle field : used) {
        if (unique) {
            nb::object column = data[field];
            if (is_arrow_text(column.attr("dtype")) && !has_missing_text(column)) {
                columns[field] = column;
                continue;
            }
        }
        rest.append(field);
    }
    if (nb::len(rest)) {
        nb::object table = text_table(data, rest);
        for (nb::handle field : rest) columns[field] = table[field];
    }
    return columns;
}

/// `pd.DataFrame(columns)`. When every column is a series on an index equal to the table's, the
/// series line up row for row: the table is made on that index from their arrays, the same table
/// without aligning each series to the others. Object columns stay series, since a table infers
/// a text type for an array of objects that are all texts or missing, and a series keeps its own.
nb::object table_of_columns(const nb::dict &columns, nb::handle index) {
    nb::object pd = global<"pd">();
    nb::object series_type = pd.attr("Series");
    nb::handle object_type = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    nb::dict arrays;
    for (auto [name, column] : columns) {
        if (!tessary::is_instance(column, series_type) || !truthy(index.attr("equals")(column.attr("index"))))
            return pd.attr("DataFrame")(columns);
        arrays[name] = column.attr("dtype").equal(object_type) ? nb::borrow(column) : column.attr("array");
    }
    return pd.attr("DataFrame")(arrays, nb::arg("index") = index);
}

nb::object pre_process_data(ArgsOf<kDataParams> args) {
    nb::handle self = args.get<"self">(), data = args.get<"data">();
    nb::object columns = data.attr("columns").attr("tolist")();
    nb::object configuration = self.attr("configuration");
    nb::object mapping = self.attr("column_mapping");
    // Only the columns the library table takes are converted: the others would be converted for nothing.
    nb::dict converted = text_columns(data, used_columns(configuration, columns));
    nb::object index = data.attr("index");

    // The library table's columns in order, made into one table at once (pandas pays for each
    // column added to a table one by one). Empty field lists name no column; the library decides
    // whether the metric needs it.
    nb::dict library;
    nb::object inputs = configuration.attr("input_fields");
    if (nb::len(inputs) && contains(columns, first_item(inputs)))
        library[mapping.attr("question")] = converted[first_item(inputs)];
    nb::object outputs = configuration.attr("output_fields");
    if (nb::len(outputs) && all_present(outputs, columns))
        library[mapping.attr("answer")] = converted[first_item(outputs)];
    nb::object contexts = configuration.attr("context_fields");
    if (nb::len(contexts) && all_present(contexts, columns))
        library[mapping.attr("contexts")] = list_column(converted, contexts, index);
    nb::object references = configuration.attr("reference_fields");
    if (nb::len(references) && all_present(references, columns))
        library[mapping.attr("ground_truths")] = list_column(converted, references, index);
    // Identifiers as the table holds them (not their text), as the other providers report them.
    library["record_id"] = data[configuration.attr("record_id_field")];
    return table_of_columns(library, index);
}

/// Runs the library metric over the records and collects every resulting instance.
nb::list run_library(nb::handle records, nb::handle metric) {
    nb::dict splits;
    splits["test"] = records;
    nb::object stream = attr<"from_iterables">(global<"MultiStream">())(splits, nb::arg("copying") = true);
    nb::list steps;
    steps.append(metric);
    nb::object operator_ = global<"SequentialOperator">()(nb::arg("steps") = steps);
    nb::object processed = operator_(stream);
    nb::object instances = tessary::steal_or_throw(PySequence_List(processed["test"].ptr()));
    return nb::borrow<nb::list>(instances);
}

/// The library table as one mapping per row (column order, plain Python values), each with its
/// data classification metadata: what `to_dict("records")` gives, built column by column.
nb::list library_records(nb::handle data) {
    nb::list columns = tessary::tolist_snapshot(data.attr("columns"));
    std::vector<nb::object> names, values;
    Py_ssize_t rows = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.ptr()); ++i) {
        nb::handle column = PyList_GET_ITEM(columns.ptr(), i);
        names.push_back(nb::borrow(column));
        if (i == 0) {
            values.push_back(tessary::tolist_snapshot(nb::object(data[column])));
            rows = PyList_GET_SIZE(values.back().ptr());
        } else {
            values.push_back(column_snapshot(data, column, rows));
        }
    }
    nb::list records = nb::borrow<nb::list>(tessary::steal_or_throw(PyList_New(rows)));
    PyObject *public_ = tessary::interned<"public">();
    for (Py_ssize_t row = 0; row < rows; ++row) {
        nb::object record = tessary::steal_or_throw(PyDict_New());
        for (size_t i = 0; i < names.size(); ++i)
            if (PyDict_SetItem(record.ptr(), names[i].ptr(), PyList_GET_ITEM(values[i].ptr(), row)) < 0)
                tessary::throw_pending();
        nb::object policy = tessary::steal_or_throw(PyList_New(1));
        PyList_SET_ITEM(policy.ptr(), 0, Py_NewRef(public_));
        nb::object metadata = tessary::steal_or_throw(PyDict_New());
        if (PyDict_SetItem(metadata.ptr(), tessary::interned<"data_classification_policy">(), policy.ptr()) < 0 ||
            PyDict_SetItem(record.ptr(), tessary::interned<"metadata">(), metadata.ptr()) < 0)
            tessary::throw_pending();
        PyList_SET_ITEM(records.ptr(), row, record.release().ptr());
    }
    return records;
}

/// `instance["score"]["instance"]["score"]`: the library's score of one instance.
nb::object instance_score(nb::handle instance) {
    nb::object score = tessary::steal_or_throw(PyObject_GetItem(instance.ptr(), tessary::interned<"score">()));
    nb::object details = tessary::steal_or_throw(PyObject_GetItem(score.ptr(), tessary::interned<"instance">()));
    return tessary::steal_or_throw(PyObject_GetItem(details.ptr(), tessary::interned<"score">()));
}

nb::object compute_metric(ArgsOf<kDataParams> args) {
    nb::handle self = args.get<"self">(), data = args.get<"data">();
    nb::list records = library_records(data);

    nb::object alias = self.attr("metric_alias");
    nb::object name = truthy(alias) ? alias : self.attr("metric_name");
    nb::object metric = attr<"_TabulonProvider__generate_tabulon_metric">(self)(
        nb::arg("metric_name") = name, nb::arg("metric_prefix") = self.attr("metric_prefix"));

    bool run_with_lock = contains(self.attr("METRIC_METHODS_WITH_LOCKS"), self.attr("metric_method")) ||
                         !self.attr("llm_judge").is_none();
    nb::list instances;
    if (run_with_lock)
        tessary::run_with(self.attr("_lock"), [&] { instances = run_library(records, metric); });
    else
        instances = run_library(records, metric);

    Py_ssize_t count = PyList_GET_SIZE(instances.ptr());
    nb::list values = nb::borrow<nb::list>(tessary::steal_or_throw(PyList_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object instance = nb::borrow(PyList_GET_ITEM(instances.ptr(), i));
        PyList_SET_ITEM(values.ptr(), i, instance_score(instance).release().ptr());
    }
    nb::dict frame;
    frame[self.attr("metric_name")] = values;
    // The identifiers row for row, as the library table holds them (their array keeps its type).
    nb::object record_ids = data["record_id"];
    frame["record_id"] = tessary::is_instance(record_ids, global<"pd">().attr("Series"))
                             ? record_ids.attr("array")
                             : nb::object(tessary::tolist_snapshot(record_ids));
    return global<"pd">().attr("DataFrame")(frame);
}

/// The record value: `round(raw if raw > 0.0 else 0.0, 4)` when clipping, else `round(raw, 4)`.
nb::object record_value(nb::handle raw, bool clip, const tessary::provider::Round4 &round4) {
    if (clip && PyFloat_CheckExact(raw.ptr()) && !(PyFloat_AS_DOUBLE(raw.ptr()) > 0.0)) return round4(nb::float_(0.0));
    if (clip && !PyFloat_CheckExact(raw.ptr())) {
        nb::object zero = nb::float_(0.0);
        int above = PyObject_RichCompareBool(raw.ptr(), zero.ptr(), Py_GT);
        if (above < 0) tessary::throw_pending();
        if (!above) return round4(zero);
    }
    return round4(raw);
}

bool is_nan(nb::handle value) { return PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr())); }

/// The error of a record the metric could not score (a NaN never stands without one).
nb::list no_value_errors() {
    nb::list errors;
    errors.append(global<"Error">()(nb::arg("code") = "NO_VALUE",
                                    nb::arg("message_en") = "The metric gave no value for this record: its input, output, "
                                                            "context or reference is missing, or it could not be scored."));
    return errors;
}

/// min() or max() as Python computes them over the values that are neither None nor NaN (the first
/// of equal or unordered values wins); None when no record has a value.
nb::object extreme(nb::handle values, int operation) {
    nb::object best = nb::none();
    for (nb::handle value : values) {
        if (value.is_none() || is_nan(value)) continue;
        if (best.is_none()) {
            best = nb::borrow(value);
            continue;
        }
        bool better;
        if (PyFloat_CheckExact(value.ptr()) && PyFloat_CheckExact(best.ptr())) {
            double candidate = PyFloat_AS_DOUBLE(value.ptr()), kept = PyFloat_AS_DOUBLE(best.ptr());
            better = operation == Py_LT ? candidate < kept : candidate > kept;
        } else {
            int compared = PyObject_RichCompareBool(value.ptr(), best.ptr(), operation);
            if (compared < 0) tessary::throw_pending();
            better = compared;
        }
        if (better) best = nb::borrow(value);
    }
    return best;
}

/// The fields the provider's record results share.
tessary::provider::RecordBuilder record_builder(nb::handle self) {
    tessary::provider::MetricFields fields{self.attr("metric_name"),
                                           self.attr("metric_display_name"),
                                           self.attr("metric_method"),
                                           global<"EvaluationProvider">().attr("TABULON").attr("value"),
                                           self.attr("metric_group"),
                                           self.attr("thresholds")};
    return tessary::provider::RecordBuilder(global<"RecordMetricResult">(), std::move(fields));
}

/// One record: a NaN score gets its "NO_VALUE" error assigned once the record is built (assembled
/// with it directly when the record needs no validation).
nb::object scored_record(const tessary::provider::RecordBuilder &records_of, nb::handle value, nb::handle record_id) {
    if (!is_nan(value)) return records_of.build<"value", "record_id">(value, record_id);
    nb::list errors = no_value_errors();
    nb::object record = records_of.assembled<"value", "record_id", "errors">(value, record_id, errors);
    if (record.is_valid()) return record;
    record = records_of.build<"value", "record_id">(value, record_id);
    record.attr("errors") = errors;
    return record;
}

/// True when the metric's method clips negative scores to 0.
bool clips_scores(nb::handle self, nb::handle name, nb::handle method) {
    nb::object clip_table = self.attr("CLIP_METRIC_METHODS");
    return contains(clip_table, name) && contains(clip_table[name], method);
}

/// The result's scores (of its metric's column) and record ids, one of each per record.
std::pair<nb::list, nb::list> scores_and_ids(nb::handle result, nb::handle column) {
    nb::list raw_scores = tessary::tolist_snapshot(column);
    nb::list record_ids = tessary::tolist_snapshot(nb::object(result["record_id"]));
    if (PyList_GET_SIZE(record_ids.ptr()) != PyList_GET_SIZE(raw_scores.ptr()))
        tessary::raise_error(PyExc_ValueError, "the result holds %zd scores for %zd record ids",
                             PyList_GET_SIZE(raw_scores.ptr()), PyList_GET_SIZE(record_ids.ptr()));
    return {std::move(raw_scores), std::move(record_ids)};
}

nb::object post_process(ArgsOf<kResultParams> args) {
    nb::handle self = args.get<"self">(), result = args.get<"result">();
    tessary::provider::RecordBuilder records_of = record_builder(self);
    const tessary::provider::MetricFields &fields = records_of.fields();
    bool clip = clips_scores(self, fields.name, fields.method);
    tessary::provider::Round4 round4;  // `round` as this call finds it
    nb::object column = result[fields.name];
    auto [raw_scores, record_ids] = scores_and_ids(result, column);
    Py_ssize_t count = PyList_GET_SIZE(raw_scores.ptr());

    nb::list records = nb::borrow<nb::list>(tessary::steal_or_throw(PyList_New(count)));
    nb::list values = nb::borrow<nb::list>(tessary::steal_or_throw(PyList_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object value = record_value(nb::handle(PyList_GET_ITEM(raw_scores.ptr(), i)), clip, round4);
        nb::object record_id = nb::borrow(PyList_GET_ITEM(record_ids.ptr(), i));
        nb::object record = scored_record(records_of, value, record_id);
        nb::object stored = attr<"value">(record);
        PyList_SET_ITEM(values.ptr(), i, stored.release().ptr());
        PyList_SET_ITEM(records.ptr(), i, record.release().ptr());
    }

    // The mean as the column gives it (numpy's float is a float too), rounded to a plain float.
    nb::object mean = column.attr("mean")();
    nb::object rounded_mean = PyFloat_Check(mean.ptr()) ? round4(nb::float_(PyFloat_AS_DOUBLE(mean.ptr()))) : round4(mean);
    if (count == 0) tessary::raise_error(PyExc_ValueError, "min() iterable argument is empty");
    return global<"AggregateMetricResult">()(
        nb::arg("name") = fields.name, nb::arg("display_name") = fields.display_name, nb::arg("method") = fields.method,
        nb::arg("group") = fields.group, nb::arg("provider") = fields.provider, nb::arg("value") = rounded_mean,
        nb::arg("total_records") = count, nb::arg("record_level_metrics") = records,
        nb::arg("min") = extreme(values, Py_LT), nb::arg("max") = extreme(values, Py_GT),
        nb::arg("mean") = rounded_mean, nb::arg("thresholds") = fields.thresholds);
}

// ---------------------------------------------------------------------------------------------
// Construction

constexpr auto kInitParams = tessary::params(
    param<"self">(), param<"configuration">("GenAIConfiguration"), param<"metric_name">("str").exactly(&PyUnicode_Type),
    param<"metric_display_name">("str").exactly(&PyUnicode_Type), param<"metric_method">("str").exactly(&PyUnicode_Type),
    param<"metric_prefix">("str").exactly(&PyUnicode_Type),
    param<"metric_alias">("str").defaults_to(none).exactly(&PyUnicode_Type),
    param<"metric_group">("MetricGroup").defaults_to(none),
    param<"column_mapping">("TabulonColumnMapping").defaults_to(none), param<"llm_judge">("LLMJudge").defaults_to(none),
    param<"thresholds">("list[MetricThreshold]").defaults_to(tessary::defaults::empty_list).exactly(&PyList_Type),
    tessary::var_keywords<"kwargs">());

/// Stores the parameters on the instance, in this order (a column mapping and a judge by default).
nb::object init(ArgsOf<kInitParams> args) {
    nb::handle self = args.get<"self">(), configuration = args.get<"configuration">();
    nb::handle column_mapping = args.get<"column_mapping">(), llm_judge = args.get<"llm_judge">();
    self.attr("configuration") = configuration;
    self.attr("configuration_") = nb::dict();
    self.attr("metric_name") = args.get<"metric_name">();
    self.attr("metric_display_name") = args.get<"metric_display_name">();
    self.attr("metric_method") = args.get<"metric_method">();
    self.attr("metric_group") = args.get<"metric_group">();
    self.attr("column_mapping") = truthy(column_mapping) ? nb::borrow(column_mapping) : global<"TabulonColumnMapping">()();
    self.attr("llm_judge") = truthy(llm_judge) ? nb::borrow(llm_judge) : configuration.attr("llm_judge");
    self.attr("metric_alias") = args.get<"metric_alias">();
    self.attr("metric_prefix") = args.get<"metric_prefix">();
    self.attr("thresholds") = args.get<"thresholds">();
    return nb::none();
}

// ---------------------------------------------------------------------------------------------
// Module init

constexpr const char *kTabulonStatements[] = {
    "from tabulon.formats import ChatAPIFormat, Format",
    "from tabulon.inference import AzureOpenAIInferenceEngine, OpenAiInferenceEngine, QMLInferenceEngineGeneration, "
    "LiteLLMInferenceEngine",
    "from tabulon.llm_as_judge import TaskBasedLLMasJudge",
    "from tabulon.operator import SequentialOperator",
    "from tabulon.stream import MultiStream",
};

constexpr const char *kTabulonNames[] = {
    "ChatAPIFormat",       "Format",           "QMLInferenceEngineGeneration", "OpenAiInferenceEngine",
    "AzureOpenAIInferenceEngine", "TaskBasedLLMasJudge", "SequentialOperator", "MultiStream",
    "LiteLLMInferenceEngine",
};

void bind_imports() {
    tessary::import_module("asyncio");
    tessary::import_module("functools");
    tessary::import_from("threading", {{"Lock"}});
    tessary::import_from("typing", {{"Annotated"}, {"ClassVar"}});
    tessary::import_module("pandas", "pd");
    tessary::import_from("cachetools", {{"TTLCache"}, {"cached"}});
    tessary::import_from("tessary.config", {{"GenAIConfiguration"}});
    tessary::import_from("tessary.entities.base_classes", {{"Error"}});
    tessary::import_from("tessary.entities.credentials", {{"QzAICredentials"}, {"REVEAL_SECRETS"}});
    tessary::import_from("tessary.entities.enums", {{"EvaluationProvider"}, {"MetricGroup"}, {"ModelProviderType"}});
    tessary::import_from("tessary.entities.evaluation_result", {{"AggregateMetricResult"}, {"RecordMetricResult"}});
    tessary::import_from("tessary.entities.foundation_model",
                         {{"AWSBedrockFoundationModel"}, {"AzureOpenAIFoundationModel"}, {"CustomFoundationModel"},
                          {"GoogleAIStudioFoundationModel"}, {"OpenAIFoundationModel"}, {"PortKeyGateway"},
                          {"VertexAIFoundationModel"}, {"QzAIFoundationModel"}, {"QzoAIGateway"}});
    tessary::import_from("tessary.entities.llm_judge", {{"LLMJudge"}});
    tessary::import_from("tessary.entities.metric_threshold", {{"MetricThreshold"}});
    tessary::import_from("tessary.providers.inference_engines.custom_inference_engine",
                         {{"CustomFunctionInferenceEngine"}});
    tessary::import_from("tessary.providers.inference_engines.portkey_inference_engine", {{"PortKeyInferenceEngine"}});
    tessary::import_from("tessary.providers.inference_engines.qzo_ai_gateway_inference_engine",
                         {{"QzoAIGatewayInferenceEngine"}});
    tessary::import_from("tessary.utils.async_util", {{"start_event_loop_run_func"}});
    tessary::import_from("tessary.utils.environment", {{"get_tabluon_enable_inference_cache"}});
    tessary::import_from("tessary.utils.python_utils", {{"transform_str_to_list"}});
    tessary::provider::remember_text_list_function();
    tessary::import_from("lazy_imports", {{"LazyModule"}, {"load"}});
    tessary::import_from("pydantic", {{"BaseModel"}, {"Field"}});
    tessary::import_from("tabulon.logging_utils", {{"set_verbosity"}});
}

/// The five recipe-library imports, performed at once through a lazy module.
void bind_tabulon_names() {
    nb::list statements;
    for (const char *statement : kTabulonStatements) statements.append(nb::str(statement));
    nb::dict keywords;
    keywords["name"] = nb::str("lazy_tabulon");
    nb::object lazy = tessary::steal_or_throw(
        PyObject_Call(global<"LazyModule">().ptr(), nb::tuple(statements).ptr(), keywords.ptr()));
    tessary::set_global("tabulon_imports", lazy);
    global<"load">()(lazy);
    for (const char *name : kTabulonNames) tessary::set_global(name, lazy.attr(name));
}

nb::object column_field(const char *name, const char *description) {
    nb::object field = global<"Field">()(nb::arg("default") = name, nb::arg("description") = description);
    return global<"Annotated">()[nb::make_tuple(str_type(), field)];
}

void define_column_mapping() {
    tessary::ClassBuilder("TabulonColumnMapping", "Column mapping expected by tabulon")
        .field("question", column_field("question", "Expected question column name by tabulon"))
        .field("answer", column_field("answer", "Expected answer column name by tabulon"))
        .field("contexts", column_field("contexts", "Expected contexts column name by tabulon"))
        .field("ground_truths", column_field("ground_truths", "Expected ground_truths column name by tabulon"))
        .build({global<"BaseModel">()});
}

nb::set text_set(std::initializer_list<const char *> items) {
    nb::set set;
    for (const char *item : items) set.add(nb::str(item));
    return set;
}

void define_metric_to_template() {
    nb::dict templates;
    templates["faithfulness"] = "judge_with_question_simplified";
    templates["context_relevance"] = "judge_context_relevance_ares";
    templates["answer_correctness"] = "judge_loose_match_no_context";
    templates["answer_relevance"] = "judge_answer_relevance";
    tessary::set_global("METRIC_TO_TEMPLATE", templates);
}

nb::object make_engine_factory() {
    nb::object factory = tessary::make_function(
        tessary::declared<create_inference_engine_impl>({.name = "_create_inference_engine_impl",
                                                         .doc = "TTL-cached factory for inference engines.",
                                                         .qualname = "TabulonProvider._create_inference_engine_impl"}));
    nb::object decorator = global<"cached">()(nb::arg("cache") = global<"_inference_engine_cache">(),
                                              nb::arg("lock") = global<"_inference_engine_cache_lock">());
    return tessary::steal_or_throw(PyStaticMethod_New(decorator(factory).ptr()));
}

void define_provider() {
    nb::dict clip_methods;
    clip_methods["context_relevance"] = text_set({"sentence_bert_bge", "sentence_bert_mini_lm"});
    clip_methods["faithfulness"] = text_set({"sentence_bert_mini_lm"});
    clip_methods["answer_correctness"] = text_set({"sentence_bert_mini_lm"});

    tessary::ClassBuilder("TabulonProvider")
        .field("CLIP_METRIC_METHODS", nb::str("ClassVar[dict[str, set[str]]]"), clip_methods)
        .field("METRIC_METHODS_WITH_LOCKS", nb::str("ClassVar[set[str]]"),
               text_set({"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}))
        .attr("_lock", global<"Lock">()())
        .method<init>({.name = "__init__", .returns = "None"})
        .attr("_create_inference_engine_impl", make_engine_factory())
        .method<get_ai_evaluator_inference_engine>({.name = "__get_ai_evaluator_inference_engine"})
        .method<generate_tabulon_metric>({.name = "__generate_tabulon_metric"})
        .method<get_llmaj_template>({.name = "__get_llmaj_template"})
        .method<get_llmaj_format>({.name = "__get_llmaj_format", .returns = "Format | None"})
        .method<get_llmaj_metric>({.name = "__get_llmaj_metric"})
        .method<evaluate>({.name = "evaluate", .returns = "AggregateMetricResult"})
        .method<evaluate_async>({.name = "evaluate_async", .returns = "AggregateMetricResult", .coroutine = true})
        .method<pre_process_data>(
            {.name = "__pre_process_data",
             .doc = "Goes over the dataframe and update the column names to match what is expected by tabulon"})
        .method<compute_metric>({.name = "__compute_metric"})
        .method<post_process>({.name = "__post_process", .returns = "AggregateMetricResult"})
        .build();
}

constexpr const char *kPatchDoc =
    "Cap oversized tokenizer lengths in bert_score, once per process.\n\n"
    "From transformers 5.0.0 on, a tokenizer's model_max_length defaults to a very large number, and the fast "
    "tokenizers of transformers then fail with an overflow error when bert_score asks for truncation. The "
    "tokenizer factory of bert_score.utils (and bert_score.scorer) is replaced by one that caps a "
    "model_max_length above 100000 at 512. Does nothing when bert_score is not installed.";

}  // namespace

TESSARY_MODULE(loomwright, m) {
    tessary::init_coroutines();
    bind_imports();
    bind_tabulon_names();
    global<"set_verbosity">()("warning");
    tessary::def<patch_bertscore_overflow>(m, {.name = "patch_bertscore_overflow", .returns = "None", .doc = kPatchDoc});
    tessary::set_global("_inference_engine_cache",
                        global<"TTLCache">()(nb::arg("maxsize") = 128, nb::arg("ttl") = 3600));
    tessary::set_global("_inference_engine_cache_lock", global<"Lock">()());
    define_column_mapping();
    define_metric_to_template();
    define_provider();
}
