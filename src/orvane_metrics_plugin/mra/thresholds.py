"""Thresholds that decide whether a metric value passes.

A threshold is a ``lower_limit`` (the value must be at least the limit) or an
``upper_limit`` (the value must be at most the limit). ``thresholds`` may be:

- ``None`` or empty: every shipped metric keeps its default threshold;
- a mapping from metric name to a number (its kind follows the metric's
  direction), or to a threshold given as a mapping or object with ``type`` and
  ``value``;
- a list of thresholds given as mappings or objects with ``type`` and
  ``value`` and optionally ``metric`` (or ``name``). One with a metric name
  applies to that metric; one without applies to every metric of its
  direction: a lower limit to the higher-is-better metrics, an upper limit to
  the others.

Explicit thresholds beat unnamed ones, which beat the defaults.
"""

import math
from collections.abc import Mapping
from dataclasses import dataclass

LOWER_LIMIT = "lower_limit"
UPPER_LIMIT = "upper_limit"


@dataclass(frozen=True)
class Threshold:
    """A limit a metric value must respect."""

    kind: str
    value: float

    def passes(self, metric_value: float) -> bool:
        """Whether the value respects the limit; NaN never does."""
        if math.isnan(metric_value):
            return False
        if self.kind == LOWER_LIMIT:
            return metric_value >= self.value
        return metric_value <= self.value

    @property
    def label(self) -> str:
        """The limit as ">= 0.9" or "<= 0.1"."""
        return (">= " if self.kind == LOWER_LIMIT else "<= ") + f"{self.value:g}"


class ThresholdResolver:
    """Finds the threshold of a metric from the caller's thresholds and the defaults."""

    def __init__(self, thresholds: object, directions: Mapping[str, bool]) -> None:
        self.directions = directions
        self.named: dict[str, Threshold] = {}
        self.unnamed: dict[str, Threshold] = {}
        self._read(thresholds)

    def threshold_for(self, metric_name: str, default: Threshold | None) -> Threshold | None:
        """The threshold that applies to a metric, or ``None``."""
        if metric_name in self.named:
            return self.named[metric_name]
        higher_is_better = self.directions.get(metric_name)
        if higher_is_better is not None:
            kind = LOWER_LIMIT if higher_is_better else UPPER_LIMIT
            if kind in self.unnamed:
                return self.unnamed[kind]
        return default

    def _read(self, thresholds: object) -> None:
        if thresholds is None:
            return
        if isinstance(thresholds, Mapping):
            for name, item in thresholds.items():
                if not isinstance(name, str):
                    raise TypeError(f"Threshold keys must be metric names, got {name!r}")
                self.named[name] = self._threshold(item, name)
            return
        if isinstance(thresholds, (list, tuple)):
            for item in thresholds:
                name = _field(item, "metric") or _field(item, "name")
                threshold = self._threshold(item, name)
                (self.named if name else self.unnamed)[name or threshold.kind] = threshold
            return
        raise TypeError(
            f"thresholds must be None, a mapping or a list of thresholds, got {type(thresholds).__name__}"
        )

    def _threshold(self, item: object, metric_name: str | None) -> Threshold:
        if _is_number(item):
            higher_is_better = self.directions.get(metric_name, True)
            return Threshold(LOWER_LIMIT if higher_is_better else UPPER_LIMIT, float(item))
        kind = _field(item, "type")
        kind = getattr(kind, "value", kind)
        value = _field(item, "value")
        if kind not in (LOWER_LIMIT, UPPER_LIMIT) or not _is_number(value):
            raise ValueError(
                f"A threshold needs a type '{LOWER_LIMIT}' or '{UPPER_LIMIT}' and a numeric value, got {item!r}"
            )
        return Threshold(kind, float(value))


def default_threshold(higher_is_better: bool, value: float | None) -> Threshold | None:
    """A shipped metric's default threshold."""
    if value is None:
        return None
    return Threshold(LOWER_LIMIT if higher_is_better else UPPER_LIMIT, float(value))


def _field(item: object, name: str) -> object:
    if isinstance(item, Mapping):
        return item.get(name)
    return getattr(item, name, None)


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
