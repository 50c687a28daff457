"""The evaluation driver: record preparation, metric ordering, both entry points."""
import asyncio
import inspect
import re
import types
from datetime import datetime

import numpy as np
import pandas as pd
import pytest

from tessary.config import GenAIConfiguration
from tessary.entities.evaluation_result import MetricsEvaluationResult
from tessary.evaluators.impl import runsmith

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
validate = getattr(runsmith, "__validate_data")
populate = getattr(runsmith, "__populate_record_id_timestamp")


class Metric:
    """A metric double that records how it was called and what it saw."""

    def __init__(self, name, dependencies=(), result="auto", log=None, delay=0.0):
        self.name = name
        self.metric_dependencies = list(dependencies)
        self.result = f"result-{name}" if result == "auto" else result
        self.log = log if log is not None else []
        self.delay = delay
        self.calls = []

    def evaluate(self, **kwargs):
        self.calls.append(kwargs)
        seen = kwargs.get("metrics_result", [])
        self.log.append(("evaluate", self.name, list(kwargs), list(seen) if isinstance(seen, list) else seen))
        return self.result

    async def _run(self, kwargs):
        self.log.append(("start", self.name, list(kwargs["metrics_result"])))
        await asyncio.sleep(self.delay)
        self.log.append(("end", self.name))
        return self.result

    def evaluate_async(self, **kwargs):
        self.calls.append(kwargs)
        return self._run(kwargs)

    def __repr__(self):
        return self.name


class Group:
    def __init__(self, *metrics):
        self.metrics = metrics

    def get_metrics(self):
        return list(self.metrics)


class Recorder:
    """Stands in for the telemetry manager and records events in order."""

    events = []
    instances = 0

    def __init__(self):
        type(self).instances += 1

    async def track_event(self, event):
        self.events.append(event)


@pytest.fixture
def config():
    return GenAIConfiguration(input_fields=["question"], output_fields=["answer"])


@pytest.fixture
def telemetry(monkeypatch):
    Recorder.events, Recorder.instances = [], 0
    monkeypatch.setattr(runsmith, "SegmentBatchManager", Recorder)
    monkeypatch.setenv("LUMERIS_SERVER", "QZAI")
    return Recorder


def names(metrics):
    return [metric.name for metric in metrics]


# --- metric ordering -------------------------------------------------------------------------

def test_dependencies_go_to_the_front_in_reverse_discovery_order():
    x, y, z = Metric("X"), Metric("Y"), Metric("Z")
    a, b = Metric("A", [x, y]), Metric("B", [z])
    assert names(runsmith._resolve_metric_dependencies(metrics=[a, b])) == ["Z", "Y", "X", "A", "B"]


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda x: [Metric("A", [x]), x], ["A", "X"]),
        (lambda x: [Metric("A", [x]), Metric("B", [x])], ["X", "A", "B"]),
        (lambda x: [Metric("A", [Metric("D", [x])])], ["D", "A"]),
        (lambda x: [x, x], ["X", "X"]),
    ],
)
def test_dependency_edge_cases(build, expected):
    assert names(runsmith._resolve_metric_dependencies(build(Metric("X")))) == expected


def test_group_metrics_are_appended_unless_named_already():
    a = Metric("A")
    groups = [Group(Metric("A"), Metric("G1")), Group(Metric("G2"), Metric("G1"))]
    work = runsmith._resolve_metric_dependencies(metrics=[a], metric_groups=groups)
    assert names(work) == ["A", "G1", "G2"] and work[0] is a


def test_resolution_returns_a_new_list_and_keeps_the_shared_default():
    metrics = [Metric("A")]
    assert runsmith._resolve_metric_dependencies(metrics) is not metrics
    default_metrics, default_groups = runsmith._resolve_metric_dependencies.__defaults__
    assert runsmith._resolve_metric_dependencies() == [] and default_metrics == [] == default_groups
    assert inspect.signature(runsmith._resolve_metric_dependencies).parameters["metric_groups"].default is default_groups


@pytest.mark.parametrize("bad", [None, (), type("L", (list,), {})()])
@pytest.mark.parametrize("parameter", ["metrics", "metric_groups"])
def test_resolution_refuses_anything_but_a_list(parameter, bad):
    with pytest.raises(TypeError) as caught:
        runsmith._resolve_metric_dependencies(**{parameter: bad})
    assert str(caught.value) == (
        f"Argument '{parameter}' has incorrect type (expected list, got {type(bad).__name__})")


class _GrowsMetrics:
    """A metric whose dependency lookup adds metrics to the caller's list (enough to move its storage)."""

    name = "A"

    def __init__(self, target, late):
        self.target, self.late = target, late

    @property
    def metric_dependencies(self):
        self.target.extend([self.late] * 50)
        return []


class _GrowsGroups:
    def __init__(self, target, late):
        self.target, self.late = target, late

    def get_metrics(self):
        self.target.extend([self.late] * 50)
        return [Metric("G1")]


def _growing_metrics():
    metrics = []
    metrics.append(_GrowsMetrics(metrics, Metric("B", [Metric("X")])))
    return {"metrics": metrics}


def _growing_groups():
    groups = []
    groups.append(_GrowsGroups(groups, Group(Metric("G2"))))
    return {"metric_groups": groups}


@pytest.mark.parametrize("build, expected", [(_growing_metrics, ["X", "A"]), (_growing_groups, ["G1", "G2"])])
def test_resolution_follows_caller_lists_that_grow_meanwhile(build, expected):
    assert names(runsmith._resolve_metric_dependencies(**build())) == expected


def test_work_list_names_are_read_before_the_dependency_name():
    class Nameless:
        def __init__(self, dependencies=()):
            self.metric_dependencies = list(dependencies)

    class NamelessDependency(Nameless):
        pass

    with pytest.raises(AttributeError, match="^'Nameless' object has no attribute 'name'$"):
        runsmith._resolve_metric_dependencies([Nameless([NamelessDependency()])])


# --- record preparation ------------------------------------------------------------------------

@pytest.mark.parametrize("table", [pd.DataFrame(), pd.DataFrame(columns=["a", "b"])])
def test_empty_tables_are_refused(config, table):
    with pytest.raises(ValueError, match="^The provided data is empty for metrics computation.$"):
        validate(configuration=config, data=table)


@pytest.mark.parametrize("empty", [np.True_, 1, [0]])
def test_validation_tests_the_empty_property_for_truth(config, empty):
    with pytest.raises(ValueError, match="^The provided data is empty for metrics computation.$"):
        validate(configuration=config, data=types.SimpleNamespace(empty=empty))


def test_missing_ids_and_timestamp_are_filled_in_place(config):
    table = pd.DataFrame({"question": ["a", "b", "c"]})
    before = datetime.now()
    assert populate(config, table) is None
    ids = list(table["record_id"])
    assert len(set(ids)) == 3 and all(UUID4.match(value) for value in ids)
    stamps = set(table["record_timestamp"])
    assert len(stamps) == 1
    stamp = datetime.fromisoformat(stamps.pop())
    assert before <= stamp <= datetime.now()
    assert list(table.columns) == ["question", "record_id", "record_timestamp"]


def test_partly_filled_columns_are_kept_and_all_null_ones_replaced(config):
    table = pd.DataFrame({"record_id": ["r1", None], "record_timestamp": [None, None]})
    populate(configuration=config, data=table)
    assert table["record_id"].tolist()[0] == "r1" and UUID4.match(table["record_id"].tolist()[1])
    assert table["record_timestamp"].nunique() == 1 and table["record_timestamp"].notna().all()


def test_shared_id_and_timestamp_column_gets_ids():
    config = GenAIConfiguration(record_id_field="key", record_timestamp_field="key")
    table = pd.DataFrame({"q": [1, 2]})
    populate(configuration=config, data=table)
    assert all(UUID4.match(value) for value in table["key"])


def test_preparation_refuses_unknown_keywords(config):
    with pytest.raises(TypeError, match="unexpected keyword argument 'table'"):
        populate(configuration=config, table=pd.DataFrame())


# --- blocking entry point ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "data, rows",
    [({"question": "q", "answer": 1}, 1), ([{"question": "q", "answer": "a"}, {"question": "r", "answer": "b"}], 2)],
)
def test_mappings_become_tables(config, telemetry, data, rows):
    metric = Metric("A")
    runsmith._evaluate_metrics(config, data, [metric])
    assert len(metric.calls[0]["data"]) == rows


def test_blocking_run_keywords_results_and_telemetry(config, telemetry):
    log = []
    x = Metric("X", log=log, result=None)
    a = Metric("A", [x], log=log)
    table = pd.DataFrame({"question": ["q1", "q2"], "answer": [1, 2]})
    result = runsmith._evaluate_metrics(config, table, [a], None, [], flag=True)
    assert isinstance(result, MetricsEvaluationResult) and result.metrics_result == ["result-A"]
    assert log == [
        ("evaluate", "X", ["data", "configuration", "api_client", "flag"], []),
        ("evaluate", "A", ["data", "configuration", "metrics_result", "api_client", "flag"], [None]),
    ]
    assert a.calls[0]["data"]["answer"].tolist() == ["1", "2"]
    assert table["answer"].tolist() == [1, 2] and "record_id" in table.columns
    assert telemetry.events == [
        {"objectType": "Metric Evaluation", "custom.metric_name": "X"},
        {"objectType": "Metric Evaluation", "custom.metric_name": "A"},
    ]
    assert list(telemetry.events[0]) == ["objectType", "custom.metric_name"]


@pytest.mark.parametrize("dtype", ["str", object, "string"])
def test_metrics_see_outputs_as_text_in_a_copy_of_the_table(config, telemetry, dtype):
    table = pd.DataFrame({"question": ["q1", "q2", "q3"], "answer": pd.array(["a", None, "c"], dtype=dtype)},
                         index=[7, 7, 8])
    table.attrs["source"] = "here"
    metric = Metric("A")
    runsmith._evaluate_metrics(config, table, [metric])
    seen = metric.calls[0]["data"]
    pd.testing.assert_frame_equal(seen, table.astype({"answer": str}), check_exact=True)
    assert seen is not table and seen.columns is table.columns and seen.attrs == {"source": "here"}
    seen.loc[7, "answer"] = "changed"
    assert table["answer"].iloc[0] == "a" and table.attrs == {"source": "here"}


def test_failing_metric_leaves_only_id_and_timestamp_columns(config, telemetry):
    class Broken(Metric):
        def evaluate(self, **kwargs):
            raise RuntimeError("broken metric")

    table = pd.DataFrame({"question": ["q"], "answer": [3]})
    with pytest.raises(RuntimeError, match="broken metric"):
        runsmith._evaluate_metrics(config, table, [Broken("B")])
    assert list(table.columns) == ["question", "answer", "record_id", "record_timestamp"]
    assert table["answer"].tolist() == [3] and telemetry.events == []


def test_suppressing_duration_context_skips_the_result(config, telemetry, monkeypatch):
    class Suppress:
        labels = []

        def __init__(self, label):
            self.labels.append(label)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return exc[0] is ValueError

    class Failing(Metric):
        def evaluate(self, **kwargs):
            raise ValueError("skipped")

    monkeypatch.setattr(runsmith, "track_duration", Suppress)
    result = runsmith._evaluate_metrics(config, {"question": "q", "answer": "a"}, [Failing("F"), Metric("OK")])
    assert result.metrics_result == ["result-OK"]
    assert Suppress.labels == ["Metric Evaluation - F", "Metric Evaluation - OK"]
    assert len(telemetry.events) == 2


@pytest.mark.parametrize("entry", ["_evaluate_metrics", "_evaluate_metrics_async"])
def test_extra_keyword_repeating_a_driver_keyword_fails(config, telemetry, entry):
    with pytest.raises(TypeError, match="got multiple values for"):
        dependent = Metric("A", [Metric("X")])
        outcome = getattr(runsmith, entry)(config, {"q": 1, "answer": "x"}, [dependent], None, [], metrics_result=1)
        if inspect.isawaitable(outcome):
            asyncio.run(outcome)


@pytest.mark.parametrize("entry, method", [("_evaluate_metrics", "evaluate"), ("_evaluate_metrics_async", "evaluate_async")])
def test_repeated_metric_keyword_fails_with_the_host_message(config, telemetry, entry, method):
    metric = Metric("A", [Metric("X")])
    with pytest.raises(TypeError) as caught:
        outcome = getattr(runsmith, entry)(config, {"q": 1, "answer": "x"}, [metric], metrics_result=1)
        if inspect.isawaitable(outcome):
            asyncio.run(outcome)
    with pytest.raises(TypeError) as native:
        getattr(metric, method)(**{"metrics_result": 0}, **{"metrics_result": 1})
    assert str(caught.value) == str(native.value)


def _nameless_metric_run(config, monkeypatch):
    metric = Metric("A")
    del metric.name
    return asyncio.run(runsmith._evaluate_metrics_async(config, {"q": 1, "answer": "x"}, [metric]))


def _telemetry_without_track_event_run(config, monkeypatch):
    monkeypatch.setattr(runsmith, "SegmentBatchManager", type("Bare", (), {}))
    return runsmith._evaluate_metrics(config, {"q": 1, "answer": "x"}, [Metric("A")])


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
@pytest.mark.parametrize(
    "run, message",
    [
        (_nameless_metric_run, "'Metric' object has no attribute 'name'"),
        (_telemetry_without_track_event_run, "'Bare' object has no attribute 'track_event'"),
    ],
)
def test_missing_attributes_raise_attribute_errors(config, telemetry, monkeypatch, run, message):
    with pytest.raises(AttributeError, match=f"^{message}$"):
        run(config, monkeypatch)


def test_duration_tracker_must_be_a_context_manager(config, telemetry, monkeypatch):
    monkeypatch.setattr(runsmith, "track_duration", lambda label: None)
    with pytest.raises(TypeError) as caught:
        runsmith._evaluate_metrics(config, {"q": 1, "answer": "x"}, [Metric("A")])
    with pytest.raises(TypeError) as native:
        with None:
            pass
    assert str(caught.value) == str(native.value)


@pytest.mark.parametrize("entry", ["_evaluate_metrics", "_evaluate_metrics_async"])
@pytest.mark.parametrize("parameter", ["metrics", "metric_groups"])
def test_entry_points_check_list_types_at_call(config, entry, parameter):
    arguments = {"metrics": [], "metric_groups": [], parameter: (1,)}
    with pytest.raises(TypeError, match=rf"^Argument '{parameter}' has incorrect type \(expected list, got tuple\)$"):
        getattr(runsmith, entry)(config, {"q": 1, "answer": "x"}, **arguments)


def test_empty_list_of_mappings_is_refused(config, telemetry):
    with pytest.raises(ValueError, match="The provided data is empty"):
        runsmith._evaluate_metrics(config, [], [Metric("A")])


def test_default_client_is_created_once(config, telemetry, monkeypatch):
    created = []

    class Client:
        def __init__(self):
            created.append(self)

    monkeypatch.delenv("LUMERIS_SERVER")
    monkeypatch.setattr(runsmith, "APIClient", Client)
    monkeypatch.setattr(runsmith, "api_client_cache", None)
    first, second = Metric("A"), Metric("B")
    runsmith._evaluate_metrics(config, {"q": 1, "answer": "x"}, [first])
    asyncio.run(runsmith._evaluate_metrics_async(config, {"q": 1, "answer": "x"}, [second]))
    assert len(created) == 1
    assert first.calls[0]["api_client"] is second.calls[0]["api_client"] is created[0]
    assert runsmith.api_client_cache is created[0]


def test_hosted_environment_keeps_a_null_client(config, telemetry):
    metric = Metric("A")
    runsmith._evaluate_metrics(config, {"q": 1, "answer": "x"}, [metric])
    assert metric.calls[0]["api_client"] is None


# --- awaitable entry point ---------------------------------------------------------------------

def test_awaitable_does_nothing_until_awaited(config, telemetry):
    metric = Metric("A")
    table = pd.DataFrame({"q": [1]})
    pending = runsmith._evaluate_metrics_async(config, table, [metric])
    assert inspect.iscoroutinefunction(runsmith._evaluate_metrics_async)
    assert asyncio.iscoroutine(pending) and metric.calls == [] and "record_id" not in table.columns
    result = asyncio.run(pending)
    assert result.metrics_result == ["result-A"]


def test_dependencies_are_awaited_alone_then_the_batch(config, telemetry):
    log = []
    a = Metric("A", log=log, delay=0.01)
    b = Metric("B", log=log, delay=0.01)
    c = Metric("C", [a], log=log)
    d = Metric("D", [a], log=log)
    result = asyncio.run(runsmith._evaluate_metrics_async(config, {"answer": 5}, [a, b, c, d], max_concurrency=3))
    assert result.metrics_result == ["result-A", "result-B", "result-C", "result-D"]
    assert log[:2] == [("start", "A", []), ("end", "A")]
    assert [entry[1] for entry in log if entry[0] == "start"] == ["A", "B", "C", "D"]
    assert all(entry[2] == ["result-A"] for entry in log[2:] if entry[0] == "start")
    assert len(a.calls) == 1
    assert [event["custom.metric_name"] for event in telemetry.events] == ["A", "B", "C", "D"]
    assert telemetry.instances == 2
    assert all(call["max_concurrency"] == 3 for call in b.calls + c.calls)
    assert isinstance(a.calls[0]["data"]["answer"].tolist()[0], int)


def test_batch_respects_max_concurrency(config, telemetry):
    running, peak = [0], [0]

    class Counting(Metric):
        async def _run(self, kwargs):
            running[0] += 1
            peak[0] = max(peak[0], running[0])
            await asyncio.sleep(0.005)
            running[0] -= 1
            return self.name

    metrics = [Counting(f"M{i}") for i in range(7)]
    result = asyncio.run(runsmith._evaluate_metrics_async(config, {"q": 1, "answer": "x"}, metrics, max_concurrency=2))
    assert result.metrics_result == [f"M{i}" for i in range(7)] and peak[0] == 2


def test_awaitable_metric_failure_propagates(config, telemetry):
    class Broken(Metric):
        async def _run(self, kwargs):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        asyncio.run(runsmith._evaluate_metrics_async(config, {"q": 1, "answer": "x"}, [Metric("A"), Broken("B")]))
