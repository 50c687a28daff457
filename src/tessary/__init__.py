"""tessary: evaluate generative-AI applications.

Run detector, LLM-as-judge and criteria metrics over a table of records
(inputs, outputs, contexts, references, tool calls) and get one aggregated
result per metric, or evaluate the risks of a foundation model.

    import tessary
    result = tessary.evaluate("records.csv", ["faithfulness", "hap", "answer_correctness:token_recall"])
    print(result)

The public names are loaded on first use, so that `import tessary` stays light.
"""

from __future__ import annotations

import importlib
from typing import Any

__version__ = "0.1.0"

# Public name -> (module, attribute in it; None for the module itself).
_LAZY_NAMES: dict[str, tuple[str, str | None]] = {
    "evaluate": ("tessary.api", "evaluate"),
    "evaluate_async": ("tessary.api", "evaluate_async"),
    "MetricsEvaluator": ("tessary.api", "MetricsEvaluator"),
    "estimate": ("tessary.api", "estimate"),
    "Estimate": ("tessary.api", "Estimate"),
    "list_metrics": ("tessary.api", "list_metrics"),
    "MetricInfo": ("tessary.api", "MetricInfo"),
    "DataError": ("tessary.api", "DataError"),
    "UnknownMetricError": ("tessary.api", "UnknownMetricError"),
    "GenAIConfiguration": ("tessary.config", "GenAIConfiguration"),
    "MetricsEvaluationResult": ("tessary.entities.evaluation_result", "MetricsEvaluationResult"),
    "judge": ("tessary.judging", "judge"),
}

__all__ = ["__version__", *_LAZY_NAMES]


def __getattr__(name: str) -> Any:
    try:
        module_name, attribute = _LAZY_NAMES[name]
    except KeyError:
        raise AttributeError(f"module 'tessary' has no attribute {name!r}") from None
    module = importlib.import_module(module_name)
    value = module if attribute is None else getattr(module, attribute)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY_NAMES})
