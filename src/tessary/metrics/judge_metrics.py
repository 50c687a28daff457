"""Retrieval-augmented answer metrics computed by the tabulon recipe library.

Each metric offers the catalog's methods: lexical overlap ("token_recall",
"token_precision", "token_k_precision"), embeddings ("sentence_bert_mini_lm",
"sentence_bert_bge", "bert_score_recall") and "llm_as_judge", which has the judge
model grade every record (the metric's `llm_judge`, else the configuration's).

    metric = FaithfulnessMetric(method="llm_as_judge", llm_judge=LLMJudge(model=...))
    _evaluate_metrics(configuration, data, [metric, AnswerRelevanceMetric()])
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, ClassVar

from pydantic import field_validator

from tessary.entities.enums import MetricGroup
from tessary.entities.llm_judge import LLMJudge
from tessary.entities.metric import GenAIMetric

if TYPE_CHECKING:
    import pandas as pd

    from tessary.config import AgenticAIConfiguration, GenAIConfiguration
    from tessary.entities.evaluation_result import AggregateMetricResult

__all__ = [
    "LEXICAL_METHODS",
    "EMBEDDING_METHODS",
    "JUDGE_METHOD",
    "METRIC_PREFIX",
    "AnswerCorrectnessMetric",
    "AnswerRelevanceMetric",
    "ContextRelevanceMetric",
    "FaithfulnessMetric",
    "TabulonMetric",
]

METRIC_PREFIX = "metrics.rag"
LEXICAL_METHODS = ("token_recall", "token_precision", "token_k_precision")
EMBEDDING_METHODS = ("sentence_bert_mini_lm", "sentence_bert_bge", "bert_score_recall")
JUDGE_METHOD = "llm_as_judge"


class TabulonMetric(GenAIMetric):
    """A catalog or judged metric of the recipe library, computed by `TabulonProvider`."""

    METHODS: ClassVar[tuple[str, ...]] = (*LEXICAL_METHODS, *EMBEDDING_METHODS, JUDGE_METHOD)

    method: str = "token_k_precision"
    llm_judge: LLMJudge | None = None

    @field_validator("method")
    @classmethod
    def _known_method(cls, value: str) -> str:
        if value not in cls.METHODS:
            raise ValueError(f"Unknown method {value!r}; expected one of: {', '.join(cls.METHODS)}.")
        return value

    def _provider(self, configuration: GenAIConfiguration | AgenticAIConfiguration) -> Any:
        from tessary.judging._providers import JudgedTabulonProvider

        judge = self.llm_judge or configuration.llm_judge
        if self.method == JUDGE_METHOD and judge is None:
            raise ValueError(
                f"Metric '{self.name}' with the method '{JUDGE_METHOD}' needs a judge: set llm_judge "
                "on the metric or on the configuration."
            )
        return JudgedTabulonProvider(
            configuration=configuration,
            metric_name=self.name,
            metric_display_name=self.display_name,
            metric_method=self.method,
            metric_prefix=METRIC_PREFIX,
            metric_group=self.group,
            llm_judge=self.llm_judge,
            thresholds=self.thresholds,
        )

    def evaluate(
        self,
        data: pd.DataFrame,
        configuration: GenAIConfiguration | AgenticAIConfiguration,
        **kwargs: Any,
    ) -> AggregateMetricResult:
        """Compute the metric over `data` on this thread."""
        return self._provider(configuration).evaluate(data=data)

    async def evaluate_async(
        self,
        data: pd.DataFrame,
        configuration: GenAIConfiguration | AgenticAIConfiguration,
        **kwargs: Any,
    ) -> AggregateMetricResult:
        """Compute the metric on a worker thread of the running loop's default executor."""
        return await self._provider(configuration).evaluate_async(data=data)


class FaithfulnessMetric(TabulonMetric):
    """How far the answer is supported by the contexts."""

    name: str = "faithfulness"
    display_name: str | None = "Faithfulness"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


class AnswerRelevanceMetric(TabulonMetric):
    """How directly the answer addresses the question."""

    name: str = "answer_relevance"
    display_name: str | None = "Answer Relevance"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


class AnswerCorrectnessMetric(TabulonMetric):
    """How well the answer matches the reference answers."""

    name: str = "answer_correctness"
    display_name: str | None = "Answer Correctness"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


class ContextRelevanceMetric(TabulonMetric):
    """How relevant the retrieved contexts are to the question."""

    name: str = "context_relevance"
    display_name: str | None = "Context Relevance"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY


for _metric_class in (FaithfulnessMetric, AnswerRelevanceMetric, AnswerCorrectnessMetric):
    MetricGroup.ANSWER_QUALITY.register_metric(_metric_class.model_fields["name"].default, _metric_class)
MetricGroup.RETRIEVAL_QUALITY.register_metric("context_relevance", ContextRelevanceMetric)
