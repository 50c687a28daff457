"""Runs every benchmark in this folder and prints one table: its last figure, the goal, and whether it is met.

Each benchmark prints its headline figure last, as `name=<number>`. Benchmarks run one after another
in their own processes (so none disturbs another's timing); `--only NAME ...` runs a subset.
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

# benchmark -> (comparison, bound); a benchmark missing here is run and shown without a goal.
GOALS: dict[str, tuple[str, float]] = {
    "coroutine": ("<=", 1.2),
    "driver": ("<=", 1.1),
    "detectors": (">=", 0.5),
    "post_process": (">=", 3.0),
    "judge": ("<=", 1.5),
    "judge_provider": ("<=", 1.3),
    "criteria": ("<=", 1.5),
    "record_ids": ("<=", 1.5),
    "record_overhead": ("<=", 3.0),
    "public_api": ("<=", 1.05),
    "judge_cache": ("<=", 0.1),
}
COMPARE = {"<=": operator.le, ">=": operator.ge}


def benchmarks() -> list[str]:
    return sorted(path.stem for path in HERE.glob("*.py") if not path.stem.startswith("_") and path.stem != "all")


def run(name: str) -> tuple[str, float | None, float, str]:
    """Runs one benchmark: its figure's name and value, the seconds it took, and any failure text."""
    start = time.perf_counter()
    completed = subprocess.run([sys.executable, str(HERE / f"{name}.py")], capture_output=True, text=True,
                               cwd=HERE)
    seconds = time.perf_counter() - start
    lines = completed.stdout.strip().splitlines()
    match = FIGURE.match(lines[-1]) if lines else None
    if completed.returncode != 0 or match is None:
        tail = (completed.stderr.strip().splitlines() or lines or ["no output"])[-1]
        return "-", None, seconds, f"failed: {tail[:80]}"
    return match.group(1), float(match.group(2)), seconds, ""


def verdict(name: str, value: float | None, failure: str) -> tuple[str, str]:
    if failure:
        return "-", failure
    if name not in GOALS:
        return "-", "no goal"
    comparison, bound = GOALS[name]
    return f"{comparison} {bound:g}", "met" if COMPARE[comparison](value, bound) else "NOT MET"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", nargs="+", metavar="NAME", help="benchmarks to run (default: all)")
    names = parser.parse_args().only or benchmarks()
    print(f"{'benchmark':<18} {'figure':<22} {'goal':<10} {'verdict':<10} seconds")
    missed = 0
    for name in names:
        figure, value, seconds, failure = run(name)
        goal, outcome = verdict(name, value, failure)
        missed += outcome not in ("met", "no goal")
        shown = f"{figure}={value:.3f}" if value is not None else "-"
        print(f"{name:<18} {shown:<22} {goal:<10} {outcome:<10} {seconds:.0f}", flush=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
