"""Runs every benchmark in this folder and prints one table: its last figure, the goal, and whether it is met.

Each benchmark prints its headline figure last, as `name=<number>` (a benchmark with several goals prints
one such line per figure, together at the end). Benchmarks run one after another in their own processes
(so none disturbs another's timing); `--only NAME ...` runs a subset. A listed benchmark whose script
is not there is shown as missing.
"""

from __future__ import annotations

import argparse
import operator
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
FIGURE = re.compile(r"^(\w+)=(-?[\d.]+(?:e-?\d+)?)\s*$")

# benchmark (or "benchmark.figure" for one of several figures) -> (comparison, bound); a benchmark
# missing here is run and shown without a goal.
GOALS: dict[str, tuple[str, float]] = {
    "coroutine": ("<=", 1.2),
    "driver": ("<=", 1.1),
    "detectors": (">=", 0.5),
    "post_process": (">=", 3.0),
    "judge": ("<=", 1.5),
    "judge_provider": ("<=", 1.2),
    "judge_transport.ratio_20ms": ("<=", 1.2),
    "judge_transport.ratio_0ms": ("<=", 1.5),
    "criteria": ("<=", 1.5),
    "record_ids": ("<=", 1.5),
    "record_overhead": ("<=", 3.0),
    # 200 MB at 100,000 records when the bare loop peaked at 106 MB: the run's margin above the bare loop.
    "record_memory": ("<=", 94.0),
    "public_api": ("<=", 1.05),
    "judge_cache": ("<=", 0.1),
    # the report's seconds and megabytes as shares of their bounds (5 s, 20 MB)
    "report": ("<=", 1.0),
    "scale_out": (">=", 1.6),
}
COMPARE = {"<=": operator.le, ">=": operator.ge}


def benchmarks() -> list[str]:
    return sorted(path.stem for path in HERE.glob("*.py") if not path.stem.startswith("_") and path.stem != "all")


def figures(lines: list[str]) -> list[tuple[str, float]]:
    """The `name=<number>` lines that end the output, in order."""
    found = []
    for line in reversed(lines):
        match = FIGURE.match(line)
        if match is None:
            break
        found.append((match.group(1), float(match.group(2))))
    return found[::-1]


def run(name: str) -> tuple[list[tuple[str, float]], float, str]:
    """Runs one benchmark: its figures, the seconds it took, and any failure text."""
    if not (HERE / f"{name}.py").exists():
        return [], 0.0, "missing"
    start = time.perf_counter()
    completed = subprocess.run([sys.executable, str(HERE / f"{name}.py")], capture_output=True, text=True,
                               cwd=HERE)
    seconds = time.perf_counter() - start
    lines = completed.stdout.strip().splitlines()
    found = figures(lines)
    if completed.returncode != 0 or not found:
        tail = (completed.stderr.strip().splitlines() or lines or ["no output"])[-1]
        return [], seconds, f"failed: {tail[:80]}"
    return found, seconds, ""


def verdict(name: str, figure: str, value: float) -> tuple[str, str]:
    goal = GOALS.get(f"{name}.{figure}") or GOALS.get(name)
    if goal is None:
        return "-", "no goal"
    comparison, bound = goal
    return f"{comparison} {bound:g}", "met" if COMPARE[comparison](value, bound) else "NOT MET"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", nargs="+", metavar="NAME", help="benchmarks to run (default: all)")
    names = parser.parse_args().only or benchmarks()
    print(f"{'benchmark':<18} {'figure':<22} {'goal':<10} {'verdict':<10} seconds")
    missed = 0
    for name in names:
        found, seconds, failure = run(name)
        if failure:
            missed += failure != "missing"
            print(f"{name:<18} {'-':<22} {'-':<10} {failure:<10} {seconds:.0f}", flush=True)
            continue
        for figure, value in found:
            goal, outcome = verdict(name, figure, value)
            missed += outcome not in ("met", "no goal")
            print(f"{name:<18} {f'{figure}={value:.3f}':<22} {goal:<10} {outcome:<10} {seconds:.0f}", flush=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
