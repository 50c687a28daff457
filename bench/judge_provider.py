"""TabulonProvider.evaluate over 1,000 records with a lexical catalog metric, beside the same tabulon
metric run directly on the same records; prints the provider's best time over the direct run's.

Both run in this process, alternating, 25 rounds, and are timed in CPU time of the process (the work
is all on this thread), so that other processes sharing the machine move the figures less. The speed
of this shared machine also drifts over seconds, so each provider run is compared with the direct run
just before it: the figure is the median of those 25 ratios (the best times of each are printed too)."""

from __future__ import annotations

import statistics
import time

import pandas as pd

from tabulon.operator import SequentialOperator
from tabulon.stream import MultiStream
from tessary.config import GenAIConfiguration
from tessary.providers.loomwright import TabulonProvider

RECORDS = 1000
METRIC = "metrics.rag.faithfulness.token_recall"


def records() -> pd.DataFrame:
    words = "the capital city of france is paris and it lies on the seine river in europe".split()
    rows = []
    for index in range(RECORDS):
        answer = " ".join(words[(index + k) % len(words)] for k in range(12))
        context = " ".join(words[(index * 3 + k) % len(words)] for k in range(30))
        rows.append({"input_text": f"question {index}?", "generated_text": answer, "context": context,
                     "record_id": f"r{index}"})
    return pd.DataFrame(rows)


def direct(library_records: list[dict]) -> list[float]:
    stream = MultiStream.from_iterables({"test": library_records}, copying=True)
    instances = list(SequentialOperator(steps=[METRIC])(stream)["test"])
    return [instance["score"]["instance"]["score"] for instance in instances]


def main() -> None:
    data = records()
    configuration = GenAIConfiguration(context_fields=["context"])
    library_records = [
        {"question": q, "answer": a, "contexts": [c], "record_id": r,
         "metadata": {"data_classification_policy": ["public"]}}
        for q, a, c, r in zip(data["input_text"], data["generated_text"], data["context"], data["record_id"])
    ]
    provider_times, direct_times = [], []
    for _ in range(25):
        start = time.process_time()
        direct_scores = direct(library_records)
        direct_times.append(time.process_time() - start)
        provider = TabulonProvider(configuration, "faithfulness", "Faithfulness", "token_recall", "metrics.rag")
        start = time.process_time()
        result = provider.evaluate(data)
        provider_times.append(time.process_time() - start)
    assert [r.value for r in result.record_level_metrics] == [round(s, 4) for s in direct_scores]
    provider_time, direct_time = min(provider_times), min(direct_times)
    paired = statistics.median(p / d for p, d in zip(provider_times, direct_times))
    print(f"records={RECORDS} provider={provider_time * 1000:.1f} ms direct={direct_time * 1000:.1f} ms (best of "
          f"{len(direct_times)}; best/best {provider_time / direct_time:.3f})")
    print(f"ratio={paired:.3f}")

if __name__ == "__main__":
    main()
