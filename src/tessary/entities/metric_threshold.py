"""Threshold attached to a metric and copied into its results."""

from __future__ import annotations

from typing import Literal

from tessary.entities.base_classes import BaseEntity


class MetricThreshold(BaseEntity):
    """A bound that a metric value should respect.

    `lower_limit`: values below `value` violate the threshold;
    `upper_limit`: values above `value` violate it.
    """

    type: Literal["lower_limit", "upper_limit"] = "lower_limit"
    value: float = 0.0

    def is_violated_by(self, metric_value: float | None) -> bool:
        """Tell whether `metric_value` lies on the wrong side of the threshold."""
        if metric_value is None:
            return False
        if self.type == "lower_limit":
            return metric_value < self.value
        return metric_value > self.value
