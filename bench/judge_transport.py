"""A judged metric beside the bare transport: 1,000 records of LLM-as-judge faithfulness through
`_evaluate_metrics` (prompt rendering, requests, the engine's concurrency, answer parsing, result
assembly), beside a bare aiohttp loop posting the very chat bodies the metric sent (the server keeps
those of the first run), concurrency 20 for both; the server runs in its own process and answers
after 20 ms, then after 0 ms. Best of a few alternating rounds per latency: 5 at 20 ms, 9 at 0 ms,
whose rounds last a few tenths of a second and whose wall times, on two cores shared with the server,
move by a third from round to round.

Prints both wall times per latency, then ``ratio_20ms=`` and, last, ``ratio_0ms=<metric / bare loop>``.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
import time
import urllib.request
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).parent))
from _judge_common import bare_loop, start_server, catalogue_records  # noqa: E402

RECORDS = 1_000
CONCURRENCY = 20
LATENCIES = (("20ms", 0.02), ("0ms", 0.0))
ROUNDS = {"20ms": 5, "0ms": 9}


def records() -> pd.DataFrame:
    return catalogue_records(RECORDS)


def run_metric(judge, data: pd.DataFrame) -> float:
    from tessary.config import GenAIConfiguration
    from tessary.evaluators.impl.runsmith import _evaluate_metrics
    from tessary.metrics.judge_metrics import FaithfulnessMetric

    metric = FaithfulnessMetric(method="llm_as_judge", llm_judge=judge)
    start = time.perf_counter()
    [result] = _evaluate_metrics(GenAIConfiguration(context_fields=["context"]), data.copy(), [metric]).metrics_result
    elapsed = time.perf_counter() - start
    scored = sum(1 for r in result.record_level_metrics if r.value is not None and r.value == r.value)
    if result.judge_calls != RECORDS or scored != RECORDS:
        raise RuntimeError(f"{result.judge_calls} judge calls and {scored} scores for {RECORDS} records")
    return elapsed


def sent_bodies(base_url: str) -> list[dict]:
    with urllib.request.urlopen(base_url.removesuffix("/v1") + "/bench/bodies") as response:
        bodies = json.loads(response.read())
    if len(bodies) != RECORDS:
        raise RuntimeError(f"the server kept {len(bodies)} bodies for {RECORDS} records")
    return bodies


def measure(latency: float, rounds: int) -> tuple[float, float]:
    """Best wall times of the metric and of the bare loop at one server latency."""
    import tessary.judging as judging

    process, base_url = start_server(latency)
    try:
        judge = judging.judge("openai/tessary-judge", base_url=base_url, api_key="local",
                              max_concurrency=CONCURRENCY, cache=False)
        data = records()
        run_metric(judge, data)  # warms up, and the server keeps what it was sent
        bodies = sent_bodies(base_url)
        endpoint = base_url + "/chat/completions"
        asyncio.run(bare_loop(endpoint, bodies, CONCURRENCY))
        metric_times, bare_times = [], []
        for _ in range(rounds):
            metric_times.append(run_metric(judge, data))
            bare_times.append(asyncio.run(bare_loop(endpoint, bodies, CONCURRENCY)))
    finally:
        process.terminate()
        process.wait(timeout=10)
    return min(metric_times), min(bare_times)


def main() -> None:
    os.environ["LUMERIS_SERVER"] = "QZAI"  # no platform client
    ratios = {}
    for label, latency in LATENCIES:
        metric, bare = measure(latency, ROUNDS[label])
        ratios[label] = metric / bare
        print(f"{label} server latency: judged metric {RECORDS} records in {metric:.3f} s, "
              f"bare aiohttp loop {bare:.3f} s (best of {ROUNDS[label]})")
    for label, _ in LATENCIES:
        print(f"ratio_{label}={ratios[label]:.3f}")


if __name__ == "__main__":
    main()
