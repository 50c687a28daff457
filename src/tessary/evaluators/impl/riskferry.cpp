// tessary.evaluators.impl.riskferry: risk evaluation of one foundation model through the risk plug-in,
// from the credential mapping the plug-in reads to the ModelRiskResult of risks, benchmarks and metrics.
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/module.hpp>
#include <tessary/params.hpp>

namespace nb = nanobind;
using tessary::ArgsOf;
using tessary::attr;
using tessary::global;
using tessary::is_instance;
using tessary::param;
using tessary::text_of;
using tessary::truthy;
using tessary::unpack_pair;

namespace {

constexpr const char *kOnPremisesInstanceId = "drydock";
constexpr const char *kUnsupportedModel =
    "The Model ID provided is not supported for your environment. Here is a list of the available models: ";
constexpr const char *kEvaluationFailed = "Error while evaluating FM risks. Reason: ";
constexpr const char *kParseFailed = "Failed to parse model risk result. ";

/// The machine-learning service URL of a governance-service URL: `QTS_HALYARD.get(url).qml_url`
/// (an unknown URL fails reading `qml_url` from None, as the lookup would in Python).
nb::object machine_learning_url(nb::handle governance_url) {
    nb::object record = global<"QTS_HALYARD">().attr("get")(governance_url);
    return attr<"qml_url">(record);
}

// ---------------------------------------------------------------------------------------------
// Credentials for the AI service and the risk plug-in

constexpr auto kGetZaiCredentialsParams = tessary::params(param<"zgov_credentials">());

nb::object get_zai_credentials(ArgsOf<kGetZaiCredentialsParams> args) {
    nb::handle zgov_credentials = args.get<"zgov_credentials">();
    nb::object credentials_class = global<"LumerisAICredentials">();
    nb::object parameters =
        global<"inspect">().attr("signature")(attr<"__init__">(credentials_class)).attr("parameters");
    nb::dict copied;
    for (nb::handle name : parameters) {
        PyObject *value = nullptr;
        int found = PyObject_GetOptionalAttr(zgov_credentials.ptr(), name.ptr(), &value);
        if (found < 0) tessary::throw_pending();
        if (!found) continue;
        nb::object owned = nb::steal(value);
        copied[name] = owned;
    }
    if (!truthy(attr<"version">(zgov_credentials)))
        copied["url"] = machine_learning_url(attr<"url">(zgov_credentials));
    else
        copied["instance_id"] = kOnPremisesInstanceId;
    nb::tuple no_args;
    nb::object credentials =
        tessary::steal_or_throw(PyObject_Call(credentials_class.ptr(), no_args.ptr(), copied.ptr()));
    return global<"LumerisAIAPIClient">()(credentials);
}

/// The keys of a model hosted by the AI service: project, checked model id, endpoint and key.
void add_hosted_model_keys(nb::dict system_credentials, nb::handle model_details, nb::handle credentials) {
    system_credentials["lumeris_ai_project_id"] = attr<"project_id">(model_details);
    nb::object client = global<"get_zai_credentials">()(credentials);
    global<"check_if_model_id_is_valid">()(attr<"model_id">(model_details), client);
    system_credentials["lumeris_ai_model_id"] = attr<"model_id">(model_details);

    nb::object provider_credentials = attr<"credentials">(attr<"provider">(model_details));
    if (truthy(provider_credentials)) {
        system_credentials["lumeris_ai_endpoint_url"] = attr<"url">(provider_credentials);
        if (truthy(attr<"version">(provider_credentials))) {
            system_credentials["lumeris_ai_opd_username"] = attr<"username">(provider_credentials);
            system_credentials["lumeris_ai_opd_apikey"] = attr<"api_key">(provider_credentials);
        } else {
            system_credentials["lumeris_ai_cloud_apikey"] = attr<"api_key">(provider_credentials);
        }
        return;
    }
    if (truthy(attr<"version">(credentials))) {
        system_credentials["lumeris_ai_endpoint_url"] = attr<"url">(credentials);
        system_credentials["lumeris_ai_opd_username"] = attr<"username">(credentials);
        system_credentials["lumeris_ai_opd_apikey"] = attr<"api_key">(credentials);
    } else {
        system_credentials["lumeris_ai_cloud_apikey"] = attr<"api_key">(credentials);
        system_credentials["lumeris_ai_endpoint_url"] = machine_learning_url(attr<"url">(credentials));
    }
}

/// The op keys (the settings of the governance console's judge model), with the platform extras.
void add_op_keys(nb::dict system_credentials, nb::handle op_settings) {
    system_credentials["op_url"] = attr<"url">(attr<"credentials">(op_settings));
    system_credentials["op_username"] = attr<"username">(attr<"credentials">(op_settings));
    system_credentials["op_password"] = attr<"password">(attr<"credentials">(op_settings));
    system_credentials["op_model_id"] = attr<"model_id">(op_settings);
    system_credentials["op_apikey"] = attr<"api_key">(attr<"credentials">(op_settings));

    nb::object op_url = system_credentials["op_url"];
    nb::str marker("opd");
    int on_platform = PySequence_Contains(op_url.ptr(), marker.ptr());
    if (on_platform < 0) tessary::throw_pending();
    if (!on_platform) return;
    system_credentials["op_opd_apikey"] = attr<"api_key">(attr<"credentials">(op_settings));
    nb::object url = attr<"url">(attr<"credentials">(op_settings));
    system_credentials["op_opd_host"] = attr<"netloc">(global<"urlsplit">()(url));
}

constexpr auto kBuildSystemCredentialsParams = tessary::params(param<"configuration">(), param<"credentials">());

nb::object build_system_credentials(ArgsOf<kBuildSystemCredentialsParams> args) {
    nb::handle configuration = args.get<"configuration">(), credentials = args.get<"credentials">();
    nb::dict system_credentials;
    nb::object scoring_function = nb::none();

    nb::object model_details = attr<"model_details">(configuration);
    if (is_instance(model_details, global<"QzAIFoundationModel">()))
        add_hosted_model_keys(system_credentials, model_details, credentials);
    else if (is_instance(model_details, global<"CustomFoundationModel">()))
        scoring_function = attr<"_scoring_fn">(model_details);

    nb::object op_settings = attr<"qz_gc_configuration">(configuration);
    if (truthy(op_settings)) add_op_keys(system_credentials, op_settings);
    return nb::make_tuple(system_credentials, scoring_function);
}

// ---------------------------------------------------------------------------------------------
// Model check and the risk run

constexpr auto kCheckModelParams = tessary::params(param<"model_id">(), param<"qzai_client">());

nb::object check_if_model_id_is_valid(ArgsOf<kCheckModelParams> args) {
    nb::handle model_id = args.get<"model_id">(), qzai_client = args.get<"qzai_client">();
    nb::object manager = global<"FoundationModelsManager">()(qzai_client);
    if (truthy(attr<"get_model_specs">(manager)(nb::arg("model_id") = model_id))) return nb::none();

    nb::object all_specs = attr<"get_model_specs">(manager)(nb::arg("get_all") = true);
    nb::list available;
    for (nb::handle model_spec : all_specs["resources"]) available.append(model_spec["model_id"]);
    nb::object message = nb::str(kUnsupportedModel) + text_of(available);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    tessary::throw_pending();
}

/// `ModelRiskResult.risks` filled from the plug-in's {risk: {benchmark: {metric: value}}}, in its order.
void add_risks(nb::handle model_risk_result, nb::handle plugin_result) {
    nb::object risk_class = global<"Risk">(), benchmark_class = global<"Benchmark">(),
               metric_class = global<"RiskMetric">();
    for (nb::handle risk_item : attr<"items">(plugin_result)()) {
        auto [risk_name, cards] = unpack_pair(risk_item);
        nb::list benchmarks;
        for (nb::handle card_item : attr<"items">(cards)()) {
            auto [benchmark_name, metric_scores] = unpack_pair(card_item);
            nb::list metrics;
            for (nb::handle metric_item : attr<"items">(metric_scores)()) {
                auto [metric_name, value] = unpack_pair(metric_item);
                metrics.append(metric_class(nb::arg("name") = metric_name, nb::arg("value") = value));
            }
            benchmarks.append(benchmark_class(nb::arg("name") = benchmark_name, nb::arg("metrics") = metrics));
        }
        nb::object risk = risk_class(nb::arg("name") = risk_name, nb::arg("benchmarks") = benchmarks);
        attr<"risks">(model_risk_result).attr("append")(risk);
    }
}

constexpr auto kEvaluateModelRiskParams =
    tessary::params(param<"configuration">("ModelRiskConfiguration"),
                    param<"api_client">("APIClient | None").defaults_to(tessary::defaults::none));

nb::object evaluate_model_risk(ArgsOf<kEvaluateModelRiskParams> args) {
    nb::handle configuration = args.get<"configuration">();
    nb::object api_client = args.owned<"api_client">();
    if (!truthy(api_client)) api_client = global<"APIClient">()();

    nb::object built = global<"build_system_credentials">()(configuration, attr<"credentials">(api_client));
    auto [system_credentials, scoring_function] = unpack_pair(built);

    nb::object model_name = attr<"model_name">(attr<"model_details">(configuration));
    nb::object risk_dimensions = attr<"risk_dimensions">(configuration);
    nb::object max_sample_size = attr<"max_sample_size">(configuration);
    nb::object plugin =
        tessary::call_keywords<"system_credentials", "foundation_model_name", "risk_dimensions", "scoring_function",
                               "max_sample_size">(global<"EvaluateFMRisk">(), {system_credentials, model_name,
                                                                               risk_dimensions, scoring_function,
                                                                               max_sample_size});

    nb::object result, report_path;
    nb::object failure = tessary::catch_general([&] {
        result = attr<"evaluate_fm_risks">(plugin)();
        global<"print">()(result);
        report_path = nb::none();
        nb::object output_path = attr<"pdf_report_output_path">(configuration);
        if (truthy(output_path))
            report_path = attr<"get_pdf_report">(plugin)(result, output_path, attr<"thresholds">(configuration));
    });
    if (failure.is_valid()) tessary::raise_wrapped(kEvaluationFailed, failure);

    nb::object output_file_path = truthy(report_path) ? nb::object(text_of(report_path)) : nb::none();
    nb::object model_risk_result =
        global<"ModelRiskResult">()(nb::arg("risks") = nb::list(), nb::arg("output_file_path") = output_file_path);

    failure = tessary::catch_general([&] { add_risks(model_risk_result, result); });
    if (failure.is_valid()) tessary::raise_wrapped(kParseFailed, failure, {.type = PyExc_ValueError});
    return model_risk_result;
}

// ---------------------------------------------------------------------------------------------
// Module init

void bind_imports() {
    tessary::import_module("inspect");
    tessary::import_from("urllib.parse", {{"urlsplit"}});
    tessary::import_from("orvane_metrics_plugin.mra.evaluate_fm_risk", {{"EvaluateFMRisk"}});
    tessary::import_from("orvane_lumeris_ai.client", {{"APIClient", "LumerisAIAPIClient"}});
    tessary::import_from("orvane_lumeris_ai.credentials", {{"Credentials", "LumerisAICredentials"}});
    tessary::import_from("orvane_lumeris_ai.foundation_models_manager", {{"FoundationModelsManager"}});
    tessary::import_from("tessary.clients.api_client", {{"APIClient"}});
    tessary::import_from("tessary.config.model_risk_configuration", {{"ModelRiskConfiguration"}});
    tessary::import_from("tessary.entities.foundation_model", {{"CustomFoundationModel"}, {"QzAIFoundationModel"}});
    tessary::import_from("tessary.entities.model_risk_result",
                         {{"Benchmark"}, {"ModelRiskResult"}, {"Risk"}, {"RiskMetric"}});
    tessary::import_from("tessary.utils.halyard", {{"QTS_HALYARD"}});
}

void define_functions(nb::module_ m) {
    tessary::def<get_zai_credentials>(
        m, {.name = "get_zai_credentials", .doc = "A Lumeris AI client built from the package credentials."});
    tessary::def<build_system_credentials>(
        m, {.name = "build_system_credentials",
            .doc = "The risk plug-in's system credentials and the custom model's scoring function."});
    tessary::def<check_if_model_id_is_valid>(
        m, {.name = "check_if_model_id_is_valid",
            .doc = "Raises ValueError, listing the available models, when the AI service lacks the model."});
    tessary::def<evaluate_model_risk>(m, {.name = "_evaluate_model_risk",
                                          .returns = "ModelRiskResult",
                                          .doc = "Runs the risk plug-in on the configured model and converts its result."});
}

}  // namespace

TESSARY_MODULE(riskferry, m) {
    bind_imports();
    define_functions(m);
}
