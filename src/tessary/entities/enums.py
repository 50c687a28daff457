"""Enumerations used across configuration, metrics and results."""

from __future__ import annotations

import importlib
from collections.abc import Callable
from enum import StrEnum
from typing import Any

# Metric factories per group, keyed by metric name so that registering a
# metric twice (for example on module reload) replaces instead of duplicating.
_GROUP_METRIC_FACTORIES: dict[str, dict[str, Callable[[], Any]]] = {}
_metric_modules_loaded = False


def _load_metric_modules() -> None:
    """Import the package's metric modules once, so that they register their groups."""
    global _metric_modules_loaded
    if _metric_modules_loaded:
        return
    # The flag is set only once the import has settled, so that a failed import
    # (a missing dependency, say) fails every call instead of leaving the groups
    # silently empty after the first one.
    try:
        importlib.import_module("tessary.metrics")
    except ModuleNotFoundError as error:
        if error.name != "tessary.metrics":
            raise
    _metric_modules_loaded = True


class MetricGroup(StrEnum):
    """Groups of metrics that can be requested together."""

    RETRIEVAL_QUALITY = "retrieval_quality"
    ANSWER_QUALITY = "answer_quality"
    CONTENT_SAFETY = "content_safety"
    READABILITY = "readability"
    TOOL_CALL_QUALITY = "tool_call_quality"
    CUSTOM = "custom"

    def register_metric(self, name: str, factory: Callable[[], Any]) -> None:
        """Make `factory()` one of this group's metrics, under the metric's name."""
        if not isinstance(name, str) or not name:
            raise ValueError("A group metric needs a non-empty name.")
        if not callable(factory):
            raise TypeError(f"The factory of group metric '{name}' is not callable.")
        _GROUP_METRIC_FACTORIES.setdefault(self.value, {})[name] = factory

    def unregister_metric(self, name: str) -> None:
        """Remove the metric registered under `name`; unknown names are ignored."""
        _GROUP_METRIC_FACTORIES.get(self.value, {}).pop(name, None)

    def get_metrics(self) -> list[Any]:
        """Return new metric objects for every metric registered in this group."""
        _load_metric_modules()
        factories = _GROUP_METRIC_FACTORIES.get(self.value, {})
        return [factory() for factory in factories.values()]


class EvaluationProvider(StrEnum):
    """Who computed a result; a member's value tags every result."""

    DETECTORS = "detectors"
    TABULON = "tabulon"
    VERDICTA = "verdicta"
    CUSTOM = "custom"


class ModelProviderType(StrEnum):
    """Kinds of model providers behind a foundation model."""

    QZAI = "qzai"
    OPENAI = "openai"
    AZURE_OPENAI = "azure_openai"
    VERTEX_AI = "vertex_ai"
    GOOGLE_AI_STUDIO = "google_ai_studio"
    AWS_BEDROCK = "aws_bedrock"
    PORTKEY = "portkey"
    QZO_AI_GATEWAY = "qzo_ai_gateway"
    CUSTOM = "custom"


class KorundGuardianRisks(StrEnum):
    """Risks that the guardian model detects."""

    HARM = "harm"
    SOCIAL_BIAS = "social_bias"
    JAILBREAK = "jailbreak"
    VIOLENCE = "violence"
    PROFANITY = "profanity"
    UNETHICAL_BEHAVIOR = "unethical_behavior"
    SEXUAL_CONTENT = "sexual_content"
    HARM_ENGAGEMENT = "harm_engagement"
    EVASIVENESS = "evasiveness"
    GROUNDEDNESS = "groundedness"
    ANSWER_RELEVANCE = "answer_relevance"
    CONTEXT_RELEVANCE = "context_relevance"
    FUNCTION_CALL = "function_call"

    @classmethod
    def values(cls) -> list[str]:
        """Return the risk names, in declaration order."""
        return [member.value for member in cls]


class Region(StrEnum):
    """Cloud regions in which the services run."""

    US_SOUTH = "us-south"
    AU_SYD = "au-syd"
    CA_TOR = "ca-tor"
    EU_DE = "eu-de"
    JP_TOK = "jp-tok"
    EU_GB = "eu-gb"
    AP_SOUTH = "ap-south-1"
    US_GOV_EAST1 = "us-gov-east1"
