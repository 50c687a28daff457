"""DirectJudge over the recipe library's real HTTP engine, against a loopback chat server."""

import json
import re

import pytest
from aiohttp import web

from tabulon.inference import CrossProviderInferenceEngine
from verdicta.judges import Criteria, CriteriaOption, DirectJudge

EVALUATED = re.compile(r"### answer to evaluate\n(.*?)\n\n### Answer", re.DOTALL)


async def chat_completions(request: web.Request) -> web.Response:
    """Judges politeness by the word "please"; answers "cannot tell" once for "???"."""
    body = await request.json()
    prompt = body["messages"][-1]["content"]
    answer = EVALUATED.search(prompt).group(1)
    if answer == "boom":
        return web.json_response({"error": "bad request"}, status=400)
    if answer == "???" and "### Correction" not in prompt:
        content = "cannot tell"
    else:
        option = "yes" if "please" in answer else "no"
        content = json.dumps({"explanation": f"judged {answer!r}", "selected_option": option, "feedback": "ok"})
    return web.json_response(
        {
            "model": body["model"],
            "choices": [{"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}],
            "usage": {"prompt_tokens": 10, "completion_tokens": 5},
        }
    )


@pytest.fixture
def judge_url(loopback):
    return loopback(chat_completions, path="/v1/chat/completions", method="POST").url + "/v1"


def test_judge_runs_end_to_end_through_the_http_engine(judge_url):
    engine = CrossProviderInferenceEngine(
        model="judge-model",
        provider="open-ai",
        credentials={"api_key": "test-key", "api_url": judge_url},
        provider_specific_args={"open-ai": {"temperature": 0}},
        use_cache=False,
        max_retries=0,
    )
    criteria = Criteria(
        name="politeness",
        description="Is the answer polite?",
        to_evaluate_field="answer",
        context_fields=[],
        options=[CriteriaOption(name="yes", score=1), CriteriaOption(name="no", score=0)],
    )
    answers = ["please sit", "sit", "???", "boom"]
    results = DirectJudge(inference_engine=engine, generate_feedback=True)(
        instances=[{"answer": a} for a in answers], criteria=criteria
    )

    assert [r.selected_option for r in results] == ["yes", "no", "no", None]
    assert [r.score for r in results] == [1.0, 0.0, 0.0, None]
    assert results[0].explanation == "judged 'please sit'" and results[0].feedback == "ok"
    assert results[0].metadata["model_name"] == "judge-model"
    assert results[2].metadata["attempts"] == 2
    assert "the inference request failed" in results[3].metadata["parse_error"]
