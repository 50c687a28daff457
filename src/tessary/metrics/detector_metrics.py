"""Metrics computed by the detection service, one `DetectorsProvider` per evaluation.

Every metric here sends one request per record to the detection service of
the caller's `APIClient` (the `api_client` keyword of `evaluate`) and returns
the provider's `AggregateMetricResult`:

| class | name | method | detector parameters | group |
|---|---|---|---|---|
| `HAPMetric` | "hap" | "hap_lexicon" | none | content safety |
| `PIIMetric` | "pii" | "pii_patterns" | none | content safety |
| `KeywordDetectionMetric` | "keyword" | "keyword_match" | "keywords" | none |
| `RegexDetectionMetric` | "regex" | "regex_match" | "regex" | none |
| `TopicRelevanceMetric` | "topic_relevance" | "topic_similarity" | "topic" | none |
| `AnswerRelevanceMetric` | "answer_relevance" | "korund_guardian" | "risk_name" | answer quality |
| `ContextRelevanceMetric` | "context_relevance" | "context_relevance_model" | "risk_name" | retrieval quality |
| `FaithfulnessMetric` | "faithfulness" | "faithfulness_model" | none | retrieval quality |
| `ToolCallAccuracyMetric` | "tool_call_accuracy" | "tool_call_checker" | none | tool-call quality |
| `PromptSafetyRiskMetric` | "prompt_safety_risk" | "korund_guardian" | "risk_name" "harm" | content safety |
| one class per content risk of the guardian model | the risk name | "korund_guardian" | "risk_name" | content safety |

Answer and context relevance are risks of the guardian model, so they are
sent to its detector with their risk name; their scores read as the quality
(high is good). The guardian's "groundedness" and "function_call" risks are
measured by `FaithfulnessMetric` and `ToolCallAccuracyMetric`.
"""

from __future__ import annotations

from typing import Any, ClassVar, Literal

import pandas as pd
from pydantic import Field, field_validator, model_validator

from tessary.entities.enums import KorundGuardianRisks, MetricGroup
from tessary.entities.evaluation_result import AggregateMetricResult
from tessary.entities.metric import GenAIMetric
from tessary.providers.probewell import DetectorsProvider

__all__ = [
    "AnswerRelevanceMetric",
    "ContextRelevanceMetric",
    "DetectorMetric",
    "EvasivenessMetric",
    "FaithfulnessMetric",
    "GUARDIAN_RISK_METRICS",
    "HAPMetric",
    "HarmEngagementMetric",
    "HarmMetric",
    "JailbreakMetric",
    "KeywordDetectionMetric",
    "PIIMetric",
    "ProfanityMetric",
    "PromptSafetyRiskMetric",
    "RegexDetectionMetric",
    "SexualContentMetric",
    "SocialBiasMetric",
    "ToolCallAccuracyMetric",
    "TopicRelevanceMetric",
    "UnethicalBehaviorMetric",
    "ViolenceMetric",
]


class DetectorMetric(GenAIMetric):
    """A metric whose records are scored by the detection service.

    Subclasses fix `name`, `method` and `group`, and override
    `detector_params` when the detector needs parameters.

    Metrics that read one text score the input by default; with
    `applies_to="output"` they score the output instead, and their results are
    named "<name>[output]" so that both can run in one evaluation.
    """

    READS_ONE_TEXT: ClassVar[bool] = True
    applies_to: Literal["input", "output"] = "input"

    @model_validator(mode="after")
    def _output_only_for_one_text(self) -> DetectorMetric:
        if self.applies_to == "output" and not self.READS_ONE_TEXT:
            raise ValueError(f"Metric '{self.name}' reads more than one text, so applies_to must be 'input'.")
        return self

    @property
    def result_name(self) -> str:
        """The name its results carry: "<name>[output]" when it scores the output."""
        return f"{self.name}[output]" if self.applies_to == "output" else self.name

    def detector_params(self) -> dict[str, Any] | None:
        """The parameters sent with every request, or None for none."""
        return None

    def _configuration_for_text(self, configuration: Any) -> Any:
        """The configuration whose input column is the text this metric reads."""
        if self.applies_to == "input":
            return configuration
        if not configuration.output_fields:
            raise ValueError(f"Metric '{self.result_name}' scores the output, but the configuration names no output field.")
        return configuration.model_copy(update={"input_fields": list(configuration.output_fields[:1])})

    def _named(self, result: AggregateMetricResult) -> AggregateMetricResult:
        if self.applies_to == "output" and result is not None:
            result.name = self.result_name
            result.display_name = f"{self.display_name} (output)"
            for record in result.record_level_metrics:
                record.name, record.display_name = result.name, result.display_name
        return result

    def _provider(self, configuration: Any, kwargs: dict[str, Any]) -> DetectorsProvider:
        provider = self._new_provider(configuration, kwargs)
        record_progress = kwargs.get("record_progress")
        if record_progress is not None:  # called as each record's request ends
            provider.record_progress = record_progress
        return provider

    def _new_provider(self, configuration: Any, kwargs: dict[str, Any]) -> DetectorsProvider:
        return DetectorsProvider(
            configuration=self._configuration_for_text(configuration),
            metric_name=self.name,
            metric_display_name=self.display_name,
            metric_method=self.method,
            metric_group=self.group,
            thresholds=self.thresholds,
            api_client=kwargs.get("api_client"),
            detector_params=self.detector_params(),
        )

    def evaluate(self, data: pd.DataFrame, configuration: Any, **kwargs: Any) -> AggregateMetricResult:
        """Score every record of `data` with the detection service (blocking)."""
        return self._named(self._provider(configuration, kwargs).evaluate(data=data))

    async def evaluate_async(self, data: pd.DataFrame, configuration: Any, **kwargs: Any) -> AggregateMetricResult:
        """Score every record of `data` with the detection service on the running event loop."""
        return self._named(await self._provider(configuration, kwargs).evaluate_async(data=data))


class HAPMetric(DetectorMetric):
    """Hateful, abusive and profane language in the input (or the output); the record score is the strongest term found."""

    name: str = "hap"
    display_name: str | None = "HAP"
    method: str | None = "hap_lexicon"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY


class PIIMetric(DetectorMetric):
    """Personal data in the input or the output (e-mail, phone, card and id numbers, IP addresses)."""

    name: str = "pii"
    display_name: str | None = "PII"
    method: str | None = "pii_patterns"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY


class KeywordDetectionMetric(DetectorMetric):
    """Occurrences of the given keywords in the input (1 when any is found)."""

    name: str = "keyword"
    display_name: str | None = "Keyword Detection"
    method: str | None = "keyword_match"
    keywords: list[str] = Field(min_length=1)

    def detector_params(self) -> dict[str, Any]:
        return {"keywords": list(self.keywords)}


class RegexDetectionMetric(DetectorMetric):
    """Matches of the given regular expressions in the input (1 when any matches)."""

    name: str = "regex"
    display_name: str | None = "Regex Detection"
    method: str | None = "regex_match"
    regex: list[str] = Field(min_length=1)

    def detector_params(self) -> dict[str, Any]:
        return {"regex": list(self.regex)}


class TopicRelevanceMetric(DetectorMetric):
    """How well the input stays on `topic` (1 minus the detected off-topic score)."""

    name: str = "topic_relevance"
    display_name: str | None = "Topic Relevance"
    method: str | None = "topic_similarity"
    topic: str = Field(min_length=1)

    def detector_params(self) -> dict[str, Any]:
        return {"topic": self.topic}


class AnswerRelevanceMetric(DetectorMetric):
    """How relevant the output is to the input, judged by the guardian model's answer-relevance risk."""

    READS_ONE_TEXT: ClassVar[bool] = False

    name: str = "answer_relevance"
    display_name: str | None = "Answer Relevance"
    method: str | None = "korund_guardian"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY

    def detector_params(self) -> dict[str, Any]:
        return {"risk_name": KorundGuardianRisks.ANSWER_RELEVANCE.value}


class ContextRelevanceMetric(DetectorMetric):
    """How relevant the context passages are to the input, with the supporting passages as evidences."""

    READS_ONE_TEXT: ClassVar[bool] = False

    name: str = "context_relevance"
    display_name: str | None = "Context Relevance"
    method: str | None = "context_relevance_model"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY

    def detector_params(self) -> dict[str, Any]:
        return {"risk_name": KorundGuardianRisks.CONTEXT_RELEVANCE.value}


class FaithfulnessMetric(DetectorMetric):
    """How well the context supports the output, with the supporting passages as evidences."""

    READS_ONE_TEXT: ClassVar[bool] = False

    name: str = "faithfulness"
    display_name: str | None = "Faithfulness"
    method: str | None = "faithfulness_model"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY


class ToolCallAccuracyMetric(DetectorMetric):
    """Tool calls checked against the configuration's tools (1 when no problem is found)."""

    READS_ONE_TEXT: ClassVar[bool] = False

    name: str = "tool_call_accuracy"
    display_name: str | None = "Tool Call Accuracy"
    method: str | None = "tool_call_checker"
    group: MetricGroup | None = MetricGroup.TOOL_CALL_QUALITY


class PromptSafetyRiskMetric(DetectorMetric):
    """Overall harm in the input, measured as the guardian model's "harm" risk."""

    name: str = "prompt_safety_risk"
    display_name: str | None = "Prompt Safety Risk"
    method: str | None = "korund_guardian"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY

    def detector_params(self) -> dict[str, Any]:
        return {"risk_name": KorundGuardianRisks.HARM.value}


class GuardianRiskMetric(DetectorMetric):
    """One content risk of the guardian model, scored on the input; `name` is the risk name."""

    RISK: ClassVar[KorundGuardianRisks]
    method: str | None = "korund_guardian"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY

    @field_validator("method")
    @classmethod
    def _guardian_only(cls, value: str | None) -> str | None:
        if value != "korund_guardian":
            raise ValueError("Guardian risk metrics are measured with the method 'korund_guardian'.")
        return value

    def detector_params(self) -> dict[str, Any]:
        return {"risk_name": self.name}


class HarmMetric(GuardianRiskMetric):
    """The highest of the guardian's content risks."""

    name: str = KorundGuardianRisks.HARM.value


class SocialBiasMetric(GuardianRiskMetric):
    """Generalisations and prejudice about groups of people."""

    name: str = KorundGuardianRisks.SOCIAL_BIAS.value


class JailbreakMetric(GuardianRiskMetric):
    """Attempts to override the model's instructions or safety rules."""

    name: str = KorundGuardianRisks.JAILBREAK.value


class ViolenceMetric(GuardianRiskMetric):
    """Violent content, threats and requests to hurt people."""

    name: str = KorundGuardianRisks.VIOLENCE.value


class ProfanityMetric(GuardianRiskMetric):
    """Profane and abusive language."""

    name: str = KorundGuardianRisks.PROFANITY.value


class UnethicalBehaviorMetric(GuardianRiskMetric):
    """Fraud, theft, hacking and similar wrongdoing."""

    name: str = KorundGuardianRisks.UNETHICAL_BEHAVIOR.value


class SexualContentMetric(GuardianRiskMetric):
    """Sexual content."""

    name: str = KorundGuardianRisks.SEXUAL_CONTENT.value


class HarmEngagementMetric(GuardianRiskMetric):
    """Instructions that engage with a harmful subject."""

    name: str = KorundGuardianRisks.HARM_ENGAGEMENT.value


class EvasivenessMetric(GuardianRiskMetric):
    """Refusals and dodges."""

    name: str = KorundGuardianRisks.EVASIVENESS.value


GUARDIAN_RISK_METRICS: tuple[type[GuardianRiskMetric], ...] = (
    HarmMetric,
    SocialBiasMetric,
    JailbreakMetric,
    ViolenceMetric,
    ProfanityMetric,
    UnethicalBehaviorMetric,
    SexualContentMetric,
    HarmEngagementMetric,
    EvasivenessMetric,
)


def _register_groups() -> None:
    """Make the metrics that need no parameters members of their groups."""
    for metric_class in (HAPMetric, PIIMetric, PromptSafetyRiskMetric, *GUARDIAN_RISK_METRICS):
        MetricGroup.CONTENT_SAFETY.register_metric(metric_class.model_fields["name"].default, metric_class)
    MetricGroup.ANSWER_QUALITY.register_metric("answer_relevance", AnswerRelevanceMetric)
    MetricGroup.RETRIEVAL_QUALITY.register_metric("context_relevance", ContextRelevanceMetric)
    MetricGroup.RETRIEVAL_QUALITY.register_metric("faithfulness", FaithfulnessMetric)
    MetricGroup.TOOL_CALL_QUALITY.register_metric("tool_call_accuracy", ToolCallAccuracyMetric)


_register_groups()
