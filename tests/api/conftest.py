"""Shared records and a loopback server that counts what it is sent."""
import asyncio
import threading

import pytest
from aiohttp import web

from tessary.services import detectd
from tessary.services.judged import JudgeApp

RECORDS = [
    {"question": "What is the capital of France?", "answer": "Paris is the capital of France.",
     "contexts": ["Paris is the capital and largest city of France."], "ground_truth": "Paris"},
    {"question": "Who wrote Hamlet?", "answer": "You idiot, call me at 555-123-4567 or mail bob@example.com.",
     "contexts": ["Hamlet is a tragedy by William Shakespeare."], "ground_truth": "William Shakespeare"},
]


@pytest.fixture
def records():
    return [dict(record) for record in RECORDS]


class CountingServer:
    """The detection service and an OpenAI-protocol judge on one loopback port, recording every request."""

    def __init__(self):
        self.requests = []  # (path, JSON body)
        self.judge = JudgeApp()
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def _app(self):
        app = detectd.create_app()
        app.router.add_post("/v1/chat/completions", self.judge.chat_completions)

        async def record(request, response):
            body = await request.json() if request.body_exists else None
            self.requests.append((request.path, body))

        app.on_response_prepare.append(record)
        return app

    def _serve(self):
        asyncio.set_event_loop(self._loop)
        self._runner = web.AppRunner(self._app(), access_log=None)
        self._loop.run_until_complete(self._runner.setup())
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        self._loop.run_until_complete(site.start())
        self.url = "http://127.0.0.1:%d" % self._runner.addresses[0][1]
        self._ready.set()
        self._loop.run_forever()
        self._loop.run_until_complete(self._runner.cleanup())

    def paths(self, prefix):
        return [body for path, body in self.requests if path.startswith(prefix)]

    def __enter__(self):
        self._thread.start()
        assert self._ready.wait(10)
        return self

    def __exit__(self, *exc):
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)


@pytest.fixture
def counting_server():
    with CountingServer() as server:
        yield server
