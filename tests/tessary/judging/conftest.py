"""A scripted judge server on loopback and the three judged paths, shared by the judging tests."""

import asyncio

import pandas as pd
import pytest
from aiohttp import web

from tessary.config import GenAIConfiguration
from tessary.entities.criteria import Option
from tessary.evaluators.impl.runsmith import _evaluate_metrics
from tessary.judging import _engines
from tessary.metrics.judge_metrics import FaithfulnessMetric
from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric
from tessary.services.judged import JudgeApp, JudgeServer

SUPPORTED = [Option(name="supported", description="Every claim is in the context.", value=1),
             Option(name="unsupported", description="The claims are not in the context.", value=0)]
RECORDS = pd.DataFrame({
    "input_text": ["Where is Paris?", "What do cats eat?", "Who wrote Hamlet?", "What is ice?"],
    "generated_text": ["Paris lies in France.", "Cats eat rocks daily.", "Shakespeare wrote Hamlet.",
                       "Ice is frozen water."],
    "context": ["Paris lies in France.", "Dogs enjoy bones.", "Hamlet is a play by Shakespeare.",
                "Ice is water frozen solid."],
    "record_id": ["r1", "r2", "r3", "r4"],
})
CONFIGURATION = GenAIConfiguration(context_fields=["context"])
PATHS = ["faithfulness", "criteria", "prompt_template"]


class ScriptedApp(JudgeApp):
    """The local judge, made to fail on demand; keeps every request body it received."""

    def __init__(self) -> None:
        super().__init__()
        self.mode = "ok"
        self.bodies: list[dict] = []
        self.in_flight = self.most_in_flight = 0

    async def chat_completions(self, request: web.Request) -> web.Response:
        self.in_flight += 1
        self.most_in_flight = max(self.most_in_flight, self.in_flight)
        try:
            return await self._answer(request)
        finally:
            self.in_flight -= 1

    async def _answer(self, request: web.Request) -> web.Response:
        self.bodies.append(await request.json())
        if self.mode == "slow":
            await asyncio.sleep(0.05)
        if self.mode == "unauthorized":
            return web.json_response({"error": {"message": "Incorrect API key provided"}}, status=401)
        if self.mode == "rate_limited":
            return web.json_response({"error": "slow down"}, status=429, headers={"Retry-After": "0"})
        if self.mode == "garbage":
            return web.Response(text="<html>busy</html>", content_type="text/html")
        if self.mode == "hang":
            await asyncio.sleep(1.5)
        response = await JudgeApp.chat_completions(self, request)
        if self.mode == "no_usage":
            payload = __import__("json").loads(response.body)
            del payload["usage"]
            return web.json_response(payload)
        return response


@pytest.fixture
def server(monkeypatch):
    monkeypatch.setenv("LUMERIS_SERVER", "QZAI")  # no platform client
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")  # a decoy: must never be used
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    _engines._engines.clear()
    judge_server = JudgeServer()
    judge_server.app = ScriptedApp()
    judge_server.start()
    yield judge_server
    judge_server.stop()


def metric_for(path, judge):
    if path == "faithfulness":
        return FaithfulnessMetric(method="llm_as_judge", llm_judge=judge)
    if path == "criteria":
        return LLMAsJudgeMetric(name="grounded", criteria_description="Is {generated_text} supported by the context?",
                                options=SUPPORTED, llm_judge=judge)
    return LLMAsJudgeMetric(name="style", prompt_template="Does the text '{generated_text}' answer '{input_text}'?",
                            options=SUPPORTED, llm_judge=judge)


def evaluate(path, judge):
    """The aggregate result of the path's metric over RECORDS."""
    [aggregate] = _evaluate_metrics(CONFIGURATION, RECORDS.copy(), [metric_for(path, judge)]).metrics_result
    return aggregate
