"""Reading a judge's reply: the chosen option, the explanation and the feedback."""

from __future__ import annotations

import json
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

OPTION_KEYS = ("selected_option", "option", "answer", "label", "verdict")
_DECODER = json.JSONDecoder()
_LABELLED_LINE = re.compile(
    r"^[\s*#>-]*(?:selected[ _]option|answer|option|verdict|label)[\s*]*[:=]\s*(.+?)\s*$",
    re.IGNORECASE | re.MULTILINE,
)
_WRAPPING = "\"'`*_ \t"


@dataclass(frozen=True)
class ParsedReply:
    """What a reply says: an option name, or the reason none could be read."""

    selected_option: str | None
    explanation: str
    feedback: str | None
    error: str | None = None


def parse_reply(reply: str, option_names: Sequence[str]) -> ParsedReply:
    """Read the chosen option from a reply: a JSON answer first, then plainer forms.

    The plainer forms are a labelled line ("Answer: yes"), a reply that is just an
    option name, and a reply that names exactly one option as a whole word.
    """
    text = reply.strip()
    answer = _first_json_object(text)
    if answer is not None:
        return _parse_json_answer(answer, option_names)
    for labelled in _LABELLED_LINE.findall(text):
        option = match_option(labelled, option_names)
        if option is not None:
            return ParsedReply(option, text, None)
    option = match_option(text, option_names) or _single_mentioned_option(text, option_names)
    if option is not None:
        return ParsedReply(option, text, None)
    if not text:
        return ParsedReply(None, text, None, "the reply was empty")
    return ParsedReply(None, text, None, f"it names none of the options {_quoted(option_names)}")


def match_option(value: Any, option_names: Sequence[str]) -> str | None:
    """The option a value names: exactly, or else ignoring case, quotes and a final full stop."""
    if not isinstance(value, str | int | float) or isinstance(value, bool):
        return None
    text = str(value).strip().strip(_WRAPPING).rstrip(".").strip(_WRAPPING)
    if text in option_names:
        return text
    folded = [name for name in option_names if name.casefold() == text.casefold()]
    return folded[0] if len(set(folded)) == 1 else None


def _parse_json_answer(answer: dict[str, Any], option_names: Sequence[str]) -> ParsedReply:
    keys = {key.casefold(): key for key in answer if isinstance(key, str)}
    explanation = _text_or_none(answer.get(keys.get("explanation", ""))) or ""
    feedback = _text_or_none(answer.get(keys.get("feedback", "")))
    option_key = next((keys[key] for key in OPTION_KEYS if key in keys), None)
    if option_key is None:
        return ParsedReply(None, explanation, feedback, 'the JSON answer has no "selected_option"')
    option = match_option(answer[option_key], option_names)
    if option is None:
        reason = f"{answer[option_key]!r} is not one of the options {_quoted(option_names)}"
        return ParsedReply(None, explanation, feedback, reason)
    return ParsedReply(option, explanation, feedback)


def _first_json_object(text: str) -> dict[str, Any] | None:
    """The first JSON object in the text, also inside a fenced code block."""
    start = text.find("{")
    while start != -1:
        try:
            value, _ = _DECODER.raw_decode(text, start)
        except (json.JSONDecodeError, RecursionError):  # nested too deeply to read: not an answer
            value = None
        if isinstance(value, dict):
            return value
        start = text.find("{", start + 1)
    return None


def _single_mentioned_option(text: str, option_names: Sequence[str]) -> str | None:
    """The one option named as a whole word; none when several are (the reply is ambiguous).

    Longer names are looked for first, so "not polite" does not also count as "polite".
    """
    remaining = text.casefold()
    found: set[str] = set()
    for name in sorted(set(option_names), key=len, reverse=True):
        pattern = re.compile(rf"(?<!\w){re.escape(name.casefold())}(?!\w)")
        if pattern.search(remaining):
            found.add(name)
            remaining = pattern.sub(" ", remaining)
    return found.pop() if len(found) == 1 else None


def _text_or_none(value: Any) -> str | None:
    if value is None:
        return None
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, default=str)
    return text.strip() or None


def _quoted(option_names: Sequence[str]) -> str:
    return ", ".join(json.dumps(name, ensure_ascii=False) for name in dict.fromkeys(option_names))
