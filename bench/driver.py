"""Driver overhead: 1,000 metrics over a 1,000-row table through both entry points, beside bare loops.

Each metric does about 1 ms of work: the blocking one computes (spins on the clock), the awaitable
one awaits asyncio.sleep(0.001). The bare loops call the same metrics with a plain `for` loop and a
semaphore-bounded gather (10 in flight). Bare loop and driver take turns, round after round, so that a
change of load on a shared machine falls on both alike; each keeps its best round. Prints the overhead
per metric and, last, the larger ratio.
"""

from __future__ import annotations

import asyncio
import os
import time

import pandas as pd

from tessary.config import GenAIConfiguration
from tessary.evaluators.impl.runsmith import _evaluate_metrics, _evaluate_metrics_async

METRICS = 1000
ROWS = 1000
WORK_SECONDS = 0.001
BATCH = 10


class BusyMetric:
    metric_dependencies: list = []

    def __init__(self, index: int) -> None:
        self.name = f"metric_{index}"

    def evaluate(self, data, configuration, **kwargs):
        deadline = time.perf_counter() + WORK_SECONDS
        while time.perf_counter() < deadline:
            pass
        return self.name

    async def evaluate_async(self, data, configuration, **kwargs):
        await asyncio.sleep(WORK_SECONDS)
        return self.name


def table() -> pd.DataFrame:
    return pd.DataFrame({"input_text": [f"question {i}" for i in range(ROWS)],
                         "generated_text": [f"answer {i}" for i in range(ROWS)]})


def bare_blocking(metrics, data, configuration) -> float:
    start = time.perf_counter()
    results = [metric.evaluate(data=data, configuration=configuration, api_client=None) for metric in metrics]
    assert len(results) == METRICS
    return time.perf_counter() - start


def driver_blocking(metrics, configuration) -> float:
    data = table()
    start = time.perf_counter()
    result = _evaluate_metrics(configuration, data, metrics)
    assert len(result.metrics_result) == METRICS
    return time.perf_counter() - start


async def bare_gather(metrics, data, configuration) -> list:
    semaphore = asyncio.Semaphore(BATCH)

    async def bounded(metric):
        async with semaphore:
            return await metric.evaluate_async(data=data, configuration=configuration, metrics_result=[],
                                               api_client=None)

    return await asyncio.gather(*(bounded(metric) for metric in metrics))


def bare_async(metrics, data, configuration) -> float:
    start = time.perf_counter()
    results = asyncio.run(bare_gather(metrics, data, configuration))
    assert len(results) == METRICS
    return time.perf_counter() - start


def driver_async(metrics, configuration) -> float:
    data = table()
    start = time.perf_counter()
    result = asyncio.run(_evaluate_metrics_async(configuration, data, metrics, max_concurrency=BATCH))
    assert len(result.metrics_result) == METRICS
    return time.perf_counter() - start


# Rounds per entry point: the awaitable runs take a seventh of the time and wake on timers, so more of them.
ROUNDS = {"blocking": 5, "awaitable": 15}


def best_in_turns(rounds: int, *runs) -> list[float]:
    """The best time of each of `runs`, run in turns for `rounds` rounds."""
    times = [[] for _ in runs]
    for _ in range(rounds):
        for run, found in zip(runs, times):
            found.append(run())
    return [min(found) for found in times]


def main() -> None:
    os.environ["LUMERIS_SERVER"] = "QZAI"  # no default platform client: the metrics need none
    configuration = GenAIConfiguration()
    metrics = [BusyMetric(i) for i in range(METRICS)]
    data = table()
    ratios = []
    for label, bare, driver in (
        ("blocking", lambda: bare_blocking(metrics, data, configuration), lambda: driver_blocking(metrics, configuration)),
        ("awaitable", lambda: bare_async(metrics, data, configuration), lambda: driver_async(metrics, configuration)),
    ):
        bare_time, driver_time = best_in_turns(ROUNDS[label], bare, driver)
        overhead = (driver_time - bare_time) / METRICS * 1e6
        ratios.append(driver_time / bare_time)
        print(f"{label}: bare {bare_time:.3f} s, driver {driver_time:.3f} s, "
              f"overhead {overhead:.1f} us per metric, ratio {ratios[-1]:.3f}")
    print(f"ratio={max(ratios):.3f}")


if __name__ == "__main__":
    main()
