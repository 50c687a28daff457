"""A detection service that never answers, or answers too much, ends in error records that name the
limit and the URL, within the configured time."""

import asyncio
import json
import time
from types import SimpleNamespace

import pytest
from aiohttp import web

from orvane_corvel_tallion import APIClient as QTSClient
from orvane_corvel_tallion import BearerTokenAuthenticator
from tessary.config import GenAIConfiguration
from tessary.providers.probewell import DetectorsProvider

BIG = json.dumps({"detections": [{"score": 0.5, "text": "x" * 100}] * 20})


async def answer(request):
    await request.read()
    mode = request.match_info["mode"]
    if mode == "hang":
        await asyncio.sleep(30)
    if mode == "chunked":  # no Content-Length: the size is only known while reading
        response = web.StreamResponse()
        await response.prepare(request)
        for start in range(0, len(BIG), 100):
            await response.write(BIG[start : start + 100].encode())
        await response.write_eof()
        return response
    return web.Response(text=BIG, content_type="application/json")


@pytest.fixture
def server(loopback):
    return loopback(answer, path="/{mode}/{tail:.*}", method="POST", shutdown_grace=0.1).url


def provider(url, **limits):
    qts = QTSClient(authenticator=BearerTokenAuthenticator(bearer_token="t"), service_url=url, service_instance_id="i")
    client = SimpleNamespace(qts_client=qts, credentials=SimpleNamespace(url=url, version="5", disable_ssl=False))
    made = DetectorsProvider(GenAIConfiguration(), "hap", "HAP", None, api_client=client)
    for name, value in limits.items():
        setattr(made, name, value)
    return made


@pytest.mark.asyncio
@pytest.mark.parametrize(
    "mode, limits, environment, code, message",
    [
        ("hang", {"REQUEST_TIMEOUT": 0.2, "METRIC_DEADLINE": None}, {}, "REQUEST_FAILED", "request time-out of 0.2 seconds"),
        ("hang", {}, {"TESSARY_DETECTOR_TIMEOUT": "0.3"}, "REQUEST_FAILED", "time-out of 0.3 seconds"),
        ("hang", {"REQUEST_TIMEOUT": None, "METRIC_DEADLINE": 0.3}, {}, "DEADLINE_EXCEEDED", "deadline of 0.3 seconds"),
        ("whole", {"MAX_ANSWER_BYTES": 1000}, {}, "ANSWER_TOO_LARGE", "limit of 1000 bytes"),
        ("chunked", {"MAX_ANSWER_BYTES": 1000}, {}, "ANSWER_TOO_LARGE", "limit of 1000 bytes"),
    ],
    ids=["request-timeout", "timeout-from-environment", "metric-deadline", "large-answer", "large-chunked-answer"],
)
async def test_unbounded_answers_become_error_records(server, monkeypatch, mode, limits, environment, code, message):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    made = provider(f"{server}/{mode}", **limits)
    started = time.monotonic()
    outcomes = await made._DetectorsProvider__compute_metric(["{}", "{}"])
    assert time.monotonic() - started < 5
    for outcome in outcomes:
        assert outcome["error"].code == code
        assert message in outcome["error"].message_en and made.base_url in outcome["error"].message_en


@pytest.mark.asyncio
async def test_answer_within_the_size_limit_is_read(server):
    (outcome,) = await provider(f"{server}/chunked", MAX_ANSWER_BYTES=len(BIG))._DetectorsProvider__compute_metric(["{}"])
    assert outcome == json.loads(BIG)


@pytest.mark.asyncio
@pytest.mark.parametrize(
    "mode, limits",
    [("hang", {"REQUEST_TIMEOUT": 0.2, "METRIC_DEADLINE": None}), ("hang", {"REQUEST_TIMEOUT": None, "METRIC_DEADLINE": 0.3}),
     ("whole", {"METRIC_DEADLINE": None}), ("whole", {})],
    ids=["failed-no-deadline", "past-the-deadline", "answered-no-deadline", "answered-within-deadline"],
)
async def test_record_progress_is_called_as_each_request_ends(server, mode, limits):
    ended = []
    reporting = provider(f"{server}/{mode}", record_progress=lambda: ended.append(len(ended)), **limits)
    outcomes = await reporting._DetectorsProvider__compute_metric(["{}", "{}", "{}"])
    assert ended == [0, 1, 2]
    assert outcomes == await provider(f"{server}/{mode}", **limits)._DetectorsProvider__compute_metric(["{}", "{}", "{}"])
