"""Record preparation of a 1,000,000-row table without identifiers, beside `str(uuid.uuid4())` per row.

Prints both times, the peak memory traced during preparation beside what the identifiers themselves
take, and, last, the ratio of preparation time over the list comprehension's.
"""

from __future__ import annotations

import sys
import time
import tracemalloc
import uuid

import pandas as pd

from tessary.config import GenAIConfiguration
from tessary.evaluators.impl import runsmith

ROWS = 1_000_000
populate = getattr(runsmith, "__populate_record_id_timestamp")


def table() -> pd.DataFrame:
    return pd.DataFrame({"input_text": ["question"] * ROWS})


def time_uuid_list() -> float:
    start = time.perf_counter()
    ids = [str(uuid.uuid4()) for _ in range(ROWS)]
    elapsed = time.perf_counter() - start
    assert len(ids) == ROWS
    return elapsed


def time_preparation(configuration: GenAIConfiguration) -> float:
    data = table()
    start = time.perf_counter()
    populate(configuration=configuration, data=data)
    elapsed = time.perf_counter() - start
    assert data["record_id"].nunique() == ROWS
    return elapsed


def identifiers_size() -> int:
    sample = str(uuid.uuid4())
    return ROWS * (sys.getsizeof(sample) + 8)


def peak_preparation_memory(configuration: GenAIConfiguration) -> int:
    data = table()
    tracemalloc.start()
    populate(configuration=configuration, data=data)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak


def main() -> None:
    configuration = GenAIConfiguration()
    baseline = min(time_uuid_list() for _ in range(3))
    prepared = min(time_preparation(configuration) for _ in range(3))
    peak = peak_preparation_memory(configuration)
    print(f"[str(uuid.uuid4()) for _ in rows]: {baseline:.3f} s")
    print(f"record preparation: {prepared:.3f} s")
    print(f"peak traced memory during preparation: {peak / 1e6:.1f} MB "
          f"(the identifiers alone: {identifiers_size() / 1e6:.1f} MB)")
    print(f"ratio={prepared / baseline:.3f}")


if __name__ == "__main__":
    main()
