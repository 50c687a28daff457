"""Custom criteria metrics end to end: LLMAsJudgeMetric through the evaluation driver and real HTTP judges."""

import asyncio
import json

import pytest
from aiohttp import web

from _servers import LoopbackServer
from tessary.config import GenAIConfiguration
from tessary.entities.criteria import Option
from tessary.entities.foundation_model import OpenAIFoundationModel
from tessary.entities.llm_judge import LLMJudge
from tessary.evaluators.impl.runsmith import _evaluate_metrics, _evaluate_metrics_async
from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric
from tessary.services.judged import JudgeServer

SUPPORTED = [Option(name="supported", description="Every claim is in the context.", value=1),
             Option(name="unsupported", description="The claims are not in the context.", value=0)]
RECORDS = [
    {"input_text": "Where is Paris?", "generated_text": "Paris lies in France.", "context": "Paris lies in France."},
    {"input_text": "What do cats eat?", "generated_text": "Cats eat rocks daily.", "context": "Dogs enjoy bones."},
]


def judge(**parameters):
    return LLMJudge(model=OpenAIFoundationModel(model_id="tessary-judge", parameters=parameters or None))


@pytest.fixture
def judge_server(monkeypatch):
    server = JudgeServer()
    monkeypatch.setenv("OPENAI_BASE_URL", server.start())
    monkeypatch.setenv("LUMERIS_SERVER", "QZAI")
    yield server
    server.stop()


def grounded_metric(**kwargs):
    kwargs.setdefault("llm_judge", judge())
    return LLMAsJudgeMetric(
        name="grounded",
        criteria_description="Is the {generated_text} supported by the {context}?",
        options=SUPPORTED,
        **kwargs,
    )


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
def test_criteria_metric_through_the_driver_against_the_judge_server(judge_server, awaitable):
    configuration = GenAIConfiguration(context_fields=["context"])
    metric = grounded_metric(compute_token_count=True)
    if awaitable:
        outcome = asyncio.run(_evaluate_metrics_async(configuration=configuration, data=RECORDS, metrics=[metric]))
    else:
        outcome = _evaluate_metrics(configuration=configuration, data=RECORDS, metrics=[metric])
    (result,) = outcome.metrics_result
    assert (result.name, result.value, result.total_records, result.method) == ("grounded", 0.5, 2, "llm_as_judge")
    first, second = result.record_level_metrics
    assert (first.label, first.value, second.label, second.value) == ("supported", 1, "unsupported", 0)
    assert first.explanation.startswith("Chosen because 100%")
    assert second.additional_info["feedback"] == "Stay closer to the given material."
    assert all(record.additional_info["input_tokens"] > 50 for record in (first, second))
    assert all(record.additional_info["output_tokens"] > 5 for record in (first, second))
    assert first.record_id and first.record_timestamp


def test_prompt_template_metric_uses_the_rows_columns(judge_server):
    metric = LLMAsJudgeMetric(
        name="answer_style",
        prompt_template="Does the text '{generated_text}' answer '{input_text}'?",
        options=SUPPORTED,
        llm_judge=judge(),
    )
    outcome = _evaluate_metrics(configuration=GenAIConfiguration(), data=RECORDS, metrics=[metric])
    records = outcome.metrics_result[0].record_level_metrics
    assert [r.label for r in records] == ["supported", "supported"]
    # Token counts come with every judged record now, from the server's usage.
    assert all(r.additional_info["input_tokens"] > 0 and not r.additional_info["tokens_counted"] for r in records)


def test_metric_takes_judge_and_fields_from_the_configuration(judge_server):
    metric = LLMAsJudgeMetric(name="grounded", criteria_description="Is {generated_text} supported?", options=SUPPORTED)
    configuration = GenAIConfiguration(context_fields=["context"], llm_judge=judge())
    made = metric.provider(configuration)
    assert (made.prediction_field, made.context_fields, made.metric_group.value) == ("generated_text", ["context"], "custom")
    outcome = _evaluate_metrics(configuration=configuration, data=RECORDS, metrics=[metric])
    assert outcome.metrics_result[0].value == 0.5


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"options": SUPPORTED}, "needs a criteria_description or a prompt_template"),
        ({"criteria_description": "x", "options": []}, "at least one option"),
        ({"criteria_description": "x", "options": [Option(name=" ", value=1)]}, "non-blank name"),
    ],
)
def test_metric_definition_is_checked(arguments, message):
    with pytest.raises(ValueError, match=message):
        LLMAsJudgeMetric(name="m", **arguments)


def test_metric_without_any_judge_is_refused():
    metric = LLMAsJudgeMetric(name="m", criteria_description="x", options=SUPPORTED)
    with pytest.raises(ValueError, match="needs a judge"):
        metric.evaluate(data=None, configuration=GenAIConfiguration())


class BadJudgeServer(LoopbackServer):
    """Loopback chat server answering garbage, or nothing for longer than the client waits."""

    def __init__(self, mode):
        super().__init__(self.chat, path="/v1/chat/completions", method="POST")
        self.mode = mode
        self.requests = 0

    async def chat(self, request):
        self.requests += 1
        body = await request.json()
        if self.mode == "slow":
            await asyncio.sleep(2)
        content = "I refuse to pick." if self.mode == "garbage" else json.dumps({"selected_option": "yes"})
        return web.json_response(
            {"model": body["model"], "choices": [{"index": 0, "message": {"role": "assistant", "content": content}}]}
        )


@pytest.mark.parametrize(
    "mode, explanation, requests",
    [("garbage", "unparsable judge answer", 4), ("slow", "the inference request failed", 2)],
)
def test_garbage_or_silent_judge_gives_unparsable_records_not_a_crash(mode, explanation, requests, monkeypatch):
    monkeypatch.setenv("LUMERIS_SERVER", "QZAI")
    with BadJudgeServer(mode) as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.url + "/v1")
        metric = grounded_metric(llm_judge=judge(timeout=0.3, max_retries=0), compute_token_count=True)
        outcome = _evaluate_metrics(
            configuration=GenAIConfiguration(context_fields=["context"]), data=RECORDS, metrics=[metric]
        )
    (result,) = outcome.metrics_result
    assert result.value == "Error" and result.total_records == 2
    for record in result.record_level_metrics:
        assert (record.label, record.value) == (None, None)
        assert record.explanation.startswith(explanation)
        assert record.additional_info["input_tokens"] > 0
    assert server.requests == requests  # one corrective retry per garbage answer, none after a failure
