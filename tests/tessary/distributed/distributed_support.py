"""Records and metrics shared by the distributed tests (pickled by value for the workers)."""
import subprocess
import sys

import pandas as pd

from tessary import demo
from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessary.entities.metric import GenAIMetric
from tessary.evaluators.impl.runsmith import _evaluate_metrics
from tessary.metrics.detector_metrics import HAPMetric, PIIMetric
from tessary.metrics.judge_metrics import AnswerCorrectnessMetric, FaithfulnessMetric

ROWS = 20_000
DETECTOR_ROWS = 5_000
WORDS = "alpha beta gamma delta epsilon zeta eta theta iota kappa".split()


def make_records(rows: int, with_ids: bool = True) -> pd.DataFrame:
    """Records whose lexical scores vary in the 4th decimal place, so a wrong merge shows."""
    def text(i: int, width: int) -> str:
        return " ".join(WORDS[(i * 7 + j * 3) % len(WORDS)] for j in range(1 + (i + width) % 9))

    table = pd.DataFrame({
        "input_text": [f"question {i} mail{i}@example.com" if i % 13 == 0 else f"question {i} {text(i, 2)}"
                       for i in range(rows)],
        "generated_text": [text(i, 1) for i in range(rows)],
        "context": [text(i, 3) for i in range(rows)],
        "ground_truth": [text(i, 5) for i in range(rows)],
    })
    if with_ids:
        table.insert(0, "record_id", [f"r{i:06d}" for i in range(rows)])
    return table


METRIC_SETS = {
    "lexical": lambda: [AnswerCorrectnessMetric(method="token_recall"), FaithfulnessMetric(method="token_k_precision")],
    "user-defined": lambda: [demo.ContextOverlapMetric()],
    "detector": lambda: [PIIMetric(), HAPMetric()],
}


def in_process(configuration, table, metrics, client_factory):
    return _evaluate_metrics(configuration, table.copy(), metrics, api_client=client_factory())


class TimestampedMetric(GenAIMetric):
    """Reports every record's identifier and timestamp as they were filled."""

    name: str = "stamped"

    def evaluate(self, data, configuration, **kwargs):
        return AggregateMetricResult.create([
            RecordMetricResult(name=self.name, value=1.0, record_id=record_id, record_timestamp=stamp)
            for record_id, stamp in zip(data[configuration.record_id_field],
                                        data[configuration.record_timestamp_field])
        ])


def network_is_isolated() -> bool:
    """True in a network namespace that has the loopback interface only."""
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout.splitlines()
    return bool(links) and all(": lo:" in link for link in links)


def run_in_network_namespace(arguments: list[str]) -> subprocess.CompletedProcess:
    """Run this interpreter with `arguments` in a new network namespace with loopback up."""
    command = " ".join(["ip link set lo up && exec", sys.executable, *arguments])
    return subprocess.run(["unshare", "--net", "sh", "-c", command], capture_output=True, text=True)
