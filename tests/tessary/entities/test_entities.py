import asyncio
import json
import threading

import pandas as pd
import pytest
from pydantic import ValidationError

from tessary.config import AgenticAIConfiguration, GenAIConfiguration
from tessary.config.model_risk_configuration import ModelRiskConfiguration
from tessary.entities.credentials import REVEAL_SECRETS
from tessary.entities import foundation_model as fm
from tessary.entities.enums import KorundGuardianRisks, MetricGroup, ModelProviderType, Region
from tessary.entities.llm_judge import LLMJudge
from tessary.entities.metric import GenAIMetric
from tessary.entities.metric_threshold import MetricThreshold
from tessary.entities.model_risk_result import Benchmark, ModelRiskResult, Risk, RiskMetric


def test_region_values():
    assert {member.name: member.value for member in Region} == {
        "US_SOUTH": "us-south",
        "AU_SYD": "au-syd",
        "CA_TOR": "ca-tor",
        "EU_DE": "eu-de",
        "JP_TOK": "jp-tok",
        "EU_GB": "eu-gb",
        "AP_SOUTH": "ap-south-1",
        "US_GOV_EAST1": "us-gov-east1",
    }


def test_guardian_risk_values_include_harm_and_are_texts():
    values = KorundGuardianRisks.values()
    assert "harm" in values and "function_call" in values
    assert all(type(value) is str for value in values)


class Counter(GenAIMetric):
    name: str = "counter"

    def evaluate(self, data, configuration, **kwargs):
        return {"rows": len(data), "kwargs": kwargs, "thread": threading.current_thread()}


def test_metric_group_registry_builds_new_metrics():
    group = MetricGroup.READABILITY
    group.register_metric("counter", Counter)
    group.register_metric("counter", Counter)  # registering again replaces
    try:
        first, second = group.get_metrics(), group.get_metrics()
        assert [m.name for m in first] == ["counter"]
        assert first[0] is not second[0]
        assert "counter" not in [m.name for m in MetricGroup.CONTENT_SAFETY.get_metrics()]
    finally:
        group.unregister_metric("counter")
    assert group.get_metrics() == []


def test_metric_group_refuses_bad_registration():
    with pytest.raises(TypeError):
        MetricGroup.CUSTOM.register_metric("x", "not callable")
    with pytest.raises(ValueError):
        MetricGroup.CUSTOM.register_metric("", Counter)


def test_metric_defaults_and_dependencies():
    dependency = Counter(name="dependency")
    metric = Counter(
        metric_dependencies=[dependency],
        thresholds=[MetricThreshold(type="upper_limit", value=0.2)],
    )

    assert metric.display_name == "Counter"
    assert metric.metric_dependencies[0] is dependency
    assert Counter().metric_dependencies == []


def test_metric_without_evaluate_cannot_be_built():
    class Incomplete(GenAIMetric):
        name: str = "incomplete"

    with pytest.raises(TypeError):
        Incomplete()


def test_evaluate_async_runs_evaluate_on_a_worker_thread_with_all_keywords():
    data = pd.DataFrame({"input_text": ["a", "b"]})
    coroutine = Counter().evaluate_async(
        data=data,
        configuration=GenAIConfiguration(),
        metrics_result=[],
        api_client=None,
        max_concurrency=2,
    )

    result = asyncio.run(coroutine)

    assert result["rows"] == 2
    assert result["kwargs"] == {"metrics_result": [], "api_client": None, "max_concurrency": 2}
    assert result["thread"] is not threading.current_thread()


def test_configuration_defaults():
    configuration = GenAIConfiguration()
    assert configuration.input_fields == ["input_text"]
    assert configuration.output_fields == ["generated_text"]
    assert (configuration.context_fields, configuration.reference_fields, configuration.tools) == (
        [],
        [],
        [],
    )
    assert (configuration.record_id_field, configuration.record_timestamp_field) == (
        "record_id",
        "record_timestamp",
    )
    assert configuration.tool_calls_field == "" and configuration.llm_judge is None
    assert GenAIConfiguration().input_fields is not configuration.input_fields
    agentic = AgenticAIConfiguration(tool_calls_field="tool_calls")
    assert (
        isinstance(agentic, GenAIConfiguration)
        and agentic.conversation_id_field == "conversation_id"
    )


@pytest.mark.parametrize(
    "fields",
    [
        {"input_fields": "input_text"},
        {"record_id_field": ""},
        {"tools": [42]},
        {"context_fields": [1]},
        {"unknown_field": 1},
    ],
)
def test_configuration_refuses_bad_values(fields):
    with pytest.raises(ValidationError):
        GenAIConfiguration(**fields)


def test_configuration_accepts_callables_and_descriptions_as_tools():
    def search(query: str) -> str:
        return query

    configuration = GenAIConfiguration(tools=[search, {"name": "lookup"}])
    assert configuration.tools[0] is search


def test_google_ai_studio_is_a_vertex_ai_model():
    model = fm.GoogleAIStudioFoundationModel(model_id="gemini-2.0-flash")
    assert isinstance(model, fm.VertexAIFoundationModel)
    assert model.provider.type == ModelProviderType.GOOGLE_AI_STUDIO
    assert not isinstance(
        fm.VertexAIFoundationModel(model_id="m"), fm.GoogleAIStudioFoundationModel
    )


@pytest.mark.parametrize(
    "model",
    [
        fm.OpenAIFoundationModel(
            model_id="m",
            provider=fm.OpenAIModelProvider(credentials=fm.OpenAICredentials(api_key="k")),
        ),
        fm.VertexAIFoundationModel(model_id="m"),
        fm.GoogleAIStudioFoundationModel(model_id="m"),
        fm.AWSBedrockFoundationModel(model_id="m", parameters={"max_tokens": 5}),
        fm.PortKeyGateway(model_id="m"),
        fm.QzoAIGateway(),
    ],
)
def test_provider_credentials_dump_to_json(model):
    json.dumps(model.provider.credentials.model_dump(), sort_keys=True)


def test_azure_credentials_dump_by_alias():
    credentials = fm.AzureOpenAICredentials(api_key="k", api_base="https://az", api_version="2024")
    assert credentials.model_dump(by_alias=True, context=REVEAL_SECRETS) == {
        "api_key": "k",
        "api_base": "https://az",
        "api_version": "2024",
    }
    assert credentials.url == "https://az"


def test_openai_model_reads_key_from_environment(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "from-env")
    assert fm.OpenAIFoundationModel(model_id="m").provider.credentials.api_key == "from-env"


def test_custom_model_keeps_scoring_function():
    def score(prompts):
        return ["ok" for _ in prompts]

    model = fm.CustomFoundationModel(scoring_fn=score, num_parallel_requests=4)
    judge = LLMJudge(model=model)

    assert judge.model is model and model._scoring_fn is score
    assert (model.model_id, model.context, model.num_parallel_requests) == ("custom_fn", None, 4)
    with pytest.raises(TypeError, match="callable"):
        fm.CustomFoundationModel(scoring_fn="nope")


def test_qzai_model_and_risk_configuration():
    model = fm.QzAIFoundationModel(model_id="granite", project_id="p")
    configuration = ModelRiskConfiguration(
        model_details=model,
        risk_dimensions=["hallucination"],
        qz_gc_configuration={
            "model_id": "x",
            "credentials": {"url": "https://opd.example", "api_key": "k"},
        },
    )
    assert configuration.model_details is model and model.model_name == "granite"
    assert model.provider.credentials is None
    assert configuration.qz_gc_configuration.credentials.url == "https://opd.example"
    with pytest.raises(ValidationError):
        ModelRiskConfiguration(model_details=model, max_sample_size=0)


def test_model_risk_result_grows_and_tabulates():
    result = ModelRiskResult(risks=[], output_file_path=None)
    result.risks.append(
        Risk(
            name="r1",
            benchmarks=[
                Benchmark(
                    name="b1",
                    metrics=[RiskMetric(name="m1", value=0.5), RiskMetric(name="m2", value=1)],
                )
            ],
        )
    )

    frame = result.to_df()
    assert frame.values.tolist() == [["r1", "b1", "m1", 0.5], ["r1", "b1", "m2", 1]]


@pytest.mark.parametrize(
    ("kind", "value", "violated"),
    [
        ("lower_limit", 0.5, True),
        ("lower_limit", 0.9, False),
        ("upper_limit", 0.9, True),
        ("upper_limit", None, False),
    ],
)
def test_threshold_violation(kind, value, violated):
    assert MetricThreshold(type=kind, value=0.7).is_violated_by(value) is violated


def test_a_failed_import_of_the_metric_modules_is_retried(monkeypatch):
    from tessary.entities import enums

    calls = []

    def import_module(name):
        calls.append(name)
        if len(calls) == 1:
            raise ModuleNotFoundError("No module named 'tabulon'", name="tabulon")
        return None

    monkeypatch.setattr(enums, "_metric_modules_loaded", False)
    monkeypatch.setattr(enums.importlib, "import_module", import_module)
    group = MetricGroup.READABILITY

    with pytest.raises(ModuleNotFoundError, match="tabulon"):
        group.get_metrics()
    group.get_metrics()  # the second call tries again instead of finding an empty group
    group.get_metrics()  # and a successful import is not repeated

    assert calls == ["tessary.metrics", "tessary.metrics"]
