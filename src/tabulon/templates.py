"""Judge templates ``templates.rag_eval.<metric>.<template><suffix>``.

A template renders a judge prompt from a record's fields, as headed sections
(``[Question]``, ``[Contexts]``, ``[Answer]``, ``[Reference answer]``) followed
by the question put to the judge, and reads the judge's reply into a score in
[0, 1]: a verbal scale ("Answer: yes|partial|no") or a number ("Rating: N").
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

from tabulon import catalog

SECTION_HEADINGS: dict[str, str] = {
    "question": "Question",
    "contexts": "Contexts",
    "answer": "Answer",
    "ground_truths": "Reference answer",
}

SYSTEM_PROMPT = (
    "You are an impartial evaluator of a question-answering system. "
    "Judge only from the material given, and follow the reply format exactly."
)


@dataclass(frozen=True)
class Judgement:
    """A reply read into a score; ``score`` is None when the reply could not be read."""

    score: float | None
    reason: str | None = None


class VerbalScale:
    """yes / partial / no, read from "Answer: <word>"."""

    VALUES = {"yes": 1.0, "partial": 0.5, "no": 0.0}
    _PATTERN = re.compile(r"answer\s*[:=]\s*\**\s*(yes|partial|no)\b", re.IGNORECASE)
    _BARE = re.compile(r"^\W*(yes|partial|no)\b", re.IGNORECASE)

    def reply_instructions(self) -> str:
        return (
            'Reply on the first line with exactly one of "Answer: yes", "Answer: partial" '
            'or "Answer: no", then give a one-sentence explanation.'
        )

    # One judgement per verdict and value: judgements cannot change, and a batch reads the same few.
    _JUDGEMENTS: dict[tuple[str, Any], Judgement] = {}

    def parse(self, reply: str) -> Judgement:
        match = self._PATTERN.search(reply) or self._BARE.search(reply)
        if not match:
            return Judgement(None, f"no yes/partial/no verdict in the judge's reply: {_clip(reply)!r}")
        verdict = match.group(1).lower()
        key = (verdict, self.VALUES[verdict])
        judgement = self._JUDGEMENTS.get(key)
        if judgement is None:
            judgement = self._JUDGEMENTS[key] = Judgement(key[1])
        return judgement


class NumericScale:
    """A whole number from ``low`` to ``high``, read from "Rating: N", mapped onto [0, 1]."""

    _PATTERN = re.compile(r"rating\s*[:=]\s*\**\s*(-?\d+(?:\.\d+)?)", re.IGNORECASE)
    _BARE = re.compile(r"^\W*(-?\d+(?:\.\d+)?)\W*$")

    def __init__(self, low: int = 1, high: int = 5) -> None:
        self.low, self.high = low, high

    def reply_instructions(self) -> str:
        return (
            f'Reply on the first line with "Rating: N", where N is a whole number from '
            f"{self.low} to {self.high}, then give a one-sentence explanation."
        )

    def parse(self, reply: str) -> Judgement:
        match = self._PATTERN.search(reply) or self._BARE.search(reply.strip())
        if not match:
            return Judgement(None, f"no rating in the judge's reply: {_clip(reply)!r}")
        rating = float(match.group(1))
        if not self.low <= rating <= self.high:
            return Judgement(None, f"rating {match.group(1)} is outside {self.low}..{self.high}")
        return Judgement((rating - self.low) / (self.high - self.low))


def _clip(text: str, limit: int = 200) -> str:
    return text if len(text) <= limit else text[:limit] + "..."


@dataclass(frozen=True)
class JudgeTemplate:
    """Renders one judge prompt per record and reads the reply."""

    name: str
    instruction: str
    sections: tuple[str, ...]  # field names, in prompt order
    scale: Any
    system_prompt: str = SYSTEM_PROMPT

    def render(self, fields: dict[str, Any]) -> str:
        """The prompt text; ``fields`` must hold every section's field."""
        parts = [self.instruction]
        for field in self.sections:
            parts.append(f"[{SECTION_HEADINGS[field]}]\n{_section_text(fields[field])}")
        parts.append(self.scale.reply_instructions())
        return "\n\n".join(parts)

    def parse(self, reply: str | None) -> Judgement:
        """The reply's score in [0, 1], or no score with the reason."""
        if reply is None or not str(reply).strip():
            return Judgement(None, "the judge returned an empty reply")
        return self.scale.parse(str(reply))


def _section_text(value: Any) -> str:
    if type(value) is str:
        return value
    if isinstance(value, (list, tuple)):
        if type(value) in (list, tuple) and len(value) == 1 and type(value[0]) is str:  # one context, most often
            return "- " + value[0]
        return "\n".join([f"- {item}" for item in value]) if value else "(none)"
    return str(value)


RAG_TEMPLATES: dict[str, tuple[str, str, tuple[str, ...], Any]] = {
    "faithfulness": (
        "judge_with_question_simplified_verbal",
        "Decide whether every claim of the answer is supported by the contexts. "
        "Say yes when fully supported, partial when only some of it is, no when it is not.",
        ("question", "contexts", "answer"),
        VerbalScale(),
    ),
    "context_relevance": (
        "judge_context_relevance_ares_numeric",
        "Rate how relevant the contexts are for answering the question: "
        "1 means irrelevant, 5 means they hold everything needed.",
        ("question", "contexts"),
        NumericScale(1, 5),
    ),
    "answer_correctness": (
        "judge_loose_match_no_context_numeric",
        "Rate how well the answer matches the reference answer in meaning, allowing for "
        "different wording: 1 means wrong, 5 means fully correct.",
        ("question", "ground_truths", "answer"),
        NumericScale(1, 5),
    ),
    "answer_relevance": (
        "judge_answer_relevance_numeric",
        "Rate how directly the answer addresses the question: 1 means off-topic, "
        "5 means fully on point.",
        ("question", "answer"),
        NumericScale(1, 5),
    ),
}


def _register_builtins() -> None:
    for metric, (template, instruction, sections, scale) in RAG_TEMPLATES.items():
        name = f"templates.rag_eval.{metric}.{template}"
        catalog.register(
            name,
            lambda n=name, i=instruction, s=sections, sc=scale: JudgeTemplate(n, i, s, sc),
        )


_register_builtins()
