"""Cost of the C++ coroutine bridge: 100,000 awaits of asyncio.sleep(0) from a C++ coroutine
against the same loop written as a Python ``async def``, measured side by side in one run.

Both loops read the ``asyncio`` global and its ``sleep`` attribute at every step; the C++ loop
does it as our modules do (``attr<"sleep">(global<"asyncio">())``, names interned once).
Alternating rounds timed in CPU time of the process (both loops run on this thread); the speed of
this shared machine drifts over seconds, so each C++ round is compared with the Python round just
before it. Prints the best of each and, last, ``ratio=<median of the paired C++ / Python ratios>``.
"""

import asyncio
import statistics
import time

import _coroutine_probe as probe

AWAITS = 100_000
ROUNDS = 15


async def sleep_loop(count: int) -> int:
    """The Python twin of the probe's C++ ``sleep_loop``."""
    for _ in range(count):
        await asyncio.sleep(0)
    return count


def timed(factory) -> float:
    """CPU seconds one event loop takes to run ``factory(AWAITS)`` to completion."""
    start = time.process_time()
    result = asyncio.run(factory(AWAITS))
    elapsed = time.process_time() - start
    if result != AWAITS:
        raise RuntimeError(f"{factory.__name__} returned {result!r}")
    return elapsed


def main() -> None:
    loops = {"python async def": sleep_loop, "C++ coroutine": probe.sleep_loop}
    for factory in loops.values():
        timed(factory)  # warm-up
    times = {name: [] for name in loops}
    for _ in range(ROUNDS):
        for name, factory in loops.items():
            times[name].append(timed(factory))
    best = {name: min(seconds) for name, seconds in times.items()}
    for name, seconds in best.items():
        print(f"{name:<20} {seconds:.4f} s for {AWAITS} awaits ({seconds / best['python async def']:.3f}x)")
    paired = statistics.median(c / p for c, p in zip(times["C++ coroutine"], times["python async def"]))
    print(f"ratio={paired:.3f}")

if __name__ == "__main__":
    main()
