"""The HTML report of 10,000 records x 5 metrics, beside the JSON and CSV exports of the same result.

Prints each export's seconds and megabytes, then the report's seconds and megabytes against the
goals (under 5 s, under 20 MB) as ratios, last.
"""

from __future__ import annotations

import random
import tempfile
import time
from pathlib import Path

import pandas as pd

from tessary.entities.base_classes import Error
from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from tessary.entities.metric_threshold import MetricThreshold

RECORDS = 10_000
GOAL_SECONDS, GOAL_MEGABYTES = 5.0, 20.0
METRICS = [  # name, group, threshold, detector spans
    ("faithfulness", None, MetricThreshold(type="lower_limit", value=0.7), False),
    ("answer_correctness", None, None, False),
    ("hap", MetricGroup.CONTENT_SAFETY, MetricThreshold(type="upper_limit", value=0.1), True),
    ("pii[output]", MetricGroup.CONTENT_SAFETY, MetricThreshold(type="upper_limit", value=0.0), True),
    ("context_relevance", None, None, False),
]


def records_table() -> pd.DataFrame:
    texts = [f"Record {i}: call me on 555-{i:04d}, you fool, if the answer is wrong." for i in range(RECORDS)]
    return pd.DataFrame({"record_id": [f"rec-{i:05d}" for i in range(RECORDS)], "input_text": texts,
                         "generated_text": texts})


def metric(name, group, threshold, spans, data, rng) -> AggregateMetricResult:
    records = []
    for record_id, text in zip(data["record_id"], data["input_text"], strict=True):
        failed = rng.random() < 0.02
        evidences = None
        if spans and not failed:
            start = text.index("555-")
            evidences = [{"text": text[start:start + 8], "start": start, "end": start + 8, "score": 0.9}]
        records.append(RecordMetricResult(
            name=name, method="m", provider="detectors", group=group, record_id=record_id,
            value=None if failed else round(rng.random(), 4), evidences=evidences,
            errors=[Error(code="REQUEST_FAILED", message_en="connection refused")] if failed else None,
            thresholds=[threshold] if threshold else [],
        ))
    return AggregateMetricResult.create(records)


def timed(write, path: Path) -> tuple[float, float]:
    start = time.perf_counter()
    write(path)
    return time.perf_counter() - start, path.stat().st_size / 1e6


def main() -> None:
    rng = random.Random(7)
    data = records_table()
    result = MetricsEvaluationResult(
        metrics_result=[metric(*shape, data, rng) for shape in METRICS],
        run_info={"data_file": "records.csv", "records": RECORDS, "metrics": [m[0] for m in METRICS],
                  "judge": "embedded", "seconds": 0.0, "services": ["detectd", "judged"]},
    )
    result.to_html(data=data.head(10))  # loads the templates and the chart library once
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        json_s, json_mb = timed(result.to_json, folder / "results.json")
        csv_s, csv_mb = timed(lambda p: result.to_csv(p, data=data), folder / "results.csv")
        html_s, html_mb = timed(lambda p: result.to_html(p, data=data), folder / "report.html")
    print(f"records={RECORDS} metrics={len(METRICS)}")
    print(f"to_json seconds={json_s:.2f} megabytes={json_mb:.1f}")
    print(f"to_csv seconds={csv_s:.2f} megabytes={csv_mb:.1f}")
    print(f"to_html seconds={html_s:.2f} megabytes={html_mb:.1f} "
          f"(goals: under {GOAL_SECONDS:g} s, under {GOAL_MEGABYTES:g} MB)")
    print(f"ratio_seconds={html_s / GOAL_SECONDS:.3f}")
    print(f"ratio_megabytes={html_mb / GOAL_MEGABYTES:.3f}")


if __name__ == "__main__":
    main()
