"""Shared records and a loopback server that counts what it is sent."""
import pytest

from _servers import LoopbackServer
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


class CountingServer(LoopbackServer):
    """The detection service and an OpenAI-protocol judge on one loopback port, recording every request."""

    def __init__(self):
        super().__init__()
        self.requests = []  # (path, JSON body)
        self.judge = JudgeApp()

    def build_app(self):
        app = detectd.create_app()
        app.router.add_post("/v1/chat/completions", self.judge.chat_completions)

        async def record(request, response):
            body = await request.json() if request.body_exists else None
            self.requests.append((request.path, body))

        app.on_response_prepare.append(record)
        return app

    def paths(self, prefix):
        return [body for path, body in self.requests if path.startswith(prefix)]


@pytest.fixture
def counting_server():
    with CountingServer() as server:
        yield server
