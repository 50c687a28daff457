"""Detector metrics end to end against the local detection service, through the evaluation driver."""

import asyncio

import pandas as pd
import pytest

from tessary.clients.api_client import APIClient
from tessary.config import GenAIConfiguration
from tessary.entities.credentials import Credentials
from tessary.entities.enums import MetricGroup
from tessary.evaluators.impl.runsmith import _evaluate_metrics, _evaluate_metrics_async
from tessary.metrics import detector_metrics as dm
from tessary.services.detectd import DetectionService

TOOLS = [{"type": "function", "function": {"name": "get_weather", "parameters": {
    "type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}]
CONFIG = GenAIConfiguration(input_fields=["q"], output_fields=["a"], context_fields=["c"], tool_calls_field="calls",
                            tools=TOOLS)
CALL = '[{"id": "1", "type": "function", "function": {"name": "get_weather", "arguments": "{\\"city\\": \\"Oslo\\"}"}}]'
BAD_CALL = '[{"id": "2", "type": "function", "function": {"name": "get_wether", "arguments": "{}"}}]'


@pytest.fixture(scope="module")
def client():
    service = DetectionService()
    url = service.start()
    yield APIClient(credentials=Credentials(url=url, version="5.0", bearer_token="t", service_instance_id="inst"))
    service.stop()


def records():
    return pd.DataFrame({
        "q": ["You are a stupid idiot, I will kill you", "Write to jane.doe@example.com about Oslo weather"],
        "a": ["Oslo is the capital of Norway.", "Bananas are yellow."],
        "c": [["Oslo is the capital of Norway."], ["Oslo is the capital of Norway."]],
        "calls": [CALL, BAD_CALL],
    })


def by_name(result):
    return {r.name: r for r in result.metrics_result}


@pytest.mark.usefixtures("hap_lexicon")
def test_detectors_score_real_text(client):
    metrics = [dm.HAPMetric(), dm.PIIMetric(), dm.FaithfulnessMetric(), dm.AnswerRelevanceMetric(),
               dm.ContextRelevanceMetric(), dm.ToolCallAccuracyMetric(), dm.KeywordDetectionMetric(keywords=["oslo"]),
               dm.RegexDetectionMetric(regex=[r"\bkill\b"]), dm.ViolenceMetric(), dm.JailbreakMetric()]
    results = by_name(_evaluate_metrics(CONFIG, records(), metrics, api_client=client))
    values = {name: [r.value for r in result.record_level_metrics] for name, result in results.items()}
    assert values["hap"][0] > 0.5 and values["hap"][1] == 0
    assert {e["text"] for e in results["hap"].record_level_metrics[0].evidences} >= {"idiot"}
    assert values["pii"][1] > 0.5 and any("jane.doe@example.com" == e["text"]
                                          for e in results["pii"].record_level_metrics[1].evidences)
    assert values["faithfulness"][0] > values["faithfulness"][1]
    assert results["faithfulness"].record_level_metrics[0].evidences  # supporting passages
    assert values["answer_relevance"][1] < 0.5
    assert values["tool_call_accuracy"][0] == 1 and values["tool_call_accuracy"][1] < 1
    assert values["keyword"] == [0, 1] and results["keyword"].record_level_metrics[1].name == "keyword_detection"
    assert values["regex"] == [1, 0]
    assert values["violence"][0] > values["violence"][1]
    assert values["jailbreak"] == [0, 0]
    for result in results.values():
        assert result.errors is None and result.total_records == 2 and result.provider == "detectors"


def test_async_driver_and_groups(client):
    metrics = MetricGroup.CONTENT_SAFETY.get_metrics() + MetricGroup.RETRIEVAL_QUALITY.get_metrics()
    result = asyncio.run(_evaluate_metrics_async(CONFIG, records(), metrics, api_client=client))
    names = {r.name for r in result.metrics_result}
    assert {"hap", "pii", "harm", "faithfulness", "context_relevance", "prompt_safety_risk"} <= names
    assert all(isinstance(r.value, float | int) for r in result.metrics_result)


def test_topic_relevance_needs_topic_and_scores(client):
    data = pd.DataFrame({"q": ["Tomorrow's weather forecast: rain and wind", "My cat likes fish"], "a": ["", ""]})
    result = by_name(_evaluate_metrics(CONFIG, data, [dm.TopicRelevanceMetric(topic="weather forecast rain")],
                                       api_client=client))["topic_relevance"]
    first, second = (r.value for r in result.record_level_metrics)
    assert first > second


def test_service_rejection_becomes_error_records(client):
    class Unserved(dm.DetectorMetric):
        name: str = "no_such_detector"

    result = _evaluate_metrics(CONFIG, records(), [Unserved()], api_client=client).metrics_result[0]
    assert result.value == "Error" and [e.code for e in result.errors] == ["400", "400"]
    assert "Unknown detector" in result.errors[0].message_en


def test_missing_column_wrapped(client):
    with pytest.raises(Exception, match=r"^Error while computing metrics: hap\. Reason: 'q'$"):
        dm.HAPMetric().evaluate(pd.DataFrame({"x": [1], "record_id": ["a"]}), CONFIG, api_client=client)
