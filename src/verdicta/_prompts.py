"""The text of judge prompts: criteria prompts, the answer instruction and the correction."""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from verdicta._criteria import Criteria, Instance

OPTIONS_HEADING = "### Options"
ANSWER_HEADING = "### Answer"


def answer_instruction(option_names: Sequence[str], generate_feedback: bool) -> str:
    """How the judge must answer: one JSON object naming exactly one option."""
    choices = ", ".join(json.dumps(name, ensure_ascii=False) for name in option_names)
    lines = [
        "Answer with one JSON object and nothing else, with these keys:",
        '"explanation": your reasoning, in a few sentences;',
        f'"selected_option": exactly one of {choices};',
    ]
    if generate_feedback:
        lines.append('"feedback": how the evaluated text could change to earn the best option.')
    return "\n".join(lines)


class CriteriaPrompt:
    """The prompt of one criteria: its fixed parts rendered once, the instance's fields per call."""

    def __init__(self, criteria: Criteria, generate_feedback: bool) -> None:
        self.field = criteria.to_evaluate_field
        self.context_names = [name for name in criteria.context_fields if name != self.field]
        self.head = "\n\n".join([
            f"You are an impartial judge. Read the {self.field} below and choose the option "
            "of the criteria that describes it best.",
            f"### Criteria: {criteria.name}\n{criteria.description}",
            f"{OPTIONS_HEADING}\n{_render_options(criteria)}",
        ])
        self.value_heading = f"### {self.field} to evaluate\n"
        self.tail = f"{ANSWER_HEADING}\n{answer_instruction(criteria.option_names(), generate_feedback)}"

    def render(self, instance: Instance) -> str:
        """The judge prompt for one instance."""
        sections = [self.head]
        if self.context_names:
            sections.append("### Context\n" + "\n".join(
                f"#### {name}\n{render_value(instance.field(name))}" for name in self.context_names))
        sections.append(self.value_heading + render_value(instance.field(self.field)))
        sections.append(self.tail)
        return "\n\n".join(sections)


def render_custom_prompt(prompt: str, option_names: Sequence[str], generate_feedback: bool) -> str:
    """A caller's ready prompt, followed by the answer instruction."""
    return f"{prompt.rstrip()}\n\n{ANSWER_HEADING}\n{answer_instruction(option_names, generate_feedback)}"


def render_correction(prompt: str, reply: str, reason: str, option_names: Sequence[str], generate_feedback: bool) -> str:
    """The prompt again, the judge's unusable answer, and why it could not be used."""
    return (
        f"{prompt}\n\n### Your previous answer\n{reply.strip()}\n\n"
        f"### Correction\nThat answer could not be used: {reason}.\n"
        f"{answer_instruction(option_names, generate_feedback)}"
    )


def render_value(value: Any) -> str:
    """Text of a field value: items of a list on lines of their own, mappings as JSON."""
    if isinstance(value, str):
        return value
    if isinstance(value, list | tuple):
        return "\n".join(f"[{number}] {render_value(item)}" for number, item in enumerate(value, start=1))
    if isinstance(value, dict):
        return json.dumps(value, ensure_ascii=False, default=str)
    return str(value)


def _render_options(criteria: Criteria) -> str:
    lines = []
    for option in criteria.distinct_options():
        name = json.dumps(option.name, ensure_ascii=False)
        lines.append(f"- {name}: {option.description}" if option.description else f"- {name}")
    return "\n".join(lines)
