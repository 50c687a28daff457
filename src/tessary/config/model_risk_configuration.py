"""Configuration of a foundation-model risk evaluation."""

from __future__ import annotations

from typing import Any

from pydantic import Field

from tessary.entities.base_classes import BaseEntity
from tessary.entities.foundation_model import FoundationModel


class GCCredentials(BaseEntity):
    """Credentials of the governance console that receives the risk results."""

    url: str | None = None
    username: str | None = None
    password: str | None = Field(default=None, repr=False)
    api_key: str | None = Field(default=None, repr=False)


class QzGCConfiguration(BaseEntity):
    """Where the risk results are published: the console's model entry and credentials."""

    model_id: str
    credentials: GCCredentials


class ModelRiskConfiguration(BaseEntity):
    """The model to evaluate, the risks to measure and where to write the report."""

    model_details: FoundationModel
    risk_dimensions: list[str] | None = None
    max_sample_size: int | None = Field(default=None, ge=1)
    pdf_report_output_path: str | None = None
    thresholds: Any = None
    qz_gc_configuration: QzGCConfiguration | None = None
