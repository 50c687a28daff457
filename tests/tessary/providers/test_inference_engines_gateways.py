"""The package's inference engines: custom function, Portkey gateway, agent gateway, Google AI Studio."""
import json
import threading
import time

import pytest
from aiohttp import web

from _servers import LoopbackServer
from tabulon.errors import InferenceError
from tessary.entities.foundation_model import PortKeyCredentials
from tessary.providers.inference_engines.custom_inference_engine import CustomFunctionInferenceEngine
from tessary.providers.inference_engines.google_inference_engine import GoogleStudioInferenceEngine
from tessary.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine
from tessary.providers.inference_engines.qzo_ai_gateway_inference_engine import QzoAIGatewayInferenceEngine


class Server(LoopbackServer):
    """A loopback server answering every POST from `reply(body, number)`; keeps the requests."""

    def __init__(self, reply):
        super().__init__(self.handle, method="POST")
        self.reply, self.requests = reply, []

    async def handle(self, request):
        body = await request.json()
        self.requests.append({"path": request.path, "headers": dict(request.headers), "body": body})
        status, payload, headers = self.reply(body, len(self.requests))
        return web.json_response(payload, status=status, headers=headers)


def chat(text):
    return 200, {"choices": [{"message": {"content": text}}], "usage": {"prompt_tokens": 4, "completion_tokens": 1}}, {}


def test_custom_engine_bounds_parallel_calls_and_passes_context():
    active, peak, guard, seen = [0], [0], threading.Lock(), []

    def score(prompt, context):
        with guard:
            active[0] += 1
            peak[0] = max(peak[0], active[0])
        time.sleep(0.02)
        with guard:
            active[0] -= 1
        seen.append(context)
        return prompt.upper()

    engine = CustomFunctionInferenceEngine(scoring_fn=score, model_name="mine", context={"c": 1},
                                           num_parallel_requests=3, use_cache=False)
    answers = engine.infer([f"p{i}" for i in range(9)])
    assert answers == [f"P{i}" for i in range(9)] and peak[0] == 3 and seen == [{"c": 1}] * 9


def test_custom_engine_failures_stay_per_prompt_and_cache_reuses_answers():
    calls = []

    async def score(prompt):
        calls.append(prompt)
        if prompt == "bad":
            raise ValueError("no score for you")
        return None if prompt == "none" else "ok"

    engine = CustomFunctionInferenceEngine(scoring_fn=score, use_cache=True, max_retries=0)
    outputs = engine.infer(["good", "bad", "none"], return_meta_data=True)
    assert outputs[0].prediction == "ok" and "ValueError: no score for you" in outputs[1].error
    assert "must return a text" in outputs[2].error
    engine.infer(["good"])
    assert calls.count("good") == 1 and engine.usage.cache_hits == 1
    with pytest.raises(InferenceError):
        engine.infer(["bad"])


@pytest.mark.parametrize("as_record", [False, True])
def test_portkey_engine_both_call_forms(as_record):
    with Server(lambda body, n: chat("Rating: 4")) as server:
        values = {"api_key": "pk", "url": server.url + "/v1", "provider": "openai", "provider_api_key": "sk"}
        credentials = PortKeyCredentials(**values) if as_record else values
        if as_record:  # the criteria judge's mapping plus use_cache
            engine = PortKeyInferenceEngine(seed=36, data_classification_policy=["public"], credentials=credentials,
                                            model="gpt-x", use_cache=False)
        else:  # the judge provider's keywords
            engine = PortKeyInferenceEngine(credentials=credentials, model="gpt-x", use_cache=False)
        assert engine.infer(["hello"]) == ["Rating: 4"]
    (request,) = server.requests
    assert request["path"] == "/v1/chat/completions"
    assert request["headers"]["x-portkey-api-key"] == "pk" and request["headers"]["x-portkey-provider"] == "openai"
    assert request["headers"]["Authorization"] == "Bearer sk"
    assert request["body"]["model"] == "gpt-x" and request["body"]["messages"] == [{"role": "user", "content": "hello"}]
    assert request["body"]["seed"] == (36 if as_record else 42) and request["body"]["temperature"] == 0.0


def test_portkey_engine_needs_a_key(monkeypatch):
    monkeypatch.delenv("PORTKEY_API_KEY", raising=False)
    with pytest.raises(ValueError, match="API key"):
        PortKeyInferenceEngine(credentials={"url": "http://127.0.0.1:9"}, model="m")


def test_gateway_engine_retries_and_names_no_model():
    replies = iter([(503, {"error": "busy"}, {"Retry-After": "0"}), chat("Answer: yes")])
    with Server(lambda body, n: next(replies)) as server:
        engine = QzoAIGatewayInferenceEngine(credentials={"url": server.url, "api_key": "g"}, use_cache=False)
        assert engine.infer(["judge this"]) == ["Answer: yes"]
    assert len(server.requests) == 2 and "model" not in server.requests[-1]["body"]
    assert server.requests[-1]["headers"]["Authorization"] == "Bearer g"
    with pytest.raises(ValueError, match="URL"):
        QzoAIGatewayInferenceEngine(credentials={}, use_cache=False)


def test_google_studio_engine_with_the_criteria_judge_mapping():
    def reply(body, n):
        return 200, {"candidates": [{"content": {"parts": [{"text": "Rating: "}, {"text": "3"}]}}],
                     "usageMetadata": {"promptTokenCount": 7, "candidatesTokenCount": 2}}, {}

    with Server(reply) as server:
        engine = GoogleStudioInferenceEngine(seed=36, data_classification_policy=["public"],
                                             credentials={"api_key": "g", "url": server.url},
                                             provider="vertex-ai", model="gemini-x", use_cache=False)
        outputs = engine.infer([[{"role": "system", "content": "be fair"}, {"role": "user", "content": "rate"}]],
                               return_meta_data=True)
    assert outputs[0].prediction == "Rating: 3" and (outputs[0].input_tokens, outputs[0].output_tokens) == (7, 2)
    (request,) = server.requests
    assert request["path"] == "/models/gemini-x:generateContent" and request["headers"]["x-goog-api-key"] == "g"
    assert request["body"]["systemInstruction"] == {"parts": [{"text": "be fair"}]}
    assert request["body"]["contents"] == [{"role": "user", "parts": [{"text": "rate"}]}]
    assert request["body"]["generationConfig"] == {"temperature": 0.0, "seed": 36}
