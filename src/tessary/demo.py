"""The main job on its embedded default: evaluates a shipped record file through the public API.

Run ``tessary-demo`` (or ``python -m tessary.demo``, or ``scripts/bootstrap.sh demo``).
Everything runs on this machine: a user-defined metric computes in-process, and
`tessary.evaluate` starts the local detection service and judge model server on
loopback for the metrics that need them and stops them when it is done. With
the HTML report installed, one report per kind of record is written.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Any

import pandas as pd

import tessary
from tessary.api._data import read_records
from tessary.config import GenAIConfiguration
from tessary.entities.evaluation_result import AggregateMetricResult
from tessary.entities.metric import GenAIMetric

DEMO_RECORDS = "demo_records.json"
WORD = re.compile(r"\w+")


def load_records(path: str | None = None) -> pd.DataFrame:
    """The shipped demo records, or the records of a CSV, JSON Lines, JSON or Parquet file."""
    if path:
        return read_records(path)
    from importlib import resources

    with resources.as_file(resources.files("tessary.data").joinpath(DEMO_RECORDS)) as shipped:
        return read_records(shipped)


class ContextOverlapMetric(GenAIMetric):
    """A user-defined metric: the share of the answer's words that also occur in the context."""

    name: str = "context_overlap"

    def evaluate(self, data: pd.DataFrame, configuration: GenAIConfiguration, **kwargs: Any) -> AggregateMetricResult:
        answers = data[configuration.output_fields[0]]
        contexts = data[configuration.context_fields[0]]
        record_ids, values = [], []
        for record_id, answer, context in zip(data[configuration.record_id_field], answers, contexts):
            words = {word.lower() for word in WORD.findall(str(answer or ""))}
            if not words:
                continue
            known = {word.lower() for word in WORD.findall(str(context or ""))}
            record_ids.append(str(record_id))
            values.append(round(len(words & known) / len(words), 4))
        # One call builds the records and their aggregate, the shared fields validated once.
        return AggregateMetricResult.from_values(name=self.name, display_name=self.display_name, method="word_overlap",
                                                 provider="custom", record_ids=record_ids, values=values)


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


def judge_metrics() -> list[GenAIMetric]:
    """A judged metric (the embedded local judge) and a lexical catalog metric, by name."""
    from tessary.api._registry import resolve_metrics

    return resolve_metrics(["faithfulness:llm_as_judge", "answer_correctness:token_recall"])


def criteria_metric(configuration: GenAIConfiguration | None = None) -> GenAIMetric:
    """A custom criteria metric over the answer and context columns; it gets the embedded local judge."""
    from tessary.entities.criteria import Option
    from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric

    configuration = configuration or demo_configuration()
    answer = configuration.output_fields[0] if configuration.output_fields else "generated_text"
    context = configuration.context_fields[0] if configuration.context_fields else "context"
    return LLMAsJudgeMetric(
        name="grounded",
        criteria_description=f"Is the {{{answer}}} supported by the {{{context}}}?",
        options=[Option(name="supported", description="Every claim is in the context.", value=1),
                 Option(name="unsupported", description="The claims are not in the context.", value=0)],
        compute_token_count=True,
    )


def build_metrics(configuration: GenAIConfiguration | None = None) -> list[GenAIMetric]:
    """The metrics the demo runs on question-answering records."""
    return [ContextOverlapMetric(), *detector_metrics(), *judge_metrics(), criteria_metric(configuration)]


def fitting(metrics: list[GenAIMetric], configuration: GenAIConfiguration) -> list[GenAIMetric]:
    """The metrics whose columns the records have (the demo's own metrics read answers and contexts)."""
    from tessary.api._data import role_columns
    from tessary.api._registry import fields_needed

    columns = role_columns(configuration)
    own = ("output", "context")
    return [metric for metric in metrics
            if all(columns[role] for role in (fields_needed(metric) or own))]


def split_records(data: pd.DataFrame) -> dict[str, pd.DataFrame]:
    """Question-answering records and tool-calling records (those that carry tool calls)."""
    if "tool_calls" not in data.columns:
        return {"question answering": data}
    has_tool_calls = data["tool_calls"].notna() & (data["tool_calls"].astype(str).str.strip() != "")
    parts = {"question answering": data[~has_tool_calls], "tool calling": data[has_tool_calls]}
    return {kind: part.reset_index(drop=True) for kind, part in parts.items() if len(part)}


def run(path: str | None = None, out: str | Path | None = None) -> dict[str, Any]:
    """Evaluates the records; returns a `MetricsEvaluationResult` per kind of record.

    With `out` and the HTML report installed, writes "report-<kind>.html" there.
    """
    table = load_records(path)
    configuration = demo_configuration()
    if path:  # the user's own columns, found by their usual names; the demo's tools for tool calls
        from tessary.api._data import detect_configuration

        configuration = detect_configuration(table).model_copy(update={"tools": configuration.tools})
    metrics = {"question answering": lambda: build_metrics(configuration), "tool calling": agent_metrics}
    results = {kind: tessary.evaluate(data, fitting(metrics[kind](), configuration), configuration=configuration)
               for kind, data in split_records(table).items()}
    if out is not None:
        write_reports(results, Path(out))
    return results


def write_reports(results: dict[str, Any], out: Path) -> list[Path]:
    """One HTML report per kind of record, when the report is part of this installation."""
    written = []
    for kind, result in results.items():
        if hasattr(result, "to_html"):
            out.mkdir(parents=True, exist_ok=True)
            path = out / f"report-{kind.replace(' ', '-')}.html"
            result.to_html(path)
            written.append(path)
    return written


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
    parser.add_argument("records", nargs="?", help="a CSV, JSON Lines, JSON or Parquet file (default: shipped demo)")
    parser.add_argument("--out", default="tessary-demo-report", help="directory for the HTML reports")
    arguments = parser.parse_args(argv)
    try:
        results = run(arguments.records, out=arguments.out)
    except ValueError as error:  # unreadable records, missing columns: one line, not a traceback
        print(f"tessary-demo: {error}", file=sys.stderr)
        return 2
    with pd.option_context("display.max_columns", None, "display.width", 200, "display.max_colwidth", 30):
        for kind, result in results.items():
            print(f"== {kind} records ==")
            print(result)
            print()
            print(per_record_table(result))
            print()
    if not any(hasattr(result, "to_html") for result in results.values()):
        print("(the HTML report is not part of this installation; no report written)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
