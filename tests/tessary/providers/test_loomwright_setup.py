"""Judge provider set-up: module import, column mapping, constructor, engine cache and judge selection."""
import json
import logging

import pytest

from tessary.config import GenAIConfiguration
from tessary.entities import foundation_model as fm
from tessary.entities.credentials import QzAICredentials
from tessary.entities.llm_judge import LLMJudge
from tessary.providers import loomwright as lw
from tessary.providers.inference_engines.custom_inference_engine import CustomFunctionInferenceEngine

TYPE_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


class Recorder:
    """An engine class double: remembers the keyword arguments of every construction, in order."""

    def __init__(self, label, fail=False):
        self.label, self.fail, self.calls = label, fail, []

    def __call__(self, *args, **kwargs):
        assert not args, "engines are built with keyword arguments only"
        self.calls.append(list(kwargs.items()))
        if self.fail:
            raise RuntimeError(f"{self.label} refused")
        return object()


@pytest.fixture(autouse=True)
def empty_cache():
    lw._inference_engine_cache.clear()
    yield
    lw._inference_engine_cache.clear()


@pytest.fixture
def engines(monkeypatch):
    names = ["QMLInferenceEngineGeneration", "OpenAiInferenceEngine", "AzureOpenAIInferenceEngine",
             "LiteLLMInferenceEngine", "PortKeyInferenceEngine", "QzoAIGatewayInferenceEngine"]
    recorders = {name: Recorder(name) for name in names}
    for name, recorder in recorders.items():
        monkeypatch.setattr(lw, name, recorder)
    return recorders


def factory(**kwargs):
    return lw.TabulonProvider._create_inference_engine_impl(**kwargs)


def test_module_binds_the_recipe_library_through_one_lazy_module():
    import sys

    import tabulon.inference as inference
    import tabulon.stream as stream

    assert type(lw.tabulon_imports).__name__ == "LazyModule"
    assert sys.modules["lazy_tabulon"] is lw.tabulon_imports
    assert lw.MultiStream is stream.MultiStream and lw.LiteLLMInferenceEngine is inference.LiteLLMInferenceEngine
    assert lw.OpenAiInferenceEngine is lw.tabulon_imports.OpenAiInferenceEngine
    assert logging.getLogger("tabulon").level == logging.WARNING
    assert (lw._inference_engine_cache.maxsize, lw._inference_engine_cache.ttl) == (128, 3600)


def test_column_mapping_is_a_documented_pydantic_model():
    from pydantic import BaseModel

    assert issubclass(lw.TabulonColumnMapping, BaseModel)
    assert lw.TabulonColumnMapping.__doc__ == "Column mapping expected by tabulon"
    fields = lw.TabulonColumnMapping.model_fields
    assert list(fields) == ["question", "answer", "contexts", "ground_truths"]
    for name, info in fields.items():
        assert info.default == name and info.annotation is str
        assert info.description == f"Expected {name} column name by tabulon"
    assert lw.TabulonColumnMapping(answer="reply").model_dump()["answer"] == "reply"


def test_class_attributes_and_constructor_defaults():
    provider_class = lw.TabulonProvider
    assert type(provider_class) is type and provider_class.__module__ == "tessary.providers.loomwright"
    assert provider_class.CLIP_METRIC_METHODS == {
        "context_relevance": {"sentence_bert_bge", "sentence_bert_mini_lm"},
        "faithfulness": {"sentence_bert_mini_lm"},
        "answer_correctness": {"sentence_bert_mini_lm"},
    }
    assert provider_class.METRIC_METHODS_WITH_LOCKS == {"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}
    assert provider_class.__annotations__["METRIC_METHODS_WITH_LOCKS"] == "ClassVar[set[str]]"
    configuration = GenAIConfiguration()
    first = provider_class(configuration, "faithfulness", "Faithfulness", "token_recall", "metrics.rag", unknown=1)
    second = provider_class(configuration, "faithfulness", "Faithfulness", "token_recall", "metrics.rag")
    assert first.thresholds is second.thresholds == []
    assert first.column_mapping == lw.TabulonColumnMapping() and first.llm_judge is None
    assert first.configuration_ == {} and first.metric_alias is None and first.metric_group is None
    assert list(vars(first)) == ["configuration", "configuration_", "metric_name", "metric_display_name",
                                 "metric_method", "metric_group", "column_mapping", "llm_judge",
                                 "metric_alias", "metric_prefix", "thresholds"]


def test_judge_falls_back_to_the_configuration():
    judge = LLMJudge(model=fm.OpenAIFoundationModel(model_id="m"))
    provider = lw.TabulonProvider(GenAIConfiguration(llm_judge=judge), "faithfulness", "F", "llm_as_judge", "p")
    assert provider.llm_judge is judge


@pytest.mark.parametrize(
    "position, value, expected",
    [
        (1, 5, TYPE_ERROR.format("metric_name", "str", "int")),
        (3, None, TYPE_ERROR.format("metric_method", "str", "NoneType")),
        (5, 3.5, TYPE_ERROR.format("metric_alias", "str", "float")),
        (9, (), TYPE_ERROR.format("thresholds", "list", "tuple")),
    ],
)
def test_constructor_refuses_wrong_types_before_storing(position, value, expected):
    args = [GenAIConfiguration(), "faithfulness", "F", "token_recall", "metrics.rag", None, None, None, None, []]
    args[position] = value
    provider = object.__new__(lw.TabulonProvider)
    with pytest.raises(TypeError) as error:
        lw.TabulonProvider.__init__(provider, *args)
    assert str(error.value) == expected and vars(provider) == {}


@pytest.mark.parametrize(
    "provider, engine, expected",
    [
        ("qzai", "QMLInferenceEngineGeneration", [("credentials", {"url": "u"}), ("model_name", "m"), ("use_cache", True)]),
        ("openai", "OpenAiInferenceEngine", [("model_name", "m"), ("credentials", {"url": "u"}), ("use_cache", True)]),
        ("azure_openai", "AzureOpenAIInferenceEngine", [("model_name", "m"), ("credentials", {"url": "u"}), ("use_cache", True)]),
        ("vertexai", "LiteLLMInferenceEngine", [("model", "m"), ("credentials", {"url": "u"}), ("use_cache", True)]),
        ("google_ai_studio", "LiteLLMInferenceEngine", [("model", "m"), ("credentials", {"url": "u"}), ("use_cache", True)]),
        ("aws_bedrock", "LiteLLMInferenceEngine",
         [("model", "m"), ("credentials", {"url": "u"}), ("use_cache", True), ("max_tokens", 9), ("top_p", 0.5)]),
        ("portkey", "PortKeyInferenceEngine", [("credentials", {"url": "u"}), ("model", "m"), ("use_cache", True)]),
        ("qzo_gateway", "QzoAIGatewayInferenceEngine", [("credentials", {"url": "u"}), ("use_cache", True)]),
    ],
)
def test_factory_dispatch_and_keyword_order(engines, provider, engine, expected):
    parameters = json.dumps({"max_tokens": 9, "top_p": 0.5}) if provider == "aws_bedrock" else ""
    factory(provider=provider, model_id="m", use_cache=True, credentials_json='{"url": "u"}', parameters_json=parameters)
    assert engines[engine].calls == [expected]
    assert sum(len(r.calls) for r in engines.values()) == 1


def test_factory_empty_texts_and_refusals(engines):
    factory(provider="vertexai", model_id="m", use_cache=False, credentials_json="")
    assert engines["LiteLLMInferenceEngine"].calls == [[("model", "m"), ("credentials", {}), ("use_cache", False)]]
    with pytest.raises(Exception) as error:
        factory(provider="mystery", model_id="m", use_cache=False, credentials_json="")
    assert type(error.value) is Exception and str(error.value) == "LLM Model provider 'mystery' is not supported."
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'model'"):
        factory(provider="aws_bedrock", model_id="m", use_cache=False, credentials_json="", parameters_json='{"model": "x"}')
    with pytest.raises(TypeError, match="argument after \\*\\* must be a mapping, not list"):
        factory(provider="aws_bedrock", model_id="n", use_cache=False, credentials_json="", parameters_json="[1]")
    with pytest.raises(TypeError, match=TYPE_ERROR.format("credentials_json", "str", "int").replace("(", r"\(").replace(")", r"\)")):
        factory(provider="openai", model_id="m", use_cache=False, credentials_json=5)
    with pytest.raises(json.JSONDecodeError):
        factory(provider="openai", model_id="m", use_cache=False, credentials_json="{")
    assert len(lw._inference_engine_cache) == 1  # only the first, successful build is kept


@pytest.mark.parametrize("switch, received", [(1, True), ("", False), (None, False), ("no", True)])
def test_factory_hands_engines_the_truth_value_of_the_cache_switch(engines, switch, received):
    factory(provider="openai", model_id="m", use_cache=switch, credentials_json="")
    (call,) = engines["OpenAiInferenceEngine"].calls
    assert dict(call)["use_cache"] is received


def test_equal_arguments_share_one_engine_and_failures_are_not_cached(engines, monkeypatch):
    one = factory(provider="openai", model_id="m", use_cache=False, credentials_json="{}")
    assert factory(provider="openai", model_id="m", use_cache=False, credentials_json="{}") is one
    assert factory(provider="openai", model_id="m", use_cache=True, credentials_json="{}") is not one
    failing = Recorder("portkey", fail=True)
    monkeypatch.setattr(lw, "PortKeyInferenceEngine", failing)
    for _ in range(2):
        with pytest.raises(RuntimeError, match="portkey refused"):
            factory(provider="portkey", model_id="m", use_cache=False, credentials_json="{}")
    assert len(failing.calls) == 2 and len(lw._inference_engine_cache) == 2


def test_the_129th_key_evicts_the_least_recently_used(engines):
    first = factory(provider="openai", model_id="m0", use_cache=False, credentials_json="")
    second = factory(provider="openai", model_id="m1", use_cache=False, credentials_json="")
    for index in range(2, 128):
        factory(provider="openai", model_id=f"m{index}", use_cache=False, credentials_json="")
    assert factory(provider="openai", model_id="m0", use_cache=False, credentials_json="") is first  # m0 now recent
    factory(provider="openai", model_id="m128", use_cache=False, credentials_json="")
    assert len(lw._inference_engine_cache) == 128
    assert factory(provider="openai", model_id="m0", use_cache=False, credentials_json="") is first
    assert factory(provider="openai", model_id="m1", use_cache=False, credentials_json="") is not second


def test_an_expired_entry_is_rebuilt(engines, monkeypatch):
    now = [1000.0]
    monkeypatch.setattr(lw._inference_engine_cache.timer, "_Timer__timer", lambda: now[0])
    engine = factory(provider="openai", model_id="m", use_cache=False, credentials_json="")
    now[0] += 3599
    assert factory(provider="openai", model_id="m", use_cache=False, credentials_json="") is engine
    now[0] += 2
    rebuilt = factory(provider="openai", model_id="m", use_cache=False, credentials_json="")
    assert rebuilt is not engine and len(engines["OpenAiInferenceEngine"].calls) == 2


def selection_calls(monkeypatch, model, cache_switch=False):
    calls = []
    monkeypatch.setattr(lw, "get_tabluon_enable_inference_cache", lambda: cache_switch)
    monkeypatch.setattr(lw.TabulonProvider, "_create_inference_engine_impl",
                        staticmethod(lambda **kwargs: calls.append(kwargs) or "engine"))
    provider = lw.TabulonProvider(GenAIConfiguration(), "faithfulness", "F", "llm_as_judge", "metrics.rag",
                                  llm_judge=LLMJudge(model=model))
    return provider._TabulonProvider__get_ai_evaluator_inference_engine(), calls


@pytest.mark.parametrize(
    "model, provider, credentials, parameters",
    [
        (fm.OpenAIFoundationModel(model_id="gpt", provider=fm.OpenAIModelProvider(
            credentials=fm.OpenAICredentials(api_key="k", url="http://o"))), "openai", {"api_key": "k", "url": "http://o"}, None),
        (fm.AzureOpenAIFoundationModel(model_id="az", provider=fm.AzureOpenAIModelProvider(
            credentials=fm.AzureOpenAICredentials(api_key="k", api_base="http://a", api_version="v"))),
         "azure_openai", {"api_base": "http://a", "api_key": "k", "api_version": "v"}, None),
        (fm.VertexAIFoundationModel(model_id="gem", provider=fm.VertexAIModelProvider(
            credentials=fm.VertexAICredentials(credentials_path=None, project_id="p", location="l"))),
         "vertexai", {"credentials_path": None, "location": "l", "project_id": "p"}, None),
        # Google AI Studio models are Vertex AI models too, so the Vertex AI row takes them first.
        (fm.GoogleAIStudioFoundationModel(model_id="gem", provider=fm.GoogleAIStudioModelProvider(
            credentials=fm.GoogleAIStudioCredentials(api_key="g"))), "vertexai", {"api_key": "g"}, None),
        (fm.AWSBedrockFoundationModel(model_id="claude", parameters={"top_p": 0.1, "max_tokens": 5},
                                      provider=fm.AWSBedrockModelProvider(credentials=fm.AWSBedrockCredentials(
                                          aws_access_key_id="a", aws_secret_access_key="s", aws_session_token=None,
                                          aws_region_name="r"))),
         "aws_bedrock", {"aws_access_key_id": "a", "aws_region_name": "r", "aws_secret_access_key": "s",
                         "aws_session_token": None}, '{"max_tokens": 5, "top_p": 0.1}'),
        (fm.AWSBedrockFoundationModel(model_id="claude", provider=fm.AWSBedrockModelProvider(
            credentials=fm.AWSBedrockCredentials(aws_access_key_id=None, aws_secret_access_key=None,
                                                 aws_session_token=None, aws_region_name=None))),
         "aws_bedrock", {"aws_access_key_id": None, "aws_region_name": None, "aws_secret_access_key": None,
                         "aws_session_token": None}, "{}"),
        (fm.PortKeyGateway(model_id="pk", provider=fm.PortKeyModelProvider(credentials=fm.PortKeyCredentials(
            api_key="k", url="http://p", provider="openai"))), "portkey",
         {"api_key": "k", "provider": "openai", "provider_api_key": None, "url": "http://p"}, None),
        (fm.QzoAIGateway(provider=fm.QzoAIGatewayModelProvider(credentials=fm.QzoAIGatewayCredentials(
            url="http://g", api_key="k"))), "qzo_gateway", {"api_key": "k", "url": "http://g"}, None),
    ],
)
def test_judge_selection_per_model_kind(monkeypatch, model, provider, credentials, parameters):
    engine, calls = selection_calls(monkeypatch, model, cache_switch=True)
    assert engine == "engine" and len(calls) == 1
    call = calls[0]
    expected_keys = ["provider", "model_id", "use_cache", "credentials_json"] + (["parameters_json"] if parameters else [])
    assert list(call) == expected_keys
    assert call["provider"] == provider and call["use_cache"] is True
    assert call["model_id"] == ("" if provider == "qzo_gateway" else model.model_id)
    assert call["credentials_json"] == json.dumps(credentials, sort_keys=True)
    if parameters:
        assert call["parameters_json"] == parameters


@pytest.mark.parametrize(
    "credentials, project, space, expected",
    [
        (QzAICredentials(url="http://s", api_key="k"), "p", "s",
         {"url": "http://s", "api_key": "k", "project_id": "p"}),
        (QzAICredentials(url="http://s", version="5.0", username="u", instance_id="i", password=""), None, "sp",
         {"url": "http://s", "username": "u", "instance_id": "i", "space_id": "sp"}),
        (QzAICredentials(url="http://s", api_key="k", version="5.0", username="u", instance_id="i", password="pw"),
         "p", None, {"url": "http://s", "api_key": "k", "username": "u", "instance_id": "i", "password": "pw",
                     "project_id": "p"}),
    ],
)
def test_service_credentials_mapping(monkeypatch, credentials, project, space, expected):
    model = fm.QzAIFoundationModel(model_id="granite", project_id=project, space_id=space,
                                   provider=fm.QzAIModelProvider(credentials=credentials))
    _, calls = selection_calls(monkeypatch, model)
    assert calls[0]["provider"] == "qzai" and calls[0]["use_cache"] is False
    assert json.loads(calls[0]["credentials_json"]) == expected
    assert calls[0]["credentials_json"] == json.dumps(expected, sort_keys=True)


def test_service_credentials_need_a_project_or_space(monkeypatch):
    model = fm.QzAIFoundationModel(model_id="granite", provider=fm.QzAIModelProvider(credentials=QzAICredentials(url="u")))
    with pytest.raises(Exception, match="^Either project or space id is required$"):
        selection_calls(monkeypatch, model)


def test_custom_judge_gets_a_new_engine_each_time(monkeypatch):
    def score(prompt):
        return "Rating: 5"

    model = fm.CustomFoundationModel(scoring_fn=score, context={"k": 1}, num_parallel_requests=3)
    first, calls = selection_calls(monkeypatch, model, cache_switch=True)
    assert calls == [] and isinstance(first, CustomFunctionInferenceEngine)
    assert (first.scoring_fn, first.model_name, first.context, first.num_parallel_requests, first.use_cache) == (
        score, "custom_fn", {"k": 1}, 3, True)
    second, _ = selection_calls(monkeypatch, model)
    assert second is not first

    class Bare:  # a custom model without the optional attributes
        _scoring_fn = staticmethod(score)

    recorded = []
    monkeypatch.setattr(lw, "CustomFoundationModel", Bare)
    monkeypatch.setattr(lw, "CustomFunctionInferenceEngine", lambda **kwargs: recorded.append(kwargs))
    provider = object.__new__(lw.TabulonProvider)
    provider.llm_judge = type("Judge", (), {"model": Bare()})()
    provider._TabulonProvider__get_ai_evaluator_inference_engine()
    assert recorded == [{"scoring_fn": score, "model_name": "custom_fn", "context": None,
                         "num_parallel_requests": 20, "use_cache": False}]


def test_unknown_judge_model_is_refused(monkeypatch):
    provider = object.__new__(lw.TabulonProvider)
    provider.llm_judge = type("Judge", (), {"model": object()})()
    with pytest.raises(Exception, match="^LLM Model provider is not supported.$"):
        provider._TabulonProvider__get_ai_evaluator_inference_engine()
