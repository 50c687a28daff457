"""Judge provider runs: metric construction, table preparation, lock decision, results, errors, tokenizer patch."""
import asyncio
import math
import sys
import threading
import time
import types

import pandas as pd
import pytest

from tessary.config import GenAIConfiguration
from tessary.entities import foundation_model as fm
from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import AggregateMetricResult
from tessary.entities.llm_judge import LLMJudge
from tessary.providers import loomwright as lw

OPENAI_JUDGE = LLMJudge(model=fm.OpenAIFoundationModel(model_id="m"))
QZAI_JUDGE = LLMJudge(model=fm.QzAIFoundationModel(model_id="m", project_id="p"))


def make(metric="faithfulness", method="token_recall", configuration=None, **kwargs):
    return lw.TabulonProvider(configuration or GenAIConfiguration(), metric, metric.title(), method, "metrics.rag", **kwargs)


class ScoringMetric:
    """A library step double: gives each record the next scripted score and records what it ran under."""

    def __init__(self, scores, hold=0.0):
        self.scores, self.hold, self.seen, self.lock_held = list(scores), hold, [], []

    def process_instances(self, instances):
        self.lock_held.append(lw.TabulonProvider._lock.locked())
        if self.hold:
            time.sleep(self.hold)
        self.seen.append([dict(instance) for instance in instances])
        for instance, score in zip(instances, self.scores):
            instance["score"] = {"instance": {"score": score}}
        return instances


@pytest.mark.parametrize(
    "method, alias, expected",
    [("token_recall", None, "P.faithfulness.token_recall"), ("sentence_bert_bge", "x", "P.x.sentence_bert_bge")],
)
def test_catalog_metric_is_the_plain_dotted_name(method, alias, expected):
    provider = make(method=method, metric_alias=alias)
    name = alias or "faithfulness"
    assert provider._TabulonProvider__generate_tabulon_metric(metric_name=name, metric_prefix="P") == expected
    provider.metric_method = None
    assert provider._TabulonProvider__generate_tabulon_metric(metric_name="n", metric_prefix="P") == "P.n.None"


@pytest.mark.parametrize(
    "metric, template, prediction",
    [
        ("faithfulness", "templates.rag_eval.faithfulness.judge_with_question_simplified_verbal", "reply"),
        ("context_relevance", "templates.rag_eval.context_relevance.judge_context_relevance_ares_numeric", "ctx"),
        ("answer_correctness", "templates.rag_eval.answer_correctness.judge_loose_match_no_context_numeric", "reply"),
        ("answer_relevance", "templates.rag_eval.answer_relevance.judge_answer_relevance_numeric", "reply"),
    ],
)
def test_judge_metric_templates_tasks_and_fields(monkeypatch, metric, template, prediction):
    built = []
    monkeypatch.setattr(lw, "TaskBasedLLMasJudge", lambda **kwargs: built.append(kwargs) or "judge")
    engine = object()
    monkeypatch.setattr(lw.TabulonProvider, "_create_inference_engine_impl", staticmethod(lambda **kwargs: engine))
    provider = make(method="llm_as_judge", metric_alias=metric, llm_judge=OPENAI_JUDGE,
                    column_mapping=lw.TabulonColumnMapping(answer="reply", contexts="ctx"))
    assert provider._TabulonProvider__generate_tabulon_metric(metric_name=metric, metric_prefix="ignored") == "judge"
    (kwargs,) = built
    assert list(kwargs) == ["inference_model", "format", "template", "task", "main_score", "prediction_field",
                            "infer_log_probs", "judge_to_generator_fields_mapping"]
    assert kwargs["inference_model"] is engine and isinstance(kwargs["format"], lw.ChatAPIFormat)
    assert kwargs["template"] == template and kwargs["task"] == f"tasks.rag_eval.{metric}.binary"
    assert kwargs["main_score"] == f"{metric}_judge" and kwargs["prediction_field"] == prediction
    assert kwargs["infer_log_probs"] is False and kwargs["judge_to_generator_fields_mapping"] == {}


def test_judge_format_and_unknown_template():
    provider = make(method="llm_as_judge", llm_judge=QZAI_JUDGE)
    assert provider._TabulonProvider__get_llmaj_format() is None
    first = make(llm_judge=OPENAI_JUDGE)._TabulonProvider__get_llmaj_format()
    assert isinstance(first, lw.ChatAPIFormat) and first is not make(llm_judge=OPENAI_JUDGE)._TabulonProvider__get_llmaj_format()
    with pytest.raises(KeyError, match="tone"):
        provider._TabulonProvider__get_llmaj_template(metric_name="tone")


def test_library_table_from_the_configured_columns():
    configuration = GenAIConfiguration(input_fields=["q"], output_fields=["a"], context_fields=["c1", "c2"],
                                       reference_fields=["ref"], record_id_field="id")
    data = pd.DataFrame({"q": ["why?", 3], "a": ["because", 4.5], "c1": ["x", None], "c2": ["y", 1],
                         "ref": ['["r1", "r2"]', "plain"], "id": [7, "b"]})
    table = make(configuration=configuration)._TabulonProvider__pre_process_data(data=data)
    assert list(table.columns) == ["question", "answer", "contexts", "ground_truths", "record_id"]
    assert table.to_dict("records") == [
        {"question": "why?", "answer": "because", "contexts": ["x", "y"], "ground_truths": ["r1", "r2"], "record_id": 7},
        {"question": "3", "answer": "4.5", "contexts": [None, "1"], "ground_truths": ["plain"], "record_id": "b"},
    ]
    assert list(data["id"]) == [7, "b"]  # the caller's table is not converted


@pytest.mark.parametrize(
    "values, texts",
    [
        (pd.to_datetime(["2024-01-01", "2024-01-02"]), ["2024-01-01", "2024-01-02"]),
        (pd.Series([0.1, 0.25], dtype="float32"), ["0.1", "0.25"]),
        (pd.Series([1.5, float("nan")]), ["1.5", None]),  # a missing cell stays missing
        (pd.Series(["text", None], dtype="str"), ["text", None]),
        (pd.Series(["text", "[1]"], dtype="str"), ["text", "[1]"]),  # no missing cell: taken as it is
        (pd.Series(["text", None], dtype="string"), ["text", None]),
        (pd.Series([None, [1, 2]], dtype=object), [None, "[1, 2]"]),
        (pd.Series([b"raw", 3], dtype=object), ["raw", "3"]),
    ],
)
def test_cells_reach_the_library_in_their_text_form(values, texts):
    data = pd.DataFrame({"input_text": values, "record_id": ["a", "b"]})
    table = make()._TabulonProvider__pre_process_data(data=data)
    assert list(table["question"]) == texts


@pytest.mark.parametrize(
    "fields, columns",
    [
        ({"output_fields": ["a", "missing"]}, ["question", "contexts", "record_id"]),
        ({"output_fields": [], "context_fields": []}, ["question", "record_id"]),
        ({"input_fields": ["nope"], "context_fields": ["c", "nope"]}, ["answer", "record_id"]),
    ],
)
def test_absent_columns_are_left_out(fields, columns):
    configuration = GenAIConfiguration(**{"input_fields": ["q"], "output_fields": ["a"], "context_fields": ["c"], **fields})
    data = pd.DataFrame({"q": ["q"], "a": ["a"], "c": ["['one']"], "record_id": ["r"]})
    table = make(configuration=configuration)._TabulonProvider__pre_process_data(data=data)
    assert list(table.columns) == columns


def result_frame(scores, ids=None):
    return pd.DataFrame({"context_relevance": scores, "record_id": ids or [f"r{i}" for i in range(len(scores))]})


@pytest.mark.parametrize(
    "metric, method, values, low, high, mean",
    [
        ("context_relevance", "sentence_bert_bge", [0.0, 0.8123], 0.0, 0.8123, 0.3062),
        ("context_relevance", "token_recall", [-0.2, 0.8123], -0.2, 0.8123, 0.3062),
        ("faithfulness", "sentence_bert_bge", [-0.2, 0.8123], -0.2, 0.8123, 0.3062),
    ],
)
def test_clipping_rounding_and_aggregation(metric, method, values, low, high, mean):
    provider = make(metric=metric, method=method, metric_group=MetricGroup.RETRIEVAL_QUALITY)
    frame = pd.DataFrame({metric: [-0.2, 0.81234], "record_id": [7, "b"]})
    result = provider._TabulonProvider__post_process(result=frame)
    assert isinstance(result, AggregateMetricResult)
    assert [r.value for r in result.record_level_metrics] == values
    assert [r.record_id for r in result.record_level_metrics] == [7, "b"]
    assert (result.min, result.max, result.mean, result.value, result.total_records) == (low, high, mean, mean, 2)
    assert result.provider == "tabulon" and result.group is MetricGroup.RETRIEVAL_QUALITY
    assert {r.name for r in result.record_level_metrics} == {metric} and result.method == method


def test_rounding_is_pythons_and_missing_scores_clip_to_zero():
    provider = make(metric="context_relevance", method="sentence_bert_mini_lm")
    result = provider._TabulonProvider__post_process(result=result_frame([0.12345, float("nan"), 2.675]))
    assert [r.value for r in result.record_level_metrics] == [round(0.12345, 4), 0.0, round(2.675, 4)]
    assert result.mean == round((0.12345 + 2.675) / 2, 4)  # missing score skipped in the mean
    unclipped = make(metric="answer_relevance")._TabulonProvider__post_process(
        result=pd.DataFrame({"answer_relevance": [0.5, float("nan")], "record_id": ["a", "b"]}))
    assert math.isnan(unclipped.record_level_metrics[1].value) and unclipped.mean == 0.5


@pytest.mark.parametrize(
    "method, reason",
    [("token_recall", "type NoneType doesn't define __round__ method"),
     ("sentence_bert_mini_lm", "'>' not supported between instances of 'NoneType' and 'float'")],
)
def test_records_without_any_score_fail_the_run(monkeypatch, method, reason):
    provider = make(metric="context_relevance", method=method)
    monkeypatch.setattr(provider, "_TabulonProvider__generate_tabulon_metric", lambda **kwargs: ScoringMetric([None, None]))
    data = pd.DataFrame({"input_text": ["q1", "q2"], "record_id": ["a", "b"]})
    with pytest.raises(Exception) as error:
        provider.evaluate(data)
    assert str(error.value) == ("Error while computing metrics: context_relevance with the method " + method +
                                " using tabulon library. Reason: " + reason)
    assert isinstance(error.value.__context__, TypeError)


def test_empty_table_is_reported_through_the_wrapper():
    provider = make()
    with pytest.raises(Exception) as error:
        provider.evaluate(pd.DataFrame({"input_text": [], "generated_text": [], "record_id": []}))
    assert str(error.value).startswith("Error while computing metrics: faithfulness with the method token_recall")


@pytest.mark.parametrize(
    "method, judge, locked",
    [("token_recall", None, False), ("sentence_bert_mini_lm", None, True), ("bert_score_recall", None, True),
     ("token_recall", QZAI_JUDGE, True)],
)
def test_lock_decision_and_records_handed_to_the_library(monkeypatch, method, judge, locked):
    step = ScoringMetric([0.25, 0.75])
    provider = make(method=method, llm_judge=judge, metric_alias="answer_relevance")
    names = []
    monkeypatch.setattr(provider, "_TabulonProvider__generate_tabulon_metric",
                        lambda metric_name, metric_prefix: names.append((metric_name, metric_prefix)) or step)
    table = pd.DataFrame({"question": ["q1", "q2"], "record_id": ["a", "b"]})
    scores = provider._TabulonProvider__compute_metric(data=table)
    assert step.lock_held == [locked] and not lw.TabulonProvider._lock.locked()
    assert names == [("answer_relevance", "metrics.rag")]
    assert step.seen[0][0] == {"question": "q1", "record_id": "a", "metadata": {"data_classification_policy": ["public"]}}
    assert scores.to_dict("list") == {"faithfulness": [0.25, 0.75], "record_id": ["a", "b"]}


def test_library_failure_is_wrapped_with_context_and_releases_the_lock(monkeypatch):
    class Broken:
        def process_instances(self, instances):
            raise ValueError("judge exploded")

    provider = make(method="llm_as_judge", llm_judge=QZAI_JUDGE)
    monkeypatch.setattr(provider, "_TabulonProvider__generate_tabulon_metric", lambda **kwargs: Broken())
    data = pd.DataFrame({"input_text": ["q"], "generated_text": ["a"], "record_id": ["r"]})
    with pytest.raises(Exception) as error:
        provider.evaluate(data)
    assert type(error.value) is Exception
    assert str(error.value) == ("Error while computing metrics: faithfulness with the method llm_as_judge using "
                                "tabulon library. Reason: judge exploded")
    assert isinstance(error.value.__context__, ValueError) and error.value.__cause__ is None
    assert not lw.TabulonProvider._lock.locked()


def test_cancellation_like_errors_are_not_wrapped(monkeypatch):
    provider = make()
    monkeypatch.setattr(lw, "patch_bertscore_overflow", lambda: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        provider.evaluate(pd.DataFrame({"record_id": ["r"]}))


def test_concurrent_async_evaluations_are_serialised_without_deadlock():
    data = pd.DataFrame({"input_text": ["q"], "generated_text": ["a"], "record_id": ["r"]})
    active, peak, guard = [0], [0], threading.Lock()

    class Counting(ScoringMetric):
        def process_instances(self, instances):
            with guard:
                active[0] += 1
                peak[0] = max(peak[0], active[0])
            try:
                return super().process_instances(instances)
            finally:
                with guard:
                    active[0] -= 1

    providers = []
    for index in range(4):
        provider = make(method="sentence_bert_bge")
        provider._TabulonProvider__generate_tabulon_metric = lambda step=Counting([index / 10], hold=0.05), **kw: step
        providers.append(provider)

    async def main():
        return await asyncio.wait_for(asyncio.gather(*(p.evaluate_async(data) for p in providers)), 10)

    results = asyncio.run(main())
    assert [r.value for r in results] == [0.0, 0.1, 0.2, 0.3] and peak[0] == 1


@pytest.fixture
def stand_in_bert_score(monkeypatch):
    class Tokenizer:
        def __init__(self, length):
            if length is not None:
                self.model_max_length = length

    calls = []

    def get_tokenizer(model_type, use_fast=False):
        calls.append((model_type, use_fast))
        return Tokenizer(model_type)

    package = types.ModuleType("bert_score")
    utils = types.ModuleType("bert_score.utils")
    scorer = types.ModuleType("bert_score.scorer")
    utils.get_tokenizer = scorer.get_tokenizer = get_tokenizer
    package.utils, package.scorer = utils, scorer
    for name, module in [("bert_score", package), ("bert_score.utils", utils), ("bert_score.scorer", scorer)]:
        monkeypatch.setitem(sys.modules, name, module)
    return utils, scorer, calls


@pytest.mark.parametrize("length, expected", [(100000, 100000), (100001, 512), (1e30, 512), (512, 512), (None, None)])
def test_bertscore_tokenizer_lengths_are_capped(stand_in_bert_score, length, expected):
    utils, scorer, calls = stand_in_bert_score
    assert lw.patch_bertscore_overflow() is None
    assert utils.get_tokenizer is scorer.get_tokenizer and utils._is_patched_for_overflow is True
    tokenizer = utils.get_tokenizer(length, use_fast=True)
    assert getattr(tokenizer, "model_max_length", None) == expected and calls == [(length, True)]


def test_bertscore_patch_is_installed_once(stand_in_bert_score):
    utils, _, calls = stand_in_bert_score
    lw.patch_bertscore_overflow()
    patched = utils.get_tokenizer
    lw.patch_bertscore_overflow()
    assert utils.get_tokenizer is patched and patched.__name__ == "patched_get_tokenizer"
    patched(5)
    assert calls == [(5, False)]  # called once through the single wrapper, use_fast defaulting to False


def test_bertscore_flag_false_counts_as_patched_and_missing_package_is_ignored(stand_in_bert_score, monkeypatch):
    utils, _, _ = stand_in_bert_score
    original = utils.get_tokenizer
    utils._is_patched_for_overflow = False
    lw.patch_bertscore_overflow()
    assert utils.get_tokenizer is original
    monkeypatch.setitem(sys.modules, "bert_score", None)
    monkeypatch.setitem(sys.modules, "bert_score.utils", None)
    assert lw.patch_bertscore_overflow() is None
