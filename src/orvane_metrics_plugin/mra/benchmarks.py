"""The shipped benchmark prompt sets, one JSON file per risk dimension.

``data/README.md`` documents the file format and the sets themselves.
"""

import json
from dataclasses import dataclass
from functools import cache
from importlib import resources

from orvane_metrics_plugin.mra.scoring import SCORERS


@dataclass(frozen=True)
class MetricSpec:
    """One metric of a benchmark: its direction and default threshold."""

    name: str
    higher_is_better: bool
    threshold: float | None
    description: str


@dataclass(frozen=True)
class BenchmarkSet:
    """One benchmark: a prompt set, the scorer and the metrics it yields."""

    name: str
    description: str
    scorer: str
    metrics: tuple[MetricSpec, ...]
    prompts: tuple[dict, ...]


@dataclass(frozen=True)
class RiskDimension:
    """One risk dimension and its benchmarks."""

    name: str
    title: str
    description: str
    benchmarks: tuple[BenchmarkSet, ...]


@cache
def shipped_risk_dimensions() -> dict[str, RiskDimension]:
    """Every shipped risk dimension by name, in the files' ``order``."""
    data_dir = resources.files("orvane_metrics_plugin.mra") / "data"
    files = sorted((entry for entry in data_dir.iterdir() if entry.name.endswith(".json")), key=lambda e: e.name)
    raw_files = [(json.loads(entry.read_text("utf-8")), entry.name) for entry in files]
    raw_files.sort(key=lambda pair: pair[0].get("order", len(raw_files)))
    dimensions = [parse_risk_dimension(raw, source) for raw, source in raw_files]
    return {dimension.name: dimension for dimension in dimensions}


def select_risk_dimensions(names: list | tuple | None) -> list[RiskDimension]:
    """The dimensions asked for, in the order asked; ``None`` means all of them."""
    available = shipped_risk_dimensions()
    if names is None:
        return list(available.values())
    if isinstance(names, str) or not isinstance(names, (list, tuple)):
        raise TypeError(f"risk_dimensions must be a list of names or None, got {type(names).__name__}")
    names = [getattr(name, "value", name) for name in names]  # enumeration members name themselves by value
    unknown = [name for name in names if name not in available]
    if unknown:
        raise ValueError(
            f"Unknown risk dimensions {unknown}; available: {list(available)}"
        )
    if not names:
        raise ValueError(f"risk_dimensions is empty; available: {list(available)}")
    return [available[name] for name in dict.fromkeys(names)]


def parse_risk_dimension(raw: dict, source: str) -> RiskDimension:
    """Build a dimension from one decoded JSON file, checking its shape."""
    try:
        benchmarks = tuple(_parse_benchmark(item) for item in raw["benchmarks"])
        dimension = RiskDimension(raw["risk"], raw.get("title", raw["risk"]), raw.get("description", ""), benchmarks)
    except (KeyError, TypeError) as error:
        raise ValueError(f"Benchmark file {source} is malformed: {error!r}") from error
    if not benchmarks:
        raise ValueError(f"Benchmark file {source} holds no benchmark")
    return dimension


def _parse_benchmark(raw: dict) -> BenchmarkSet:
    scorer = raw["scorer"]
    if scorer not in SCORERS:
        raise KeyError(f"unknown scorer {scorer!r}")
    metrics = tuple(
        MetricSpec(m["name"], bool(m["higher_is_better"]), m.get("threshold"), m.get("description", ""))
        for m in raw["metrics"]
    )
    produced = SCORERS[scorer].metric_names
    missing = [metric.name for metric in metrics if metric.name not in produced]
    if missing:
        raise KeyError(f"scorer {scorer!r} does not produce {missing}")
    prompts = tuple(raw["prompts"])
    if not prompts:
        raise KeyError(f"benchmark {raw['name']!r} has no prompt")
    return BenchmarkSet(raw["name"], raw.get("description", ""), scorer, metrics, prompts)
