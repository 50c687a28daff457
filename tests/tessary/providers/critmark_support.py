"""Shared doubles of the criteria-judge provider tests: a scripted judge and model builders."""

from dataclasses import dataclass, field

from tessary.entities.criteria import Option
from tessary.entities.foundation_model import OpenAIFoundationModel
from tessary.entities.llm_judge import LLMJudge
from tessary.providers import critmark

YES_NO = [Option(name="yes", description="fits", value=1), Option(name="no", description="does not fit", value=0)]


@dataclass
class Answer:
    selected_option: str | None
    explanation: str = "because"
    feedback: str | None = None
    metadata: dict = field(default_factory=lambda: {"prompt": "p", "unparsed_response": "r"})


class ScriptedJudge:
    """Stands in for DirectJudge: records its construction and calls, answers from a script."""

    instances = []

    def __init__(self, inference_engine, generate_feedback):
        self.inference_engine = inference_engine
        self.generate_feedback = generate_feedback
        self.calls = []
        self.answers = ScriptedJudge.script
        ScriptedJudge.instances.append(self)

    def _answer(self, count):
        if isinstance(self.answers, BaseException):
            raise self.answers
        return list(self.answers) if self.answers is not None else [Answer("yes") for _ in range(count)]

    def __call__(self, instances, criteria):
        self.calls.append(("criteria", instances, criteria))
        return self._answer(len(instances))

    def evaluate_with_custom_prompt(self, judge_prompts, valid_outputs):
        self.calls.append(("custom", judge_prompts, valid_outputs))
        return self._answer(len(judge_prompts))


def use_scripted_judge(monkeypatch, answers=None):
    """Replace the judge and its engine by doubles; returns the judge class (its `instances`)."""
    ScriptedJudge.instances = []
    ScriptedJudge.script = answers
    monkeypatch.setattr(critmark, "DirectJudge", ScriptedJudge)
    monkeypatch.setattr(critmark, "CrossProviderInferenceEngine", lambda **kwargs: ("engine", kwargs))
    return ScriptedJudge


def openai_judge(**kwargs):
    return LLMJudge(model=OpenAIFoundationModel(model_id="judge-model", **kwargs))


def provider(options=None, **kwargs):
    return critmark.VerdictaProvider(
        metric_name=kwargs.pop("metric_name", "fit"),
        display_name=kwargs.pop("display_name", "Fit"),
        value_type="numeric",
        llm_judge=kwargs.pop("llm_judge", openai_judge()),
        options=YES_NO if options is None else options,
        **kwargs,
    )
