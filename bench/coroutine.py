"""Cost of the C++ coroutine bridge: 100,000 awaits of asyncio.sleep(0) from a C++ coroutine
against the same loop written as a Python ``async def``, measured side by side in one run.

Both loops read the ``asyncio`` global and its ``sleep`` attribute at every step; the C++ loop
does it as our modules do (``attr<"sleep">(global<"asyncio">())``, names interned once).
Prints the best of several alternating rounds and ``ratio=<C++ / Python>`` last.
"""

import asyncio
import time

import _coroutine_probe as probe

AWAITS = 100_000
ROUNDS = 7


async def sleep_loop(count: int) -> int:
    """The Python twin of the probe's C++ ``sleep_loop``."""
    for _ in range(count):
        await asyncio.sleep(0)
    return count


def timed(factory) -> float:
    """Seconds one event loop takes to run ``factory(AWAITS)`` to completion."""
    start = time.perf_counter()
    result = asyncio.run(factory(AWAITS))
    elapsed = time.perf_counter() - start
    if result != AWAITS:
        raise RuntimeError(f"{factory.__name__} returned {result!r}")
    return elapsed


def main() -> None:
    loops = {"python async def": sleep_loop, "C++ coroutine": probe.sleep_loop}
    for factory in loops.values():
        timed(factory)  # warm-up
    best = {name: float("inf") for name in loops}
    for _ in range(ROUNDS):
        for name, factory in loops.items():
            best[name] = min(best[name], timed(factory))
    for name, seconds in best.items():
        print(f"{name:<20} {seconds:.4f} s for {AWAITS} awaits ({seconds / best['python async def']:.3f}x)")
    print(f"ratio={best['C++ coroutine'] / best['python async def']:.3f}")


if __name__ == "__main__":
    main()
