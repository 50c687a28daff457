"""Criteria with rewritten placeholders, judge instances per record, and the judge's engine choice."""

import pandas as pd
import pytest

from critmark_support import YES_NO, critmark, openai_judge, provider
from tessary.entities.criteria import Option
from tessary.entities.foundation_model import GoogleAIStudioFoundationModel, PortKeyGateway, VertexAIFoundationModel
from tessary.entities.llm_judge import LLMJudge
from verdicta.judges import Criteria, DirectJudge, Instance


@pytest.mark.parametrize(
    "prediction_field, text, expected",
    [
        ("response", "Is {response} polite to {user}?", "Is response polite to user?"),
        ("my answer", "Is {my answer} kind? {other field}", "Is my answer kind? {other field}"),
        ("response", "Rank {1st} and {_x9}", "Rank {1st} and _x9"),
        ("response", "Say {{name}} twice", "Say {name} twice"),
        ("response", "{response}{response} {Response} {}", "responseresponse Response {}"),
        ("a.b", "Check {a.b} and {a}", "Check a.b and a"),
        ("réponse", "Is {réponse} {réponse2} ok?", "Is réponse {réponse2} ok?"),
    ],
)
def test_placeholder_rewriting_of_criteria_and_option_texts(prediction_field, text, expected):
    options = [Option(name="yes", description=text, value=1), Option(name="no", description="plain", value=0)]
    made = provider(options=options, criteria_description=text)
    criteria = made._VerdictaProvider__get_criteria(prediction_field, ["ctx"])
    assert isinstance(criteria, Criteria)
    assert criteria.description == expected
    assert [(o.name, o.description, o.score) for o in criteria.options] == [("yes", expected, 1), ("no", "plain", 0)]
    assert (criteria.name, criteria.to_evaluate_field, criteria.context_fields) == ("fit", prediction_field, ["ctx"])


def test_criteria_keeps_repeated_option_names_and_the_pattern_is_read_at_call_time(monkeypatch):
    options = [Option(name="ok", description="{a}", value=1), Option(name="ok", description="{b}", value=2)]
    monkeypatch.setattr(critmark, "VARIABLES_PATTERN", r"\{(b)\}")
    criteria = provider(options=options, criteria_description="x")._VerdictaProvider__get_criteria("p", [])
    assert [(o.name, o.description, o.score) for o in criteria.options] == [("ok", "{a}", 1), ("ok", "b", 2)]


def test_no_prediction_field_on_the_criteria_path_is_a_type_error():
    with pytest.raises(TypeError, match="can only concatenate str"):
        provider(criteria_description="x")._VerdictaProvider__get_criteria(None, [])


def test_instances_put_the_prediction_first_then_the_context_columns_in_their_order():
    table = pd.DataFrame(
        {"context": ["c1", "c2"], "answer": ["a1", "a2"], "question": ["q1", "q2"], "other": [1, 2]}
    )
    instances = provider()._VerdictaProvider__get_instances(
        data=table, prediction_field="answer", context_fields=["question", "context"]
    )
    assert all(type(item) is Instance for item in instances)
    assert [list(item.fields.items()) for item in instances] == [
        [("answer", "a1"), ("question", "q1"), ("context", "c1")],
        [("answer", "a2"), ("question", "q2"), ("context", "c2")],
    ]


@pytest.mark.parametrize(
    "table, context_fields, expected",
    [
        (pd.DataFrame({"answer": ["a", "b"]}), [], [{"answer": "a"}, {"answer": "b"}]),
        (pd.DataFrame({"answer": [], "c": []}), ["c"], []),
        (pd.DataFrame({"answer": ["a"], "c": ["x"]}), ["answer", "c"], [{"answer": "a", "c": "x"}]),
        (pd.DataFrame({"answer": [1, 2]}, index=[7, 3]), [], [{"answer": 1}, {"answer": 2}]),
    ],
    ids=["no-context", "empty-table", "context-names-the-prediction", "numbers-in-row-order"],
)
def test_instance_edge_cases(table, context_fields, expected):
    instances = provider()._VerdictaProvider__get_instances(
        data=table, prediction_field="answer", context_fields=context_fields
    )
    assert [item.fields for item in instances] == expected
    # tolist() gives plain Python values, not numpy scalars.
    assert all(type(value) in (str, int) for item in instances for value in item.fields.values())


@pytest.mark.parametrize("prediction_field, context_fields", [("missing", []), ("answer", ["missing"])])
def test_instances_of_a_missing_column_fail_with_a_key_error(prediction_field, context_fields):
    with pytest.raises(KeyError):
        provider()._VerdictaProvider__get_instances(
            data=pd.DataFrame({"answer": ["a"]}), prediction_field=prediction_field, context_fields=context_fields
        )


class Recorder:
    def __init__(self, label):
        self.label = label

    def __call__(self, **kwargs):
        return (self.label, kwargs)


@pytest.fixture
def engines(monkeypatch):
    monkeypatch.setattr(critmark, "PortKeyInferenceEngine", Recorder("portkey"))
    monkeypatch.setattr(critmark, "GoogleStudioInferenceEngine", Recorder("google"))
    monkeypatch.setattr(critmark, "CrossProviderInferenceEngine", Recorder("cross"))
    monkeypatch.setattr(critmark, "DirectJudge", lambda **kwargs: kwargs)


@pytest.mark.parametrize(
    "model, engine",
    [
        (PortKeyGateway(model_id="gw"), "portkey"),
        (GoogleAIStudioFoundationModel(model_id="gemini"), "google"),
        (VertexAIFoundationModel(model_id="gemini"), "cross"),
        (openai_judge().model, "cross"),
    ],
)
def test_judge_engine_by_model_kind_with_cache_switch(model, engine, engines, monkeypatch):
    monkeypatch.setenv("TESSARY_TABULON_INFERENCE_CACHE", "true")
    made = provider(llm_judge=LLMJudge(model=model))
    judge = made._VerdictaProvider__get_judge()
    assert judge["generate_feedback"] is True
    label, keywords = judge["inference_engine"]
    expected = dict(made._VerdictaProvider__get_inference_engine_params(), use_cache=True)
    assert label == engine and keywords == expected


def test_judge_without_llm_judge_takes_the_cross_provider_engine_and_fails_on_the_model(engines):
    made = provider(llm_judge=None)
    with pytest.raises(AttributeError, match="model"):
        made._VerdictaProvider__get_judge()


def test_parameters_holding_use_cache_are_refused_as_a_duplicate_keyword(engines, monkeypatch):
    made = provider()
    monkeypatch.setattr(made, "_VerdictaProvider__get_inference_engine_params", lambda: {"use_cache": False})
    with pytest.raises(TypeError, match="multiple values for keyword argument 'use_cache'"):
        made._VerdictaProvider__get_judge()


def test_real_judge_over_the_real_cross_provider_engine(monkeypatch):
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")
    judge = provider(options=YES_NO)._VerdictaProvider__get_judge()
    assert isinstance(judge, DirectJudge) and judge.generate_feedback is True
    engine = judge.inference_engine
    assert engine.provider == "open-ai" and engine.parameters == {"temperature": 0, "seed": 36}


@pytest.mark.parametrize(
    "params",
    [{"use_cache": False, "seed": 1}, [("seed", 1)], 7],
    ids=["repeated-keyword", "pairs-are-not-a-mapping", "number"],
)
def test_engine_parameters_spread_fails_with_the_hosts_own_message(params, engines, monkeypatch):
    made = provider()
    monkeypatch.setattr(made, "_VerdictaProvider__get_inference_engine_params", lambda: params)
    with pytest.raises(TypeError) as error:
        made._VerdictaProvider__get_judge()
    with pytest.raises(TypeError) as expected:
        critmark.CrossProviderInferenceEngine(**params, use_cache=False)
    assert str(error.value) == str(expected.value)


def test_option_text_is_read_before_the_prediction_placeholder_is_built():
    from types import SimpleNamespace

    made = provider(options=[SimpleNamespace(name="a", description=None, value=1)], criteria_description="x")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'replace'"):
        made._VerdictaProvider__get_criteria(None, [])
