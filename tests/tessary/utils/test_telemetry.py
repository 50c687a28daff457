import asyncio
import sys

import pytest
from aiohttp import web

from tessary.utils import segment_batch_manager as telemetry
from tessary.utils.async_util import run_in_event_loop
from tessary.utils.segment_batch_manager import SegmentBatchManager

EVENT = {"objectType": "Metric Evaluation", "custom.metric_name": "hap"}


@pytest.fixture(autouse=True)
def empty_queue(monkeypatch):
    monkeypatch.setattr(telemetry, "_pending", {})
    monkeypatch.setattr(telemetry, "_oldest_pending", {})
    monkeypatch.delenv("TESSARY_TELEMETRY_URL", raising=False)


@pytest.fixture
def collector(loopback):
    """A loopback server that records every posted batch."""
    received = []

    async def collect(request):
        received.append(await request.json())
        return web.json_response({"ok": True})

    return loopback(collect, path="/events", method="POST").url + "/events", received


@pytest.mark.asyncio
async def test_disabled_telemetry_sends_nothing():
    manager = SegmentBatchManager()

    assert not manager.enabled
    assert await manager.track_event(EVENT) is None
    assert telemetry._pending == {}


@pytest.mark.asyncio
async def test_events_are_batched_and_posted(collector, monkeypatch):
    url, received = collector
    monkeypatch.setenv("TESSARY_TELEMETRY_URL", url)
    monkeypatch.setenv("TESSARY_TELEMETRY_BATCH_SIZE", "2")

    await SegmentBatchManager().track_event(EVENT)
    assert received == []  # the first event waits for the batch to fill
    await SegmentBatchManager().track_event({**EVENT, "custom.metric_name": "pii"})

    [batch] = received
    assert batch["source"] == "tessary"
    assert [e["properties"]["custom.metric_name"] for e in batch["events"]] == ["hap", "pii"]
    assert len({e["id"] for e in batch["events"]}) == 2


@pytest.mark.asyncio
async def test_flush_posts_a_partial_batch(collector):
    url, received = collector
    manager = SegmentBatchManager(url=url, batch_size=10)

    await manager.track_event(EVENT)
    await manager.flush()

    assert [len(batch["events"]) for batch in received] == [1]


@pytest.mark.asyncio
async def test_unreachable_destination_never_fails(closed_port):
    manager = SegmentBatchManager(url=f"http://127.0.0.1:{closed_port}/events", batch_size=1, timeout=2)

    assert await manager.track_event(EVENT) is None
    assert telemetry._pending == {}  # the failed batch is dropped, not retried forever


def test_track_event_from_blocking_code_through_run_in_event_loop(closed_port):
    manager = SegmentBatchManager(url=f"http://127.0.0.1:{closed_port}/events", batch_size=1, timeout=2)
    assert run_in_event_loop(manager.track_event, EVENT) is None


@pytest.mark.asyncio
async def test_event_must_be_a_mapping(collector):
    url, _ = collector
    with pytest.raises(TypeError, match="mapping"):
        await SegmentBatchManager(url=url).track_event(["not", "a", "mapping"])


def test_disabled_manager_does_not_load_the_http_library(monkeypatch):
    monkeypatch.delitem(sys.modules, "aiohttp", raising=False)
    manager = SegmentBatchManager()
    asyncio.run(manager.track_event(EVENT))
    assert "aiohttp" not in sys.modules
