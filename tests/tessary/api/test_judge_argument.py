"""The judge argument: each form becomes the judge that judged metrics and the configuration get."""
import pytest

from tessary.api._judge_argument import apply_judge, resolve_judge
from tessary.api._registry import resolve_metric
from tessary.config import GenAIConfiguration
from tessary.entities.foundation_model import OpenAIFoundationModel
from tessary.entities.llm_judge import LLMJudge

OWN = LLMJudge(model=OpenAIFoundationModel(model_id="own"))


@pytest.mark.parametrize("judge, model_id, url", [
    (None, None, None),
    (OWN, "own", None),
    (OpenAIFoundationModel(model_id="bare"), "bare", None),
    ("http://127.0.0.1:8000/v1", "from-env", "http://127.0.0.1:8000/v1"),
])
def test_judge_forms(monkeypatch, judge, model_id, url):
    monkeypatch.setenv("TESSARY_JUDGE_MODEL", "from-env")
    resolved = resolve_judge(judge)
    assert (resolved and resolved.model.model_id) == model_id
    if url:
        assert resolved.model.provider.credentials.url == url


def test_other_objects_are_refused():
    with pytest.raises(TypeError, match="judge must be None, an LLMJudge, a foundation model or a text, got int"):
        resolve_judge(42)


def test_judge_goes_where_no_judge_is_set():
    metrics = [resolve_metric("faithfulness:llm_as_judge"), resolve_metric("answer_correctness:token_recall"),
               resolve_metric("faithfulness:llm_as_judge").model_copy(update={"llm_judge": OWN})]
    new = LLMJudge(model=OpenAIFoundationModel(model_id="new"))
    configuration, applied = apply_judge(new, GenAIConfiguration(), metrics)
    assert configuration.llm_judge is new
    assert [metric.llm_judge for metric in applied] == [new, None, OWN]
