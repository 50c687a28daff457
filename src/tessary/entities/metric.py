"""Base class of every metric."""

from __future__ import annotations

import asyncio
import functools
from abc import ABC, abstractmethod
from typing import TYPE_CHECKING, Any

from pydantic import Field, model_validator

from tessary.entities.base_classes import BaseEntity
from tessary.entities.enums import MetricGroup
from tessary.entities.metric_threshold import MetricThreshold

if TYPE_CHECKING:
    import pandas as pd

    from tessary.config import AgenticAIConfiguration, GenAIConfiguration
    from tessary.entities.evaluation_result import AggregateMetricResult


class GenAIMetric(BaseEntity, ABC):
    """A metric that computes itself over a record table.

    Subclasses implement `evaluate`; it receives the record table and the
    configuration, and by keyword `api_client`, `metrics_result` (the results
    gathered so far, for metrics with `metric_dependencies`) and any extra
    keywords of the evaluation call, and returns an `AggregateMetricResult`
    or None. `evaluate_async` runs `evaluate` on a worker thread unless a
    subclass awaits something of its own.
    """

    name: str
    display_name: str | None = None
    method: str | None = None
    group: MetricGroup | None = None
    thresholds: list[MetricThreshold] = Field(default_factory=list)
    metric_dependencies: list[GenAIMetric] = Field(default_factory=list)

    @model_validator(mode="after")
    def _default_display_name(self) -> GenAIMetric:
        if self.display_name is None:
            self.display_name = self.name.replace("_", " ").title()
        return self

    @abstractmethod
    def evaluate(
        self,
        data: pd.DataFrame,
        configuration: GenAIConfiguration | AgenticAIConfiguration,
        **kwargs: Any,
    ) -> AggregateMetricResult | None:
        """Compute the metric over `data`."""

    async def evaluate_async(
        self,
        data: pd.DataFrame,
        configuration: GenAIConfiguration | AgenticAIConfiguration,
        **kwargs: Any,
    ) -> AggregateMetricResult | None:
        """Run `evaluate` in the event loop's default executor and return its result."""
        from tessary.utils.async_util import start_event_loop_run_func

        call = functools.partial(
            start_event_loop_run_func,
            self.evaluate,
            data=data,
            configuration=configuration,
            **kwargs,
        )
        return await asyncio.get_running_loop().run_in_executor(None, call)
