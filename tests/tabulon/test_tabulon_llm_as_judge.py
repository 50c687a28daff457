import math

import pytest

from tabulon.errors import MissingFieldError
from tabulon.formats import ChatAPIFormat
from tabulon.inference import InferenceEngine, OpenAiInferenceEngine, QMLInferenceEngineGeneration, Completion, PermanentError
from tabulon.llm_as_judge import TaskBasedLLMasJudge
from tabulon.operator import SequentialOperator
from tabulon.stream import MultiStream

TEMPLATES = {
    "faithfulness": "judge_with_question_simplified_verbal",
    "context_relevance": "judge_context_relevance_ares_numeric",
    "answer_correctness": "judge_loose_match_no_context_numeric",
    "answer_relevance": "judge_answer_relevance_numeric",
}
GOOD = {
    "question": "What is the capital of France?",
    "answer": "Paris is the capital of France.",
    "contexts": ["Paris is the capital and largest city of France."],
    "ground_truths": ["Paris is the capital of France"],
    "record_id": "good",
}
BAD = {
    "question": "Who wrote Hamlet?",
    "answer": "Bananas grow on trees.",
    "contexts": ["Bananas are yellow fruit."],
    "ground_truths": ["Shakespeare"],
    "record_id": "bad",
}


def make_judge(engine, metric, judge_format=None, **overrides):
    arguments = dict(
        inference_model=engine,
        format=judge_format,
        template=f"templates.rag_eval.{metric}.{TEMPLATES[metric]}",
        task=f"tasks.rag_eval.{metric}.binary",
        main_score=f"{metric}_judge",
        prediction_field="contexts" if metric == "context_relevance" else "answer",
        infer_log_probs=False,
        judge_to_generator_fields_mapping={},
    )
    arguments.update(overrides)
    return TaskBasedLLMasJudge(**arguments)


def judge_records(judge, records):
    stream = MultiStream.from_iterables({"test": records}, copying=True)
    return list(SequentialOperator(steps=[judge])(stream)["test"])


def instance_scores(results):
    return [r["score"]["instance"]["score"] for r in results]


@pytest.mark.parametrize(
    "metric, expected",
    [
        ("faithfulness", [1.0, 0.0]),  # "yes" / "no"
        ("context_relevance", [1.0, 0.0]),  # rating 5 / 1
        ("answer_correctness", [1.0, 0.0]),
        ("answer_relevance", [1.0, 0.0]),
    ],
)
@pytest.mark.parametrize("engine_kind", ["chat", "text_generation"])
def test_judge_scores_end_to_end_against_the_local_server(judge_server, metric, expected, engine_kind):
    if engine_kind == "chat":
        engine = OpenAiInferenceEngine(model_name="judge", credentials={"api_url": judge_server.base_url})
        judge_format = ChatAPIFormat()
    else:
        engine = QMLInferenceEngineGeneration(
            credentials={"url": judge_server.root_url, "project_id": "p"}, model_name="judge"
        )
        judge_format = None
    results = judge_records(make_judge(engine, metric, judge_format), [GOOD, BAD])
    assert instance_scores(results) == expected
    assert [r["record_id"] for r in results] == ["good", "bad"]
    first = results[0]["score"]["instance"]
    assert first[f"{metric}_judge"] == expected[0]
    assert first["score_name"] == f"{metric}_judge"
    assert first[f"{metric}_judge_raw_output"].startswith(("Answer:", "Rating:"))
    assert first["judge_model"] == "judge" and first["judge_parameters"] == {"temperature": 0.0, "seed": 42}
    assert first["score_error"] is None
    assert results[0]["score"]["global"]["score"] == pytest.approx(sum(expected) / 2)


class ScriptedEngine(InferenceEngine):
    """Answers each prompt with the next scripted reply; an exception becomes that prompt's error."""

    def __init__(self, replies):
        super().__init__(model_name="scripted", max_retries=0)
        self.replies = list(replies)
        self.sources = []

    def _create_session(self):
        return None

    async def _complete(self, session, source):
        self.sources.append(source)
        reply = self.replies.pop(0)
        if isinstance(reply, Exception):
            raise reply
        return Completion(reply)


@pytest.mark.parametrize(
    "metric, reply, expected",
    [
        # verbal scale: yes / partial / no
        ("faithfulness", "Answer: partial\nSome of it.", 0.5),
        ("faithfulness", "**Answer:** YES", 1.0),
        ("faithfulness", "no, it is made up", 0.0),
        ("faithfulness", "I refuse.", None),
        ("faithfulness", "", None),
        # numeric scale 1..5 mapped onto 0..1
        ("answer_relevance", "Rating: 3", 0.5),
        ("answer_relevance", "Rating: 1\nWrong.", 0.0),
        ("answer_relevance", "4", 0.75),
        ("answer_relevance", "Rating: 9", None),  # outside the scale
        ("answer_relevance", "good", None),
    ],
)
def test_judge_answers_are_read_or_the_reason_kept(metric, reply, expected):
    [result] = judge_records(make_judge(ScriptedEngine([reply]), metric), [GOOD])
    score = result["score"]["instance"]
    assert score[f"{metric}_judge_raw_output"] == reply
    if expected is None:
        assert math.isnan(score["score"]) and math.isnan(score[f"{metric}_judge"])
        assert isinstance(score["score_error"], str) and score["score_error"]
    else:
        assert score["score"] == score[f"{metric}_judge"] == expected
        assert score["score_error"] is None


def test_engine_failures_leave_a_missing_score_with_the_reason_and_others_are_kept():
    engine = ScriptedEngine(["Answer: yes", PermanentError("HTTP 401: bad key"), "Answer: no"])
    results = judge_records(make_judge(engine, "faithfulness"), [GOOD, BAD, GOOD])
    scores = instance_scores(results)
    assert scores[0] == 1.0 and math.isnan(scores[1]) and scores[2] == 0.0
    assert "HTTP 401: bad key" in results[1]["score"]["instance"]["score_error"]
    assert results[0]["score"]["global"]["num_of_failures"] == 1
    assert results[0]["score"]["global"]["score"] == 0.5


def test_missing_field_names_the_judge_and_field_and_sends_nothing():
    engine = ScriptedEngine([])
    record = {k: v for k, v in GOOD.items() if k != "contexts"}
    with pytest.raises(MissingFieldError) as caught:
        judge_records(make_judge(engine, "faithfulness"), [record])
    assert "faithfulness_judge" in str(caught.value) and "'contexts'" in str(caught.value)
    assert engine.sources == []


def test_prediction_field_and_field_mapping_pick_the_judged_text():
    engine = ScriptedEngine(["Rating: 5"])
    record = {"question": "q?", "response": "the judged text", "answer": "ignored"}
    judge = make_judge(engine, "answer_relevance", prediction_field="response")
    judge_records(judge, [record])
    assert "the judged text" in engine.sources[0] and "ignored" not in engine.sources[0]

    engine = ScriptedEngine(["Rating: 5"])
    judge = make_judge(engine, "answer_relevance", judge_to_generator_fields_mapping={"question": "query"})
    judge_records(judge, [{"query": "mapped question", "answer": "a"}])
    assert "mapped question" in engine.sources[0]


def test_chat_format_sends_system_and_user_messages_and_default_is_plain_text():
    engine = ScriptedEngine(["Answer: yes", "Answer: yes"])
    judge_records(make_judge(engine, "faithfulness", ChatAPIFormat()), [GOOD])
    judge_records(make_judge(engine, "faithfulness", None), [GOOD])
    chat, plain = engine.sources
    assert [m["role"] for m in chat] == ["system", "user"]
    assert "[Contexts]\n- Paris is the capital and largest city of France." in chat[1]["content"]
    assert isinstance(plain, str) and plain.startswith(chat[0]["content"]) and plain.endswith(chat[1]["content"])


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"infer_log_probs": True}, ValueError, "infer_log_probs"),
        ({"inference_model": object()}, TypeError, "inference engine"),
        ({"template": "templates.rag_eval.faithfulness.nope"}, LookupError, "Unknown catalog name"),
    ],
)
def test_bad_judge_arguments_fail_clearly(overrides, error, message):
    with pytest.raises(error, match=message):
        make_judge(ScriptedEngine([]), "faithfulness", **overrides)


def test_empty_split_sends_nothing():
    engine = ScriptedEngine([])
    assert judge_records(make_judge(engine, "faithfulness"), []) == []
    assert engine.sources == []


def test_record_data_policy_reaches_the_engine():
    engine = ScriptedEngine(["Answer: yes"])
    engine.data_classification_policy = ["public"]
    records = [
        dict(GOOD, metadata={"data_classification_policy": ["public"]}),
        dict(GOOD, metadata={"data_classification_policy": ["confidential"]}),
    ]
    results = judge_records(make_judge(engine, "faithfulness"), records)
    assert results[0]["score"]["instance"]["score"] == 1.0
    assert "not allowed" in results[1]["score"]["instance"]["score_error"]
    assert len(engine.sources) == 1


@pytest.mark.parametrize("contexts", [["one"], ("one",), ["one", "two"], [3], [], ["naïve\n- x"]])
def test_context_sections_list_each_context(contexts):
    from tabulon.templates import _section_text

    assert _section_text(contexts) == ("\n".join(f"- {item}" for item in contexts) if contexts else "(none)")
