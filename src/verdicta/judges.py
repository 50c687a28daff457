"""Criteria judges: an LLM picks, for each instance, the option of a criteria that fits it.

    judge = DirectJudge(inference_engine=engine, generate_feedback=True)
    results = judge(instances=[Instance(fields={"answer": "..."})], criteria=criteria)
    results[0].selected_option, results[0].score, results[0].explanation

The judge renders one prompt per instance, sends every prompt of a round through
the engine as one batch (the engine bounds the requests in flight, see
`verdicta.inference`), and reads each reply. A reply that names no valid option
is sent back once with a correction; if it still names none, its result has no
`selected_option` and says why in `metadata["parse_error"]`.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from verdicta._criteria import Criteria, CriteriaOption, Instance
from verdicta._parsing import ParsedReply, parse_reply
from verdicta._prompts import CriteriaPrompt, render_correction, render_custom_prompt
from verdicta.inference import InferenceEngine, InferenceFailure, check_engine, infer_texts

__all__ = ["Criteria", "CriteriaOption", "DirectJudge", "DirectJudgeResult", "Instance"]


@dataclass
class DirectJudgeResult:
    """The judgement of one instance.

    `metadata` holds "prompt" (the last prompt sent), "unparsed_response" (the
    model's raw reply to it, "" when the request failed), "attempts" (rounds of
    prompting), "parse_error" (why no option could be read, or none), "error_code"
    (the engine's code for a failed request, "UNPARSABLE_ANSWER" for an unreadable
    reply, else none), "model_name" (the model that answered, when the engine says),
    "input_tokens" / "output_tokens" (the server's counts summed over the rounds, none
    when it sent none), "cached" (every round answered from a cache) and "calls"
    (requests the engine made, when it says).
    """

    selected_option: str | None
    explanation: str
    feedback: str | None
    score: float | None = None
    metadata: dict[str, Any] = field(default_factory=dict)


@dataclass
class _Task:
    """One instance on its way through the rounds of inference."""

    prompt: str
    option_names: list[str]
    criteria: Criteria | None = None
    attempts: int = 0
    reply: str | BaseException = ""
    model_name: str | None = None
    parsed: ParsedReply | None = None
    input_tokens: int | None = 0
    output_tokens: int | None = 0
    cached: bool = True
    calls: int | None = 0

    def account(self, reply: Any) -> None:
        """Add one round's usage; a count the engine did not give makes the total unknown."""
        self.input_tokens = _plus(self.input_tokens, reply.input_tokens)
        self.output_tokens = _plus(self.output_tokens, reply.output_tokens)
        self.calls = _plus(self.calls, reply.calls)
        self.cached = self.cached and reply.cached

    def needs_correction(self) -> bool:
        return isinstance(self.reply, str) and self.parsed is not None and self.parsed.selected_option is None


class DirectJudge:
    """Judges instances against criteria by asking a model to pick one option each."""

    def __init__(
        self,
        inference_engine: InferenceEngine,
        generate_feedback: bool = False,
        corrective_retries: int = 1,
    ) -> None:
        check_engine(inference_engine)
        if not isinstance(corrective_retries, int) or isinstance(corrective_retries, bool) or corrective_retries < 0:
            raise ValueError(f"corrective_retries must be a whole number >= 0, got {corrective_retries!r}")
        self.inference_engine = inference_engine
        self.generate_feedback = bool(generate_feedback)
        self.corrective_retries = corrective_retries

    def __call__(
        self,
        instances: Sequence[Instance | Mapping[str, Any]],
        criteria: Criteria | Sequence[Criteria],
    ) -> list[DirectJudgeResult]:
        """Judge each instance against the criteria (one criteria for all, or one per instance)."""
        instances = [_as_instance(item, index) for index, item in enumerate(_as_list(instances, "instances"))]
        per_instance = _criteria_per_instance(criteria, len(instances))
        prompts: dict[int, tuple[CriteriaPrompt, list[str]]] = {}  # one renderer per criteria object
        tasks = []
        for instance, item_criteria in zip(instances, per_instance):
            if id(item_criteria) not in prompts:
                prompts[id(item_criteria)] = (
                    CriteriaPrompt(item_criteria, self.generate_feedback), item_criteria.option_names())
            renderer, option_names = prompts[id(item_criteria)]
            tasks.append(_Task(prompt=renderer.render(instance), option_names=option_names, criteria=item_criteria))
        return self._run(tasks)

    evaluate = __call__

    def evaluate_with_custom_prompt(
        self, judge_prompts: Sequence[str], valid_outputs: Sequence[str]
    ) -> list[DirectJudgeResult]:
        """Judge ready prompts; each answer must be one of `valid_outputs`."""
        prompts = _as_list(judge_prompts, "judge_prompts")
        option_names = list(dict.fromkeys(_as_list(valid_outputs, "valid_outputs")))
        if not option_names:
            raise ValueError("valid_outputs must name at least one option")
        for name in option_names:
            if not isinstance(name, str) or not name.strip():
                raise TypeError(f"valid_outputs must hold non-blank texts, got {name!r}")
        for index, prompt in enumerate(prompts):
            if not isinstance(prompt, str):
                raise TypeError(f"judge_prompts[{index}] must be a text, got {type(prompt).__name__}")
        tasks = [
            _Task(prompt=render_custom_prompt(prompt, option_names, self.generate_feedback), option_names=option_names)
            for prompt in prompts
        ]
        return self._run(tasks)

    def _run(self, tasks: list[_Task]) -> list[DirectJudgeResult]:
        """First round for every task, then up to `corrective_retries` rounds for unreadable replies."""
        self._infer_round(tasks)
        for _ in range(self.corrective_retries):
            retry = [task for task in tasks if task.needs_correction()]
            if not retry:
                break
            for task in retry:
                task.prompt = render_correction(
                    task.prompt, task.reply, task.parsed.error, task.option_names, self.generate_feedback
                )
            self._infer_round(retry)
        return [self._result(task) for task in tasks]

    def _infer_round(self, tasks: list[_Task]) -> None:
        replies = infer_texts(self.inference_engine, [task.prompt for task in tasks])
        for task, reply in zip(tasks, replies):
            task.attempts += 1
            task.account(reply)
            task.reply = reply.text
            task.model_name = reply.model_name
            task.parsed = parse_reply(reply.text, task.option_names) if isinstance(reply.text, str) else None

    def _result(self, task: _Task) -> DirectJudgeResult:
        if isinstance(task.reply, BaseException):
            error = f"the inference request failed: {_describe(task.reply)}"
            code = getattr(task.reply, "code", None) or "INFERENCE_FAILED"
            return self._unusable(task, error, raw="", code=code)
        parsed = task.parsed
        if parsed.selected_option is None:
            return self._unusable(task, f"unparsable judge answer: {parsed.error}", raw=task.reply,
                                  code=UNPARSABLE_ANSWER)
        return DirectJudgeResult(
            selected_option=parsed.selected_option,
            explanation=parsed.explanation,
            feedback=parsed.feedback if self.generate_feedback else None,
            score=task.criteria.score_of(parsed.selected_option) if task.criteria else None,
            metadata=_metadata(task, raw=task.reply, error=None, code=None),
        )

    def _unusable(self, task: _Task, error: str, raw: str, code: str) -> DirectJudgeResult:
        return DirectJudgeResult(
            selected_option=None,
            explanation=error,
            feedback=None,
            metadata=_metadata(task, raw=raw, error=error, code=code),
        )


UNPARSABLE_ANSWER = "UNPARSABLE_ANSWER"


def _plus(total: int | None, more: int | None) -> int | None:
    return None if total is None or more is None else total + more


def _metadata(task: _Task, raw: str, error: str | None, code: str | None) -> dict[str, Any]:
    return {
        "prompt": task.prompt,
        "unparsed_response": raw,
        "attempts": task.attempts,
        "parse_error": error,
        "error_code": code,
        "model_name": task.model_name,
        "input_tokens": task.input_tokens,
        "output_tokens": task.output_tokens,
        "cached": task.cached and task.attempts > 0,
        "calls": task.calls,
    }


def _describe(error: BaseException) -> str:
    if isinstance(error, InferenceFailure):
        return str(error)
    return f"{type(error).__name__}: {error}"


def _as_list(values: Any, name: str) -> list[Any]:
    if isinstance(values, str | bytes | Mapping) or not isinstance(values, Sequence):
        raise TypeError(f"{name} must be a list, got {type(values).__name__}")
    return list(values)


def _as_instance(item: Instance | Mapping[str, Any], index: int) -> Instance:
    if isinstance(item, Instance):
        return item
    if isinstance(item, Mapping):
        return Instance(fields=dict(item))
    raise TypeError(f"instances[{index}] must be an Instance or a mapping, got {type(item).__name__}")


def _criteria_per_instance(criteria: Criteria | Sequence[Criteria], count: int) -> list[Criteria]:
    if isinstance(criteria, Criteria):
        return [criteria] * count
    items = _as_list(criteria, "criteria")
    if len(items) != count or not all(isinstance(item, Criteria) for item in items):
        raise TypeError(f"criteria must be one Criteria or a list of {count} Criteria, one per instance")
    return items
