"""The disk cache of judge calls: 1,000 judged records against the local judge server, then the rerun.

The first run calls the judge (in its own process) for every record and fills a fresh
cache file; the rerun of the same evaluation is answered from that file. Seven rounds,
each with a fresh file; the collector runs before each timed run, so that neither pays
for the garbage of the one before. The speed of this shared machine drifts from second to
second, so each rerun is compared with the first run just before it. Prints the calls made
in each run and, last, ``ratio=<median over the rounds of rerun wall / first-run wall>``.
"""

from __future__ import annotations

import gc
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).parent))
from _judge_common import start_server, catalogue_records  # noqa: E402

RECORDS = 1_000
ROUNDS = 7


def records() -> pd.DataFrame:
    return catalogue_records(RECORDS)


def run(judge, data: pd.DataFrame):
    from tessary.config import GenAIConfiguration
    from tessary.evaluators.impl.runsmith import _evaluate_metrics
    from tessary.metrics.judge_metrics import FaithfulnessMetric

    metric = FaithfulnessMetric(method="llm_as_judge", llm_judge=judge)
    gc.collect()
    start = time.perf_counter()
    [result] = _evaluate_metrics(GenAIConfiguration(context_fields=["context"]), data.copy(), [metric]).metrics_result
    return time.perf_counter() - start, result


def main() -> None:
    folder = tempfile.mkdtemp(prefix="tessary-bench-")
    os.environ["LUMERIS_SERVER"] = "QZAI"  # no platform client
    import tessary.judging as judging
    from tessary.judging import cache

    process, base_url = start_server()
    firsts, reruns = [], []
    try:
        judge = judging.judge("openai/tessary-judge", base_url=base_url, api_key="local", max_concurrency=20)
        data = records()
        for round_ in range(ROUNDS):
            os.environ["TESSARY_CACHE"] = str(Path(folder) / f"judge-cache-{round_}.sqlite3")
            first_wall, first = run(judge, data)
            rerun_wall, rerun = run(judge, data)
            firsts.append(first_wall)
            reruns.append(rerun_wall)
    finally:
        process.terminate()
        process.wait(timeout=10)
    same = [r.value for r in first.record_level_metrics] == [r.value for r in rerun.record_level_metrics]
    print(f"first run: {RECORDS} records, {first.judge_calls} judge calls, {first.cached_calls} from the cache, "
          f"{' / '.join(f'{w:.3f}' for w in firsts)} s")
    print(f"rerun: {RECORDS} records, {rerun.judge_calls} judge calls, {rerun.cached_calls} from the cache, "
          f"{' / '.join(f'{w:.3f}' for w in reruns)} s, same values: {same}")
    print(f"cache file: {cache.info()['entries']} entries, {cache.info()['bytes']} bytes")
    print(f"median/median {statistics.median(reruns) / statistics.median(firsts):.3f}, "
          f"best/best {min(reruns) / min(firsts):.3f}")
    print(f"ratio={statistics.median(r / f for r, f in zip(reruns, firsts)):.3f}")


if __name__ == "__main__":
    main()
