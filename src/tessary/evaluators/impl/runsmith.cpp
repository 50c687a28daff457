// tessary.evaluators.impl.runsmith: runs a list of metrics over a record table, blocking or awaitable,
// after preparing the records (identifiers, timestamp) and ordering the metrics by their dependencies.
#include <tessary/calls.hpp>
#include <tessary/coroutine.hpp>
#include <tessary/module.hpp>
#include <tessary/params.hpp>
#include <tessary/uuid.hpp>
#include <tessary/with.hpp>

namespace nb = nanobind;
using tessary::ArgsOf;
using tessary::global;
using tessary::param;
using tessary::truthy;

namespace {

// ---------------------------------------------------------------------------------------------
// Record preparation and metric ordering

/// The names of the metrics now in `work`, in order.
nb::list metric_names(nb::handle work) {
    nb::list names;
    for (nb::handle metric : work) {
        nb::object name = metric.attr("name");  // an accessor handed to append would abort on a missing attribute
        names.append(name);
    }
    return names;
}

constexpr auto kResolveParams = tessary::params(
    param<"metrics">("list[GenAIMetric]").defaults_to(tessary::defaults::empty_list).exactly(&PyList_Type),
    param<"metric_groups">("list[MetricGroup]").defaults_to(tessary::defaults::empty_list).exactly(&PyList_Type));

nb::object resolve_metric_dependencies(ArgsOf<kResolveParams> args) {
    nb::handle metrics = args.get<"metrics">(), metric_groups = args.get<"metric_groups">();
    nb::list work = nb::borrow<nb::list>(tessary::steal_or_throw(PyList_GetSlice(metrics.ptr(), 0, PY_SSIZE_T_MAX)));
    // Python's list iterator, not raw item pointers: the caller's lists may change while metric code runs.
    for (nb::handle metric : metrics) {
        for (nb::handle dependency : metric.attr("metric_dependencies")) {
            nb::list names = metric_names(work);
            if (tessary::contains(names, dependency.attr("name"))) continue;
            if (PyList_Insert(work.ptr(), 0, dependency.ptr()) < 0) tessary::throw_pending();
        }
    }
    for (nb::handle group : metric_groups) {
        for (nb::handle metric : group.attr("get_metrics")()) {
            nb::list names = metric_names(work);
            if (tessary::contains(names, metric.attr("name"))) continue;
            work.append(metric);
        }
    }
    return work;
}

constexpr const char *kConfigurationAnnotation = "GenAIConfiguration | AgenticAIConfiguration";

/// The private steps' parameters: (configuration, data).
constexpr auto kTableStepParams =
    tessary::params(param<"configuration">(kConfigurationAnnotation), param<"data">("pd.DataFrame"));

nb::object validate_data(ArgsOf<kTableStepParams> args) {
    if (truthy(args.get<"data">().attr("empty")))
        tessary::raise_error(PyExc_ValueError, "The provided data is empty for metrics computation.");
    return nb::none();
}

/// True when the table lacks the column or holds only nulls in it.
bool needs_filling(nb::handle data, nb::handle column) {
    nb::object columns = data.attr("columns").attr("tolist")();
    if (!tessary::contains(columns, column)) return true;
    return truthy(data[column].attr("isnull")().attr("all")());
}

/// Fills the identifiers missing from some records only, one new UUID text per such record.
void fill_missing_ids(nb::handle data, nb::handle id_column) {
    nb::object missing = data[id_column].attr("isnull")();
    nb::object count = missing.attr("sum")();
    Py_ssize_t filled = PyNumber_AsSsize_t(count.ptr(), PyExc_OverflowError);
    if (filled == -1 && PyErr_Occurred()) tessary::throw_pending();
    if (filled <= 0) return;
    // An object column takes the texts next to the identifiers already there, whatever their type.
    data[id_column] = data[id_column].attr("astype")("object");
    nb::object location = data.attr("loc");
    nb::object key = nb::make_tuple(missing, id_column);
    if (PyObject_SetItem(location.ptr(), key.ptr(), tessary::uuid4_texts(filled).ptr()) < 0) tessary::throw_pending();
}

/// Warns once when records share an identifier: their results cannot be told apart.
void warn_duplicate_ids(nb::handle data, nb::handle id_column) {
    nb::object ids = data[id_column];
    nb::object repeated = ids[ids.attr("duplicated")(nb::arg("keep") = false)];
    Py_ssize_t count = nb::len(repeated);
    if (count == 0) return;
    nb::object examples = repeated.attr("drop_duplicates")().attr("head")(5).attr("tolist")();
    nb::object message = tessary::steal_or_throw(PyUnicode_FromFormat(
        "%zd records share a record id in column %R (for example %S): their results cannot be told apart. "
        "Give every record its own id, or drop the column to have ids generated.",
        count, id_column.ptr(), examples.ptr()));
    const char *text = PyUnicode_AsUTF8(message.ptr());
    if (!text || PyErr_WarnEx(PyExc_UserWarning, text, 2) < 0) tessary::throw_pending();
}

nb::object populate_record_id_timestamp(ArgsOf<kTableStepParams> args) {
    nb::handle configuration = args.get<"configuration">(), data = args.get<"data">();
    nb::object id_column = configuration.attr("record_id_field");
    if (needs_filling(data, id_column)) {
        Py_ssize_t rows = nb::len(data);
        data[id_column] = tessary::uuid4_texts(rows);
    } else {
        fill_missing_ids(data, id_column);
        warn_duplicate_ids(data, id_column);
    }
    nb::object timestamp_column = configuration.attr("record_timestamp_field");
    if (needs_filling(data, timestamp_column)) data[timestamp_column] = global<"datetime">().attr("now")().attr("isoformat")();
    return nb::none();
}

// ---------------------------------------------------------------------------------------------
// Shared steps of both entry points

/// Both entry points take these; each function made from it gets its own default list.
constexpr auto kEntryPointParams = tessary::params(
    param<"configuration">(kConfigurationAnnotation), param<"data">("pd.DataFrame | dict | list[dict]"),
    param<"metrics">("list[GenAIMetric]").exactly(&PyList_Type),
    param<"api_client">("APIClient").defaults_to(tessary::defaults::none),
    param<"metric_groups">("list[MetricGroup]").defaults_to(tessary::defaults::empty_list).exactly(&PyList_Type),
    tessary::var_keywords<"kwargs">());
using EntryPointArgs = ArgsOf<kEntryPointParams>;

constexpr const char *kHostedEnvironments[] = {"QZO", "QZAI", "QZGOV"};

bool in_hosted_environment() {
    nb::object server = global<"os">().attr("environ").attr("get")("LUMERIS_SERVER");
    if (server.is_none()) return false;
    for (const char *environment : kHostedEnvironments)
        if (server.equal(nb::str(environment))) return true;
    return false;
}

/// The caller's client, or outside the hosted environments the process-wide default client.
nb::object choose_api_client(nb::handle api_client) {
    if (in_hosted_environment() || truthy(api_client)) return nb::borrow(api_client);
    nb::object cached = global<"api_client_cache">();
    if (!truthy(cached)) {
        cached = global<"APIClient">()();
        tessary::set_global("api_client_cache", cached);
    }
    return cached;
}

/// A dict becomes a one-row table, a list a table of its rows; a table is used as it is.
nb::object normalise_data(nb::handle data) {
    nb::object table = nb::borrow(data);
    if (PyDict_Check(table.ptr())) {
        nb::list rows;
        rows.append(table);
        table = global<"pd">().attr("DataFrame")(rows);
    }
    if (PyList_Check(table.ptr())) table = global<"pd">().attr("DataFrame")(table);
    return table;
}

/// Steps shared by both entry points: client, table, record preparation and the work list.
struct Prepared {
    nb::object api_client, data, work;
};

Prepared prepare(nb::handle configuration, nb::handle data, nb::handle metrics, nb::handle api_client,
                 nb::handle metric_groups) {
    Prepared prepared;
    prepared.api_client = choose_api_client(api_client);
    prepared.data = normalise_data(data);
    tessary::call_keywords<"configuration", "data">(global<"__validate_data">(), {configuration, prepared.data});
    tessary::call_keywords<"configuration", "data">(global<"__populate_record_id_timestamp">(),
                                                    {configuration, prepared.data});
    prepared.work = tessary::call_keywords<"metrics", "metric_groups">(global<"_resolve_metric_dependencies">(),
                                                                       {metrics, metric_groups});
    return prepared;
}

nb::dict telemetry_event(nb::handle metric) {
    nb::dict event;
    event["objectType"] = "Metric Evaluation";
    nb::object name = metric.attr("name");
    event["custom.metric_name"] = name;
    return event;
}

nb::object evaluation_result(nb::handle results) {
    nb::list kept;
    for (nb::handle result : results)
        if (!result.is_none()) kept.append(result);
    return global<"MetricsEvaluationResult">()(nb::arg("metrics_result") = kept);
}

// ---------------------------------------------------------------------------------------------
// Blocking entry point

/// True when `astype` to text would leave every output column as it is: a plain table with unique
/// one-level column labels, each output field among them and already of the text dtype.
bool outputs_already_text(nb::handle data, nb::handle output_fields) {
    nb::object pd = global<"pd">();
    if (!data.type().is(pd.attr("DataFrame"))) return false;
    nb::object columns = data.attr("columns");
    if (!columns.attr("nlevels").equal(nb::int_(1)) || !truthy(columns.attr("is_unique"))) return false;
    nb::handle text_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::object text_dtype = pd.attr("api").attr("types").attr("pandas_dtype")(text_type);
    nb::object labels = columns.attr("tolist")();
    nb::object dtypes = data.attr("dtypes").attr("tolist")();
    Py_ssize_t count = nb::len(labels);
    if (nb::len(dtypes) != count) return false;
    nb::dict dtype_of;
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object label = labels[i], dtype = dtypes[i];
        if (PyDict_SetItem(dtype_of.ptr(), label.ptr(), dtype.ptr()) < 0) tessary::throw_pending();
    }
    for (nb::handle field : output_fields) {
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(dtype_of.ptr(), field.ptr(), &found) < 0) tessary::throw_pending();
        if (!found) return false;
        nb::object dtype = nb::steal(found);
        if (!dtype.equal(text_dtype)) return false;
    }
    return true;
}

/// Output columns as text for the metrics (a converted copy; the caller's table keeps its types).
/// When nothing needs converting, the copy is the shallow one the conversion would amount to.
nb::object outputs_as_text(nb::handle configuration, nb::object data) {
    nb::object output_fields = configuration.attr("output_fields");
    if (!truthy(output_fields)) return data;
    nb::dict types;
    nb::handle text_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    for (nb::handle field : output_fields) types[field] = text_type;
    if (outputs_already_text(data, types)) {
        nb::object copy = data.attr("copy")(nb::arg("deep") = false);
        copy.attr("columns") = data.attr("columns");  // the conversion keeps the very labels object
        return copy;
    }
    return data.attr("astype")(types);
}

nb::object evaluate_metrics(EntryPointArgs args) {
    nb::handle configuration = args.get<"configuration">();
    nb::dict extra = args.kwargs();
    Prepared prepared = prepare(configuration, args.get<"data">(), args.get<"metrics">(), args.get<"api_client">(),
                                args.get<"metric_groups">());
    nb::list results;
    nb::object manager = global<"SegmentBatchManager">()();
    nb::object data = outputs_as_text(configuration, prepared.data);
    nb::object track_duration = global<"track_duration">();
    nb::object run_in_event_loop = global<"run_in_event_loop">();
    for (nb::handle metric : prepared.work) {
        nb::object name = metric.attr("name");
        nb::object label = nb::str("Metric Evaluation - ") + tessary::formatted(name);
        tessary::run_with(track_duration(label), [&] {
            nb::object result;
            bool needs_results = truthy(metric.attr("metric_dependencies"));
            nb::object evaluate = metric.attr("evaluate");
            if (needs_results)
                result = tessary::call_keywords<"data", "configuration", "metrics_result", "api_client">(
                    evaluate, {data, configuration, results, prepared.api_client}, extra);
            else
                result = tessary::call_keywords<"data", "configuration", "api_client">(
                    evaluate, {data, configuration, prepared.api_client}, extra);
            results.append(result);
        });
        nb::object track_event = manager.attr("track_event");
        run_in_event_loop(track_event, telemetry_event(metric));
    }
    return evaluation_result(results);
}

// ---------------------------------------------------------------------------------------------
// Awaitable entry point

nb::object start_metric(nb::handle metric, const Prepared &prepared, nb::handle configuration, nb::handle results,
                        nb::handle extra) {
    nb::object evaluate_async = metric.attr("evaluate_async");
    return tessary::call_keywords<"data", "configuration", "metrics_result", "api_client">(
        evaluate_async, {prepared.data, configuration, results, prepared.api_client}, extra);
}

tessary::Task evaluate_metrics_async_body(nb::object configuration, nb::object data, nb::object metrics,
                                          nb::object api_client, nb::object metric_groups, nb::dict extra) {
    Prepared prepared = prepare(configuration, data, metrics, api_client, metric_groups);
    nb::list results, pending, with_dependencies;
    nb::dict pending_by_name;
    nb::object manager = global<"SegmentBatchManager">()();

    // Phase 1: create the awaitables of independent metrics; none runs yet.
    for (nb::handle metric : prepared.work) {
        if (truthy(metric.attr("metric_dependencies"))) {
            with_dependencies.append(metric);
            continue;
        }
        pending.append(start_metric(metric, prepared, configuration, results, extra));
        nb::object track_event = manager.attr("track_event");
        nb::object tracking = track_event(telemetry_event(metric));
        co_await tessary::awaitable(tracking);
        nb::object name = metric.attr("name");
        pending_by_name[name] = pending[nb::len(pending) - 1];
    }

    // Phase 2: each dependency still pending runs alone, before the metric that needs it is created.
    manager = global<"SegmentBatchManager">()();
    for (nb::handle metric : with_dependencies) {
        for (nb::handle dependency : metric.attr("metric_dependencies")) {
            nb::object name = dependency.attr("name");
            if (!pending_by_name.contains(name)) continue;
            nb::object awaited = pending_by_name[name];
            nb::object outcome = co_await tessary::awaitable(awaited);
            results.append(outcome);
            PyDict_DelItem(pending_by_name.ptr(), name.ptr());
            pending.attr("remove")(awaited);
        }
        pending.append(start_metric(metric, prepared, configuration, results, extra));
        nb::object track_event = manager.attr("track_event");
        nb::object tracking = track_event(telemetry_event(metric));
        co_await tessary::awaitable(tracking);
    }

    // The rest runs as one bounded batch.
    nb::object max_concurrency = extra.attr("get")("max_concurrency", 10);
    nb::object gathering =
        global<"gather_with_concurrency">()(nb::arg("coros") = pending, nb::arg("max_concurrency") = max_concurrency);
    nb::object batch = co_await tessary::awaitable(gathering);
    results.attr("extend")(batch);
    co_return evaluation_result(results);
}

nb::object evaluate_metrics_async(EntryPointArgs args) {
    return tessary::make_coroutine(
        evaluate_metrics_async_body(args.owned<"configuration">(), args.owned<"data">(), args.owned<"metrics">(),
                                    args.owned<"api_client">(), args.owned<"metric_groups">(), args.kwargs()),
        "_evaluate_metrics_async");
}

// ---------------------------------------------------------------------------------------------
// Module init

void bind_imports() {
    tessary::import_module("os");
    tessary::import_module("uuid");
    tessary::import_from("datetime", {{"datetime"}});
    tessary::import_module("pandas", "pd");
    tessary::import_from("tessary.clients.api_client", {{"APIClient"}});
    tessary::import_from("tessary.config", {{"AgenticAIConfiguration"}, {"GenAIConfiguration"}});
    tessary::import_from("tessary.entities.enums", {{"MetricGroup"}});
    tessary::import_from("tessary.entities.evaluation_result", {{"MetricsEvaluationResult"}});
    tessary::import_from("tessary.entities.metric", {{"GenAIMetric"}});
    tessary::import_from("tessary.utils.async_util", {{"gather_with_concurrency"}, {"run_in_event_loop"}});
    tessary::import_from("tessary.utils.segment_batch_manager", {{"SegmentBatchManager"}});
    tessary::import_from("tessary.utils.python_utils", {{"track_duration"}});
}

void define_functions(nb::module_ m) {
    tessary::def<resolve_metric_dependencies>(m, {.name = "_resolve_metric_dependencies", .returns = "list[GenAIMetric]"});
    tessary::def<validate_data>(m, {.name = "__validate_data"});
    tessary::def<populate_record_id_timestamp>(m, {.name = "__populate_record_id_timestamp"});
    tessary::def<evaluate_metrics>(m, {.name = "_evaluate_metrics", .returns = "MetricsEvaluationResult"});
    tessary::def<evaluate_metrics_async>(
        m, {.name = "_evaluate_metrics_async", .returns = "MetricsEvaluationResult", .coroutine = true});
}

}  // namespace

TESSARY_MODULE(runsmith, m) {
    tessary::init_coroutines();
    bind_imports();
    m.attr("api_client_cache") = nb::none();
    define_functions(m);
}
