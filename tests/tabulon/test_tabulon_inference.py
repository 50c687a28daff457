import asyncio
import json
import re
import sys
import threading
import types

import pytest
from aiohttp import web

from _servers import LoopbackServer
from tabulon._concurrency import CallSlots
from tabulon.errors import InferenceError, MissingDependencyError
from tabulon.inference import (
    AzureOpenAIInferenceEngine,
    CrossProviderInferenceEngine,
    LiteLLMInferenceEngine,
    OpenAiInferenceEngine,
    QMLInferenceEngineGeneration,
    parse_retry_after,
)


def chat_reply(text, prompt_tokens=3, completion_tokens=2):
    return {
        "choices": [{"message": {"role": "assistant", "content": text}}],
        "usage": {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens},
    }


class ScriptedServer(LoopbackServer):
    """A loopback HTTP server whose answers a test scripts; records requests and concurrency."""

    def __init__(self):
        super().__init__(self.handle)
        self.requests = []
        self.in_flight = 0
        self.max_in_flight = 0
        self.script = lambda body, number: (200, chat_reply("ok"), {})
        # Synchronisation by events, not by sleeping: `hold` keeps every request
        # unanswered until the server stops; `crowd` keeps requests waiting until
        # that many are in flight together (the wait's time-out only guards a hang),
        # then keeps that first group a moment longer so that a client sending more
        # at once than it may would show it in `max_in_flight`.
        self.hold = False
        self.crowd = 0
        self.released = asyncio.Event()
        self.crowded = asyncio.Event()

    async def handle(self, request):
        self.in_flight += 1
        self.max_in_flight = max(self.max_in_flight, self.in_flight)
        try:
            raw = await request.read()
            body = json.loads(raw) if raw else None
            self.requests.append({"path": request.path_qs, "headers": dict(request.headers), "body": body})
            if self.hold:
                await self.released.wait()
            if self.crowd and not self.crowded.is_set():
                if self.in_flight >= self.crowd:
                    self.crowded.set()
                await asyncio.wait_for(self.crowded.wait(), timeout=10)
                await asyncio.sleep(0.05)  # a window for excess calls, not synchronisation
            status, payload, headers = self.script(body, len(self.requests))
            text = payload if isinstance(payload, str) else json.dumps(payload)
            return web.Response(status=status, text=text, headers=headers, content_type="application/json")
        finally:
            self.in_flight -= 1

    def __exit__(self, *exc):
        self.call_soon(self.released.set)
        super().__exit__(*exc)


@pytest.fixture
def server():
    with ScriptedServer() as scripted:
        yield scripted


def openai_engine(server, **options):
    options.setdefault("retry_base_delay", 0.001)
    return OpenAiInferenceEngine(
        model_name="judge-model", credentials={"api_url": server.url + "/v1", "api_key": "k"}, **options
    )


def test_chat_request_carries_model_messages_and_judge_defaults(server):
    engine = openai_engine(server)
    assert engine.infer(["hello"]) == ["ok"]
    [request] = server.requests
    assert request["path"] == "/v1/chat/completions"
    assert request["headers"]["Authorization"] == "Bearer k"
    assert request["body"] == {
        "model": "judge-model",
        "messages": [{"role": "user", "content": "hello"}],
        "temperature": 0.0,
        "seed": 42,
    }
    assert engine.usage.as_dict() == {
        "requests": 1, "cache_hits": 0, "failures": 0, "input_tokens": 3, "output_tokens": 2,
    }


def test_outputs_record_model_parameters_and_tokens(server):
    engine = openai_engine(server, temperature=0.3, seed=7, max_tokens=20)
    [output] = engine.infer([{"source": [{"role": "user", "content": "x"}]}], return_meta_data=True)
    assert (output.prediction, output.error, output.attempts) == ("ok", None, 1)
    assert output.model_name == "judge-model"
    assert output.parameters == {"temperature": 0.3, "seed": 7, "max_tokens": 20}
    assert (output.input_tokens, output.output_tokens) == (3, 2)


@pytest.mark.parametrize("status", [429, 500, 502, 503, 504])
def test_transient_statuses_are_retried_until_success(server, status):
    server.script = lambda body, n: (status, {"error": "busy"}, {}) if n < 3 else (200, chat_reply("fine"), {})
    engine = openai_engine(server)
    [output] = engine.infer(["p"], return_meta_data=True)
    assert output.prediction == "fine" and output.attempts == 3
    assert len(server.requests) == 3


def test_retry_after_is_honoured(server):
    server.script = lambda body, n: (429, "slow down", {"Retry-After": "0.25"}) if n == 1 else (200, chat_reply("ok"), {})
    engine = openai_engine(server)
    delays = []

    async def record_sleep(seconds):
        delays.append(seconds)

    engine._sleep = record_sleep
    assert engine.infer(["p"]) == ["ok"]
    assert delays == [0.25]


def test_back_off_grows_exponentially_without_retry_after(server):
    server.script = lambda body, n: (503, "down", {})
    engine = openai_engine(server, max_retries=3, retry_base_delay=1.0, max_retry_delay=100.0)
    delays = []

    async def record_sleep(seconds):
        delays.append(seconds)

    engine._sleep = record_sleep
    [output] = engine.infer(["p"], return_meta_data=True)
    assert len(delays) == 3
    for attempt, delay in enumerate(delays):  # jitter keeps each within [half, full] of 2**attempt
        assert 0.5 * 2**attempt <= delay <= 2**attempt
    assert output.prediction is None
    assert "gave up after 4 attempts" in output.error and "HTTP 503" in output.error
    assert "OpenAiInferenceEngine (judge-model)" in output.error


@pytest.mark.parametrize(
    "status, payload, reason",
    [
        (400, {"error": "bad"}, "HTTP 400"),
        (401, {"error": "who are you"}, "HTTP 401"),
        (200, "<html>oops</html>", "unparsable response"),
        (200, {"choices": []}, "no choices[0].message.content"),
        (200, {"choices": [{"message": {"content": None}}]}, "not text"),
    ],
)
def test_permanent_failures_are_recorded_without_retry(server, status, payload, reason):
    server.script = lambda body, n: (status, payload, {})
    engine = openai_engine(server)
    [output] = engine.infer(["p"], return_meta_data=True)
    assert output.prediction is None and reason in output.error
    assert len(server.requests) == 1
    with pytest.raises(InferenceError, match=f"1 of 1 prompts failed; prompt 0: .*{re.escape(reason)}"):
        engine.infer(["p"])


def test_a_slow_engine_times_out_with_its_reason(server):
    server.hold = True  # the server never answers while the test runs
    engine = openai_engine(server, timeout=0.05, max_retries=1)
    [output] = engine.infer(["p"], return_meta_data=True)
    assert output.prediction is None and "no answer within 0.05 s" in output.error
    assert output.attempts == 2


def test_connection_errors_are_retried_then_recorded(closed_port):
    port = closed_port
    engine = OpenAiInferenceEngine(
        "m", credentials={"api_url": f"http://127.0.0.1:{port}/v1"}, max_retries=2, retry_base_delay=0.001
    )
    [output] = engine.infer(["p"], return_meta_data=True)
    assert output.attempts == 3 and "connection error" in output.error


def test_cache_answers_repeated_requests_but_never_stores_errors(server):
    answers = iter([(500, "boom", {}), (200, chat_reply("first"), {}), (200, chat_reply("second"), {})])
    server.script = lambda body, n: next(answers)
    engine = openai_engine(server, use_cache=True, max_retries=0)
    [failed] = engine.infer(["same"], return_meta_data=True)
    assert failed.error is not None
    assert engine.infer(["same"]) == ["first"]  # the failure was not cached
    [cached] = engine.infer(["same"], return_meta_data=True)
    assert cached.prediction == "first" and cached.cached
    assert engine.infer(["other"]) == ["second"]
    assert len(server.requests) == 3
    assert engine.usage.cache_hits == 1 and engine.usage.failures == 1


def test_without_cache_every_request_is_sent(server):
    engine = openai_engine(server, use_cache=False)
    engine.infer(["same", "same"])
    assert len(server.requests) == 2


def test_calls_in_flight_are_bounded_across_threads(server):
    # The first requests wait until three are in flight together: fewer at once
    # would hang until the guard's time-out and fail; more shows in max_in_flight.
    server.crowd = 3
    engine = openai_engine(server, num_parallel_requests=3)
    results = []
    threads = [threading.Thread(target=lambda: results.append(engine.infer(["p"] * 12))) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [["ok"] * 12] * 3
    assert server.max_in_flight == 3


def test_blocking_infer_works_inside_a_running_loop(server):
    engine = openai_engine(server)

    async def notebook_cell():
        return engine.infer(["p"])

    assert asyncio.run(notebook_cell()) == ["ok"]


def test_data_classification_policy_refuses_records_it_does_not_allow(server):
    engine = openai_engine(server, data_classification_policy=["public"])
    outputs = engine.infer(
        [
            {"source": "a", "metadata": {"data_classification_policy": ["public"]}},
            {"source": "b", "metadata": {"data_classification_policy": ["confidential"]}},
        ],
        return_meta_data=True,
    )
    assert outputs[0].prediction == "ok"
    assert outputs[1].prediction is None and "not allowed" in outputs[1].error
    assert len(server.requests) == 1


@pytest.mark.parametrize(
    "item, error",
    [({"prompt": "x"}, "without 'source'"), (3, "must be a text")],
)
def test_bad_prompts_fail_before_any_request(server, item, error):
    engine = openai_engine(server)
    with pytest.raises((ValueError, TypeError), match=error):
        engine.infer(["fine", item])
    assert server.requests == []


def test_base_url_comes_from_openai_base_url_when_credentials_have_none(server, monkeypatch):
    monkeypatch.setenv("OPENAI_BASE_URL", server.url + "/env/v1")
    monkeypatch.setenv("OPENAI_API_KEY", "env-key")
    engine = OpenAiInferenceEngine(model_name="m", credentials={}, use_cache=False)
    engine.infer(["p"])
    assert server.requests[0]["path"] == "/env/v1/chat/completions"
    assert server.requests[0]["headers"]["Authorization"] == "Bearer env-key"


def test_public_service_without_api_key_is_refused(monkeypatch):
    monkeypatch.delenv("OPENAI_BASE_URL", raising=False)
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(ValueError, match="needs an API key"):
        OpenAiInferenceEngine(model_name="m", credentials={"api_key": None})


@pytest.mark.parametrize(
    "options, message",
    [
        ({"num_parallel_requests": 0}, "num_parallel_requests"),
        ({"timeout": -1}, "timeout"),
        ({"max_retries": -1}, "max_retries"),
    ],
)
def test_bad_engine_options_are_refused(server, options, message):
    with pytest.raises(ValueError, match=message):
        openai_engine(server, **options)


def test_azure_engine_uses_deployment_version_and_key_header(server):
    engine = AzureOpenAIInferenceEngine(
        model_name="gpt",
        credentials={"api_key": "az", "api_url": server.url, "api_version": "2024-10-21", "deployment_name": "dep"},
    )
    assert engine.infer(["p"]) == ["ok"]
    [request] = server.requests
    assert request["path"] == "/openai/deployments/dep/chat/completions?api-version=2024-10-21"
    assert request["headers"]["api-key"] == "az"
    assert "model" not in request["body"]


@pytest.mark.parametrize(
    "credentials, message",
    [({"api_key": "k"}, "'api_url'"), ({"api_url": "http://127.0.0.1:9"}, "'api_key'")],
)
def test_azure_engine_needs_endpoint_and_key(credentials, message, monkeypatch):
    monkeypatch.delenv("AZURE_OPENAI_ENDPOINT", raising=False)
    monkeypatch.delenv("AZURE_OPENAI_API_KEY", raising=False)
    with pytest.raises(ValueError, match=message):
        AzureOpenAIInferenceEngine(model_name="gpt", credentials=credentials)


def test_text_generation_engine_sends_the_service_request(server):
    server.script = lambda body, n: (
        200,
        {"results": [{"generated_text": "Rating: 4", "input_token_count": 9, "generated_token_count": 3}]},
        {},
    )
    engine = QMLInferenceEngineGeneration(
        credentials={"url": server.url, "api_key": "svc", "space_id": "sp"}, model_name="granite", use_cache=False
    )
    [output] = engine.infer([[{"role": "system", "content": "S"}, {"role": "user", "content": "U"}]], return_meta_data=True)
    assert output.prediction == "Rating: 4" and (output.input_tokens, output.output_tokens) == (9, 3)
    [request] = server.requests
    assert request["path"] == "/ml/v1/text/generation?version=2023-05-29"
    assert request["headers"]["Authorization"] == "Bearer svc"
    assert request["body"] == {
        "model_id": "granite",
        "input": "S\n\nU",
        "parameters": {"decoding_method": "greedy", "max_new_tokens": 512, "random_seed": 42},
        "space_id": "sp",
    }


def test_text_generation_engine_uses_basic_auth_without_api_key(server):
    engine = QMLInferenceEngineGeneration(
        credentials={"url": server.url, "username": "u", "password": "p", "project_id": "pr"}, model_name="m"
    )
    server.script = lambda body, n: (200, {"results": [{"generated_text": "x"}]}, {})
    engine.infer(["p"])
    assert server.requests[0]["headers"]["Authorization"] == "Basic dTpw"  # base64 of "u:p"
    assert server.requests[0]["body"]["project_id"] == "pr"


@pytest.mark.parametrize(
    "credentials, message",
    [({"project_id": "p"}, "'url'"), ({"url": "http://127.0.0.1:9"}, "'project_id' or 'space_id'")],
)
def test_text_generation_engine_needs_url_and_scope(credentials, message):
    with pytest.raises(ValueError, match=message):
        QMLInferenceEngineGeneration(credentials=credentials, model_name="m")


def test_litellm_engine_without_the_package_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "litellm", None)
    with pytest.raises(MissingDependencyError, match="pip install litellm"):
        LiteLLMInferenceEngine(model="vertex_ai/gemini", credentials={}, use_cache=False)


@pytest.fixture
def fake_litellm(monkeypatch):
    calls = []

    class RateLimited(Exception):
        status_code = 429

    async def acompletion(**kwargs):
        calls.append(kwargs)
        if kwargs["messages"][0]["content"] == "limited" and len(calls) == 1:
            raise RateLimited("too many")
        return chat_reply("lite")

    monkeypatch.setitem(sys.modules, "litellm", types.SimpleNamespace(acompletion=acompletion))
    return calls


def test_litellm_engine_passes_credentials_and_retries_rate_limits(fake_litellm):
    engine = LiteLLMInferenceEngine(
        model="bedrock/claude", credentials={"aws_region_name": "eu", "api_key": "k"}, retry_base_delay=0.001, top_p=0.5
    )
    assert engine.infer(["limited"]) == ["lite"]
    assert len(fake_litellm) == 2
    call = fake_litellm[-1]
    assert call["model"] == "bedrock/claude" and call["aws_region_name"] == "eu" and call["api_key"] == "k"
    assert call["top_p"] == 0.5 and call["temperature"] == 0.0


@pytest.mark.parametrize(
    "provider, credentials, engine_class, model",
    [
        ("open-ai", {"api_key": "k", "api_url": "http://127.0.0.1:9/v1"}, OpenAiInferenceEngine, "m"),
        ("lumeris-sdk", {"url": "http://127.0.0.1:9", "project_id": "p"}, QMLInferenceEngineGeneration, "m"),
        ("vertex-ai", {}, LiteLLMInferenceEngine, "vertex_ai/m"),
        ("aws", {}, LiteLLMInferenceEngine, "bedrock/m"),
    ],
)
def test_cross_provider_engine_chooses_by_provider(fake_litellm, provider, credentials, engine_class, model):
    engine = CrossProviderInferenceEngine(
        model="m",
        provider=provider,
        credentials=credentials,
        provider_specific_args={provider: {"temperature": 0.2, "concurrency_limit": 4}},
        seed=36,
        data_classification_policy=["public"],
        use_cache=True,
    )
    assert type(engine.engine) is engine_class
    assert engine.engine.model_name == model
    assert engine.engine.num_parallel_requests == 4
    assert engine.parameters == {"temperature": 0.2, "seed": 36}
    assert engine.use_cache is True


def test_cross_provider_engine_delegates_inference(server):
    engine = CrossProviderInferenceEngine(
        model="m", provider="open-ai", credentials={"api_key": "k", "api_url": server.url + "/v1"},
        provider_specific_args={"open-ai": {"temperature": 0}}, seed=36,
    )
    assert engine.infer(["p"]) == ["ok"]
    assert server.requests[0]["body"]["seed"] == 36


@pytest.mark.parametrize("provider, message", [(None, "needs a 'provider'"), ("carrier-pigeon", "unknown provider 'carrier-pigeon'")])
def test_cross_provider_engine_refuses_unknown_providers(provider, message):
    with pytest.raises(ValueError, match=message):
        CrossProviderInferenceEngine(model="m", provider=provider, credentials={})


@pytest.mark.parametrize(
    "header, expected",
    [("3", 3.0), ("0.5", 0.5), ("-2", 0.0), (None, None), ("soon", None), ("Wed, 21 Oct 2015 07:28:00 GMT", 0.0)],
)
def test_parse_retry_after(header, expected):
    assert parse_retry_after(header) == expected


def test_call_slots_hand_over_to_waiters_and_survive_cancellation():
    async def scenario():
        slots = CallSlots(1)
        await slots.acquire()
        cancelled = asyncio.ensure_future(slots.acquire())
        waiting = asyncio.ensure_future(slots.acquire())
        await asyncio.sleep(0)
        cancelled.cancel()
        slots.release()
        await waiting  # the slot skipped the cancelled waiter
        assert slots.in_use == 1
        slots.release()
        assert slots.in_use == 0

    asyncio.run(scenario())


@pytest.mark.parametrize("source", [
    "plain prompt",
    "naïve \u2603 \ud83d\ude00 and a lone \udc80",
    [], [{"role": "user", "content": "q"}],
    [{"role": "user", "content": "b", "name": "z"}, {"content": "a", "role": "system"}],
    [{"role": "system", "content": "naïve \u2603\n\"q\" \ud83d\ude00 \udc80"}, {"content": "a\tb", "role": "user"},
     {"role": "user", "content": "naïve \u2603\n\"q\" \ud83d\ude00 \udc80"}],
    [{"role": "user", "content": 3}, {"role": "user", "text": "a"}],
    {"nested": {"b": [1, 2.5, None, True], "a": object}},
])
def test_batch_cache_keys_are_the_keys_of_single_requests(server, source):
    engine = openai_engine(server, use_cache=True, temperature=0.3, stop=["\n", "é"])
    assert engine._cache_keys([source, "other"]) == [engine._cache_key(source), engine._cache_key("other")]
