"""Peak resident memory of a user-defined metric's run at 10,000, 100,000 and 1,000,000 records.

The metric and the bare loop are those of `record_overhead.py` (the bulk variant, through
`_evaluate_metrics`); each size and variant runs in its own process, so each peak is its own. The
bare loop's peak is the process's own floor at that size (imports and the table included), so the
run's cost is its peak above the bare loop's. Prints, per size, both peaks and the cost per record
above the bare loop (flat when memory grows linearly); then the growth of that cost from 100,000 to
1,000,000 records, and, last, the run's megabytes above the bare loop at 100,000 records.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

SIZES = (10_000, 100_000, 1_000_000)
OVERHEAD = Path(__file__).resolve().parent / "record_overhead.py"


def peak_mb(variant: str, rows: int) -> float:
    """The smallest peak of two runs (the peak itself does not vary with the machine's load)."""
    return min(json.loads(subprocess.run(
        [sys.executable, str(OVERHEAD), "--one", variant, str(rows)], check=True, capture_output=True,
        text=True).stdout)["peak_mb"] for _ in range(2))


def main() -> None:
    above: dict[int, float] = {}
    for rows in SIZES:
        bare, bulk = peak_mb("bare", rows), peak_mb("bulk", rows)
        above[rows] = bulk - bare
        print(f"{rows} records: bare peak {bare:.0f} MB, run peak {bulk:.0f} MB, "
              f"{above[rows]:.1f} MB above the bare loop ({above[rows] * 2**20 / rows:.0f} bytes/record)")
    growth = (above[1_000_000] / 1_000_000) / (above[100_000] / 100_000)
    print(f"bytes/record above the bare loop at 1,000,000 over 100,000 records: {growth:.2f} (1.00 is linear)")
    print(f"extra_mb_100k={above[100_000]:.1f}")


if __name__ == "__main__":
    main()
