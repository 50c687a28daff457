"""The package's metric classes, by provider.

- `tessary.metrics.detector_metrics`: metrics computed by the detection service.
- `tessary.metrics.judge_metrics`: catalog and LLM-as-judge metrics of the recipe library.
- `tessary.metrics.llm_as_judge_metric`: custom criteria metrics judged by a model.

Importing this package registers the metrics of each `MetricGroup`.
"""

from tessary.metrics import detector_metrics, judge_metrics, llm_as_judge_metric

__all__ = ["detector_metrics", "judge_metrics", "llm_as_judge_metric"]
