"""LLM-as-judge metrics: a model grades every record through a judge template."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

from tabulon import catalog
from tabulon.errors import InferenceError, MissingFieldError
from tabulon.formats import Format, PlainTextFormat
from tabulon.inference import InferenceEngine, InferenceOutput
from tabulon.logging_utils import get_logger
from tabulon.stream import Record
from tabulon.tasks import Task
from tabulon.templates import JudgeTemplate

logger = get_logger("llm_as_judge")
# Code of a judge answer from which no score could be read.
UNPARSABLE_ANSWER = "UNPARSABLE_ANSWER"


class TaskBasedLLMasJudge:
    """Grades each instance with ``inference_model`` and stores the score under ``main_score``.

    ``template`` and ``task`` are catalog names or objects. The task names the
    fields the prompt needs; its prediction role is read from the instance field
    ``prediction_field``. ``judge_to_generator_fields_mapping`` renames further
    fields (judge field -> instance field). ``format`` shapes the prompt (plain
    text when None). All prompts go through the engine at once, so its bound on
    parallel requests applies.

    Each instance gains ``score.instance`` with "score" and ``main_score`` (NaN
    when the judge gave no usable answer), the raw answer, the prompt, the judge
    model and parameters, the reason for a missing score and its code
    ("score_error", "score_error_code"), the server's token counts, whether the
    answer came from a cache and the requests it took ("attempts").
    """

    def __init__(
        self,
        inference_model: InferenceEngine,
        template: str | JudgeTemplate,
        task: str | Task,
        main_score: str,
        format: Format | None = None,
        prediction_field: str | None = None,
        infer_log_probs: bool = False,
        judge_to_generator_fields_mapping: Mapping[str, str] | None = None,
    ) -> None:
        if not callable(getattr(inference_model, "infer", None)):
            raise TypeError(
                f"TaskBasedLLMasJudge '{main_score}': inference_model must be an inference "
                f"engine, got {type(inference_model).__name__}."
            )
        if infer_log_probs:
            raise ValueError(
                f"TaskBasedLLMasJudge '{main_score}': infer_log_probs=True is not supported; "
                "scores are read from the judge's text answer."
            )
        self.inference_model = inference_model
        self.template = catalog.resolve(template)
        self.task = catalog.resolve(task)
        self.main_score = main_score
        self.format = format if format is not None else PlainTextFormat()
        self.prediction_field = prediction_field or self.task.prediction_role
        self.fields_mapping = dict(judge_to_generator_fields_mapping or {})

    def process_instances(self, instances: list[Record]) -> list[Record]:
        """Judge every instance and add its score, in order."""
        sources = self._field_sources()
        prompts = [self._render(instance, index, sources) for index, instance in enumerate(instances)]
        outputs = self._infer(
            [
                # The record's metadata travels along so engines can apply its data policy.
                {"source": self.format.format(self.template.system_prompt, p), "metadata": i.get("metadata") or {}}
                for p, i in zip(prompts, instances)
            ]
        )
        scores = [self._score(instance, prompt, output) for instance, prompt, output in zip(
            instances, prompts, outputs, strict=True)]
        measured = [s for s in scores if not math.isnan(s)]
        global_score = sum(measured) / len(measured) if measured else math.nan
        for instance in instances:
            instance["score"]["global"] = {
                "score": global_score,
                self.main_score: global_score,
                "score_name": self.main_score,
                "num_of_instances": len(measured),
                "num_of_failures": len(scores) - len(measured),
            }
        return instances

    def _field_sources(self) -> list[tuple[str, str]]:
        """(judge field, instance field) of every field the prompt needs."""
        sources = []
        for field in self.task.all_fields:
            source = self.prediction_field if field == self.task.prediction_role else field
            sources.append((field, self.fields_mapping.get(field, source)))
        return sources

    def _judge_fields(
        self, instance: Record, index: int, sources: list[tuple[str, str]] | None = None
    ) -> dict[str, Any]:
        fields = {}
        for field, source in sources if sources is not None else self._field_sources():
            if source not in instance:
                raise MissingFieldError(self.main_score, source, index, list(instance))
            fields[field] = instance[source]
        return fields

    def _render(self, instance: Record, index: int, sources: list[tuple[str, str]] | None = None) -> str:
        return self.template.render(self._judge_fields(instance, index, sources))

    def _infer(self, dataset: list[dict[str, Any]]) -> list[InferenceOutput]:
        if not dataset:
            return []
        outputs = self.inference_model.infer(dataset, return_meta_data=True)
        if len(outputs) != len(dataset):
            raise InferenceError(
                f"Judge '{self.main_score}': the engine returned {len(outputs)} answers "
                f"for {len(dataset)} prompts."
            )
        return outputs

    def _score(self, instance: Record, prompt: str, output: InferenceOutput) -> float:
        code = None
        if output.error is not None:
            score, reason, code = math.nan, output.error, output.error_code or "INFERENCE_FAILED"
        else:
            judgement = self.template.parse(output.prediction)
            score = math.nan if judgement.score is None else judgement.score
            reason = judgement.reason
            if judgement.score is None:
                code = UNPARSABLE_ANSWER
        if reason:
            # A failed call is the record's error already; a log line per record would only repeat it.
            log = logger.info if output.error is not None else logger.warning
            log("Judge '%s': no score: %s", self.main_score, reason)
        instance["score"] = {
            "instance": {
                "score": score,
                self.main_score: score,
                "score_name": self.main_score,
                f"{self.main_score}_raw_output": output.prediction,
                f"{self.main_score}_judge_prompt": prompt,
                "judge_model": output.model_name,
                "judge_parameters": output.parameters,
                "score_error": reason,
                "score_error_code": code,
                "input_tokens": output.input_tokens,
                "output_tokens": output.output_tokens,
                "cached": output.cached,
                "attempts": output.attempts,
            },
        }
        return score
