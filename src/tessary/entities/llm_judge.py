"""The judge model of LLM-as-judge metrics."""

from __future__ import annotations

from tessary.entities.base_classes import BaseEntity
from tessary.entities.foundation_model import FoundationModel


class LLMJudge(BaseEntity):
    """Wraps the foundation model that grades records."""

    model: FoundationModel
