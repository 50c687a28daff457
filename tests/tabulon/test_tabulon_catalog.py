import logging

import pytest

from tabulon import catalog
from tabulon.errors import UnknownCatalogNameError
from tabulon.logging_utils import get_logger, set_verbosity
from tabulon.metrics import Metric
from tabulon.tasks import Task
from tabulon.templates import JudgeTemplate, NumericScale, VerbalScale

RAG_METRICS = ["faithfulness", "context_relevance", "answer_correctness", "answer_relevance"]
METHODS = [
    "token_recall",
    "token_precision",
    "token_k_precision",
    "sentence_bert_mini_lm",
    "sentence_bert_bge",
    "bert_score_recall",
]
JUDGE_TEMPLATES = {
    "faithfulness": ("judge_with_question_simplified_verbal", VerbalScale),
    "context_relevance": ("judge_context_relevance_ares_numeric", NumericScale),
    "answer_correctness": ("judge_loose_match_no_context_numeric", NumericScale),
    "answer_relevance": ("judge_answer_relevance_numeric", NumericScale),
}


@pytest.mark.parametrize("metric", RAG_METRICS)
@pytest.mark.parametrize("method", METHODS)
def test_metric_names_resolve_to_fresh_metrics(metric, method):
    name = f"metrics.rag.{metric}.{method}"
    first, second = catalog.get(name), catalog.get(name)
    assert isinstance(first, Metric)
    assert first.name == name and first.main_score == method
    assert first is not second


@pytest.mark.parametrize("metric", RAG_METRICS)
def test_judge_templates_and_tasks_resolve(metric):
    template_name, scale_class = JUDGE_TEMPLATES[metric]
    template = catalog.get(f"templates.rag_eval.{metric}.{template_name}")
    task = catalog.get(f"tasks.rag_eval.{metric}.binary")
    assert isinstance(template, JudgeTemplate) and isinstance(template.scale, scale_class)
    assert isinstance(task, Task)
    # The template renders every field the task provides.
    assert set(template.sections) == set(task.all_fields)


@pytest.mark.parametrize(
    "name, expected_suggestion",
    [
        ("metrics.rag.faithfulness.token_recal", "metrics.rag.faithfulness.token_recall"),
        ("metrics.rag.faithfulnes.token_recall", "metrics.rag.faithfulness.token_recall"),
        ("tasks.rag_eval.faithfulness.binery", "tasks.rag_eval.faithfulness.binary"),
    ],
)
def test_unknown_name_names_it_and_suggests_close_names(name, expected_suggestion):
    with pytest.raises(UnknownCatalogNameError) as caught:
        catalog.get(name)
    assert f"'{name}'" in str(caught.value)
    assert expected_suggestion in caught.value.suggestions
    assert expected_suggestion in str(caught.value)


def test_unknown_name_without_anything_close_has_no_suggestion():
    with pytest.raises(UnknownCatalogNameError) as caught:
        catalog.get("zzz")
    assert caught.value.suggestions == []
    assert str(caught.value) == "Unknown catalog name 'zzz'."


def test_registering_a_taken_name_is_refused():
    with pytest.raises(ValueError, match="already registered"):
        catalog.register("metrics.rag.faithfulness.token_recall", lambda: None)


@pytest.mark.parametrize(
    "level, expected", [("warning", logging.WARNING), ("DEBUG", logging.DEBUG), (logging.ERROR, logging.ERROR)]
)
def test_set_verbosity_sets_the_library_logger_level(level, expected):
    before = get_logger().level
    try:
        set_verbosity(level)
        assert get_logger().level == expected
        assert get_logger("inference").getEffectiveLevel() == expected
    finally:
        get_logger().setLevel(before)


def test_set_verbosity_refuses_unknown_level():
    with pytest.raises(ValueError, match="Unknown verbosity 'loud'"):
        set_verbosity("loud")
