"""Every judged path calls the judge it was given, with every field, and nothing else."""

import socket

import pandas as pd
import pytest
from conftest import PATHS, RECORDS, SUPPORTED, evaluate

import tessary.judging as judging
from tessary.entities import foundation_model as fm
from tessary.entities.llm_judge import LLMJudge
from tessary.providers.critmark import VerdictaProvider


@pytest.fixture
def connections(monkeypatch):
    """Every address a socket of this process connects to."""
    seen = []
    original = socket.socket.connect

    def connect(self, address):
        seen.append(address)
        return original(self, address)

    monkeypatch.setattr(socket.socket, "connect", connect)
    return seen


def native_criteria(judge):
    provider = VerdictaProvider("grounded", "Grounded", "numeric", judge, SUPPORTED,
                                criteria_description="Is {generated_text} supported?",
                                context_fields=["context"], prediction_field="generated_text")
    data = RECORDS.assign(record_timestamp=pd.Timestamp("2026-01-01"))
    return provider.evaluate(data)


@pytest.mark.parametrize("path", [*PATHS, "native_criteria"])
def test_each_path_calls_only_the_judge_given_with_its_fields(server, connections, path):
    server.app.mode = "slow"  # answers overlap, so the bound on calls in flight shows
    judge = judging.judge("openai/tessary-judge", base_url=server.base_url, api_key="secret", seed=7,
                          max_tokens=64, max_concurrency=3, timeout=5)
    aggregate = native_criteria(judge) if path == "native_criteria" else evaluate(path, judge)
    assert all(r.value is not None and not r.errors for r in aggregate.record_level_metrics)
    assert connections and {address[:2] for address in connections} == {("127.0.0.1", server.port)}
    bodies = server.app.bodies
    assert len(bodies) >= len(RECORDS)
    if path != "native_criteria":  # the native provider keeps its own seed and parameters
        assert all((b["seed"], b["max_tokens"], b["temperature"]) == (7, 64, 0.0) for b in bodies)
        assert server.app.most_in_flight == 3


@pytest.mark.parametrize(("name", "options", "model_class", "url"), [
    ("openai/gpt-4o-mini", {}, fm.OpenAIFoundationModel, None),
    ("gpt-4o-mini", {"base_url": "http://127.0.0.1:8000/v1"}, fm.OpenAIFoundationModel, "http://127.0.0.1:8000/v1"),
    ("azure/deploy", {"base_url": "https://x.example", "api_key": "k"}, fm.AzureOpenAIFoundationModel,
     "https://x.example"),
    ("qzai/granite", {"base_url": "http://127.0.0.1:1", "project_id": "p"}, fm.QzAIFoundationModel,
     "http://127.0.0.1:1"),
    ("portkey/m", {"base_url": "http://127.0.0.1:2/v1"}, fm.PortKeyGateway, "http://127.0.0.1:2/v1"),
    ("google/gemini-2.0-flash", {"api_key": "k"}, fm.GoogleAIStudioFoundationModel, None),
    ("bedrock/claude", {}, fm.AWSBedrockFoundationModel, None),
])
def test_judge_name_builds_the_back_ends_model(monkeypatch, name, options, model_class, url):
    monkeypatch.delenv("OPENAI_BASE_URL", raising=False)
    judge = judging.judge(name, timeout=3, max_concurrency=4, **options)
    assert isinstance(judge, LLMJudge) and type(judge.model) is model_class
    assert getattr(judge.model.provider.credentials, "url", None) == url
    assert judge.engine_options()["timeout"] == 3 and judge.engine_options()["num_parallel_requests"] == 4


@pytest.mark.parametrize("name", ["", "nowhere/model", "google/x?base"])
def test_judge_name_refuses_what_it_cannot_build(name):
    with pytest.raises(ValueError, match="back end|judge is named|base_url"):
        judging.judge(name, base_url="http://127.0.0.1:1" if "?" in name else None)
