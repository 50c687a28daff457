"""Detector provider throughput: 10,000 "hap" and 10,000 "faithfulness" records through
`DetectorsProvider.evaluate` against the local detection service, beside a bare aiohttp loop.

The service runs in its own process (`python -m tessary.services.detectd`). The bare loop posts
the very same bodies with the same headers over one session, all at once, and only parses the
JSON answers: the practical limit of an aiohttp client. Runs alternate (bare, provider, ...) and
the best of each is kept. Also prints the provider's CPU time per record outside the HTTP calls
(bodies plus post-processing) and the peak of Python allocations during one evaluation.
Last line: the provider's throughput over the bare loop's, `ratio=<number>`.
"""

from __future__ import annotations

import asyncio
import json
import os
import subprocess
import sys
import time
import tracemalloc
from types import SimpleNamespace

import aiohttp
import pandas as pd

from orvane_corvel_tallion import APIClient as QTSClient
from orvane_corvel_tallion import BearerTokenAuthenticator
from tessary.config import GenAIConfiguration
from tessary.providers.probewell import DetectorsProvider

RECORDS = 10_000
ROUNDS = 3

WORDS = ("the quarterly report shows steady growth in the northern region while costs stayed flat and "
         "customers praised the new support line you idiot").split()
PASSAGES = [
    "The quarterly report shows steady growth in the northern region.",
    "Costs stayed flat over the year and the support line opened in March.",
]


def start_service() -> tuple[subprocess.Popen, str]:
    # The service scores "hap" with its lexicon: the trained classifier's 2 ms per text would make
    # the service's own scoring most of what is timed, on the cores both sides share.
    process = subprocess.Popen([sys.executable, "-m", "tessary.services.detectd"], stdout=subprocess.PIPE, text=True,
                               env={**os.environ, "TESSARY_HAP_SCORER": "lexicon"})
    url = process.stdout.readline().strip()
    if not url.startswith("http"):
        process.kill()
        raise RuntimeError("the detection service did not start")
    return process, url


def records() -> pd.DataFrame:
    texts = [" ".join(WORDS[(i + k) % len(WORDS)] for k in range(12 + i % 9)) for i in range(RECORDS)]
    answers = [" ".join(WORDS[(i * 7 + k) % len(WORDS)] for k in range(10)) for i in range(RECORDS)]
    return pd.DataFrame({"q": texts, "a": answers, "c": [PASSAGES] * RECORDS,
                         "record_id": [f"r{i}" for i in range(RECORDS)]})


def make_provider(metric: str, url: str) -> DetectorsProvider:
    qts = QTSClient(authenticator=BearerTokenAuthenticator(bearer_token="bench"), service_url=url,
                    service_instance_id="bench")
    client = SimpleNamespace(qts_client=qts, credentials=SimpleNamespace(url=url, version="5.0", disable_ssl=False))
    configuration = GenAIConfiguration(input_fields=["q"], output_fields=["a"], context_fields=["c"])
    method = "faithfulness_model" if metric == "faithfulness" else None
    return DetectorsProvider(configuration, metric, metric, method, api_client=client)


async def bare_loop(url: str, headers: dict, bodies: list[str]) -> list:
    async with aiohttp.ClientSession() as session:
        async def one(body: str):
            async with session.post(url, headers=headers, data=body) as response:
                return json.loads(await response.text())
        return await asyncio.gather(*(one(body) for body in bodies))


def main() -> None:
    process, url = start_service()
    try:
        data = records()
        total_bare = total_provider = 0.0
        for metric in ("hap", "faithfulness"):
            provider = make_provider(metric, url)
            bodies, ids = provider._DetectorsProvider__pre_process_data(data=data)
            headers = provider._DetectorsProvider__get_headers()
            best_bare = best_provider = float("inf")
            for _ in range(ROUNDS):
                start = time.perf_counter()
                answers = asyncio.run(bare_loop(provider.base_url, headers, bodies))
                best_bare = min(best_bare, time.perf_counter() - start)
                start = time.perf_counter()
                result = provider.evaluate(data)
                best_provider = min(best_provider, time.perf_counter() - start)
            assert result.total_records == RECORDS and result.errors is None, result.errors
            # CPU outside the HTTP calls: bodies and post-processing of the same answers.
            cpu = time.process_time()
            bodies, ids = provider._DetectorsProvider__pre_process_data(data=data)
            provider._DetectorsProvider__post_process(answers, ids)
            cpu = time.process_time() - cpu
            tracemalloc.start()
            provider.evaluate(data)
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            total_bare += best_bare
            total_provider += best_provider
            print(f"{metric}: bare {RECORDS / best_bare:,.0f} rec/s, provider {RECORDS / best_provider:,.0f} rec/s, "
                  f"ratio {best_bare / best_provider:.3f}; provider CPU outside HTTP {cpu / RECORDS * 1e6:.1f} us/record; "
                  f"peak Python allocations {peak / 2**20:.1f} MB")
        print(f"ratio={total_bare / total_provider:.3f}")
    finally:
        process.terminate()
        process.wait()


if __name__ == "__main__":
    main()
