"""Reading judge replies: JSON answers, plainer forms, and replies that name no option."""

import pytest

from verdicta._parsing import match_option, parse_reply

OPTIONS = ["yes", "no", "partially"]


@pytest.mark.parametrize(
    ("reply", "option", "explanation", "feedback"),
    [
        ('{"explanation": "fits", "selected_option": "yes", "feedback": "none"}', "yes", "fits", "none"),
        ('Sure!\n```json\n{"selected_option": "No", "explanation": "rude"}\n```', "no", "rude", None),
        ('{"Selected_Option": " partially. ", "Explanation": "half"}', "partially", "half", None),
        ('{"answer": "yes"}', "yes", "", None),
        ('{"selected_option": "no", "explanation": {"a": 1}}', "no", '{"a": 1}', None),
        ("{not json} then {\"selected_option\": \"yes\"}", "yes", "", None),
    ],
)
def test_json_answers_give_option_explanation_and_feedback(reply, option, explanation, feedback):
    parsed = parse_reply(reply, OPTIONS)
    assert (parsed.selected_option, parsed.explanation, parsed.feedback, parsed.error) == (
        option,
        explanation,
        feedback,
        None,
    )


@pytest.mark.parametrize(
    ("reply", "option"),
    [
        ("Answer: yes", "yes"),
        ("The text is rude.\n**Selected option**: No", "no"),
        ("  Partially.  ", "partially"),
        ('"yes"', "yes"),
        ("No, the response ignores the question.", "no"),
    ],
)
def test_plain_replies_naming_one_option(reply, option):
    parsed = parse_reply(reply, OPTIONS)
    assert parsed.selected_option == option
    assert parsed.explanation == reply.strip()


@pytest.mark.parametrize(
    ("reply", "reason_part"),
    [
        ('{"selected_option": "maybe", "explanation": "unsure"}', "'maybe' is not one of the options"),
        ('{"explanation": "forgot the option"}', 'has no "selected_option"'),
        ("I cannot decide between yes and no.", "names none of the options"),
        ("It depends.", "names none of the options"),
        ("   ", "the reply was empty"),
        ('{"selected_option": true}', "is not one of the options"),
    ],
)
def test_replies_without_a_valid_option_say_why(reply, reason_part):
    parsed = parse_reply(reply, OPTIONS)
    assert parsed.selected_option is None
    assert reason_part in parsed.error


def test_longer_option_names_win_over_names_they_contain():
    options = ["polite", "not polite"]
    assert parse_reply("The reply is not polite at all", options).selected_option == "not polite"
    assert parse_reply("The reply is polite", options).selected_option == "polite"


@pytest.mark.parametrize(
    ("value", "options", "expected"),
    [
        ("Yes", ["yes", "no"], "yes"),
        ("YES", ["Yes", "yes"], None),  # two names differ only by case: ambiguous
        ("yes", ["Yes", "yes"], "yes"),  # but an exact match is not
        (1, ["1", "2"], "1"),
        (None, ["yes"], None),
    ],
)
def test_match_option(value, options, expected):
    assert match_option(value, options) == expected
