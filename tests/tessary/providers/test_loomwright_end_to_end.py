"""Judged and catalog metrics end to end through the evaluation driver, the real tabulon and the local judge."""
import asyncio

import pandas as pd
import pytest

from tessary.config import GenAIConfiguration
from tessary.entities import foundation_model as fm
from tessary.entities.credentials import QzAICredentials
from tessary.entities.enums import MetricGroup
from tessary.entities.llm_judge import LLMJudge
from tessary.evaluators.impl.runsmith import _evaluate_metrics, _evaluate_metrics_async
from tessary.metrics.judge_metrics import (
    AnswerCorrectnessMetric,
    AnswerRelevanceMetric,
    ContextRelevanceMetric,
    FaithfulnessMetric,
)
from tessary.providers import loomwright as lw

RECORDS = pd.DataFrame({
    "input_text": ["What is the capital of France?", "Who wrote Hamlet?"],
    "generated_text": ["Paris is the capital of France.", "Hamlet was written by Charles Dickens."],
    "context": ["Paris is the capital and largest city of France.", "Hamlet is a tragedy by William Shakespeare."],
    "ground_truth": ["Paris", "William Shakespeare"],
    "record_id": ["r1", "r2"],
})
CONFIGURATION = GenAIConfiguration(context_fields=["context"], reference_fields=["ground_truth"])


@pytest.fixture(autouse=True)
def hosted(monkeypatch):
    monkeypatch.setenv("LUMERIS_SERVER", "QZAI")  # no default platform client
    lw._inference_engine_cache.clear()
    from tessary.judging import _engines

    _engines._engines.clear()


def service_judge(server):
    credentials = QzAICredentials(url=server.root_url, api_key="local")
    return LLMJudge(model=fm.QzAIFoundationModel(model_id="tessary-judge", project_id="p",
                                                 provider=fm.QzAIModelProvider(credentials=credentials)))


def test_judged_and_lexical_metrics_through_the_driver(judge_server):
    metrics = [FaithfulnessMetric(method="llm_as_judge", llm_judge=service_judge(judge_server)),
               AnswerCorrectnessMetric(method="token_recall")]
    result = _evaluate_metrics(CONFIGURATION, RECORDS.copy(), metrics)
    judged, lexical = result.metrics_result
    assert (judged.name, judged.method, judged.provider) == ("faithfulness", "llm_as_judge", "tabulon")
    assert [r.value for r in judged.record_level_metrics] == [1.0, 0.0]  # supported / unsupported
    assert [r.record_id for r in judged.record_level_metrics] == ["r1", "r2"] and judged.value == 0.5
    # token recall of the reference words in the answer: "paris" found; "william shakespeare" not.
    assert [r.value for r in lexical.record_level_metrics] == [1.0, 0.0] and lexical.mean == 0.5
    assert judge_server.app.requests_served >= 2


def test_openai_judge_and_async_driver(judge_server, monkeypatch):
    monkeypatch.setenv("OPENAI_BASE_URL", judge_server.base_url)
    judge = LLMJudge(model=fm.OpenAIFoundationModel(
        model_id="tessary-judge", provider=fm.OpenAIModelProvider(credentials=fm.OpenAICredentials(api_key="k", url=None))))
    configuration = CONFIGURATION.model_copy(update={"llm_judge": judge})
    metrics = [AnswerRelevanceMetric(method="llm_as_judge"), ContextRelevanceMetric(method="llm_as_judge")]
    result = asyncio.run(_evaluate_metrics_async(configuration, RECORDS.copy(), metrics))
    for aggregate in result.metrics_result:
        values = [r.value for r in aggregate.record_level_metrics]
        assert len(values) == 2 and all(0.0 <= v <= 1.0 for v in values)
        assert aggregate.min == min(values) and aggregate.max == max(values)
    # Both metrics asked for the same judge: one cached engine served them.
    from tessary.judging import _engines

    assert len(_engines._engines) == 1


def test_custom_function_judge(monkeypatch):
    prompts = []

    def score(prompt, context):
        prompts.append((prompt, context))
        return "Rating: 5" if "Paris" in prompt else "Rating: 1"

    judge = LLMJudge(model=fm.CustomFoundationModel(scoring_fn=score, context="ctx", num_parallel_requests=2))
    result = _evaluate_metrics(CONFIGURATION, RECORDS.copy(), [AnswerRelevanceMetric(method="llm_as_judge", llm_judge=judge)])
    assert [r.value for r in result.metrics_result[0].record_level_metrics] == [1.0, 0.0]
    assert len(prompts) == 2 and {c for _, c in prompts} == {"ctx"}


def test_judged_metric_without_judge_and_unknown_method():
    with pytest.raises(ValueError, match="needs a judge"):
        FaithfulnessMetric(method="llm_as_judge").evaluate(RECORDS, CONFIGURATION)
    with pytest.raises(ValueError, match="Unknown method"):
        FaithfulnessMetric(method="guess")


def test_metric_groups_offer_the_judge_metrics():
    assert {m.name for m in MetricGroup.ANSWER_QUALITY.get_metrics()} >= {
        "faithfulness", "answer_relevance", "answer_correctness"}
    assert "context_relevance" in {m.name for m in MetricGroup.RETRIEVAL_QUALITY.get_metrics()}
