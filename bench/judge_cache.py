"""The disk cache of judge calls: 1,000 judged records against the local judge server, then the rerun.

The first run calls the judge (in its own process) for every record and fills a fresh
cache file; the rerun of the same evaluation is answered from that file. Prints the
calls made in each run and, last, ``ratio=<rerun wall / first-run wall>``.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).parent))
from _judge_common import start_server, catalogue_records  # noqa: E402

RECORDS = 1_000


def records() -> pd.DataFrame:
    return catalogue_records(RECORDS)


def run(judge, data: pd.DataFrame):
    from tessary.config import GenAIConfiguration
    from tessary.evaluators.impl.runsmith import _evaluate_metrics
    from tessary.metrics.judge_metrics import FaithfulnessMetric

    metric = FaithfulnessMetric(method="llm_as_judge", llm_judge=judge)
    start = time.perf_counter()
    [result] = _evaluate_metrics(GenAIConfiguration(context_fields=["context"]), data.copy(), [metric]).metrics_result
    return time.perf_counter() - start, result


def main() -> None:
    folder = tempfile.mkdtemp(prefix="tessary-bench-")
    os.environ["TESSARY_CACHE"] = str(Path(folder) / "judge-cache.sqlite3")
    os.environ["LUMERIS_SERVER"] = "QZAI"  # no platform client
    import tessary.judging as judging
    from tessary.judging import cache

    process, base_url = start_server()
    try:
        judge = judging.judge("openai/tessary-judge", base_url=base_url, api_key="local", max_concurrency=20)
        data = records()
        first_wall, first = run(judge, data)
        rerun_wall, rerun = run(judge, data)
    finally:
        process.terminate()
        process.wait(timeout=10)
    same = [r.value for r in first.record_level_metrics] == [r.value for r in rerun.record_level_metrics]
    print(f"first run: {RECORDS} records, {first.judge_calls} judge calls, {first.cached_calls} from the cache, "
          f"{first_wall:.3f} s")
    print(f"rerun: {RECORDS} records, {rerun.judge_calls} judge calls, {rerun.cached_calls} from the cache, "
          f"{rerun_wall:.3f} s, same values: {same}")
    print(f"cache file: {cache.info()['entries']} entries, {cache.info()['bytes']} bytes")
    print(f"ratio={rerun_wall / first_wall:.3f}")


if __name__ == "__main__":
    main()
