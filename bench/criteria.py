"""Criteria-metric throughput against the local judge server, and the cost of token counting.

1. 1,000 records judged with a criteria metric (``VerdictaProvider`` over the
   cross-provider OpenAI engine), beside a bare aiohttp loop posting the same
   1,000 prompts with the same concurrency; the server runs in its own process.
2. The provider's own CPU time with token counting on and off, and the time the
   2,000 token counts (prompts and replies) take by themselves.

The last line is ``ratio=<provider wall time / bare loop wall time>`` (best of a few rounds).
"""

from __future__ import annotations

import asyncio
import os
import time

import pandas as pd

from _judge_common import bare_loop, start_server

RECORDS = 1_000
CONCURRENCY = 20
ROUNDS = 7
MODEL = "tessary-judge"


def make_table(count: int) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "question": [f"What does item {i} of the catalogue cost?" for i in range(count)],
            "context": [f"The catalogue lists item {i} at {i % 97} euros; delivery takes {i % 7 + 1} days."
                        for i in range(count)],
            "answer": [f"Item {i} costs {i % 97} euros and ships in {i % 5 + 1} days." for i in range(count)],
            "record_id": [str(i) for i in range(count)],
            "record_timestamp": ["2024-05-01T00:00:00" for _ in range(count)],
        }
    )


def build_provider(compute_token_count: bool):
    from tessary.entities.criteria import Option
    from tessary.entities.foundation_model import OpenAIFoundationModel
    from tessary.entities.llm_judge import LLMJudge
    from tessary.providers.critmark import VerdictaProvider

    model = OpenAIFoundationModel(model_id=MODEL, parameters={"num_parallel_requests": CONCURRENCY})
    options = [
        Option(name="correct", description="The {answer} matches the context.", value=1),
        Option(name="partly", description="Some of the {answer} matches the context.", value=0.5),
        Option(name="wrong", description="The {answer} contradicts the context.", value=0),
    ]
    return VerdictaProvider(
        metric_name="price_correctness",
        display_name="Price correctness",
        value_type="numeric",
        llm_judge=LLMJudge(model=model),
        options=options,
        criteria_description="Does the {answer} state the price and delivery time of the {context}?",
        context_fields=["question", "context"],
        prediction_field="answer",
        compute_token_count=compute_token_count,
    )


def run_provider(provider, table: pd.DataFrame) -> tuple[float, float, object]:
    wall, cpu = time.perf_counter(), time.process_time()
    result = provider.evaluate(table)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    scored = sum(1 for record in result.record_level_metrics if record.value is not None)
    if scored != len(table):
        raise RuntimeError(f"only {scored} of {len(table)} records were scored")
    return wall, cpu, result


def chat_bodies(prompts: list[str]) -> list[dict]:
    return [
        {"model": MODEL, "messages": [{"role": "user", "content": prompt}], "temperature": 0, "seed": 36}
        for prompt in prompts
    ]


def post_process_cpu(provider, answers: list, table: pd.DataFrame) -> float:
    """CPU time of the provider's post-processing of the captured answers (best of a few runs)."""
    post_process = provider._VerdictaProvider__post_process
    times = []
    for _ in range(ROUNDS):
        start = time.process_time()
        post_process(results=answers, data=table)
        times.append(time.process_time() - start)
    return min(times)


def main() -> None:
    os.environ.pop("TESSARY_TABULON_INFERENCE_CACHE", None)
    process, base_url = start_server()
    os.environ["OPENAI_BASE_URL"] = base_url
    try:
        table = make_table(RECORDS)
        plain, counting = build_provider(False), build_provider(True)
        # The prompts the judge sends, captured once from its answers.
        from tessary.providers import critmark

        answers = []
        real_post_process = critmark.VerdictaProvider._VerdictaProvider__post_process

        def capture(self, results, data):
            answers.extend(results)
            return real_post_process(self, results=results, data=data)

        critmark.VerdictaProvider._VerdictaProvider__post_process = capture
        run_provider(plain, table)
        critmark.VerdictaProvider._VerdictaProvider__post_process = real_post_process
        bodies = chat_bodies([answer.metadata["prompt"] for answer in answers])
        endpoint = base_url + "/chat/completions"

        run_provider(plain, table.head(100))  # warm up both paths
        asyncio.run(bare_loop(endpoint, bodies[:100], CONCURRENCY))
        provider_walls, bare_walls, cpu_plain, cpu_counting = [], [], [], []
        for _ in range(ROUNDS):
            wall, cpu, _ = run_provider(plain, table)
            provider_walls.append(wall)
            cpu_plain.append(cpu)
            bare_walls.append(asyncio.run(bare_loop(endpoint, bodies, CONCURRENCY)))
            cpu_counting.append(run_provider(counting, table)[1])
        counted = post_process_cpu(counting, answers, table) - post_process_cpu(plain, answers, table)
    finally:
        process.terminate()
        process.wait(timeout=10)
    provider_best, bare_best = min(provider_walls), min(bare_walls)
    plain_cpu, counting_cpu = min(cpu_plain), min(cpu_counting)
    print(f"criteria metric: {RECORDS} records in {provider_best:.3f} s (best of {ROUNDS})")
    print(f"bare aiohttp loop: {RECORDS} requests in {bare_best:.3f} s (best of {ROUNDS})")
    print(f"provider CPU: {plain_cpu:.3f} s without token counts, {counting_cpu:.3f} s with "
          f"({(counting_cpu / plain_cpu - 1) * 100:+.1f}%)")
    print(f"token counting in post-processing: {2 * RECORDS} texts in {counted:.4f} s CPU "
          f"({counted / plain_cpu * 100:.1f}% of the provider's CPU time)")
    print(f"ratio={provider_best / bare_best:.3f}")


if __name__ == "__main__":
    main()
