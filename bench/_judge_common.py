"""What the judge benchmarks share: the judge server in its own process and the bare aiohttp loop."""

from __future__ import annotations

import asyncio
import subprocess
import sys
import time
from pathlib import Path

import aiohttp


def start_server(latency: float | None = None) -> tuple[subprocess.Popen, str]:
    """Starts tessary-judged in a separate process; returns it and the base URL it printed.

    With `latency` (seconds), the server of `_judge_server.py` answers each chat call after that wait.
    """
    command = ([sys.executable, "-m", "tessary.services.judged"] if latency is None
               else [sys.executable, str(Path(__file__).with_name("_judge_server.py")), str(latency)])
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    base_url = process.stdout.readline().strip()
    if not base_url.startswith("http://"):
        process.kill()
        raise RuntimeError(f"The judge server did not print its URL: {base_url!r}")
    return process, base_url


async def bare_loop(endpoint: str, bodies: list[dict], concurrency: int) -> float:
    """Posts every chat body over one session, `concurrency` at a time; returns the wall time."""
    start = time.perf_counter()
    limit = asyncio.Semaphore(concurrency)
    connector = aiohttp.TCPConnector(limit=concurrency)
    async with aiohttp.ClientSession(connector=connector) as session:

        async def post(body: dict) -> str:
            async with limit, session.post(endpoint, json=body) as response:
                payload = await response.json()
                return payload["choices"][0]["message"]["content"]

        answers = await asyncio.gather(*(post(body) for body in bodies))
    if len(answers) != len(bodies):
        raise RuntimeError("the bare loop lost answers")
    return time.perf_counter() - start


def catalogue_records(count: int):
    """Question, answer and context of `count` catalogue records, the judged benchmarks' table."""
    import pandas as pd

    return pd.DataFrame({
        "input_text": [f"What does item {i} of the catalogue cost?" for i in range(count)],
        "generated_text": [f"Item {i} costs {i % 97} euros and ships in {i % 7 + 1} days." for i in range(count)],
        "context": [f"The catalogue lists item {i} at {i % 97} euros." for i in range(count)],
        "record_id": [f"r{i}" for i in range(count)],
    })
