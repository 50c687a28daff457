"""Block evaluation and merging without an engine: order, identifiers, judges, sessions, pickling."""
import asyncio
import pickle
import random

import pandas as pd
import pytest
from aiohttp import web

from distributed_support import METRIC_SETS, TimestampedMetric, in_process, make_records
from tessary.clients.api_client import APIClient
from tessary.distributed import BlockEvaluator, MergeError, RecordFill, ResultMerger
from tessary.distributed._prepare import apply_judge
from tessary.entities.credentials import Credentials
from tessary.entities.foundation_model import OpenAIFoundationModel
from tessary.entities.llm_judge import LLMJudge
from tessary.evaluators.impl.runsmith import _evaluate_metrics
from tessary.metrics.detector_metrics import PIIMetric
from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric, Option


def blocks_of(table: pd.DataFrame, size: int) -> list[pd.DataFrame]:
    return [table.iloc[start:start + size] for start in range(0, len(table), size)]


@pytest.mark.parametrize("metric_set", sorted(METRIC_SETS))
def test_blocks_merged_in_shuffled_order_equal_the_whole_table_run(configuration, client_factory, metric_set):
    table = make_records(900)
    evaluator = BlockEvaluator(METRIC_SETS[metric_set](), configuration, api_client_factory=client_factory)
    results = [evaluator.evaluate_block(block, i) for i, block in enumerate(blocks_of(table, 128))]
    random.Random(7).shuffle(results)
    merger = ResultMerger()
    for result in results:
        merger.update(pickle.loads(pickle.dumps(result)))
    assert merger.result() == in_process(configuration, table, METRIC_SETS[metric_set](), client_factory)
    evaluator.close()


@pytest.mark.parametrize("ids, stamps, fills", [
    (None, None, (True, True)),
    ([None, None, None], ["t", None, "t"], (True, False)),
    (["a", None, "c"], None, (False, True)),
])
def test_fill_is_decided_for_the_whole_table(configuration, ids, stamps, fills):
    table = pd.DataFrame({"input_text": ["x", "y", "z"]})
    for column, values in (("record_id", ids), ("record_timestamp", stamps)):
        if values is not None:
            table[column] = values
    fill = RecordFill.decide(configuration, columns=list(table.columns),
                             has_values=lambda column: table[column].notna().any())
    assert (fill.fill_ids, fill.fill_timestamp) == fills
    stamped = pd.concat([fill.apply(block) for block in blocks_of(table, 2)])
    if fill.fill_ids:
        assert stamped["record_id"].nunique() == len(table)
    else:
        assert stamped["record_id"].equals(table["record_id"])
    if fill.fill_timestamp:
        assert set(stamped["record_timestamp"]) == {fill.timestamp}


def test_block_of_nulls_in_a_partly_filled_column_is_refused(configuration):
    table = pd.DataFrame({"input_text": ["x", "y"], "record_id": ["a", None], "record_timestamp": "t"})
    fill = RecordFill.decide(configuration, columns=list(table.columns), has_values=lambda column: True)
    with pytest.raises(ValueError, match="only nulls in the column 'record_id'"):
        fill.apply(table.iloc[1:], position=1)


@pytest.fixture
def counting_service(loopback):
    """A detection endpoint that answers after a pause and records the most requests in flight."""
    state = {"now": 0, "peak": 0}

    async def detect(request):
        state["now"] += 1
        state["peak"] = max(state["peak"], state["now"])
        await asyncio.sleep(0.01)
        state["now"] -= 1
        return web.json_response({"detections": []})

    return loopback(detect, path="/ml/v1/text/detection", method="POST").url, state


def test_worker_keeps_one_session_and_bounds_requests_in_flight(configuration, counting_service):
    url, state = counting_service
    credentials = Credentials(url=url, version="local", bearer_token="t", service_instance_id="local")
    evaluator = BlockEvaluator([PIIMetric()], configuration, api_client_factory=credentials, max_in_flight=3)
    for position, block in enumerate(blocks_of(make_records(60), 20)):
        assert evaluator.evaluate_block(block, position).parts[0].total_records == 20
    assert evaluator.sessions_opened == 1
    assert 1 < state["peak"] <= 3
    evaluator.close()


def test_workers_without_platform_variables_run_metrics_that_need_no_service(configuration, monkeypatch):
    for variable in ("TESSARY_API_KEY", "TESSARY_BEARER_TOKEN", "TESSARY_USERNAME", "TESSARY_PASSWORD"):
        monkeypatch.delenv(variable, raising=False)
    table = make_records(40)
    block = BlockEvaluator(METRIC_SETS["user-defined"](), configuration).evaluate_block(table, 0)
    assert block.parts[0].total_records == 40
    with pytest.raises(ValueError, match="No credentials found"):
        BlockEvaluator([PIIMetric()], configuration).evaluate_block(table, 0)


@pytest.mark.parametrize("judge", [None, "http://127.0.0.1:9/v1#judge-model",
                                   LLMJudge(model=OpenAIFoundationModel(model_id="judge-model"))])
def test_judges_travel_with_their_settings(configuration, monkeypatch, judge):
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")
    monkeypatch.delenv("OPENAI_URL", raising=False)
    own = LLMJudge(model=OpenAIFoundationModel(model_id="judge-model"))
    metric = LLMAsJudgeMetric(name="grounded", criteria_description="Is {generated_text} grounded?",
                              options=[Option(name="yes", value=1)], llm_judge=None if judge else own)
    shipped_configuration, (shipped,) = pickle.loads(pickle.dumps(apply_judge(configuration, [metric], judge)))
    monkeypatch.delenv("OPENAI_BASE_URL")
    for carried in (shipped.llm_judge, shipped_configuration.llm_judge if judge else shipped.llm_judge):
        assert carried.model.model_id == "judge-model"
        assert carried.model.provider.credentials.url == "http://127.0.0.1:9/v1"


def user_pipeline(configuration, table, metrics, client):
    """A user's function that names the driver at module level, shipped by value."""
    return _evaluate_metrics(configuration, table, metrics, api_client=client)


@pytest.mark.parametrize("module", ["pickle", "cloudpickle"])
def test_what_workers_receive_pickles(configuration, client_factory, module):
    pickler = pytest.importorskip(module)
    if module == "cloudpickle":
        pickler.register_pickle_by_value(__import__(__name__))
    client = client_factory()
    client.qts_client  # built and holding its lock
    metrics = [*(metric for name in sorted(METRIC_SETS) for metric in METRIC_SETS[name]()), TimestampedMetric()]
    fill = RecordFill.decide(configuration, columns=["input_text"], has_values=lambda column: False)
    evaluator = BlockEvaluator(metrics, configuration, api_client_factory=client, records="none", fill=fill)
    block = evaluator.evaluate_block(make_records(5, with_ids=False), 0)
    shipped = [_evaluate_metrics, APIClient.__init__, client, evaluator, configuration, client_factory, block]
    if module == "cloudpickle":
        shipped.append(user_pipeline)
    loaded = pickler.loads(pickler.dumps(shipped))
    assert loaded[0] is _evaluate_metrics and loaded[1] is APIClient.__init__
    assert loaded[2].credentials == client.credentials and loaded[2].qts_client is not None
    again = loaded[3].evaluate_block(make_records(5, with_ids=False), 0)
    assert [part.scores.unpack() for part in again.parts] == [part.scores.unpack() for part in block.parts]
    assert loaded[5]().credentials == client.credentials
    merger = ResultMerger()
    merger.update(loaded[6])
    assert [a.total_records for a in merger.result().metrics_result] == [5] * len(block.parts)
    if module == "cloudpickle":
        result = loaded[7](configuration, make_records(5), [TimestampedMetric()], loaded[2])
        assert result.metrics_result[0].total_records == 5


@pytest.mark.parametrize("call, error", [
    (lambda c: BlockEvaluator([PIIMetric()], c, records="csv:out"), 'records must be "keep"'),
    (lambda c: BlockEvaluator([PIIMetric()], c, api_client_factory=3), "api_client_factory must be"),
    (lambda c: BlockEvaluator([PIIMetric()], c, max_in_flight=0), "max_in_flight"),
    (lambda c: ResultMerger().result(), "No block results"),
])
def test_bad_arguments_are_refused_clearly(configuration, call, error):
    with pytest.raises((ValueError, TypeError, MergeError), match=error):
        call(configuration)


def test_merge_refuses_an_aggregate_not_made_from_its_records(configuration):
    class Median(TimestampedMetric):
        name: str = "median"

        def evaluate(self, data, configuration, **kwargs):
            result = super().evaluate(data, configuration)
            return result.model_copy(update={"value": 0.5, "mean": 0.5})

    with pytest.raises(MergeError, match="'median' does not compute its value"):
        BlockEvaluator([Median()], configuration).evaluate_block(make_records(4), 0)


@pytest.mark.parametrize("cpus, workers, share", [(1, 1, 0.0), (2, 1, 0.5), (2, 2, 0.5), (3, 4, 0.5), (4, 8, 0.375)])
def test_ray_actors_leave_a_cpu_for_the_reads_that_feed_them(cpus, workers, share):
    from tessary.distributed._ray import actor_cpus

    assert actor_cpus(cpus, workers) == share
    assert cpus - workers * share >= 1
