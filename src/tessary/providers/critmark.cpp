// tessary.providers.critmark: custom criteria metrics judged through verdicta, with the judge's
// inference engine chosen by the judge model's kind, and optional token counts per record.
#include <tessary/coroutine.hpp>
#include <tessary/module.hpp>
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/klass.hpp>
#include <tessary/params.hpp>
#include <tessary/provider.hpp>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nb = nanobind;
using tessary::ArgsOf;
using tessary::param;
using tessary::defaults::none;
using tessary::attr;
using tessary::global;

using tessary::truthy;
using tessary::is_instance;

namespace {

constexpr const char *kVariablesPattern = R"(\{([a-zA-Z_][a-zA-Z0-9_]*)\})";
constexpr long kSeed = 36;

// ---------------------------------------------------------------------------------------------
// Small helpers over the C API

void set_item(nb::handle dict, const char *key, nb::handle value) {
    if (PyDict_SetItemString(dict.ptr(), key, value.ptr()) < 0) tessary::throw_pending();
}

/// `obj.name = value` through the generic attribute protocol (instance __dict__).
void set_attr(nb::handle object, const char *name, nb::handle value) {
    if (PyObject_SetAttrString(object.ptr(), name, value.ptr()) < 0) tessary::throw_pending();
}

/// A fresh one-entry dict {key: value}.
nb::dict single(const char *key, nb::handle value) {
    nb::dict dict;
    set_item(dict, key, value);
    return dict;
}

/// `len(x)` as a C++ size.
Py_ssize_t length(nb::handle sequence) {
    Py_ssize_t size = PyObject_Length(sequence.ptr());
    if (size < 0) tessary::throw_pending();
    return size;
}

/// `list(x)`: always a new list of our own, so Python code run while we read it (properties,
/// __hash__, validators) cannot change its size or free its items.
nb::list as_list(nb::handle sequence) { return tessary::snapshot(sequence); }

// ---------------------------------------------------------------------------------------------
// Construction

constexpr auto kInitParams = tessary::params(
    param<"self">(), param<"metric_name">("str").exactly(&PyUnicode_Type),
    param<"display_name">("str").exactly(&PyUnicode_Type), param<"value_type">("str").exactly(&PyUnicode_Type),
    param<"llm_judge">("LLMJudge"), param<"options">("list[Option]").exactly(&PyList_Type),
    param<"criteria_description">("str | None").defaults_to(none).exactly(&PyUnicode_Type),
    param<"prompt_template">("str | None").defaults_to(none).exactly(&PyUnicode_Type),
    param<"context_fields">("list[str]").defaults_to(tessary::defaults::empty_list).exactly(&PyList_Type),
    param<"prediction_field">("str | None").defaults_to(none).exactly(&PyUnicode_Type),
    param<"metric_group">("MetricGroup").defaults_to(none),
    param<"metric_method">("str | None").defaults_to(none).exactly(&PyUnicode_Type),
    param<"thresholds">("list[MetricThreshold]").defaults_to(tessary::defaults::empty_list).exactly(&PyList_Type),
    tessary::var_keywords<"kwargs">());

/// Stores the parameters on the instance, in this order, then the record fields and the token switch.
nb::object provider_init(ArgsOf<kInitParams> args) {
    nb::handle self = args.get<"self">();
    set_attr(self, "metric_name", args.get<"metric_name">());
    set_attr(self, "display_name", args.get<"display_name">());
    set_attr(self, "value_type", args.get<"value_type">());
    set_attr(self, "llm_judge", args.get<"llm_judge">());
    set_attr(self, "criteria_description", args.get<"criteria_description">());
    set_attr(self, "prompt_template", args.get<"prompt_template">());
    set_attr(self, "options", args.get<"options">());
    set_attr(self, "context_fields", args.get<"context_fields">());
    set_attr(self, "prediction_field", args.get<"prediction_field">());
    set_attr(self, "metric_group", args.get<"metric_group">());
    set_attr(self, "metric_method", args.get<"metric_method">());
    set_attr(self, "thresholds", args.get<"thresholds">());
    nb::dict kwargs = args.kwargs();
    nb::object get = kwargs.attr("get");
    set_attr(self, "record_id_field", get("record_id_field", "record_id"));
    set_attr(self, "record_timestamp_field", get("record_timestamp_field", "record_timestamp"));
    set_attr(self, "compute_token_count", get("compute_token_count", false));
    return nb::none();
}

// ---------------------------------------------------------------------------------------------
// Inference-engine parameters per judge model kind

constexpr auto kSelfParams = tessary::params(param<"self">());
constexpr auto kDataParams = tessary::params(param<"self">(), param<"data">("pd.DataFrame"));
constexpr auto kInstancesParams = tessary::params(param<"self">(), param<"data">("pd.DataFrame"),
                                                  param<"prediction_field">(), param<"context_fields">());
constexpr auto kCriteriaParams =
    tessary::params(param<"self">(), param<"prediction_field">(), param<"context_fields">());
constexpr auto kPostProcessParams =
    tessary::params(param<"self">(), param<"results">(), param<"data">("pd.DataFrame"));
constexpr auto kTemplateParams = tessary::params(param<"template">(), param<"row">());


nb::object dumped_credentials(nb::handle model) {
    // The engine logs in with the secrets, which every other dump masks.
    return attr<"credentials">(attr<"provider">(model)).attr("model_dump")(nb::arg("context") = global<"REVEAL_SECRETS">());
}

nb::object get_inference_engine_params(ArgsOf<kSelfParams> args) {
    nb::handle self = args.get<"self">();
    nb::object model = attr<"model">(attr<"llm_judge">(self));
    nb::dict params;
    set_item(params, "seed", nb::int_(kSeed));
    nb::list policy;
    policy.append("public");
    set_item(params, "data_classification_policy", policy);

    if (is_instance(model, global<"QzAIFoundationModel">())) {
        nb::dict credentials = tessary::provider::service_credentials(model);
        set_item(params, "credentials", credentials);
        set_item(params, "provider", nb::str("lumeris-sdk"));
        set_item(params, "model", attr<"model_id">(model));
        nb::object limit = global<"get_lumeris_concurrency_limit">()();
        set_item(params, "provider_specific_args", single("lumeris-sdk", single("concurrency_limit", limit)));
    } else if (is_instance(model, global<"OpenAIFoundationModel">())) {
        nb::dict provider_args;
        set_item(provider_args, "temperature", nb::int_(0));
        nb::object parameters = nb::getattr(model, "parameters", nb::none());
        if (truthy(parameters) && PyDict_Update(provider_args.ptr(), parameters.ptr()) < 0) tessary::throw_pending();
        nb::object credentials = attr<"credentials">(attr<"provider">(model));
        nb::dict openai_credentials = single("api_key", attr<"api_key">(credentials));
        // The base URL the user gave must be the one called, never the public service instead.
        nb::object url = nb::getattr(credentials, "url", nb::none());
        if (truthy(url)) set_item(openai_credentials, "api_url", url);
        set_item(params, "credentials", openai_credentials);
        set_item(params, "provider", nb::str("open-ai"));
        set_item(params, "model", attr<"model_id">(model));
        set_item(params, "provider_specific_args", single("open-ai", provider_args));
    } else if (is_instance(model, global<"PortKeyGateway">())) {
        set_item(params, "credentials", dumped_credentials(model));
        set_item(params, "model", attr<"model_id">(model));
    } else if (is_instance(model, global<"VertexAIFoundationModel">())) {
        set_item(params, "credentials", dumped_credentials(model));
        set_item(params, "provider", nb::str("vertex-ai"));
        set_item(params, "model", attr<"model_id">(model));
    } else if (is_instance(model, global<"AWSBedrockFoundationModel">())) {
        set_item(params, "credentials", dumped_credentials(model));
        set_item(params, "model", attr<"model_id">(model));
        set_item(params, "provider", nb::str("aws"));
        nb::object parameters = attr<"parameters">(model);
        set_item(params, "provider_specific_args", single("aws", truthy(parameters) ? parameters : nb::object(nb::dict())));
        if (PyDict_DelItemString(params.ptr(), "seed") < 0) tessary::throw_pending();
    } else if (is_instance(model, global<"AzureOpenAIFoundationModel">())) {
        tessary::raise_error(PyExc_Exception, "Azure OpenAI Model provider is not supported.");
    } else {
        tessary::raise_error(PyExc_Exception, "LLM Model provider is not supported.");
    }
    return params;
}

// ---------------------------------------------------------------------------------------------
// Judge, criteria and instances

/// `engine_class(**params, use_cache=use_cache)`, refusing a "use_cache" already in params.
nb::object build_engine(nb::handle engine_class, nb::handle params, nb::handle use_cache) {
    nb::dict keywords;
    if (PyDict_Update(keywords.ptr(), params.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) tessary::throw_pending();
        nb::object missing = nb::steal(PyErr_GetRaisedException());
        int has_keys = PyObject_HasAttrWithError(params.ptr(), tessary::interned<"keys">());
        if (has_keys < 0) tessary::throw_pending();
        if (has_keys) tessary::raise_object(missing);
        tessary::raise_error(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                             tessary::function_description(engine_class).ptr(), Py_TYPE(params.ptr())->tp_name);
    }
    if (keywords.contains("use_cache"))
        tessary::raise_error(PyExc_TypeError, "%U got multiple values for keyword argument 'use_cache'",
                             tessary::function_description(engine_class).ptr());
    set_item(keywords, "use_cache", use_cache);
    nb::tuple no_args;
    return tessary::steal_or_throw(PyObject_Call(engine_class.ptr(), no_args.ptr(), keywords.ptr()));
}

nb::object get_judge(ArgsOf<kSelfParams> args) {
    nb::handle self = args.get<"self">();
    nb::object use_cache = global<"get_tabluon_enable_inference_cache">()();
    nb::object llm_judge = attr<"llm_judge">(self);
    nb::object engine_class;
    if (truthy(llm_judge) && is_instance(attr<"model">(llm_judge), global<"PortKeyGateway">()))
        engine_class = global<"PortKeyInferenceEngine">();
    else if (truthy(llm_judge) && is_instance(attr<"model">(llm_judge), global<"GoogleAIStudioFoundationModel">()))
        engine_class = global<"GoogleStudioInferenceEngine">();
    else
        engine_class = global<"CrossProviderInferenceEngine">();
    nb::object params = self.attr("_VerdictaProvider__get_inference_engine_params")();
    nb::object engine = build_engine(engine_class, params, use_cache);
    return global<"DirectJudge">()(nb::arg("inference_engine") = engine, nb::arg("generate_feedback") = true);
}

/// Drops the braces of `{prediction_field}` and of every identifier placeholder.
nb::object rewrite_placeholders(nb::handle text, nb::handle prediction_field, nb::handle substitute) {
    nb::object replace = attr<"replace">(text);
    nb::object left = nb::str("{"), right = nb::str("}");
    nb::object placeholder = tessary::steal_or_throw(PyNumber_Add(left.ptr(), prediction_field.ptr()));
    placeholder = tessary::steal_or_throw(PyNumber_Add(placeholder.ptr(), right.ptr()));
    nb::object replaced = replace(placeholder, prediction_field);
    return substitute(global<"VARIABLES_PATTERN">(), nb::str("\\1"), replaced);
}

nb::object get_criteria(ArgsOf<kCriteriaParams> args) {
    nb::handle self = args.get<"self">(), prediction_field = args.get<"prediction_field">();
    nb::handle context_fields = args.get<"context_fields">();
    nb::object substitute = attr<"sub">(global<"re">());
    nb::object option_class = global<"VDCriteriaOption">();
    nb::list options;
    for (nb::handle option : attr<"options">(self)) {
        nb::object description = rewrite_placeholders(attr<"description">(option), prediction_field, substitute);
        nb::object name = attr<"name">(option), score = attr<"value">(option);
        options.append(tessary::call_keywords<"name", "description", "score">(option_class, {name, description, score}));
    }
    nb::object description = rewrite_placeholders(attr<"criteria_description">(self), prediction_field, substitute);
    return global<"VDCriteria">()(nb::arg("name") = attr<"metric_name">(self), nb::arg("description") = description,
                                  nb::arg("to_evaluate_field") = prediction_field,
                                  nb::arg("context_fields") = context_fields, nb::arg("options") = options);
}

nb::object get_instances(ArgsOf<kInstancesParams> args) {
    nb::handle data = args.get<"data">(), prediction_field = args.get<"prediction_field">();
    nb::handle context_fields = args.get<"context_fields">();
    nb::list instances;
    nb::object context_table = tessary::steal_or_throw(PyObject_GetItem(data.ptr(), context_fields.ptr()));
    nb::list context_data = as_list(context_table.attr("to_dict")(nb::arg("orient") = "records"));
    nb::object column = tessary::steal_or_throw(PyObject_GetItem(data.ptr(), prediction_field.ptr()));
    nb::list predictions = as_list(column.attr("tolist")());
    nb::object instance_class = global<"Instance">();
    bool with_context = nb::len(context_data) > 0;
    Py_ssize_t count = with_context ? std::min(nb::len(context_data), nb::len(predictions)) : nb::len(predictions);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::dict fields;
        if (PyDict_SetItem(fields.ptr(), prediction_field.ptr(), PyList_GET_ITEM(predictions.ptr(), i)) < 0)
            tessary::throw_pending();
        if (with_context) {
            PyObject *row = PyList_GET_ITEM(context_data.ptr(), i);
            int merged = PyDict_Check(row) ? PyDict_Update(fields.ptr(), row) : PyDict_Merge(fields.ptr(), row, 1);
            if (merged < 0) tessary::throw_pending();
        }
        instances.append(tessary::call_keywords<"fields">(instance_class, {fields}));
    }
    return instances;
}

// ---------------------------------------------------------------------------------------------
// Custom prompts

/// `template.format(**row)` for one row of the table (a row-wise apply calls it per record).
nb::object fill_template(ArgsOf<kTemplateParams> args) {
    nb::handle template_text = args.get<"template">(), row = args.get<"row">();
    nb::dict keywords;
    nb::object keys = tessary::steal_or_throw(PyMapping_Keys(row.ptr()));
    for (nb::handle key : keys) {
        int present = PyDict_Contains(keywords.ptr(), key.ptr());
        if (present < 0) tessary::throw_pending();
        if (present)
            tessary::raise_error(PyExc_TypeError, "str.format() got multiple values for keyword argument '%S'",
                                 key.ptr());
        nb::object value = tessary::steal_or_throw(PyObject_GetItem(row.ptr(), key.ptr()));
        if (PyDict_SetItem(keywords.ptr(), key.ptr(), value.ptr()) < 0) tessary::throw_pending();
    }
    nb::tuple no_args;
    nb::object format = attr<"format">(template_text);
    return tessary::steal_or_throw(PyObject_Call(format.ptr(), no_args.ptr(), keywords.ptr()));
}

nb::object &template_filler() {
    static nb::object *filler = new nb::object();
    return *filler;
}

nb::object custom_prompts(nb::handle self, nb::handle data) {
    nb::object row_function = attr<"partial">(global<"functools">())(template_filler(), attr<"prompt_template">(self));
    return data.attr("apply")(row_function, nb::arg("axis") = 1).attr("to_list")();
}

// ---------------------------------------------------------------------------------------------
// Evaluation

nb::object run_evaluation(nb::handle self, nb::handle data) {
    nb::object judge = self.attr("_VerdictaProvider__get_judge")();
    nb::object results;
    if (truthy(attr<"criteria_description">(self))) {
        nb::object prediction_field = attr<"prediction_field">(self);
        nb::object context_fields = attr<"context_fields">(self);
        nb::object criteria = self.attr("_VerdictaProvider__get_criteria")(prediction_field, context_fields);
        nb::object instances = self.attr("_VerdictaProvider__get_instances")(
            nb::arg("data") = data, nb::arg("prediction_field") = prediction_field,
            nb::arg("context_fields") = context_fields);
        results = judge(nb::arg("instances") = instances, nb::arg("criteria") = criteria);
    } else if (truthy(attr<"prompt_template">(self))) {
        nb::object prompts = custom_prompts(self, data);
        nb::list valid_outputs;
        for (nb::handle option : attr<"options">(self)) valid_outputs.append(attr<"name">(option));
        results = judge.attr("evaluate_with_custom_prompt")(nb::arg("judge_prompts") = prompts,
                                                             nb::arg("valid_outputs") = valid_outputs);
    } else {
        tessary::raise_error(PyExc_ValueError, "the metric has neither a criteria description nor a prompt template");
    }
    return self.attr("_VerdictaProvider__post_process")(nb::arg("results") = results, nb::arg("data") = data);
}

/// "Error while computing metrics: <name>. Reason: <error>", raised from the caught error.
nb::object evaluate(ArgsOf<kDataParams> args) {
    nb::handle self = args.get<"self">(), data = args.get<"data">();
    nb::object caught;
    try {
        return run_evaluation(self, data);
    } catch (...) {
        caught = tessary::caught_exception();
    }
    tessary::reraise_unless_general(caught);
    tessary::raise_wrapped(
        "Error while computing metrics: ", caught, [&] { return nb::str(attr<"metric_name">(self)) + nb::str(". Reason: "); },
        {.chain = tessary::Chain::cause});
}

nb::object evaluate_async(ArgsOf<kDataParams> args) {
    return tessary::make_coroutine(
        tessary::provider::evaluate_in_executor(args.owned<"self">(), args.owned<"data">(),
                                                tessary::provider::EvaluatePassed::as_func_keyword),
        "VerdictaProvider.evaluate_async");
}

// ---------------------------------------------------------------------------------------------
// Post-processing

bool is_ascii_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

/// True when "cl100k_base" tokenises text[0, i) and text[i, end) independently. No alternative of
/// its split pattern matches a newline followed by a non-space, or an ASCII letter or digit
/// followed by a space, and none looks behind; so the split chunks break at such a position
/// whatever surrounds it, and the token counts of the two sides add up to the whole's.
bool is_piece_start(std::string_view text, size_t i) {
    char c = text[i], before = text[i - 1];
    if (c == ' ') return is_ascii_alnum(before);
    return before == '\n' && c > ' ' && c < 0x7f;
}

/// Text attribute `name` of `object` equals `expected` (false when absent).
bool attribute_is(nb::handle object, const char *name, const char *expected) {
    nb::object value = nb::getattr(object, name, nb::none());
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), expected) == 0;
}

/// True for tiktoken's own Encoding with the split pattern that `is_piece_start` relies on, whose
/// `encode` is tiktoken's unreplaced method: only then is counting by pieces unobservable.
bool splits_like_cl100k(nb::handle encoding, nb::handle encode) {
    nb::object encoding_type = attr<"Encoding">(global<"tiktoken">());
    if (encoding.type().ptr() != encoding_type.ptr()) return false;
    if (!PyMethod_Check(encode.ptr()) || PyMethod_GET_SELF(encode.ptr()) != encoding.ptr()) return false;
    nb::handle function = PyMethod_GET_FUNCTION(encode.ptr());
    bool tiktokens_own = attribute_is(function, "__module__", "tiktoken.core") &&
                         attribute_is(function, "__qualname__", "Encoding.encode") &&
                         !nb::hasattr(function, "__wrapped__");
    if (!tiktokens_own) return false;
    nb::object pattern = nb::getattr(encoding, "_pat_str", nb::none());
    nb::object expected = attr<"PATTERN">(attr<"token_counting">(attr<"utils">(global<"tessary">())));
    return pattern.equal(expected);
}

/// Counts tokens with the encoding's `encode` (special-token markers count as plain text).
/// For the real "cl100k_base" encoding the prompts' repeated lines are encoded once per run.
class TokenCounter {
public:
    explicit TokenCounter(nb::handle encoding)
        : encode_(attr<"encode">(encoding)), by_pieces_(splits_like_cl100k(encoding, encode_)) {}

    /// Token count of the text form of `value`, or None for zero tokens.
    nb::object count(nb::handle value) {
        nb::object text = tessary::steal_or_throw(PyObject_Str(value.ptr()));
        Py_ssize_t total = by_pieces_ ? count_by_pieces(text) : encode_length(text);
        if (total == 0) return nb::none();
        return nb::int_(total);
    }

private:
    Py_ssize_t encode_length(nb::handle text) {
        PyObject *values[] = {text.ptr(), no_special_.ptr()};
        nb::object tokens = tessary::steal_or_throw(
            PyObject_Vectorcall(encode_.ptr(), values, 1, tessary::keyword_names<"disallowed_special">()));
        return length(tokens);
    }

    Py_ssize_t count_by_pieces(nb::handle text) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!utf8) {  // lone surrogates: let the encoding judge the whole text
            PyErr_Clear();
            return encode_length(text);
        }
        std::string_view whole(utf8, static_cast<size_t>(size));
        Py_ssize_t total = 0;
        size_t start = 0;
        for (size_t i = 1; i <= whole.size(); ++i) {
            if (i < whole.size() && !is_piece_start(whole, i)) continue;
            total += piece_count(whole.substr(start, i - start));
            start = i;
        }
        return total;
    }

    /// Tokens of one piece, encoded on its first appearance only.
    Py_ssize_t piece_count(std::string_view piece) {
        auto found = cache_.find(piece);
        if (found != cache_.end()) return found->second;
        nb::object piece_text = tessary::steal_or_throw(
            PyUnicode_DecodeUTF8(piece.data(), static_cast<Py_ssize_t>(piece.size()), "strict"));
        Py_ssize_t tokens = encode_length(piece_text);
        const std::string &kept = pieces_.emplace_back(piece);
        cache_.emplace(std::string_view(kept), tokens);
        return tokens;
    }

    nb::object encode_;
    nb::tuple no_special_;
    bool by_pieces_;
    std::deque<std::string> pieces_;                          // owns the cache's keys
    std::unordered_map<std::string_view, Py_ssize_t> cache_;
};

/// `metadata[key]` of a judge answer.
nb::object metadata_item(nb::handle answer, PyObject *key) {
    nb::object metadata = attr<"metadata">(answer);
    return tessary::steal_or_throw(PyObject_GetItem(metadata.ptr(), key));
}

/// The token counter of the run, when the provider counts tokens: the "cl100k_base" encoding is
/// stored on the provider and read back from it, as it is used.
std::optional<TokenCounter> token_counter(nb::handle self) {
    if (!truthy(attr<"compute_token_count">(self))) return std::nullopt;
    nb::object encoding = attr<"get_encoding">(global<"tiktoken">())("cl100k_base");
    set_attr(self, "encoding", encoding);
    return TokenCounter(attr<"encoding">(self));
}

/// Each option's value by its name.
nb::dict option_scores(nb::handle self) {
    nb::dict scores;
    for (nb::handle option : attr<"options">(self)) {
        nb::object name = attr<"name">(option), value = attr<"value">(option);
        if (PyDict_SetItem(scores.ptr(), name.ptr(), value.ptr()) < 0) tessary::throw_pending();
    }
    return scores;
}

/// `data[field].tolist()` for the column named by the provider's attribute `field`.
nb::list column_of(nb::handle data, nb::handle field) {
    nb::object column = tessary::steal_or_throw(PyObject_GetItem(data.ptr(), field.ptr()));
    return as_list(column.attr("tolist")());
}

tessary::provider::RecordBuilder record_builder(nb::handle self) {
    tessary::provider::MetricFields fields{attr<"metric_name">(self),
                                           attr<"display_name">(self),
                                           attr<"metric_method">(self),
                                           attr<"value">(attr<"TABULON">(global<"EvaluationProvider">())),
                                           attr<"metric_group">(self),
                                           attr<"thresholds">(self)};
    return tessary::provider::RecordBuilder(global<"RecordMetricResult">(), std::move(fields));
}

/// {"feedback": feedback or None, "input_tokens": ..., "output_tokens": ...} of one judged record.
nb::dict additional_info(nb::handle feedback, nb::handle input_tokens, nb::handle output_tokens) {
    nb::dict info;
    PyObject *shown_feedback = truthy(feedback) ? feedback.ptr() : Py_None;
    if (PyDict_SetItem(info.ptr(), tessary::interned<"feedback">(), shown_feedback) < 0 ||
        PyDict_SetItem(info.ptr(), tessary::interned<"input_tokens">(), input_tokens.ptr()) < 0 ||
        PyDict_SetItem(info.ptr(), tessary::interned<"output_tokens">(), output_tokens.ptr()) < 0)
        tessary::throw_pending();
    return info;
}

/// One judge answer as a record result: the selected option's value and label, the explanation,
/// the feedback and the token counts.
nb::object judged_record(const tessary::provider::RecordBuilder &records, nb::handle scores,
                         std::optional<TokenCounter> &counter, nb::handle answer, nb::handle record_id,
                         nb::handle timestamp) {
    nb::object input_tokens = nb::none(), output_tokens = nb::none();
    if (counter) {
        input_tokens = counter->count(metadata_item(answer, tessary::interned<"prompt">()));
        output_tokens = counter->count(metadata_item(answer, tessary::interned<"unparsed_response">()));
    }
    nb::object label = attr<"selected_option">(answer);
    PyObject *score = nullptr;
    if (PyDict_GetItemRef(scores.ptr(), label.ptr(), &score) < 0) tessary::throw_pending();
    nb::object value = score ? nb::steal(score) : nb::none();
    nb::object explanation = attr<"explanation">(answer);
    nb::object info = additional_info(attr<"feedback">(answer), input_tokens, output_tokens);
    return records.build<"value", "label", "record_id", "record_timestamp", "explanation", "additional_info">(
        value, label, record_id, timestamp, explanation, info);
}

nb::object post_process(ArgsOf<kPostProcessParams> args) {
    nb::handle self = args.get<"self">(), results = args.get<"results">(), data = args.get<"data">();
    std::optional<TokenCounter> counter = token_counter(self);
    nb::dict scores = option_scores(self);
    nb::list record_ids = column_of(data, attr<"record_id_field">(self));
    nb::list timestamps = column_of(data, attr<"record_timestamp_field">(self));
    nb::list answers = as_list(results);
    tessary::provider::RecordBuilder records_of = record_builder(self);

    Py_ssize_t count = std::min({nb::len(record_ids), nb::len(timestamps), nb::len(answers)});
    nb::list records = nb::borrow<nb::list>(tessary::steal_or_throw(PyList_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object record = judged_record(records_of, scores, counter, PyList_GET_ITEM(answers.ptr(), i),
                                          PyList_GET_ITEM(record_ids.ptr(), i), PyList_GET_ITEM(timestamps.ptr(), i));
        PyList_SET_ITEM(records.ptr(), i, record.release().ptr());
    }
    return attr<"create">(global<"AggregateMetricResult">())(records);
}

// ---------------------------------------------------------------------------------------------
// Module init

void bind_imports() {
    tessary::import_module("asyncio");
    tessary::import_module("functools");
    tessary::import_module("re");
    tessary::import_module("pandas", "pd");
    tessary::import_module("tiktoken");
    tessary::import_from("lazy_imports", {{"LazyModule"}, {"load"}});
    tessary::import_from("tessary.entities.credentials", {{"REVEAL_SECRETS"}});
    tessary::import_from("tessary.entities.criteria", {{"Option"}});
    tessary::import_from("tessary.entities.enums", {{"EvaluationProvider"}, {"MetricGroup"}});
    tessary::import_from("tessary.entities.evaluation_result", {{"AggregateMetricResult"}, {"RecordMetricResult"}});
    tessary::import_from("tessary.entities.foundation_model",
                         {{"AWSBedrockFoundationModel"}, {"AzureOpenAIFoundationModel"},
                          {"GoogleAIStudioFoundationModel"}, {"OpenAIFoundationModel"}, {"PortKeyGateway"},
                          {"QzAIFoundationModel"}, {"VertexAIFoundationModel"}});
    tessary::import_from("tessary.entities.llm_judge", {{"LLMJudge"}});
    tessary::import_from("tessary.entities.metric_threshold", {{"MetricThreshold"}});
    tessary::import_from("tessary.providers.inference_engines.google_inference_engine",
                         {{"GoogleStudioInferenceEngine"}});
    tessary::import_from("tessary.providers.inference_engines.portkey_inference_engine", {{"PortKeyInferenceEngine"}});
    tessary::import_from("tessary.utils.async_util", {{"start_event_loop_run_func"}});
    tessary::import_from("tessary.utils.environment",
                         {{"get_lumeris_concurrency_limit"}, {"get_tabluon_enable_inference_cache"}});
    // Teaches tiktoken to build "cl100k_base" from the shipped rank file, so counting works offline.
    tessary::import_module("tessary.utils.token_counting");
}

/// The judge libraries' names, resolved through a lazy module registered as "lazy_vd".
void bind_judge_library() {
    nb::object lazy = global<"LazyModule">()(
        "from verdicta.judges import Criteria as VDCriteria", "from verdicta.judges import CriteriaOption as VDCriteriaOption",
        "from verdicta.judges import Instance, DirectJudge", "from tabulon.inference import CrossProviderInferenceEngine",
        nb::arg("name") = "lazy_vd");
    tessary::set_global("vd_imports", lazy);
    global<"load">()(lazy);
    for (const char *name : {"VDCriteria", "VDCriteriaOption", "Instance", "DirectJudge", "CrossProviderInferenceEngine"})
        tessary::set_global(name, lazy.attr(name));
}

void define_provider() {
    tessary::ClassBuilder("VerdictaProvider", "Invokes the verdicta library to compute LLM-as-judge (LLMAJ) metrics.")
        .method<provider_init>({.name = "__init__"})
        .method<evaluate_async>({.name = "evaluate_async", .returns = "AggregateMetricResult", .coroutine = true})
        .method<evaluate>({.name = "evaluate", .returns = "AggregateMetricResult"})
        .method<get_judge>({.name = "__get_judge"})
        .method<get_instances>({.name = "__get_instances"})
        .method<get_inference_engine_params>({.name = "__get_inference_engine_params"})
        .method<get_criteria>({.name = "__get_criteria"})
        .method<post_process>({.name = "__post_process", .returns = "AggregateMetricResult"})
        .build();
}

}  // namespace

TESSARY_MODULE(critmark, m) {
    tessary::init_coroutines();
    bind_imports();
    bind_judge_library();
    m.attr("VARIABLES_PATTERN") = nb::str(kVariablesPattern);
    template_filler() = tessary::make_function(
        tessary::declared<fill_template>({.name = "<lambda>", .qualname = "VerdictaProvider.evaluate.<locals>.<lambda>"}));
    define_provider();
}
