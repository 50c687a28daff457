"""VerdictaProvider set-up: module names, constructor checks and defaults, engine parameters per model kind."""

import inspect
import sys

import pytest

from critmark_support import YES_NO, critmark, openai_judge, provider
from tessary.entities.credentials import QzAICredentials
from tessary.entities.foundation_model import (
    AWSBedrockCredentials,
    AWSBedrockFoundationModel,
    AzureOpenAIFoundationModel,
    CustomFoundationModel,
    GoogleAIStudioFoundationModel,
    OpenAIFoundationModel,
    PortKeyCredentials,
    PortKeyGateway,
    QzAIFoundationModel,
    QzAIModelProvider,
    VertexAIFoundationModel,
)
from tessary.entities.llm_judge import LLMJudge
from verdicta import judges


def test_judge_library_names_come_from_the_registered_lazy_module():
    assert sys.modules["lazy_vd"] is critmark.vd_imports
    assert critmark.VDCriteria is judges.Criteria
    assert critmark.VDCriteriaOption is judges.CriteriaOption
    assert critmark.Instance is judges.Instance and critmark.DirectJudge is judges.DirectJudge
    from tabulon.inference import CrossProviderInferenceEngine

    assert critmark.CrossProviderInferenceEngine is CrossProviderInferenceEngine
    assert critmark.VARIABLES_PATTERN == r"\{([a-zA-Z_][a-zA-Z0-9_]*)\}"


def test_class_shape_and_signature():
    cls = critmark.VerdictaProvider
    assert type(cls) is type and cls.__bases__ == (object,)
    assert "LLM-as-judge (LLMAJ)" in cls.__doc__
    methods = [name for name in vars(cls) if callable(vars(cls)[name])]
    assert methods == [
        "__init__",
        "evaluate_async",
        "evaluate",
        "_VerdictaProvider__get_judge",
        "_VerdictaProvider__get_instances",
        "_VerdictaProvider__get_inference_engine_params",
        "_VerdictaProvider__get_criteria",
        "_VerdictaProvider__post_process",
    ]
    parameters = inspect.signature(cls.__init__).parameters
    assert [(p.name, p.annotation) for p in parameters.values()][1:13] == [
        ("metric_name", "str"),
        ("display_name", "str"),
        ("value_type", "str"),
        ("llm_judge", "LLMJudge"),
        ("options", "list[Option]"),
        ("criteria_description", "str | None"),
        ("prompt_template", "str | None"),
        ("context_fields", "list[str]"),
        ("prediction_field", "str | None"),
        ("metric_group", "MetricGroup"),
        ("metric_method", "str | None"),
        ("thresholds", "list[MetricThreshold]"),
    ]
    assert inspect.iscoroutinefunction(cls.evaluate_async)
    assert inspect.signature(cls.evaluate).return_annotation == "AggregateMetricResult"


def test_defaults_with_the_required_arguments_only():
    first = critmark.VerdictaProvider("m", "M", "numeric", openai_judge(), YES_NO)
    second = critmark.VerdictaProvider("n", "N", "numeric", openai_judge(), YES_NO)
    assert vars(first) == {
        "metric_name": "m",
        "display_name": "M",
        "value_type": "numeric",
        "llm_judge": first.llm_judge,
        "criteria_description": None,
        "prompt_template": None,
        "options": YES_NO,
        "context_fields": [],
        "prediction_field": None,
        "metric_group": None,
        "metric_method": None,
        "thresholds": [],
        "record_id_field": "record_id",
        "record_timestamp_field": "record_timestamp",
        "compute_token_count": False,
    }
    # The list defaults are one object shared by every construction.
    assert first.context_fields is second.context_fields and first.thresholds is second.thresholds


def test_extra_keywords_set_the_columns_and_token_counting_and_others_are_ignored():
    made = provider(record_id_field="id", record_timestamp_field="ts", compute_token_count=True, unrelated=1)
    assert (made.record_id_field, made.record_timestamp_field, made.compute_token_count) == ("id", "ts", True)
    assert not hasattr(made, "unrelated")


class Text(str):
    pass


class Items(list):
    pass


@pytest.mark.parametrize(
    "keyword, value, expected",
    [
        ("metric_name", Text("m"), "expected str, got Text"),
        ("display_name", None, "expected str, got NoneType"),
        ("options", Items(YES_NO), "expected list, got Items"),
        ("options", tuple(YES_NO), "expected list, got tuple"),
        ("context_fields", None, "expected list, got NoneType"),
        ("thresholds", Items(), "expected list, got Items"),
        ("criteria_description", 3, "expected str, got int"),
        ("prediction_field", Text("a"), "expected str, got Text"),
        ("metric_method", b"x", "expected str, got bytes"),
    ],
)
def test_exact_argument_types(keyword, value, expected):
    arguments = {"metric_name": "m", "display_name": "M", "value_type": "numeric", "llm_judge": None, "options": []}
    arguments[keyword] = value
    with pytest.raises(TypeError) as error:
        critmark.VerdictaProvider(**arguments)
    assert str(error.value) == f"Argument '{keyword}' has incorrect type ({expected})"


def test_none_is_accepted_where_the_default_is_none_and_judge_and_group_are_not_checked():
    made = critmark.VerdictaProvider("m", "M", "t", "any judge", [], None, None, [], None, "any group", None, [])
    assert (made.llm_judge, made.metric_group) == ("any judge", "any group")


# ---------------------------------------------------------------------------------------------
# Inference-engine parameters


def params_for(model):
    return provider(llm_judge=LLMJudge(model=model))._VerdictaProvider__get_inference_engine_params()


def lumeris(**credentials):
    return QzAIModelProvider(credentials=QzAICredentials(url="https://ai.example", **credentials))


@pytest.mark.parametrize(
    "model, expected",
    [
        (
            OpenAIFoundationModel(model_id="gpt"),
            {
                "seed": 36,
                "data_classification_policy": ["public"],
                "credentials": {"api_key": None},
                "provider": "open-ai",
                "model": "gpt",
                "provider_specific_args": {"open-ai": {"temperature": 0}},
            },
        ),
        (
            OpenAIFoundationModel(model_id="gpt", parameters={"temperature": 0.7, "max_tokens": 9}),
            {
                "seed": 36,
                "data_classification_policy": ["public"],
                "credentials": {"api_key": None},
                "provider": "open-ai",
                "model": "gpt",
                "provider_specific_args": {"open-ai": {"temperature": 0.7, "max_tokens": 9}},
            },
        ),
        (
            QzAIFoundationModel(
                model_id="granite",
                project_id="p1",
                space_id="s1",
                provider=lumeris(api_key="k", version="5.0", username="u", instance_id="i"),
            ),
            {
                "seed": 36,
                "data_classification_policy": ["public"],
                "credentials": {
                    "url": "https://ai.example",
                    "api_key": "k",
                    "username": "u",
                    "instance_id": "i",
                    "project_id": "p1",
                },
                "provider": "lumeris-sdk",
                "model": "granite",
                "provider_specific_args": {"lumeris-sdk": {"concurrency_limit": 10}},
            },
        ),
        (
            QzAIFoundationModel(
                model_id="granite",
                space_id="s1",
                provider=lumeris(version="5.0", username="u", instance_id="i", password="pw"),
            ),
            {
                "seed": 36,
                "data_classification_policy": ["public"],
                "credentials": {
                    "url": "https://ai.example",
                    "username": "u",
                    "instance_id": "i",
                    "password": "pw",
                    "space_id": "s1",
                },
                "provider": "lumeris-sdk",
                "model": "granite",
                "provider_specific_args": {"lumeris-sdk": {"concurrency_limit": 10}},
            },
        ),
        (
            PortKeyGateway(model_id="gw", provider={"credentials": PortKeyCredentials(api_key="pk", url="https://gw")}),
            {
                "seed": 36,
                "data_classification_policy": ["public"],
                "credentials": {"api_key": "pk", "url": "https://gw", "provider_api_key": None, "provider": None},
                "model": "gw",
            },
        ),
        (
            AWSBedrockFoundationModel(
                model_id="claude",
                provider={"credentials": AWSBedrockCredentials(aws_access_key_id="a", aws_secret_access_key="b",
                                                               aws_session_token=None, aws_region_name="r")},
            ),
            {
                "data_classification_policy": ["public"],
                "credentials": {"aws_access_key_id": "a", "aws_secret_access_key": "b", "aws_session_token": None,
                                "aws_region_name": "r"},
                "model": "claude",
                "provider": "aws",
                "provider_specific_args": {"aws": {}},
            },
        ),
    ],
    ids=["openai", "openai-parameters", "lumeris-project", "lumeris-space", "gateway", "aws"],
)
def test_parameters_per_model_kind_with_key_order(model, expected, monkeypatch):
    monkeypatch.delenv("TESSARY_LUMERIS_CONCURRENCY_LIMIT", raising=False)
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    params = params_for(model)
    assert params == expected
    assert list(params) == list(expected)
    assert list(params["credentials"]) == list(expected["credentials"])


def test_aws_parameters_pass_through_and_concurrency_comes_from_the_environment(monkeypatch):
    aws = AWSBedrockFoundationModel(model_id="m", parameters={"max_tokens": 5})
    assert params_for(aws)["provider_specific_args"] == {"aws": {"max_tokens": 5}}
    assert "seed" not in params_for(aws)
    monkeypatch.setenv("TESSARY_LUMERIS_CONCURRENCY_LIMIT", "3")
    model = QzAIFoundationModel(model_id="g", project_id="p", provider=lumeris())
    params = params_for(model)
    assert params["provider_specific_args"] == {"lumeris-sdk": {"concurrency_limit": 3}}
    assert params["credentials"] == {"url": "https://ai.example", "project_id": "p"}


def test_vertex_and_google_studio_models_take_the_vertex_branch():
    for model in (VertexAIFoundationModel(model_id="gemini"), GoogleAIStudioFoundationModel(model_id="gemini")):
        params = params_for(model)
        assert list(params) == ["seed", "data_classification_policy", "credentials", "provider", "model"]
        assert params["provider"] == "vertex-ai"
        assert params["credentials"] == model.provider.credentials.model_dump()


@pytest.mark.parametrize(
    "model, message",
    [
        (AzureOpenAIFoundationModel(model_id="gpt"), "Azure OpenAI Model provider is not supported."),
        (CustomFoundationModel(scoring_fn=lambda prompts: prompts), "LLM Model provider is not supported."),
        (QzAIFoundationModel(model_id="g", provider=lumeris()), "Either project or space id is required"),
    ],
)
def test_unsupported_models_and_missing_project_are_refused(model, message):
    with pytest.raises(Exception) as error:
        params_for(model)
    assert type(error.value) is Exception and str(error.value) == message


def test_instance_tests_go_through_the_module_globals(monkeypatch):
    class Fake:
        model_id = "fake"
        provider = type("P", (), {"credentials": type("C", (), {"api_key": "k"})()})()

    monkeypatch.setattr(critmark, "OpenAIFoundationModel", Fake)
    made = provider(llm_judge=type("J", (), {"model": Fake()})())
    assert made._VerdictaProvider__get_inference_engine_params()["provider"] == "open-ai"
