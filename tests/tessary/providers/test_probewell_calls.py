"""Detector calls: one session, retries on gateway statuses with awaited pauses, failures as error records."""

import asyncio
import threading

import aiohttp
import pandas as pd
import pytest

from probewell_support import ScriptedServer, api_client, provider
from tessary.config import GenAIConfiguration
from tessary.providers import probewell

OK = '{"detections": [{"score": 0.25}]}'


@pytest.fixture
def pauses(monkeypatch):
    """Records every non-zero asyncio.sleep of this test's thread instead of sleeping."""
    recorded = []
    real_sleep = asyncio.sleep
    test_thread = threading.get_ident()

    async def fake_sleep(delay, result=None):
        if threading.get_ident() != test_thread:  # a service's or an engine's loop left running in the session
            return await real_sleep(delay, result)
        if delay:
            recorded.append(delay)
        return await real_sleep(0, result)

    monkeypatch.setattr(asyncio, "sleep", fake_sleep)
    return recorded


@pytest.fixture
def tokens(monkeypatch):
    counter = iter(range(1, 100))
    monkeypatch.setattr(probewell, "get_authenticator_token", lambda authenticator: f"tok-{next(counter)}")


async def send_one(server, body='{"x": 1}'):
    made = provider("hap", url=server.url)
    async with aiohttp.ClientSession() as session:
        return await made.send_with_retries(body, session)


@pytest.mark.asyncio
async def test_503_then_200_with_one_pause_and_fresh_tokens(pauses, tokens):
    async with ScriptedServer([(503, '{"e": 1}'), (200, OK)]) as server:
        outcome = await send_one(server, '{"input": "caf\\u00e9"}')
    assert outcome == {"detections": [{"score": 0.25}]}
    assert pauses == [1]
    assert [r["headers"]["Authorization"] for r in server.requests] == ["Bearer tok-1", "Bearer tok-2"]
    assert all(r["body"] == '{"input": "caf\\u00e9"}' for r in server.requests)
    assert server.requests[0]["path"] == "/ml/v1/text/detection?version=2023-10-25"
    assert server.requests[0]["headers"]["x-governance-instance-id"] == "instance-1"
    assert server.requests[0]["headers"]["origin"] == "sdk"


@pytest.mark.asyncio
async def test_three_502_give_error_after_pauses_of_1_and_2(pauses):
    async with ScriptedServer([(502, '{"errors": ["bad gateway"]}')] * 3) as server:
        outcome = await send_one(server)
    assert pauses == [1, 2]
    assert len(server.requests) == 3
    assert outcome["error"].code == "502"
    assert outcome["error"].message_en == "{'errors': ['bad gateway']}"


@pytest.mark.parametrize("status", [404, 429, 500, 400])
@pytest.mark.asyncio
async def test_other_status_fails_at_once(pauses, status):
    async with ScriptedServer([(status, '["nope", 1]'), (200, OK)]) as server:
        outcome = await send_one(server)
    assert pauses == []
    assert len(server.requests) == 1
    assert (outcome["error"].code, outcome["error"].message_en) == (str(status), "['nope', 1]")


@pytest.mark.asyncio
async def test_refused_connection_is_one_failed_attempt(pauses, closed_port):
    port = closed_port
    made = provider("hap", url=f"http://127.0.0.1:{port}")
    async with aiohttp.ClientSession() as session:
        outcome = await made.send_with_retries("{}", session)
    assert pauses == []
    assert outcome["error"].code == "REQUEST_FAILED"
    assert str(port) in outcome["error"].message_en


@pytest.mark.asyncio
async def test_non_json_200_fails_with_decoder_message(pauses):
    async with ScriptedServer([(200, "<html>oops</html>")]) as server:
        outcome = await send_one(server)
    assert (outcome["error"].code, outcome["error"].message_en) == (
        "REQUEST_FAILED", "Expecting value: line 1 column 1 (char 0)")
    assert pauses == []


@pytest.mark.asyncio
async def test_token_failure_is_a_failed_record(monkeypatch):
    def broken(authenticator):
        raise RuntimeError("token service down")

    monkeypatch.setattr(probewell, "get_authenticator_token", broken)
    async with ScriptedServer([(200, OK)]) as server:
        outcome = await send_one(server)
    assert (outcome["error"].code, outcome["error"].message_en) == ("REQUEST_FAILED", "token service down")
    assert server.requests == []


@pytest.mark.asyncio
async def test_retry_count_shadowed_by_instance(pauses):
    async with ScriptedServer([(504, "{}")] * 3) as server:
        made = provider("hap", url=server.url)
        made.RETRY_COUNT = 0
        async with aiohttp.ClientSession() as session:
            assert await made.send_with_retries("{}", session) is None
        made.RETRY_COUNT, made.BACK_OFF_FACTOR = 2, 0.5
        async with aiohttp.ClientSession() as session:
            outcome = await made.send_with_retries("{}", session)
    assert outcome["error"].code == "504"
    assert pauses == [0.5]


@pytest.mark.asyncio
async def test_cancellation_passes_through():
    async with ScriptedServer([(503, "{}")] * 3) as server:
        made = provider("hap", url=server.url)
        async with aiohttp.ClientSession() as session:
            task = asyncio.ensure_future(made.send_with_retries("{}", session))
            while not server.requests:
                await asyncio.sleep(0.01)
            await asyncio.sleep(0.05)  # now inside the 1-second pause
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task


@pytest.mark.asyncio
async def test_compute_metric_keeps_order_and_empty_list(pauses):
    script = [(200, f'{{"detections": [{{"score": 0.{i}}}]}}') for i in range(1, 6)]
    async with ScriptedServer(script) as server:
        made = provider("hap", url=server.url)
        bodies = [f'{{"n": {i}}}' for i in range(5)]
        gathered = await made._DetectorsProvider__compute_metric(bodies)
        assert await made._DetectorsProvider__compute_metric([]) == []
    assert len(gathered) == 5 and sorted(r["body"] for r in server.requests) == sorted(bodies)
    with pytest.raises(TypeError, match=r"Argument 'api_payloads' has incorrect type \(expected list, got tuple\)"):
        made._DetectorsProvider__compute_metric(())


@pytest.mark.asyncio
async def test_evaluate_async_wraps_failures():
    data = pd.DataFrame({"record_id": ["r1"]})
    made = provider("hap")
    with pytest.raises(Exception) as raised:
        await made.evaluate_async(data)
    assert type(raised.value) is Exception
    assert str(raised.value) == "Error while computing metrics: hap. Reason: 'input_text'"
    assert isinstance(raised.value.__context__, KeyError)


def test_evaluate_end_to_end_with_mixed_outcomes(pauses):
    async def scenario():
        async with ScriptedServer([(200, '{"detections": [{"score": 0.9, "text": "t", "start": 0, "end": 1}]}'),
                                   (404, '{"errors": []}')]) as server:
            made = provider("hap", url=server.url, configuration=GenAIConfiguration(input_fields=["q"]))
            data = pd.DataFrame({"q": ["one", "two"], "record_id": ["a", "b"]})
            # The blocking entry point, on a worker thread so that this loop keeps serving.
            return await asyncio.to_thread(made.evaluate, data)

    result = asyncio.run(scenario())
    values = sorted((r.value is None, r.value) for r in result.record_level_metrics)
    assert values == [(False, 0.9), (True, None)]
    assert (result.value, result.total_records, result.errors) == (0.9, 2, None)


def _iterate_three():
    yield []
    yield []
    yield []
    raise AssertionError("unpacking reads one item past the pair and no further")


@pytest.mark.parametrize(
    ("prepared", "reason"),
    [
        (5, "cannot unpack non-iterable int object"),
        (([],), "not enough values to unpack (expected 2, got 1)"),
        (([], [], []), "too many values to unpack (expected 2)"),
        (_iterate_three, "too many values to unpack (expected 2)"),
    ],
)
@pytest.mark.asyncio
async def test_preparation_result_unpacked_as_a_pair(prepared, reason):
    made = provider("hap")
    made._DetectorsProvider__pre_process_data = lambda data: prepared() if callable(prepared) else prepared
    with pytest.raises(Exception) as raised:
        await made.evaluate_async(pd.DataFrame())
    assert str(raised.value) == "Error while computing metrics: hap. Reason: " + reason
    assert raised.value.__cause__ is None and str(raised.value.__context__) == reason


@pytest.mark.parametrize("escaping", [asyncio.CancelledError, KeyboardInterrupt])
@pytest.mark.asyncio
async def test_non_general_exceptions_are_not_wrapped(escaping):
    made = provider("hap")

    def prepare(data):
        raise escaping()

    made._DetectorsProvider__pre_process_data = prepare
    with pytest.raises(escaping):
        await made.evaluate_async(pd.DataFrame())


@pytest.mark.asyncio
async def test_one_default_session_shared_and_closed(monkeypatch):
    sessions = []
    real_session = aiohttp.ClientSession

    def recording_session(*args, **kwargs):
        assert (args, kwargs) == ((), {})
        sessions.append(real_session())
        return sessions[-1]

    seen = []

    async def fake_send(payload, session):
        seen.append((payload, session))
        return payload

    monkeypatch.setattr(aiohttp, "ClientSession", recording_session)
    made = provider("hap")
    made.send_with_retries = fake_send
    assert await made._DetectorsProvider__compute_metric(["a", "b", "c"]) == ["a", "b", "c"]
    assert len(sessions) == 1 and sessions[0].closed
    assert seen == [("a", sessions[0]), ("b", sessions[0]), ("c", sessions[0])]


@pytest.mark.asyncio
async def test_retry_count_read_again_for_each_retry_decision(monkeypatch):
    real_sleep = asyncio.sleep
    made = None

    async def lowering_sleep(delay, result=None):
        made.RETRY_COUNT = 2  # the attempts already planned stay, the last-attempt test sees the new count
        return await real_sleep(0, result)

    monkeypatch.setattr(asyncio, "sleep", lowering_sleep)
    async with ScriptedServer([(503, '{"n": 1}'), (503, '{"n": 2}'), (200, OK)]) as server:
        made = provider("hap", url=server.url)
        async with aiohttp.ClientSession() as session:
            outcome = await made.send_with_retries("{}", session)
    assert (outcome["error"].code, outcome["error"].message_en) == ("503", "{'n': 2}")
    assert len(server.requests) == 2
