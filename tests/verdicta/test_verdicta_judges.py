"""DirectJudge end to end with scripted engines: prompts, results, corrections, bad input."""

import threading

import pytest
from pydantic import ValidationError

from verdicta.inference import FunctionInferenceEngine
from verdicta.judges import Criteria, CriteriaOption, DirectJudge, Instance


class ScriptedEngine:
    """Answers each prompt with `answer(source)` and records every batch it was sent."""

    def __init__(self, answer):
        self.answer = answer
        self.batches = []

    def infer(self, dataset):
        self.batches.append([item["source"] for item in dataset])
        return [self.answer(item["source"]) for item in dataset]


def json_answer(option, explanation="because", feedback="do better"):
    return f'{{"explanation": "{explanation}", "selected_option": "{option}", "feedback": "{feedback}"}}'


@pytest.fixture
def criteria():
    return Criteria(
        name="politeness",
        description="Is the answer polite to the user?",
        to_evaluate_field="answer",
        context_fields=["question", "context"],
        options=[
            CriteriaOption(name="yes", description="Polite throughout.", score=1),
            CriteriaOption(name="no", description="Rude somewhere.", score=0),
        ],
    )


def test_one_prompt_per_instance_with_criteria_options_and_fields(criteria):
    engine = ScriptedEngine(lambda source: json_answer("yes"))
    instance = Instance(fields={"answer": "Happy to help!", "question": "Can you help?", "context": ["c1", "c2"]})
    DirectJudge(inference_engine=engine)(instances=[instance], criteria=criteria)

    (prompt,) = engine.batches[0]
    for text in (
        "### Criteria: politeness\nIs the answer polite to the user?",
        '- "yes": Polite throughout.\n- "no": Rude somewhere.',
        "#### question\nCan you help?\n#### context\n[1] c1\n[2] c2",
        "### answer to evaluate\nHappy to help!",
        '"selected_option": exactly one of "yes", "no"',
    ):
        assert text in prompt
    assert '"feedback"' not in prompt


def test_results_follow_instance_order_in_one_batch(criteria):
    engine = ScriptedEngine(lambda source: json_answer("no" if "rude" in source else "yes", feedback="fb"))
    answers = ["fine", "rude", "fine too", "rude again"]
    instances = [Instance(fields={"answer": a, "question": "q", "context": "c"}) for a in answers]

    results = DirectJudge(inference_engine=engine, generate_feedback=True)(instances=instances, criteria=criteria)

    assert len(engine.batches) == 1 and len(engine.batches[0]) == 4
    assert [r.selected_option for r in results] == ["yes", "no", "yes", "no"]
    assert [r.score for r in results] == [1.0, 0.0, 1.0, 0.0]
    assert all(r.feedback == "fb" and r.explanation == "because" for r in results)
    assert results[1].metadata == {
        "prompt": engine.batches[0][1],
        "unparsed_response": json_answer("no", feedback="fb"),
        "attempts": 1,
        "parse_error": None,
        "error_code": None,
        "model_name": None,
        "input_tokens": None,
        "output_tokens": None,
        "cached": False,
        "calls": None,
    }


def test_feedback_is_dropped_when_not_asked(criteria):
    engine = ScriptedEngine(lambda source: json_answer("yes", feedback="unasked"))
    (result,) = DirectJudge(inference_engine=engine, generate_feedback=False)(
        instances=[{"answer": "a", "question": "q", "context": "c"}], criteria=criteria
    )
    assert result.feedback is None


def test_duplicate_option_names_are_offered_once_and_score_as_the_last():
    criteria = Criteria(
        name="c",
        description="d",
        options=[
            CriteriaOption(name="good", description="first", score=1),
            CriteriaOption(name="bad", score=0),
            CriteriaOption(name="good", description="second", score=0.5),
        ],
    )
    engine = ScriptedEngine(lambda source: json_answer("good"))
    (result,) = DirectJudge(inference_engine=engine)(instances=[{"response": "r"}], criteria=criteria)

    assert result.score == 0.5
    assert engine.batches[0][0].count('- "good"') == 1
    assert 'exactly one of "good", "bad";' in engine.batches[0][0]


def test_an_unusable_reply_is_corrected_once_and_only_that_one(criteria):
    replies = {"a": ["maybe", json_answer("no")], "b": [json_answer("yes")]}
    engine = ScriptedEngine(lambda source: replies["a" if "### answer to evaluate\na" in source else "b"].pop(0))
    instances = [{"answer": name, "question": "q", "context": "c"} for name in ("a", "b")]

    results = DirectJudge(inference_engine=engine)(instances=instances, criteria=criteria)

    assert [len(batch) for batch in engine.batches] == [2, 1]
    correction = engine.batches[1][0]
    assert correction.startswith(engine.batches[0][0])
    assert "### Your previous answer\nmaybe" in correction
    assert 'names none of the options "yes", "no"' in correction
    assert [r.selected_option for r in results] == ["no", "yes"]
    assert [r.metadata["attempts"] for r in results] == [2, 1]
    assert results[0].metadata["prompt"] == correction


@pytest.mark.parametrize("retries", [0, 1, 2])
def test_a_judge_that_never_names_an_option_is_reported_unparsable(criteria, retries):
    engine = ScriptedEngine(lambda source: "I'd rather not say.")
    (result,) = DirectJudge(inference_engine=engine, corrective_retries=retries)(
        instances=[{"answer": "x", "question": "q", "context": "c"}], criteria=criteria
    )
    assert len(engine.batches) == retries + 1
    assert result.selected_option is None and result.score is None
    assert result.metadata["attempts"] == retries + 1
    assert result.metadata["unparsed_response"] == "I'd rather not say."
    assert result.metadata["parse_error"].startswith("unparsable judge answer: it names none of the options")
    assert result.explanation == result.metadata["parse_error"]


@pytest.mark.parametrize(
    ("reply", "error_part"),
    [
        (TimeoutError("judge timed out"), "TimeoutError: judge timed out"),
        (None, "the inference request failed: the inference engine gave no reply"),
        ({"prediction": None}, "the inference request failed: the inference engine gave no reply"),
        ({"prediction": "x", "error": "HTTP 400"}, "the inference request failed: HTTP 400"),
    ],
)
def test_failed_requests_become_records_without_retry(criteria, reply, error_part):
    engine = ScriptedEngine(lambda source: reply if "### answer to evaluate\nbad" in source else json_answer("yes"))
    instances = [{"answer": name, "question": "q", "context": "c"} for name in ("ok", "bad")]

    results = DirectJudge(inference_engine=engine)(instances=instances, criteria=criteria)

    assert len(engine.batches) == 1
    assert results[0].selected_option == "yes"
    assert results[1].selected_option is None
    assert error_part in results[1].metadata["parse_error"]
    assert results[1].metadata["unparsed_response"] == ""


class Output:
    """A per-prompt outcome as engines with `return_meta_data` give it."""

    def __init__(self, prediction, error=None, model_name="judge-model"):
        self.prediction, self.error, self.model_name = prediction, error, model_name


class OutcomeEngine:
    """Raises for a whole batch with a failure unless asked for per-prompt outcomes."""

    def __init__(self, outcome):
        self.outcome = outcome

    def infer(self, dataset, return_meta_data=False):
        outputs = [self.outcome(item["source"]) for item in dataset]
        if not return_meta_data:
            raise RuntimeError("one prompt failed")
        return outputs


def test_per_prompt_outcomes_keep_failures_to_their_record(criteria):
    def outcome(source):
        if "### answer to evaluate\nslow" in source:
            return Output(None, error="timed out after 3 attempts")
        return Output(json_answer("yes"))

    instances = [{"answer": name, "question": "q", "context": "c"} for name in ("slow", "fast")]
    results = DirectJudge(inference_engine=OutcomeEngine(outcome))(instances=instances, criteria=criteria)

    assert [r.selected_option for r in results] == [None, "yes"]
    assert results[0].metadata["parse_error"] == "the inference request failed: timed out after 3 attempts"
    assert [r.metadata["model_name"] for r in results] == ["judge-model", "judge-model"]


def test_an_engine_answering_the_wrong_number_of_replies_is_an_error(criteria):
    class ShortEngine:
        def infer(self, dataset):
            return [json_answer("yes")] * (len(dataset) - 1)

    with pytest.raises(ValueError, match="returned 1 replies for 2 prompts"):
        DirectJudge(inference_engine=ShortEngine())(
            instances=[{"answer": "a", "question": "q", "context": "c"}] * 2, criteria=criteria
        )


def test_an_engine_failure_propagates_unchanged(criteria):
    class BrokenEngine:
        def infer(self, dataset):
            raise ConnectionError("judge unreachable")

    with pytest.raises(ConnectionError, match="judge unreachable"):
        DirectJudge(inference_engine=BrokenEngine())(
            instances=[{"answer": "a", "question": "q", "context": "c"}], criteria=criteria
        )


@pytest.mark.parametrize(
    ("instances", "error", "message"),
    [
        ([{"answer": "a", "question": "q"}], KeyError, "no field 'context'"),
        ([{"question": "q", "context": "c"}], KeyError, "no field 'answer'"),
        ([["answer", "a"]], TypeError, r"instances\[0\] must be an Instance"),
        ("answer", TypeError, "instances must be a list"),
    ],
)
def test_bad_instances_fail_before_any_model_call(criteria, instances, error, message):
    engine = ScriptedEngine(lambda source: json_answer("yes"))
    with pytest.raises(error, match=message):
        DirectJudge(inference_engine=engine)(instances=instances, criteria=criteria)
    assert engine.batches == []


def test_no_instances_make_no_model_call(criteria):
    engine = ScriptedEngine(lambda source: json_answer("yes"))
    assert DirectJudge(inference_engine=engine)(instances=[], criteria=criteria) == []
    assert engine.batches == []


def test_one_criteria_per_instance(criteria):
    other = criteria.model_copy(update={"name": "other"})
    engine = ScriptedEngine(lambda source: json_answer("yes"))
    instances = [{"answer": "a", "question": "q", "context": "c"}] * 2
    DirectJudge(inference_engine=engine)(instances=instances, criteria=[criteria, other])
    assert ["### Criteria: politeness" in p for p in engine.batches[0]] == [True, False]
    with pytest.raises(TypeError, match="list of 2 Criteria"):
        DirectJudge(inference_engine=engine)(instances=instances, criteria=[criteria])


@pytest.mark.parametrize(
    "build",
    [
        lambda: Criteria(name="c", description="d", options=[]),
        lambda: CriteriaOption(name="  "),
    ],
    ids=["no options", "blank option"],
)
def test_invalid_criteria_are_refused(build):
    with pytest.raises(ValidationError):
        build()


def test_custom_prompts_are_judged_against_valid_outputs():
    engine = ScriptedEngine(lambda source: "Verdict: Polite" if "hello" in source else "{}")
    results = DirectJudge(inference_engine=engine, generate_feedback=True).evaluate_with_custom_prompt(
        judge_prompts=["Is 'hello' polite?", "Is 'go away' polite?"], valid_outputs=["polite", "rude"]
    )

    first_prompt = engine.batches[0][0]
    assert first_prompt.startswith("Is 'hello' polite?\n\n### Answer\n")
    assert '"selected_option": exactly one of "polite", "rude";' in first_prompt
    assert '"feedback"' in first_prompt
    assert [r.selected_option for r in results] == ["polite", None]
    assert [r.score for r in results] == [None, None]
    assert results[1].metadata["attempts"] == 2
    assert 'has no "selected_option"' in results[1].metadata["parse_error"]


@pytest.mark.parametrize(
    ("prompts", "outputs", "message"),
    [
        (["p"], [], "at least one option"),
        (["p"], ["yes", ""], "non-blank texts"),
        (["p", 3], ["yes"], r"judge_prompts\[1\] must be a text"),
        ("p", ["yes"], "judge_prompts must be a list"),
    ],
)
def test_bad_custom_prompt_input_is_refused(prompts, outputs, message):
    engine = ScriptedEngine(str)
    with pytest.raises((TypeError, ValueError), match=message):
        DirectJudge(inference_engine=engine).evaluate_with_custom_prompt(judge_prompts=prompts, valid_outputs=outputs)
    assert engine.batches == []


def test_function_engine_runs_exactly_max_concurrency_calls_at_once(criteria):
    limit = 3
    # Each call waits until `limit` calls are in flight together (the time-out only
    # guards against a hang): fewer at once breaks the barrier; more shows in `peak`
    # or in the number of worker threads, since a blocked worker cannot take new calls.
    barrier = threading.Barrier(limit, timeout=10)
    lock = threading.Lock()
    in_flight = peak = 0
    workers = set()

    def answer(source):
        nonlocal in_flight, peak
        with lock:
            workers.add(threading.get_ident())
            in_flight += 1
            peak = max(peak, in_flight)
        barrier.wait()
        with lock:
            in_flight -= 1
        return json_answer("yes")

    engine = FunctionInferenceEngine(answer, max_concurrency=limit)
    instances = [{"answer": "a", "question": "q", "context": "c"}] * (3 * limit)
    results = DirectJudge(inference_engine=engine)(instances=instances, criteria=criteria)

    assert [r.selected_option for r in results] == ["yes"] * (3 * limit)
    assert peak == limit
    assert len(workers) == limit
