"""Per-record cost of a user-defined metric through the blocking driver, beside a bare loop.

The metric scores every record by the length of its answer (the same arithmetic in every variant):
- bare: a plain Python loop over the column, producing the rounded values only;
- one-by-one: the metric builds one `RecordMetricResult` per record and calls `create`;
- bulk: the metric calls `AggregateMetricResult.from_values` once.
Both metrics run through `_evaluate_metrics` on a fresh table, after one run on a 10-record table that
pays what a process's first run pays once (the metric class and configuration are built before the
clock starts too). Each size runs in its own process so that its peak resident memory (printed in MB)
is its own. The variants take turns, one fresh process each per round, so that a change of load on a
shared machine falls on all of them alike; each variant keeps its best round. Prints the overhead per
record above the bare loop for each variant and, last, the bulk variant's largest overhead in
microseconds.
"""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import time

import pandas as pd

SIZES = (10_000, 100_000)
VARIANTS = ("bare", "one_by_one", "bulk")


def table(rows: int) -> pd.DataFrame:
    return pd.DataFrame({"input_text": [f"question {i}" for i in range(rows)],
                         "generated_text": [f"answer number {i} " * (i % 5 + 1) for i in range(rows)]})


def scores(answers) -> list[float]:
    return [round(len(answer) / 100.0, 4) for answer in answers]


def make_metric(bulk: bool):
    from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
    from tessary.entities.metric import GenAIMetric

    class AnswerLength(GenAIMetric):
        name: str = "answer_length"

        def evaluate(self, data, configuration, **kwargs):
            ids = data[configuration.record_id_field].tolist()
            values = scores(data[configuration.output_fields[0]].tolist())
            if bulk:
                return AggregateMetricResult.from_values(
                    name=self.name, method="chars", provider="custom", record_ids=ids, values=values)
            return AggregateMetricResult.create([
                RecordMetricResult(name=self.name, method="chars", provider="custom", value=value,
                                   record_id=record_id)
                for record_id, value in zip(ids, values)])

    return AnswerLength()


def run_one(variant: str, rows: int) -> dict[str, float]:
    """Runs one variant at one size in this process: seconds and peak memory."""
    from tessary.config import GenAIConfiguration
    from tessary.evaluators.impl.runsmith import _evaluate_metrics

    os.environ["LUMERIS_SERVER"] = "QZAI"  # no default platform client: the metric needs none
    configuration = GenAIConfiguration(input_fields=["input_text"], output_fields=["generated_text"])
    metric = make_metric(variant == "bulk")
    if variant != "bare":  # what the first run of a process does once (telemetry, schemas), not per record
        _evaluate_metrics(configuration, table(10), [metric])
    data = table(rows)
    start = time.perf_counter()
    if variant == "bare":
        values = scores(data["generated_text"].tolist())
        assert len(values) == rows
    else:
        result = _evaluate_metrics(configuration, data, [metric])
        assert len(result.metrics_result[0].record_level_metrics) == rows
    seconds = time.perf_counter() - start
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"seconds": seconds, "peak_mb": peak_mb}


ROUNDS = 7


def run_process(variant: str, rows: int) -> dict[str, float]:
    return json.loads(subprocess.run(
        [sys.executable, __file__, "--one", variant, str(rows)], check=True, capture_output=True,
        text=True).stdout)


def measure(rows: int) -> dict[str, dict[str, float]]:
    """Each variant's best seconds and smallest peak memory over the rounds, the variants taking turns."""
    runs: dict[str, list[dict[str, float]]] = {variant: [] for variant in VARIANTS}
    for _ in range(ROUNDS):
        for variant in VARIANTS:
            runs[variant].append(run_process(variant, rows))
    return {variant: {"seconds": min(r["seconds"] for r in found), "peak_mb": min(r["peak_mb"] for r in found)}
            for variant, found in runs.items()}


def main() -> None:
    worst_bulk = 0.0
    for rows in SIZES:
        figures = measure(rows)
        bare = figures["bare"]["seconds"]
        parts = [f"{rows} records: bare {bare / rows * 1e6:.2f} us/record, peak {figures['bare']['peak_mb']:.0f} MB"]
        for variant in VARIANTS[1:]:
            overhead = (figures[variant]["seconds"] - bare) / rows * 1e6
            parts.append(f"{variant} +{overhead:.2f} us/record, peak {figures[variant]['peak_mb']:.0f} MB")
            if variant == "bulk":
                worst_bulk = max(worst_bulk, overhead)
        print("; ".join(parts))
    print(f"bulk_overhead_us={worst_bulk:.2f}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--one":
        print(json.dumps(run_one(sys.argv[2], int(sys.argv[3]))))
    else:
        main()
