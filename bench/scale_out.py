"""A lexical metric over N records: in-process against Ray and Dask with 1 and 2 local workers.

    python bench/scale_out.py [SIZE ...]        (default: 1000000)

The records are written once per size to Parquet (files of 10,000 rows); every
measurement then runs in a fresh process: the in-process run reads the whole
table and keeps its record results, the engines read the files on their workers
and stream record rows to Parquet (records="parquet:DIR"), so the driver never
holds the table. Each line gives the wall time of the evaluation (cluster start
excluded), the driver's peak memory, and the speed-up over the in-process run;
the last line is `ratio=<best 2-worker speed-up>` at the largest size. Both
engines' aggregates are checked equal to the in-process run's.

Ray's local cluster listens on every interface, so when this machine's network is
not isolated the script re-runs itself in a new network namespace (root, unshare).
"""

from __future__ import annotations

import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FILE_ROWS = 10_000
WORDS = "alpha beta gamma delta epsilon zeta eta theta iota kappa".split()


def _isolated() -> bool:
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout.splitlines()
    return bool(links) and all(": lo:" in link for link in links)


def _text(i: int, width: int) -> str:
    return " ".join(WORDS[(i * 7 + j * 3) % len(WORDS)] for j in range(1 + (i + width) % 9))


def write_records(rows: int, directory: Path) -> None:
    import pandas as pd

    directory.mkdir(parents=True)
    for start in range(0, rows, FILE_ROWS):
        index = range(start, min(rows, start + FILE_ROWS))
        pd.DataFrame({
            "record_id": [f"r{i:08d}" for i in index],
            "input_text": [f"question {i} {_text(i, 2)}" for i in index],
            "generated_text": [_text(i, 1) for i in index],
            "ground_truth": [_text(i, 5) for i in index],
        }).to_parquet(directory / f"records-{start // FILE_ROWS:05d}.parquet", index=False)


def _setup():
    from tessary.config import GenAIConfiguration
    from tessary.metrics.judge_metrics import AnswerCorrectnessMetric

    configuration = GenAIConfiguration(input_fields=["input_text"], output_fields=["generated_text"],
                                       reference_fields=["ground_truth"])
    return configuration, [AnswerCorrectnessMetric(method="token_recall")]


def measure(kind: str, workers: int, data: str, out: str) -> dict:
    """One measurement in this process: seconds, peak memory and the aggregates."""
    configuration, metrics = _setup()
    if kind == "in-process":
        import pandas as pd

        from tessary.clients.api_client import APIClient
        from tessary.entities.credentials import Credentials
        from tessary.evaluators.impl.runsmith import _evaluate_metrics

        client = APIClient(credentials=Credentials(url="http://127.0.0.1:9", version="local",
                                                   bearer_token="unused", service_instance_id="unused"))
        start = time.perf_counter()
        result = _evaluate_metrics(configuration, pd.read_parquet(data), metrics, api_client=client)
    elif kind == "ray":
        import ray

        from tessary.distributed import evaluate_ray

        ray.init(num_cpus=workers, include_dashboard=False, log_to_driver=False)
        ray.data.DataContext.get_current().enable_progress_bars = False
        start = time.perf_counter()
        result = evaluate_ray(data, metrics, configuration, concurrency=workers, records=f"parquet:{out}")
    else:
        import dask.dataframe as dd
        import distributed

        from tessary.distributed import evaluate_dask

        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
        client = distributed.Client(cluster)
        start = time.perf_counter()
        frame = dd.read_parquet(data, split_row_groups=True)
        result = evaluate_dask(frame, metrics, configuration, client=client, records=f"parquet:{out}")
    seconds = time.perf_counter() - start
    aggregates = [{k: v for k, v in a.model_dump(mode="json").items() if k != "record_level_metrics"}
                  for a in result.metrics_result]
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"seconds": seconds, "peak_mb": peak_mb, "aggregates": aggregates}


def run_one(kind: str, workers: int, data: Path, scratch: Path) -> dict:
    out = scratch / f"out-{kind}-{workers}"
    report = scratch / f"{kind}-{workers}.json"
    done = subprocess.run([sys.executable, __file__, "--one", kind, str(workers), str(data), str(out), str(report)],
                          capture_output=True, text=True)
    if done.returncode or not report.exists():
        raise RuntimeError(f"{kind} with {workers} workers failed:\n{done.stdout[-2000:]}\n{done.stderr[-4000:]}")
    shutil.rmtree(out, ignore_errors=True)
    return json.loads(report.read_text())


def main(sizes: list[int]) -> None:
    print(f"lexical metric (token_recall), {os.cpu_count()} cores; engines stream records to Parquet")
    best = 0.0
    with tempfile.TemporaryDirectory() as scratch_name:
        scratch = Path(scratch_name)
        for rows in sizes:
            data = scratch / f"records-{rows}"
            write_records(rows, data)
            base = run_one("in-process", 1, data, scratch)
            print(f"{rows:>9,} records  in-process        {base['seconds']:8.2f} s  "
                  f"driver peak {base['peak_mb']:7.0f} MB")
            for kind in ("ray", "dask"):
                for workers in (1, 2):
                    run = run_one(kind, workers, data, scratch)
                    if run["aggregates"] != base["aggregates"]:
                        raise AssertionError(f"{kind} ({workers} workers) differs from the in-process run")
                    speedup = base["seconds"] / run["seconds"]
                    if workers == 2 and rows == max(sizes):
                        best = max(best, speedup)
                    print(f"{rows:>9,} records  {kind:<4} {workers} worker{'s' if workers > 1 else ' '}     "
                          f"{run['seconds']:8.2f} s  driver peak {run['peak_mb']:7.0f} MB  "
                          f"speed-up {speedup:4.2f}x")
            shutil.rmtree(data)
    print(f"ratio={best:.2f}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--one"]:
        kind, workers, data, out, report = sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6]
        # A file, not standard output: the engines print there too.
        Path(report).write_text(json.dumps(measure(kind, workers, data, out)))
    elif not _isolated() and os.geteuid() == 0 and shutil.which("unshare"):
        command = " ".join(["ip link set lo up && exec", sys.executable, __file__, *sys.argv[1:]])
        raise SystemExit(subprocess.run(["unshare", "--net", "sh", "-c", command]).returncode)
    else:
        main([int(size) for size in sys.argv[1:]] or [1_000_000])
