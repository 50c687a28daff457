"""Bad input end to end: the evaluation driver with the real metric classes and providers.

Every case ends either with the wrapped evaluation error ("Error while computing metrics: ...") or with
per-record error records: never a crash, a hang past the transport's time-outs, or a score that hides
the failure.
"""

import asyncio
import json
import math

import aiohttp
import aiohttp.client
import numpy as np
import pandas as pd
import pytest
from aiohttp import web

from _servers import LoopbackServer
from tabulon import _engine as tabulon_engine
from tessary.clients.api_client import APIClient
from tessary.config import GenAIConfiguration
from tessary.entities import foundation_model as fm
from tessary.entities.credentials import Credentials, QzAICredentials
from tessary.entities.criteria import Option
from tessary.entities.llm_judge import LLMJudge
from tessary.evaluators.impl.runsmith import _evaluate_metrics, _evaluate_metrics_async
from tessary.metrics import detector_metrics as dm
from tessary.metrics.judge_metrics import AnswerCorrectnessMetric, FaithfulnessMetric
from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric
from tessary.providers import loomwright as lw
from tessary.services.detectd import DetectionService

WRAPPED = "Error while computing metrics: "
LONG_TEXT = "word " * 210_000  # just over 1 MB
DEEP = "[" * 100_000  # a JSON text nested too deeply for the decoder
TOOLS = [{"type": "function", "function": {"name": "get_weather", "parameters": {
    "type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}]
DETECTOR_CONFIG = GenAIConfiguration(input_fields=["q"], output_fields=["a"], context_fields=["c"],
                                     tool_calls_field="calls", tools=TOOLS)
CALL = '[{"id": "1", "type": "function", "function": {"name": "get_weather", "arguments": "{\\"city\\": \\"Oslo\\"}"}}]'


@pytest.fixture(autouse=True)
def python_string_storage():
    # With pyarrow installed, pandas keeps text in Arrow arrays, which cannot hold lone surrogates;
    # tables of such text need pandas' Python string storage, as users holding them do.
    with pd.option_context("mode.string_storage", "python"):
        yield


def run(awaitable, configuration, data, metrics, **kwargs):
    if awaitable:
        return asyncio.run(_evaluate_metrics_async(configuration, data, metrics, **kwargs))
    return _evaluate_metrics(configuration, data, metrics, **kwargs)


def by_name(outcome):
    return {result.name: result for result in outcome.metrics_result}


def is_missing(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


# ---------------------------------------------------------------------------------------------
# Scripted loopback servers


class BadServer(LoopbackServer):
    """A loopback server answering every POST badly, the same way each time, on any path."""

    def __init__(self, mode):
        super().__init__(self.answer, method="POST", shutdown_grace=0.5)
        self.mode = mode
        self.requests = 0

    async def answer(self, request):
        self.requests += 1
        await request.read()
        mode = self.mode
        if mode == "hang":
            await asyncio.sleep(5)
            return web.Response(text="{}")
        if mode == "drop":
            request.transport.close()
            return web.Response(text="{}")
        if mode == "garbage":
            return web.Response(text="<html>not json at all", content_type="text/html")
        if mode == "429":
            return web.json_response({"error": "slow down"}, status=429)
        if mode == "500":
            return web.json_response({"error": "internal"}, status=500)
        return web.Response(text=mode, content_type="application/json")  # a JSON body of the wrong shape


@pytest.fixture
def short_client_timeouts(monkeypatch):
    """Small time-outs for sessions created with aiohttp's defaults, and no back-off pauses for the engines."""
    monkeypatch.setattr(aiohttp.client, "DEFAULT_TIMEOUT", aiohttp.ClientTimeout(total=1, sock_connect=1))
    defaults = dict(tabulon_engine.InferenceEngine.__init__.__kwdefaults__)
    defaults.update(timeout=0.5, max_retries=1)
    monkeypatch.setattr(tabulon_engine.InferenceEngine.__init__, "__kwdefaults__", defaults)

    async def no_pause(self, seconds):
        return None

    monkeypatch.setattr(tabulon_engine.InferenceEngine, "_sleep", no_pause)


def platform_client(url):
    return APIClient(credentials=Credentials(url=url, version="5.0", bearer_token="t", service_instance_id="inst"))


# ---------------------------------------------------------------------------------------------
# Detector metrics against the local detection service


@pytest.fixture(scope="module")
def detection_client():
    service = DetectionService()
    url = service.start()
    yield platform_client(url)
    service.stop()


def detector_metrics():
    return [dm.HAPMetric(), dm.PIIMetric(), dm.FaithfulnessMetric(), dm.AnswerRelevanceMetric(),
            dm.ContextRelevanceMetric(), dm.KeywordDetectionMetric(keywords=["oslo"])]


def detector_records(cell):
    # Object columns: with pyarrow installed, pandas' default text columns refuse lone surrogates.
    return pd.DataFrame({"q": [cell, "Weather in Oslo?"], "a": [cell, "Oslo is rainy."],
                         "c": [[cell], ["Oslo is rainy today."]], "calls": [CALL, CALL]}, dtype=object)


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize(
    "cell",
    [None, math.nan, 7, 2.5, math.inf, True, ["a", 1], {"k": [1]}, 10**30, ""],
    ids=["none", "nan", "int", "float", "inf", "bool", "list", "dict", "bigint", "empty"],
)
def test_detector_non_text_cells_become_error_records(detection_client, cell, awaitable):
    outcome = run(awaitable, DETECTOR_CONFIG, detector_records(cell), detector_metrics(), api_client=detection_client)
    results = by_name(outcome)
    assert len(results) == 6
    for result in results.values():
        bad, good = result.record_level_metrics
        if awaitable or cell is None or result.name not in ("answer_relevance",):
            # The service refuses the record: an error record, never a score.
            assert bad.value is None and bad.errors and bad.errors[0].code == "400", result.name
        assert isinstance(good.value, int | float) and good.errors is None
        assert result.value == result.mean and result.errors is None


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize(
    "cell", ["a\ud800b \udfff", "héllo 日本 \U0001f600 Oslo", LONG_TEXT, "nul\x00byte"],
    ids=["lone-surrogates", "non-ascii", "1mb", "nul"],
)
def test_detector_odd_text_is_scored(detection_client, cell, awaitable):
    outcome = run(awaitable, DETECTOR_CONFIG, detector_records(cell), detector_metrics(), api_client=detection_client)
    for result in outcome.metrics_result:
        assert result.total_records == 2
        for record in result.record_level_metrics:
            assert record.errors is None and 0 <= record.value <= 1, (result.name, record)


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize(
    "cell, reason",
    [(np.int64(3), "Object of type int64 is not JSON serializable"),
     (b"bytes", "Object of type bytes is not JSON serializable")],
    ids=["numpy-scalar", "bytes"],
)
def test_detector_unencodable_cells_give_the_wrapped_error(detection_client, cell, reason, awaitable):
    data = pd.DataFrame({"q": pd.Series([cell, "fine"], dtype=object), "a": ["x", "y"]})
    with pytest.raises(Exception, match=f"^{WRAPPED}hap. Reason: {reason}"):
        run(awaitable, DETECTOR_CONFIG, data, [dm.HAPMetric()], api_client=detection_client)


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize(
    "calls, reason",
    [("{not json", "Expecting property name"), ("", "Expecting value"), ('[{"function": 5}]', ""),
     ("[1]", "A tool call must be a mapping"), (7, "Cannot read tool calls")],
    ids=["truncated", "empty", "function-not-mapping", "number-in-list", "number"],
)
def test_undecodable_tool_calls_give_the_wrapped_error(detection_client, calls, reason, awaitable):
    data = pd.DataFrame({"q": ["Weather?", "Weather?"], "a": ["x", "y"], "calls": [calls, CALL]})
    with pytest.raises(Exception, match=f"^{WRAPPED}tool_call_accuracy. Reason: {reason}"):
        run(awaitable, DETECTOR_CONFIG, data, [dm.ToolCallAccuracyMetric()], api_client=detection_client)


def test_tool_call_with_unparsable_arguments_gives_the_wrapped_error(detection_client):
    bad = '[{"id": "1", "type": "function", "function": {"name": "get_weather", "arguments": "{city"}}]'
    data = pd.DataFrame({"q": ["Weather?"], "a": ["x"], "calls": [bad]})
    with pytest.raises(Exception, match=f"^{WRAPPED}tool_call_accuracy. Reason: Expecting property name"):
        _evaluate_metrics(DETECTOR_CONFIG, data, [dm.ToolCallAccuracyMetric()], api_client=detection_client)


@pytest.mark.parametrize(
    "data, reason",
    [(pd.DataFrame({"x": [1, 2], "a": ["p", "q"]}), "'q'"),
     (pd.DataFrame([["a", "b", "c"]], columns=["q", "q", "a"]), "'DataFrame' object has no attribute 'tolist'")],
    ids=["missing-input-column", "duplicate-columns"],
)
def test_detector_unusable_tables_give_the_wrapped_error(detection_client, data, reason):
    with pytest.raises(Exception, match=f"^{WRAPPED}hap. Reason: {reason}$"):
        asyncio.run(_evaluate_metrics_async(DETECTOR_CONFIG, data, [dm.HAPMetric()], api_client=detection_client))


def test_detector_one_row_table(detection_client):
    data = {"q": "You are an idiot", "a": "Oslo", "c": ["Oslo"], "calls": CALL}
    results = by_name(_evaluate_metrics(DETECTOR_CONFIG, data, detector_metrics() + [dm.ToolCallAccuracyMetric()],
                                        api_client=detection_client))
    assert results["hap"].total_records == 1 and results["hap"].value > 0.5
    assert results["tool_call_accuracy"].value == 1


def test_detection_service_keeps_serving_after_bad_bodies(detection_client):
    async def post_all():
        url = detection_client.credentials.url.rstrip("/")
        async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=10)) as session:
            statuses = []
            for body in (b"{", b"\xff\xfe", b"[]", b'{"detectors": 5}', b'{"detectors": {"hap": {}}, "input": 5}'):
                async with session.post(f"{url}/ml/v1/text/detection?version=2023-10-30", data=body,
                                        headers={"Content-Type": "application/json"}) as response:
                    statuses.append(response.status)
            return statuses

    assert set(asyncio.run(post_all())) <= {400, 404}
    outcome = _evaluate_metrics(DETECTOR_CONFIG, {"q": "idiot", "a": "x"}, [dm.HAPMetric()], api_client=detection_client)
    assert outcome.metrics_result[0].value > 0.5


# ---------------------------------------------------------------------------------------------
# Detector metrics against a misbehaving service


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize(
    "mode, code, message",
    [("garbage", "REQUEST_FAILED", "Expecting value"), ("429", "429", "slow down"), ("500", "500", "internal"),
     ("drop", "REQUEST_FAILED", ""), ("hang", "REQUEST_FAILED", ""), (DEEP, "REQUEST_FAILED", "recursion")],
    ids=["garbage", "429", "500", "drop", "hang", "deeply-nested"],
)
def test_detector_service_failures_become_error_records(short_client_timeouts, mode, code, message, awaitable):
    with BadServer(mode) as server:
        outcome = run(awaitable, DETECTOR_CONFIG, detector_records("Oslo"), [dm.HAPMetric(), dm.FaithfulnessMetric()],
                      api_client=platform_client(server.url))
    for result in outcome.metrics_result:
        assert result.value == "Error" and result.total_records == 2 and result.mean is None
        assert [e.code for e in result.errors] == [code, code]
        for record in result.record_level_metrics:
            assert record.value is None and record.errors[0].code == code
            assert message in record.errors[0].message_en
    assert server.requests == 4  # no retries for these statuses


@pytest.mark.parametrize(
    "answer, reason",
    [('{"unexpected": true}', 'no "detections"'), ("[1, 2]", "list, not a JSON object"), ("null", "null"),
     ('"text"', "str, not a JSON object"), ('{"detections": [{"text": "x"}]}', 'no "score"'),
     ('{"detections": [{"score": "high"}]}', "not a number"), ('{"detections": 5}', "int, not a list"),
     ('{"error": "boom"}', "boom"), ('{"detections": [{"score": NaN}]}', "not a finite number"),
     ('{"detections": [{"score": Infinity}]}', "not a finite number"),
     ('{"detections": [{"score": 1.5}]}', "outside 0 to 1"), ('{"detections": null}', "null, not a list")],
    ids=["no-detections", "list", "null", "string", "no-score", "text-score", "number-detections", "error-member",
         "nan", "inf", "out-of-range", "null-detections"],
)
def test_detector_answers_of_the_wrong_shape_become_error_records(short_client_timeouts, answer, reason):
    with BadServer(answer) as server:
        outcome = _evaluate_metrics(DETECTOR_CONFIG, detector_records("Oslo"), [dm.HAPMetric()],
                                    api_client=platform_client(server.url))
    (result,) = outcome.metrics_result
    assert result.value == "Error" and result.total_records == 2
    for record in result.record_level_metrics:
        assert record.value is None and record.errors[0].code == "INVALID_RESPONSE"
        assert reason in record.errors[0].message_en


# ---------------------------------------------------------------------------------------------
# Judge and catalog metrics (tabulon) against the local judge server and misbehaving servers

JUDGE_CONFIG = GenAIConfiguration(context_fields=["context"], reference_fields=["ground_truth"])


def judge_records(cell):
    return pd.DataFrame({"input_text": [cell, "Who wrote Hamlet?"], "generated_text": [cell, "Charles Dickens."],
                         "context": [cell, "Hamlet is a tragedy by William Shakespeare."],
                         "ground_truth": [cell, "William Shakespeare"], "record_id": ["r1", "r2"]},
                        dtype=object)  # object columns keep lone surrogates (see detector_records)


def service_judge(url):
    credentials = QzAICredentials(url=url, api_key="local")
    return LLMJudge(model=fm.QzAIFoundationModel(model_id="tessary-judge", project_id="p",
                                                 provider=fm.QzAIModelProvider(credentials=credentials)))


@pytest.fixture
def hosted(monkeypatch):
    monkeypatch.setenv("LUMERIS_SERVER", "QZAI")  # no default platform client
    lw._inference_engine_cache.clear()
    yield
    lw._inference_engine_cache.clear()


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize(
    "cell", [None, math.nan, 7, ["a", "b"], {"k": 1}, "", "a\ud800b 日本", "{generated_text} {0} {{x}} {"],
    ids=["none", "nan", "int", "list", "dict", "empty", "surrogates", "braces"],
)
def test_judge_and_catalog_metrics_take_odd_cells(hosted, judge_server, cell, awaitable):
    metrics = [FaithfulnessMetric(method="llm_as_judge", llm_judge=service_judge(judge_server.root_url)),
               AnswerCorrectnessMetric(method="token_recall")]
    outcome = run(awaitable, JUDGE_CONFIG, judge_records(cell), metrics)
    for result in outcome.metrics_result:
        assert result.total_records == 2
        good = result.record_level_metrics[1]
        assert good.value == 0.0  # the other record is scored on its own
        assert all(is_missing(r.value) or 0 <= r.value <= 1 for r in result.record_level_metrics)


@pytest.mark.parametrize(
    "mode", ["garbage", "429", "500", "drop", "hang", '{"results": []}', '{"choices": "x"}', DEEP],
    ids=["garbage", "429", "500", "drop", "hang", "no-results", "bad-choices", "deeply-nested"],
)
def test_judge_failures_give_missing_scores(hosted, short_client_timeouts, mode):
    with BadServer(mode) as server:
        metric = FaithfulnessMetric(method="llm_as_judge", llm_judge=service_judge(server.url))
        outcome = _evaluate_metrics(JUDGE_CONFIG, judge_records("Paris is in France."), [metric])
    (result,) = outcome.metrics_result
    assert result.total_records == 2
    assert all(is_missing(r.value) for r in result.record_level_metrics)  # no invented score
    assert is_missing(result.value) and is_missing(result.mean)


@pytest.mark.parametrize(
    "data, reason",
    [(pd.DataFrame({"generated_text": ["a"], "context": ["b"]}), "record_id"),
     (pd.DataFrame([["q", "a", "c", "x"]], columns=["input_text", "generated_text", "context", "generated_text"]),
      "")],
    ids=["missing-record-id", "duplicate-columns"],
)
def test_judge_unusable_tables_give_the_wrapped_error(hosted, judge_server, data, reason):
    metric = AnswerCorrectnessMetric(method="token_recall")
    configuration = JUDGE_CONFIG.model_copy(update={"record_id_field": "missing_id"}) if reason else JUDGE_CONFIG
    coroutine = _evaluate_metrics_async(configuration, data, [metric])
    with pytest.raises(Exception, match=f"^{WRAPPED}answer_correctness with the method token_recall"):
        asyncio.run(coroutine)


def test_judge_of_unknown_kind_gives_the_wrapped_error(hosted):
    judge = LLMJudge(model=fm.FoundationModel(model_id="m", provider=fm.ModelProvider(type="openai")))
    metric = FaithfulnessMetric(method="llm_as_judge", llm_judge=judge)
    with pytest.raises(Exception, match=f"^{WRAPPED}faithfulness .* Reason: LLM Model provider is not supported.$"):
        _evaluate_metrics(JUDGE_CONFIG, judge_records("x"), [metric])


# ---------------------------------------------------------------------------------------------
# Custom criteria metrics (critmark) against the local judge server and misbehaving servers

OPTIONS = [Option(name="supported", description="Every claim is in the context.", value=1),
           Option(name="unsupported", description="The claims are not in the context.", value=0)]


def criteria_metric(**parameters):
    judge = LLMJudge(model=fm.OpenAIFoundationModel(model_id="tessary-judge", parameters=parameters or None))
    return LLMAsJudgeMetric(name="grounded", criteria_description="Is the {generated_text} supported by the {context}?",
                            options=OPTIONS, llm_judge=judge, compute_token_count=True)


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize(
    "cell", [None, math.nan, 7, ["a"], {"k": 1}, "", "a\ud800b 日本", "{context} {0} {{x}} {", LONG_TEXT],
    ids=["none", "nan", "int", "list", "dict", "empty", "surrogates", "braces", "1mb"],
)
def test_criteria_metric_takes_odd_cells(hosted, judge_server, monkeypatch, cell, awaitable):
    monkeypatch.setenv("OPENAI_BASE_URL", judge_server.base_url)
    outcome = run(awaitable, GenAIConfiguration(context_fields=["context"]), judge_records(cell),
                  [criteria_metric(timeout=5, max_retries=0)])
    (result,) = outcome.metrics_result
    bad, good = result.record_level_metrics
    assert (good.label, good.value) == ("unsupported", 0)
    assert (bad.label, bad.value) in {("supported", 1), ("unsupported", 0), (None, None)}
    if bad.label is None:
        assert bad.explanation


@pytest.mark.parametrize(
    "mode, explanation",
    [("garbage", "the inference request failed"), ("429", "the inference request failed"),
     ("500", "the inference request failed"), ("drop", "the inference request failed"),
     ("hang", "the inference request failed"), ('{"choices": []}', "the inference request failed"),
     ('{"choices": [{"message": {"content": "no idea"}}]}', "unparsable judge answer"),
     (DEEP, "the inference request failed")],
    ids=["garbage", "429", "500", "drop", "hang", "no-choices", "no-option", "deeply-nested"],
)
def test_criteria_judge_failures_become_unparsable_records(hosted, monkeypatch, mode, explanation):
    with BadServer(mode) as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.url + "/v1")
        outcome = _evaluate_metrics(GenAIConfiguration(context_fields=["context"]), judge_records("Paris."),
                                    [criteria_metric(timeout=0.5, max_retries=0)])
    (result,) = outcome.metrics_result
    assert result.value == "Error" and result.total_records == 2
    for record in result.record_level_metrics:
        assert (record.label, record.value) == (None, None)
        assert record.explanation.startswith(explanation)


@pytest.mark.parametrize(
    "data, reason",
    [(pd.DataFrame({"input_text": ["q"], "context": ["c"]}), "generated_text"),
     (pd.DataFrame([["q", "a", "c", "x"]], columns=["input_text", "generated_text", "context", "generated_text"]),
      "'DataFrame' object has no attribute 'tolist'")],
    ids=["missing-prediction-column", "duplicate-columns"],
)
def test_criteria_unusable_tables_give_the_wrapped_error(hosted, judge_server, monkeypatch, data, reason):
    monkeypatch.setenv("OPENAI_BASE_URL", judge_server.base_url)
    with pytest.raises(Exception, match=f"^{WRAPPED}grounded. Reason: .*{reason}") as caught:
        asyncio.run(_evaluate_metrics_async(GenAIConfiguration(context_fields=["context"]), data,
                                            [criteria_metric()]))
    assert caught.value.__cause__ is not None


def test_criteria_template_naming_an_absent_column(hosted, judge_server, monkeypatch):
    monkeypatch.setenv("OPENAI_BASE_URL", judge_server.base_url)
    judge = LLMJudge(model=fm.OpenAIFoundationModel(model_id="tessary-judge"))
    metric = LLMAsJudgeMetric(name="styled", prompt_template="Is '{generated_text}' about {absent}?",
                              options=OPTIONS, llm_judge=judge)
    with pytest.raises(Exception, match=f"^{WRAPPED}styled. Reason: "):
        _evaluate_metrics(GenAIConfiguration(), judge_records("x"), [metric])


@pytest.mark.parametrize(
    "model, reason",
    # Azure judges now serve criteria metrics too: one engine table for every judged path.
    [(fm.FoundationModel(model_id="m", provider=fm.ModelProvider(type="openai")), "LLM Model provider is not supported.")],
    ids=["unknown"],
)
def test_criteria_judge_of_unsupported_kind_gives_the_wrapped_error(hosted, model, reason):
    metric = LLMAsJudgeMetric(name="grounded", criteria_description="Is {generated_text} true?", options=OPTIONS,
                              llm_judge=LLMJudge(model=model))
    with pytest.raises(Exception, match=f"^{WRAPPED}grounded. Reason: {reason}$"):
        _evaluate_metrics(GenAIConfiguration(), judge_records("x"), [metric])


def chat_answer(content):
    return json.dumps({"model": "m", "choices": [{"index": 0, "message": {"role": "assistant", "content": content}}]})


@pytest.mark.parametrize(
    "content, explanation",
    [('{"selected_option": ' + "[" * 100_000, "unparsable judge answer"),
     ('{"selected_option": {"name": "supported"}}', "unparsable judge answer"),
     ('{"selected_option": NaN}', "unparsable judge answer"),
     ("", "unparsable judge answer")],
    ids=["deeply-nested", "option-mapping", "option-nan", "empty"],
)
def test_criteria_judge_odd_answers_become_unparsable_records(hosted, monkeypatch, content, explanation):
    with BadServer(chat_answer(content)) as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.url + "/v1")
        outcome = _evaluate_metrics(GenAIConfiguration(context_fields=["context"]), judge_records("Paris."),
                                    [criteria_metric(timeout=5, max_retries=0)])
    (result,) = outcome.metrics_result
    assert result.value == "Error" and result.total_records == 2
    for record in result.record_level_metrics:
        assert (record.label, record.value) == (None, None)
        assert record.explanation.startswith(explanation)


@pytest.mark.parametrize("path", ["/v1/chat/completions", "/ml/v1/text/generation?version=2023-05-29"],
                         ids=["chat", "generation"])
@pytest.mark.parametrize(
    "body", [b"{", b"\xff\xfe", b"[]", b"null", DEEP.encode(), b'{"messages": [{"content": 5}]}'],
    ids=["truncated", "not-utf8", "list", "null", "deeply-nested", "content-not-text"],
)
def test_judge_server_refuses_bad_bodies_with_json_and_keeps_serving(judge_server, path, body):
    async def post():
        async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=10)) as session:
            async with session.post(judge_server.root_url.rstrip("/") + path, data=body,
                                    headers={"Content-Type": "application/json"}) as response:
                return response.status, await response.json()

    status, answer = asyncio.run(post())
    assert status == 400 and answer["error"]["code"] == 400
    assert asyncio.run(_judge_server_answers(judge_server))


async def _judge_server_answers(server):
    async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=10)) as session:
        body = {"model": "tessary-judge", "messages": [{"role": "user", "content": "hello"}]}
        async with session.post(server.base_url + "/chat/completions", json=body) as response:
            return response.status == 200


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
@pytest.mark.parametrize("expression", ["(a|aa)+$", "(a|a)+b"], ids=["alternation", "same-branches"])
def test_regex_with_catastrophic_backtracking_fails_its_record_only(detection_client, expression, awaitable):
    data = pd.DataFrame({"q": ["a" * 40 + "!", "a b"], "a": ["x", "y"]})
    outcome = run(awaitable, DETECTOR_CONFIG, data, [dm.RegexDetectionMetric(regex=[expression])],
                  api_client=detection_client)
    (result,) = outcome.metrics_result
    slow, quick = result.record_level_metrics
    assert slow.value is None and slow.errors[0].code == "400" and "took longer than" in slow.errors[0].message_en
    assert quick.value == 0 and quick.errors is None
    # The service is still serving.
    assert _evaluate_metrics(DETECTOR_CONFIG, {"q": "idiot", "a": "x"}, [dm.HAPMetric()],
                             api_client=detection_client).metrics_result[0].value > 0.5
