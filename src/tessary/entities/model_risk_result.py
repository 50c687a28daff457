"""Result of a foundation-model risk evaluation: risks, their benchmarks, metric values."""

from __future__ import annotations

from typing import Any

import pandas as pd
from pydantic import Field

from tessary.entities.base_classes import BaseEntity


class RiskMetric(BaseEntity):
    """One metric value of a benchmark, as the risk evaluation reported it."""

    name: str
    value: Any = None


class Benchmark(BaseEntity):
    """One benchmark (risk card) run for a risk, with its metric values."""

    name: str
    metrics: list[RiskMetric] = Field(default_factory=list)


class Risk(BaseEntity):
    """One risk dimension and the benchmarks that measured it."""

    name: str
    benchmarks: list[Benchmark] = Field(default_factory=list)


class ModelRiskResult(BaseEntity):
    """All risks measured for a model, and the path of the PDF report if one was written."""

    risks: list[Risk] = Field(default_factory=list)
    output_file_path: str | None = None

    def to_df(self) -> pd.DataFrame:
        """Return one row per (risk, benchmark, metric) with its value."""
        rows = [
            {
                "risk": risk.name,
                "benchmark": benchmark.name,
                "metric": metric.name,
                "value": metric.value,
            }
            for risk in self.risks
            for benchmark in risk.benchmarks
            for metric in benchmark.metrics
        ]
        return pd.DataFrame(rows, columns=["risk", "benchmark", "metric", "value"])
