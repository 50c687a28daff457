"""Judge throughput against the local judge server, and lexical metric speed.

1. 1,000 records judged for faithfulness through ``TaskBasedLLMasJudge`` with an
   ``OpenAiInferenceEngine``, beside a bare aiohttp loop posting the same 1,000
   chat requests with the same concurrency; the server runs in its own process.
2. 10,000 records through a lexical catalog metric: records per second.

The last line is ``ratio=<judge wall time / bare loop wall time>`` (best of a few rounds).
"""

from __future__ import annotations

import asyncio
import time

from _judge_common import bare_loop, start_server

from tabulon.formats import ChatAPIFormat
from tabulon.inference import OpenAiInferenceEngine
from tabulon.llm_as_judge import TaskBasedLLMasJudge
from tabulon.operator import SequentialOperator
from tabulon.stream import MultiStream

RECORDS = 1_000
LEXICAL_RECORDS = 10_000
CONCURRENCY = 20
ROUNDS = 7
TEMPLATE = "templates.rag_eval.faithfulness.judge_with_question_simplified_verbal"


def make_records(count: int) -> list[dict]:
    return [
        {
            "question": f"What does item {i} of the catalogue cost?",
            "answer": f"Item {i} costs {i % 97} euros and ships in {i % 7 + 1} days.",
            "contexts": [
                f"The catalogue lists item {i} at {i % 97} euros.",
                f"Delivery of item {i} takes {i % 7 + 1} working days.",
            ],
            "ground_truths": [f"{i % 97} euros"],
            "record_id": str(i),
        }
        for i in range(count)
    ]


def build_judge(base_url: str) -> TaskBasedLLMasJudge:
    engine = OpenAiInferenceEngine(
        model_name="tessary-judge",
        credentials={"api_url": base_url},
        use_cache=False,
        num_parallel_requests=CONCURRENCY,
    )
    return TaskBasedLLMasJudge(
        inference_model=engine,
        format=ChatAPIFormat(),
        template=TEMPLATE,
        task="tasks.rag_eval.faithfulness.binary",
        main_score="faithfulness_judge",
        prediction_field="answer",
        infer_log_probs=False,
        judge_to_generator_fields_mapping={},
    )


def run_judge(judge: TaskBasedLLMasJudge, records: list[dict]) -> float:
    start = time.perf_counter()
    stream = MultiStream.from_iterables({"test": records}, copying=True)
    results = list(SequentialOperator(steps=[judge])(stream)["test"])
    elapsed = time.perf_counter() - start
    scored = sum(1 for r in results if r["score"]["instance"]["score"] == r["score"]["instance"]["score"])
    if scored != len(records):
        raise RuntimeError(f"only {scored} of {len(records)} records were scored")
    return elapsed


def chat_bodies(judge: TaskBasedLLMasJudge, records: list[dict]) -> list[dict]:
    bodies = []
    for index, record in enumerate(records):
        messages = judge.format.format(judge.template.system_prompt, judge._render(record, index))
        body = {"model": "tessary-judge", "messages": messages, **judge.inference_model.parameters}
        bodies.append(body)
    return bodies


def lexical_rate() -> float:
    records = make_records(LEXICAL_RECORDS)
    start = time.perf_counter()
    stream = MultiStream.from_iterables({"test": records}, copying=True)
    results = list(SequentialOperator(steps=["metrics.rag.faithfulness.token_k_precision"])(stream)["test"])
    elapsed = time.perf_counter() - start
    assert len(results) == LEXICAL_RECORDS
    return LEXICAL_RECORDS / elapsed


def main() -> None:
    process, base_url = start_server()
    try:
        records = make_records(RECORDS)
        judge = build_judge(base_url)
        bodies = chat_bodies(judge, records)
        endpoint = base_url + "/chat/completions"
        run_judge(judge, records[:100])  # warm up both paths
        asyncio.run(bare_loop(endpoint, bodies[:100], CONCURRENCY))
        judge_times, bare_times = [], []
        for _ in range(ROUNDS):
            judge_times.append(run_judge(judge, records))
            bare_times.append(asyncio.run(bare_loop(endpoint, bodies, CONCURRENCY)))
    finally:
        process.terminate()
        process.wait(timeout=10)
    judge_best, bare_best = min(judge_times), min(bare_times)
    print(f"judge: {RECORDS} records in {judge_best:.3f} s (best of {ROUNDS})")
    print(f"bare aiohttp loop: {RECORDS} requests in {bare_best:.3f} s (best of {ROUNDS})")
    print(f"lexical metric: {lexical_rate():,.0f} records/s over {LEXICAL_RECORDS} records")
    print(f"ratio={judge_best / bare_best:.3f}")


if __name__ == "__main__":
    main()
