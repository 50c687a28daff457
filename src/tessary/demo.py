"""The main job on its embedded default: evaluates a shipped record file and prints the results.

Run ``tessary-demo`` (or ``python -m tessary.demo``). Everything runs on this
machine: a user-defined metric computes in-process, and the metrics that need
services talk to the local detection service and judge model server, which the
demo starts on loopback and stops when it is done.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
from collections.abc import Iterator
from importlib import resources
from typing import Any

import pandas as pd

from tessary.config import GenAIConfiguration
from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessary.entities.metric import GenAIMetric
from tessary.evaluators.impl.runsmith import _evaluate_metrics

WORD = re.compile(r"\w+")


def load_records(path: str | None = None) -> pd.DataFrame:
    """The shipped demo records, or the records of a JSON file (a list of objects)."""
    if path:
        with open(path, encoding="utf-8") as handle:
            return pd.DataFrame(json.load(handle))
    text = resources.files("tessary.data").joinpath("demo_records.json").read_text(encoding="utf-8")
    return pd.DataFrame(json.loads(text))


class ContextOverlapMetric(GenAIMetric):
    """A user-defined metric: the share of the answer's words that also occur in the context."""

    name: str = "context_overlap"

    def evaluate(self, data: pd.DataFrame, configuration: GenAIConfiguration, **kwargs: Any) -> AggregateMetricResult:
        answers = data[configuration.output_fields[0]]
        contexts = data[configuration.context_fields[0]]
        records = []
        for record_id, answer, context in zip(data[configuration.record_id_field], answers, contexts):
            words = {word.lower() for word in WORD.findall(str(answer or ""))}
            if not words:
                continue
            known = {word.lower() for word in WORD.findall(str(context or ""))}
            records.append(RecordMetricResult(
                name=self.name, display_name=self.display_name, method="word_overlap", provider="custom",
                value=round(len(words & known) / len(words), 4), record_id=str(record_id)))
        return AggregateMetricResult.create(records)


def get_weather(city: str, unit: str = "celsius", day: str = "today") -> str:
    """Forecast for a city on a day ("today" or "tomorrow"), in "celsius" or "fahrenheit"."""
    return f"Sunny in {city} {day}"


def book_table(people: int, time: str) -> str:
    """Book a restaurant table for a number of people at a time of day."""
    return f"Booked for {people} at {time}"


def demo_configuration() -> GenAIConfiguration:
    return GenAIConfiguration(
        input_fields=["input_text"], output_fields=["generated_text"], context_fields=["context"],
        reference_fields=["ground_truth"], tool_calls_field="tool_calls", tools=[get_weather, book_table])


def detector_metrics() -> list[GenAIMetric]:
    """Metrics of answers computed by the detection service."""
    from tessary.metrics.detector_metrics import AnswerRelevanceMetric, FaithfulnessMetric, HAPMetric, PIIMetric

    return [HAPMetric(), PIIMetric(), AnswerRelevanceMetric(), FaithfulnessMetric()]


def agent_metrics() -> list[GenAIMetric]:
    """Metrics of tool-calling records computed by the detection service."""
    from tessary.metrics.detector_metrics import HAPMetric, PIIMetric, ToolCallAccuracyMetric

    return [HAPMetric(), PIIMetric(), ToolCallAccuracyMetric()]


def detection_client(url: str) -> Any:
    """A platform client pointed at the local detection service (on-premises style: the URL is the service)."""
    from tessary.clients.api_client import APIClient
    from tessary.entities.credentials import Credentials

    return APIClient(credentials=Credentials(
        url=url, version="local", bearer_token="local", service_instance_id="local"))


def judge_metrics(judge_url: str) -> list[GenAIMetric]:
    """A judged metric (the local judge model as the AI service) and a lexical catalog metric."""
    from tessary.entities.credentials import QzAICredentials
    from tessary.entities.foundation_model import QzAIFoundationModel, QzAIModelProvider
    from tessary.entities.llm_judge import LLMJudge
    from tessary.metrics.judge_metrics import AnswerCorrectnessMetric, FaithfulnessMetric

    judge = LLMJudge(model=QzAIFoundationModel(
        model_id="tessary-judge", project_id="demo",
        provider=QzAIModelProvider(credentials=QzAICredentials(url=judge_url, api_key="local"))))
    return [FaithfulnessMetric(method="llm_as_judge", llm_judge=judge),
            AnswerCorrectnessMetric(method="token_recall")]


def criteria_metric() -> GenAIMetric:
    """A custom criteria metric judged by the local judge model (through the OpenAI protocol)."""
    from tessary.entities.criteria import Option
    from tessary.entities.foundation_model import OpenAIFoundationModel
    from tessary.entities.llm_judge import LLMJudge
    from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric

    return LLMAsJudgeMetric(
        name="grounded",
        criteria_description="Is the {generated_text} supported by the {context}?",
        options=[Option(name="supported", description="Every claim is in the context.", value=1),
                 Option(name="unsupported", description="The claims are not in the context.", value=0)],
        llm_judge=LLMJudge(model=OpenAIFoundationModel(model_id="tessary-judge")),
        compute_token_count=True,
    )


@contextlib.contextmanager
def local_services() -> Iterator[dict[str, str]]:
    """Starts the local detection service and judge model server on loopback for the run."""
    from tessary.services.detectd import DetectionService
    from tessary.services.judged import JudgeServer

    with contextlib.ExitStack() as stack:
        detection_url = stack.enter_context(DetectionService())
        judge = JudgeServer()
        judge.start()
        stack.callback(judge.stop)
        # Judges reached through the OpenAI protocol without a URL of their own use this one.
        stack.enter_context(_environment("OPENAI_BASE_URL", judge.base_url))
        yield {"judge": judge.root_url, "detection": detection_url}


@contextlib.contextmanager
def _environment(name: str, value: str) -> Iterator[None]:
    previous = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = previous


def build_metrics(services: dict[str, str]) -> list[GenAIMetric]:
    """The metrics the demo runs on question-answering records."""
    return [ContextOverlapMetric(), *detector_metrics(), *judge_metrics(services["judge"]), criteria_metric()]


def split_records(data: pd.DataFrame) -> dict[str, pd.DataFrame]:
    """Question-answering records and tool-calling records (those that carry tool calls)."""
    has_tool_calls = data["tool_calls"].notna() & (data["tool_calls"].astype(str).str.strip() != "")
    parts = {"question answering": data[~has_tool_calls], "tool calling": data[has_tool_calls]}
    return {kind: part.reset_index(drop=True) for kind, part in parts.items() if len(part)}


def run(path: str | None = None) -> dict[str, Any]:
    """Evaluates the records; returns a `MetricsEvaluationResult` per kind of record."""
    records = split_records(load_records(path))
    results = {}
    with local_services() as services:
        client = detection_client(services["detection"])
        metrics = {"question answering": build_metrics(services), "tool calling": agent_metrics()}
        for kind, data in records.items():
            results[kind] = _evaluate_metrics(demo_configuration(), data, metrics[kind], api_client=client)
    return results


def per_record_table(result: Any) -> pd.DataFrame:
    """One row per record, one column per metric (metrics sharing a name are told apart by method)."""
    rows = result.to_df()
    methods_per_name = rows.groupby("name")["method"].nunique()
    shared = set(methods_per_name[methods_per_name > 1].index)
    rows["metric"] = [f"{name}[{method}]" if name in shared else name
                      for name, method in zip(rows["name"], rows["method"])]
    return rows.pivot_table(index="record_id", columns="metric", values="value", aggfunc="first", sort=False)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="tessary-demo", description=__doc__.splitlines()[0])
    parser.add_argument("records", nargs="?", help="a JSON file holding a list of records (default: shipped demo)")
    arguments = parser.parse_args(argv)
    results = run(arguments.records)
    with pd.option_context("display.max_columns", None, "display.width", 200, "display.max_colwidth", 30):
        for kind, result in results.items():
            print(f"== {kind} records ==")
            print(result)
            print()
            print(per_record_table(result))
            print()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
