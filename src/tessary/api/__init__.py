"""The package's public evaluation API; its names are re-exported by `tessary` itself."""

from tessary.api._data import DataError
from tessary.api._estimate import Estimate, estimate
from tessary.api._evaluate import MetricsEvaluator, evaluate, evaluate_async
from tessary.api._registry import MetricInfo, UnknownMetricError, list_metrics

__all__ = [
    "DataError",
    "Estimate",
    "MetricInfo",
    "MetricsEvaluator",
    "UnknownMetricError",
    "estimate",
    "evaluate",
    "evaluate_async",
    "list_metrics",
]
