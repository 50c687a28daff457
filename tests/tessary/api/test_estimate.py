"""The dry run sends nothing, and its counts are the calls a real run then makes."""
import pytest

import tessary
from tessary.api._services import local_client
from tessary.entities.criteria import Option
from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric
from tessary.utils.token_counting import count_tokens


def metrics():
    criteria = LLMAsJudgeMetric(name="grounded", criteria_description="Is the {answer} supported by the {contexts}?",
                                options=[Option(name="yes", description="Supported.", value=1),
                                         Option(name="no", description="Not supported.", value=0)])
    return ["hap", "pii[output]", "faithfulness", "faithfulness:llm_as_judge", "answer_correctness:token_recall",
            criteria]


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
def test_dry_run_sends_nothing_and_counts_the_real_calls(records, counting_server, awaitable):
    client, judge = local_client(counting_server.url), counting_server.url + "/v1"
    plan = tessary.estimate(records, metrics(), api_client=client, judge=judge, price_per_1k_tokens=2.0)
    assert counting_server.requests == []
    if awaitable:
        import asyncio

        asyncio.run(tessary.evaluate_async(records, metrics(), api_client=client, judge=judge))
    else:
        tessary.evaluate(records, metrics(), api_client=client, judge=judge)
    prompts = counting_server.paths("/v1/chat/completions")
    assert plan.detector_requests == len(counting_server.paths("/ml/v1/text/detection")) == 2 * 3
    assert plan.judge_calls == len(prompts) == 2 * 2
    sent_tokens = sum(count_tokens(message["content"]) for body in prompts for message in body["messages"])
    assert plan.prompt_tokens == sent_tokens > 0
    assert plan.cost == pytest.approx(sent_tokens / 1000 * 2.0)
    by_name = {(row.name, row.method): row for row in plan.metrics}
    assert by_name["answer_correctness", "token_recall"].note == "computed locally"


def test_dry_run_on_the_embedded_default_starts_nothing(records, monkeypatch):
    from tessary.services import detectd, judged

    def refuse(*args, **kwargs):
        raise AssertionError("a dry run started a service")

    monkeypatch.setattr(detectd.DetectionService, "start", refuse)
    monkeypatch.setattr(judged.JudgeServer, "start", refuse)
    plan = tessary.estimate(records, ["hap", "faithfulness:llm_as_judge"])
    assert (plan.detector_requests, plan.judge_calls) == (2, 2)
