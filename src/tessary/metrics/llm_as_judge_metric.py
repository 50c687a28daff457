"""Custom LLM-as-judge metrics: a criteria text (or a prompt template) and scored answer options.

    metric = LLMAsJudgeMetric(
        name="conciseness",
        criteria_description="Is the {generated_text} concise?",
        options=[Option(name="yes", value=1), Option(name="no", value=0)],
        llm_judge=LLMJudge(model=OpenAIFoundationModel(model_id="gpt-4o-mini")),
    )

Each record gets the chosen option as its label, the option's value as its
score, the judge's explanation and feedback, and optionally the prompt and
reply token counts.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from pydantic import field_validator, model_validator

from tessary.entities.criteria import Option
from tessary.entities.enums import MetricGroup
from tessary.entities.llm_judge import LLMJudge
from tessary.entities.metric import GenAIMetric

if TYPE_CHECKING:
    import pandas as pd

    from tessary.config import AgenticAIConfiguration, GenAIConfiguration
    from tessary.entities.evaluation_result import AggregateMetricResult
    from tessary.providers.critmark import VerdictaProvider


class LLMAsJudgeMetric(GenAIMetric):
    """A metric judged by a language model against a criteria text or a custom prompt.

    `criteria_description` asks one question about the `prediction_field` column,
    with `context_fields` shown beside it; placeholders such as "{generated_text}"
    name columns. Without a criteria text, `prompt_template` is filled from each
    record's columns ("{question}") and sent as it is. `options` are the answers
    the judge may give, each worth its `value`. The judge is `llm_judge`, else the
    configuration's. `prediction_field` and `context_fields` default to the
    configuration's first output field and its context fields.
    """

    method: str | None = "llm_as_judge"
    group: MetricGroup | None = MetricGroup.CUSTOM
    criteria_description: str | None = None
    prompt_template: str | None = None
    options: list[Option]
    llm_judge: LLMJudge | None = None
    prediction_field: str | None = None
    context_fields: list[str] | None = None
    value_type: str = "numeric"
    compute_token_count: bool = False

    @field_validator("options")
    @classmethod
    def _options_are_named(cls, options: list[Option]) -> list[Option]:
        if not options:
            raise ValueError("An LLM-as-judge metric needs at least one option.")
        for option in options:
            if not option.name.strip():
                raise ValueError("Every option needs a non-blank name.")
        return options

    @model_validator(mode="after")
    def _has_criteria_or_template(self) -> LLMAsJudgeMetric:
        if not self.criteria_description and not self.prompt_template:
            raise ValueError(
                f"Metric '{self.name}' needs a criteria_description or a prompt_template."
            )
        return self

    def provider(
        self, configuration: GenAIConfiguration | AgenticAIConfiguration
    ) -> VerdictaProvider:
        """The criteria-judge provider for this metric under `configuration`."""
        from tessary.judging._providers import JudgedVerdictaProvider

        llm_judge = self.llm_judge or configuration.llm_judge
        if llm_judge is None:
            raise ValueError(
                f"Metric '{self.name}' needs a judge: set llm_judge on the metric or the configuration."
            )
        prediction_field = self.prediction_field
        if prediction_field is None and configuration.output_fields:
            prediction_field = configuration.output_fields[0]
        context_fields = (
            self.context_fields if self.context_fields is not None else configuration.context_fields
        )
        return JudgedVerdictaProvider(
            metric_name=self.name,
            display_name=self.display_name,
            value_type=self.value_type,
            llm_judge=llm_judge,
            options=list(self.options),
            criteria_description=self.criteria_description,
            prompt_template=self.prompt_template,
            context_fields=list(context_fields),
            prediction_field=prediction_field,
            metric_group=self.group,
            metric_method=self.method,
            thresholds=list(self.thresholds),
            record_id_field=configuration.record_id_field,
            record_timestamp_field=configuration.record_timestamp_field,
            compute_token_count=self.compute_token_count,
        )

    def evaluate(
        self,
        data: pd.DataFrame,
        configuration: GenAIConfiguration | AgenticAIConfiguration,
        **kwargs: Any,
    ) -> AggregateMetricResult:
        """Judge every record of `data` and aggregate the scores."""
        return self.provider(configuration).evaluate(data=data)

    async def evaluate_async(
        self,
        data: pd.DataFrame,
        configuration: GenAIConfiguration | AgenticAIConfiguration,
        **kwargs: Any,
    ) -> AggregateMetricResult:
        """Judge every record of `data` off the event loop and aggregate the scores."""
        return await self.provider(configuration).evaluate_async(data=data)


__all__ = ["LLMAsJudgeMetric", "Option"]
