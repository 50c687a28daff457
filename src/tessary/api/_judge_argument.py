"""The `judge` argument: where judged metrics send their prompts.

- None: the embedded default (the local judge server, started only when a judged metric needs it);
- an `LLMJudge`: used as it is;
- a text with "://": the base URL of a server that speaks the OpenAI protocol (the model is
  `TESSARY_JUDGE_MODEL`, else "gpt-4o-mini"; the key is `OPENAI_API_KEY` when set);
- another text, "backend/model": the package's judge description, e.g. "openai/gpt-4o-mini".
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

from tessary.entities.llm_judge import LLMJudge

JUDGE_MODEL_VARIABLE = "TESSARY_JUDGE_MODEL"
DEFAULT_URL_JUDGE_MODEL = "gpt-4o-mini"


def _judging_module() -> Any:
    try:
        import tessary.judging as judging
    except ImportError:
        return None
    return judging if callable(getattr(judging, "judge", None)) else None


def openai_protocol_judge(base_url: str, model: str | None = None) -> LLMJudge:
    """A judge at the base URL of an OpenAI-protocol server (hosted API, vLLM, llama.cpp, Ollama)."""
    model = model or os.environ.get(JUDGE_MODEL_VARIABLE) or DEFAULT_URL_JUDGE_MODEL
    judging = _judging_module()
    if judging is not None:
        return judging.judge(f"openai/{model}", base_url=base_url)
    from tessary.entities.foundation_model import OpenAICredentials, OpenAIFoundationModel, OpenAIModelProvider

    credentials = OpenAICredentials(url=base_url)  # the key comes from OPENAI_API_KEY when set
    return LLMJudge(model=OpenAIFoundationModel(model_id=model, provider=OpenAIModelProvider(credentials=credentials)))


def resolve_judge(judge: Any) -> LLMJudge | None:
    """The `LLMJudge` that `judge` describes; None stands for the embedded default."""
    if judge is None or isinstance(judge, LLMJudge):
        return judge
    if isinstance(judge, str):
        text = judge.strip()
        if "://" in text:
            return openai_protocol_judge(text)
        judging = _judging_module()
        if judging is None:
            raise ValueError(
                f"Cannot build a judge from {text!r} here: give the base URL of an OpenAI-protocol server "
                "(http://host:port/v1) or an LLMJudge object."
            )
        return judging.judge(text)
    model_classes = _foundation_model_classes()
    if isinstance(judge, model_classes):
        return LLMJudge(model=judge)
    raise TypeError(f"judge must be None, an LLMJudge, a foundation model or a text, got {type(judge).__name__}.")


def _foundation_model_classes() -> tuple[type, ...]:
    from tessary.entities.foundation_model import FoundationModel

    return (FoundationModel,)


def needs_judge(metric: Any) -> bool:
    """True for a metric that sends prompts to a judge model."""
    from tessary.metrics.judge_metrics import JUDGE_METHOD, TabulonMetric
    from tessary.metrics.llm_as_judge_metric import LLMAsJudgeMetric

    if isinstance(metric, LLMAsJudgeMetric):
        return True
    return isinstance(metric, TabulonMetric) and metric.method == JUDGE_METHOD


def lacks_judge(metric: Any, configuration: Any) -> bool:
    """True for a judged metric that has no judge of its own nor from the configuration."""
    return needs_judge(metric) and getattr(metric, "llm_judge", None) is None and configuration.llm_judge is None


def apply_judge(judge: LLMJudge, configuration: Any, metrics: Iterable[Any]) -> tuple[Any, list[Any]]:
    """A copy of the configuration with `judge`, and the metrics with it where they have none of their own."""
    configuration = configuration.model_copy(update={"llm_judge": judge})
    applied = [
        metric.model_copy(update={"llm_judge": judge}) if needs_judge(metric) and metric.llm_judge is None else metric
        for metric in metrics
    ]
    return configuration, applied


def describe_judge(judge: LLMJudge | None) -> str | None:
    """The judge in words, without secrets: kind, model and URL."""
    if judge is None:
        return None
    model = judge.model
    credentials = getattr(model.provider, "credentials", None)
    url = getattr(credentials, "url", None)
    kind = type(model).__name__.removesuffix("FoundationModel") or type(model).__name__
    where = f" at {url}" if url else ""
    return f"{kind} {model.model_id}{where}"
