"""VerdictaProvider.evaluate: path choice, record results, scores, token counts, error wrapping, async twin."""

import asyncio
import threading

import pandas as pd
import pytest

from critmark_support import Answer, YES_NO, critmark, provider, use_scripted_judge
from tessary.entities.criteria import Option
from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessary.entities.metric_threshold import MetricThreshold
from tessary.utils.token_counting import count_tokens


def table(rows=2, **extra):
    data = {
        "answer": [f"answer {i}" for i in range(rows)],
        "question": [f"question {i}" for i in range(rows)],
        "record_id": [f"r{i}" for i in range(rows)],
        "record_timestamp": [f"2024-01-0{i + 1}" for i in range(rows)],
    }
    data.update(extra)
    return pd.DataFrame(data)


@pytest.mark.parametrize(
    "criteria, template, path",
    [
        ("Is {answer} right?", "Q: {question}", "criteria"),
        ("", "Q: {question}", "custom"),
        ("Is {answer} right?", None, "criteria"),
        (None, "Q: {question}", "custom"),
    ],
)
def test_criteria_text_wins_over_the_template_and_empty_text_takes_the_template(criteria, template, path, monkeypatch):
    judge_class = use_scripted_judge(monkeypatch)
    made = provider(
        criteria_description=criteria, prompt_template=template, prediction_field="answer", context_fields=["question"]
    )
    made.evaluate(table())
    (judge,) = judge_class.instances
    assert judge.generate_feedback is True
    assert [call[0] for call in judge.calls] == [path]
    if path == "criteria":
        _, instances, built = judge.calls[0]
        assert built.description == "Is answer right?"
        assert [item.fields for item in instances] == [
            {"answer": "answer 0", "question": "question 0"},
            {"answer": "answer 1", "question": "question 1"},
        ]
    else:
        assert judge.calls[0][1:] == (["Q: question 0", "Q: question 1"], ["yes", "no"])


def test_custom_prompts_are_filled_from_each_row_as_pandas_gives_it(monkeypatch):
    judge_class = use_scripted_judge(monkeypatch)
    made = provider(prompt_template="{n} / {x:.2f} / {answer!r} / {{literal}}")
    made.evaluate(table(n=[1, 2], x=[0.5, 1.25]))
    # A row mixing ints and floats arrives as floats; text columns keep the ints intact.
    assert judge_class.instances[0].calls[0][1] == [
        "1 / 0.50 / 'answer 0' / {literal}",
        "2 / 1.25 / 'answer 1' / {literal}",
    ]


def test_record_results_carry_every_field(monkeypatch):
    answers = [Answer("yes", "E1", "", {"prompt": "", "unparsed_response": ""}), Answer("no", "E2", "do better")]
    use_scripted_judge(monkeypatch, answers)
    thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
    made = provider(
        prompt_template="{answer}", metric_group=MetricGroup.CUSTOM, metric_method="llm_as_judge", thresholds=thresholds
    )
    result = made.evaluate(table())
    assert type(result) is AggregateMetricResult
    assert (result.name, result.value, result.total_records, result.min, result.max) == ("fit", 0.5, 2, 0, 1)
    first, second = result.record_level_metrics
    assert type(first) is RecordMetricResult
    assert first.model_dump(include={"name", "display_name", "method", "group", "provider", "value", "label",
                                     "record_id", "record_timestamp", "explanation", "additional_info"}) == {
        "name": "fit",
        "display_name": "Fit",
        "method": "llm_as_judge",
        "group": MetricGroup.CUSTOM,
        "provider": "tabulon",
        "value": 1,
        "label": "yes",
        "record_id": "r0",
        "record_timestamp": "2024-01-01",
        "explanation": "E1",
        "additional_info": {"feedback": None, "input_tokens": None, "output_tokens": None},
    }
    assert first.thresholds == thresholds
    assert (second.value, second.label, second.additional_info["feedback"]) == (0, "no", "do better")


@pytest.mark.parametrize(
    "options, answers, values",
    [
        ([Option(name="a", value=1), Option(name="a", value=5)], ["a"], [5]),
        (YES_NO, ["maybe", None], [None, None]),
        ([Option(name="a", value=0.25), Option(name="b", value=None)], ["b", "a"], [None, 0.25]),
    ],
    ids=["repeated-name-keeps-the-last", "unknown-or-unparsable", "option-without-value"],
)
def test_scores_are_looked_up_by_option_name(options, answers, values, monkeypatch):
    use_scripted_judge(monkeypatch, [Answer(label) for label in answers])
    result = provider(options=options, prompt_template="{answer}").evaluate(table(len(answers)))
    assert [record.value for record in result.record_level_metrics] == values
    assert [record.label for record in result.record_level_metrics] == answers


def test_fewer_answers_than_rows_give_fewer_records(monkeypatch):
    use_scripted_judge(monkeypatch, [Answer("yes"), Answer("no")])
    result = provider(prompt_template="{answer}").evaluate(table(3))
    assert [r.record_id for r in result.record_level_metrics] == ["r0", "r1"]
    assert result.total_records == 2


def test_numeric_record_ids_stay_numbers(monkeypatch):
    use_scripted_judge(monkeypatch)
    result = provider(prompt_template="{answer}").evaluate(table(record_id=[10, 11]))
    assert [r.record_id for r in result.record_level_metrics] == [10, 11]


@pytest.mark.parametrize(
    "prompt, reply, expected",
    [
        ("Rate this answer: Paris.", '{"selected_option": "yes"}', None),
        ("", "", (None, None)),
        ("one <|endoftext|> two", "<|fim_prefix|>", None),
        (12345, None, None),
    ],
    ids=["text", "empty-prompt-is-none", "special-markers-count-as-text", "text-form"],
)
def test_token_counts_of_prompt_and_reply(prompt, reply, expected, monkeypatch):
    use_scripted_judge(monkeypatch, [Answer("yes", metadata={"prompt": prompt, "unparsed_response": reply})])
    made = provider(prompt_template="{answer}", compute_token_count=True)
    info = made.evaluate(table(1)).record_level_metrics[0].additional_info
    if expected is None:
        expected = (count_tokens(prompt), count_tokens(reply))
        assert all(count > 0 for count in expected)
    assert (info["input_tokens"], info["output_tokens"]) == expected
    assert made.encoding.name == "cl100k_base"


def test_token_counting_uses_a_fresh_encoding_lookup_each_time(monkeypatch):
    use_scripted_judge(monkeypatch, [Answer("yes")])
    looked_up = []

    class Encoding:
        def encode(self, text, disallowed_special=None):
            return list(text * 3)

    def get_encoding(name):
        looked_up.append(name)
        return Encoding()

    monkeypatch.setattr(critmark.tiktoken, "get_encoding", get_encoding)
    made = provider(prompt_template="{answer}", compute_token_count=True)
    for _ in range(2):
        info = made.evaluate(table(1)).record_level_metrics[0].additional_info
    assert looked_up == ["cl100k_base", "cl100k_base"]
    assert (info["input_tokens"], info["output_tokens"]) == (3, 3)


def test_missing_metadata_key_fails_only_when_counting(monkeypatch):
    use_scripted_judge(monkeypatch, [Answer("yes", metadata={})])
    assert provider(prompt_template="{answer}").evaluate(table(1)).value == 1
    with pytest.raises(Exception, match="Reason: 'prompt'") as error:
        provider(prompt_template="{answer}", compute_token_count=True).evaluate(table(1))
    assert type(error.value.__cause__) is KeyError


@pytest.mark.parametrize(
    "make, data, cause, reason",
    [
        (lambda: provider(prompt_template="{absent}"), table(), KeyError, "'absent'"),
        (lambda: provider(criteria_description="x", prediction_field="nope"), table(), KeyError, "'nope'"),
        (lambda: provider(prompt_template="{answer}", record_id_field="id"), table(), KeyError, "'id'"),
        (lambda: provider(), table(), ValueError, "neither a criteria description nor a prompt template"),
        (lambda: provider(prompt_template="{answer}"), table(0), ValueError, "empty list of record results"),
    ],
    ids=["template-column", "prediction-column", "id-column", "no-path", "no-records"],
)
def test_failures_are_wrapped_with_the_cause_attached(make, data, cause, reason, monkeypatch):
    use_scripted_judge(monkeypatch, [] if len(data) == 0 else None)
    with pytest.raises(Exception) as error:
        make().evaluate(data)
    assert type(error.value) is Exception
    assert str(error.value).startswith("Error while computing metrics: fit. Reason: ")
    assert reason in str(error.value)
    assert type(error.value.__cause__) is cause and error.value.__suppress_context__


def test_judge_failure_message_names_the_metric_and_the_judge_error(monkeypatch):
    failure = RuntimeError("judge exploded")
    use_scripted_judge(monkeypatch, failure)
    with pytest.raises(Exception) as error:
        provider(metric_name="tone", prompt_template="{answer}").evaluate(table())
    assert str(error.value) == "Error while computing metrics: tone. Reason: judge exploded"
    assert error.value.__cause__ is failure


def test_non_general_exceptions_pass_through_unwrapped(monkeypatch):
    use_scripted_judge(monkeypatch, KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        provider(prompt_template="{answer}").evaluate(table())


def test_unsupported_model_is_wrapped():
    from tessary.entities.foundation_model import AzureOpenAIFoundationModel
    from tessary.entities.llm_judge import LLMJudge

    made = provider(llm_judge=LLMJudge(model=AzureOpenAIFoundationModel(model_id="gpt")), prompt_template="{answer}")
    with pytest.raises(Exception, match=r"^Error while computing metrics: fit\. Reason: Azure OpenAI Model provider"):
        made.evaluate(table())


def test_evaluate_async_runs_evaluate_on_an_executor_thread(monkeypatch):
    use_scripted_judge(monkeypatch)
    seen = []
    real = critmark.start_event_loop_run_func

    def run(func, data):
        seen.append((threading.current_thread() is threading.main_thread(), func.__name__, len(data)))
        return real(func=func, data=data)

    monkeypatch.setattr(critmark, "start_event_loop_run_func", run)
    made = provider(prompt_template="{answer}")
    coroutine = made.evaluate_async(table())
    assert seen == []  # nothing runs until awaited
    result = asyncio.run(coroutine)
    assert seen == [(False, "evaluate", 2)]
    assert result.value == 1 and result.total_records == 2


def test_evaluate_async_propagates_the_wrapped_error(monkeypatch):
    use_scripted_judge(monkeypatch, ValueError("bad"))
    with pytest.raises(Exception, match="^Error while computing metrics: fit. Reason: bad$"):
        asyncio.run(provider(prompt_template="{answer}").evaluate_async(table()))


def test_token_counts_equal_the_encodings_count_on_tricky_texts(monkeypatch):
    import random

    from tessary.utils.token_counting import get_encoding

    pieces = ["word", "Word", " ", "  ", "a ", "9 ", " x", "don't ", "   ", "\n", "\n\n", "\r\n", "\t", "'s", "'LL", "123", "45678", ".", "!!", "#",
              "{", "é", "中文", "🙂", "\u00a0", "\u2028", "\x0b", "\x85", "<|endoftext|>", " \n", ":\n", "-\n\n"]
    generator = random.Random(6)
    texts = ["".join(generator.choice(pieces) for _ in range(generator.randint(0, 40))) for _ in range(1500)]
    texts += ["line one\nline two\n", "\nA", "a\n\n#b", "x\n \ny", "end\n"] * 2  # repeated lines hit the cache
    answers = [Answer("yes", metadata={"prompt": text, "unparsed_response": text[::-1]}) for text in texts]
    use_scripted_judge(monkeypatch, answers)
    data = pd.DataFrame({"answer": ["a"] * len(texts), "record_id": range(len(texts)), "record_timestamp": "t"})
    records = provider(prompt_template="{answer}", compute_token_count=True).evaluate(data).record_level_metrics
    encode = get_encoding().encode_ordinary
    for text, record in zip(texts, records, strict=True):
        expected = (len(encode(text)) or None, len(encode(text[::-1])) or None)
        assert (record.additional_info["input_tokens"], record.additional_info["output_tokens"]) == expected, text


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text for this error")


def test_failure_while_wording_the_reason_keeps_the_judge_error_as_context(monkeypatch):
    failure = Unprintable()
    use_scripted_judge(monkeypatch, failure)
    with pytest.raises(RuntimeError, match="^no text for this error$") as error:
        provider(prompt_template="{answer}").evaluate(table())
    assert error.value.__context__ is failure and error.value.__cause__ is None


@pytest.mark.parametrize("where", ["class", "instance", "wrapped"])
def test_a_replaced_encode_sees_each_whole_text_form(where, monkeypatch):
    import functools

    import tiktoken

    texts = ["line one\nline two\nline one\n", "a b c " * 20, 42]
    use_scripted_judge(monkeypatch, [Answer("yes", metadata={"prompt": t, "unparsed_response": "ok ok"}) for t in texts])
    seen = []
    real = tiktoken.Encoding.encode

    def spy(encoding, text, **kwargs):
        seen.append(text)
        return real(encoding, text, **kwargs)

    if where == "instance":
        encoding = tiktoken.get_encoding("cl100k_base")
        monkeypatch.setattr(encoding, "encode", functools.partial(spy, encoding), raising=False)
    else:
        monkeypatch.setattr(tiktoken.Encoding, "encode", functools.wraps(real)(spy) if where == "wrapped" else spy)
    data = pd.DataFrame({"answer": ["a"] * 3, "record_id": [1, 2, 3], "record_timestamp": "t"})
    records = provider(prompt_template="{answer}", compute_token_count=True).evaluate(data).record_level_metrics
    assert seen == [str(texts[0]), "ok ok", str(texts[1]), "ok ok", str(texts[2]), "ok ok"]
    assert [r.additional_info["input_tokens"] for r in records] == [count_tokens(str(t)) for t in texts]
