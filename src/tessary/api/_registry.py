"""One registry of every metric the package ships, addressed by name and method.

A metric is named as "name", "name:method" or either with the suffix
"[output]" for detector metrics that read one text ("pii[output]" scores the
answers instead of the questions). Names that several providers compute
("faithfulness", "answer_relevance", "context_relevance") pick the provider by
the method; without a method, the first provider listed for the name computes it.
"""

from __future__ import annotations

import difflib
import functools
from dataclasses import asdict, dataclass, field
from typing import Any

from tessary.entities.metric import GenAIMetric

OUTPUT_SUFFIX = "[output]"


class UnknownMetricError(ValueError):
    """A metric name or method that the registry does not know; the message names the closest ones."""


@dataclass(frozen=True)
class MetricInfo:
    """What one metric of one provider offers and needs."""

    name: str
    provider: str
    methods: tuple[str, ...]
    fields: tuple[str, ...]
    judge_methods: tuple[str, ...] = ()
    needs_detection_service: bool = False
    parameters: tuple[str, ...] = ()
    reads_one_text: bool = False
    description: str = ""
    metric_class: type[GenAIMetric] | None = field(default=None, repr=False, compare=False)

    @property
    def default_method(self) -> str:
        return self.methods[0]

    @property
    def needs_judge(self) -> bool:
        """True when some method of this metric sends prompts to a judge."""
        return bool(self.judge_methods)

    def as_dict(self) -> dict[str, Any]:
        """Plain data, for tables and JSON."""
        data = asdict(self)
        data.pop("metric_class")
        data.update(default_method=self.default_method, needs_judge=self.needs_judge)
        return {key: list(value) if isinstance(value, tuple) else value for key, value in data.items()}


def _first_line(text: str | None) -> str:
    return (text or "").strip().splitlines()[0] if (text or "").strip() else ""


@functools.cache
def _registry() -> dict[str, tuple[MetricInfo, ...]]:
    """Built on first use: importing the metric classes imports the native providers."""
    from tessary.metrics import detector_metrics as detectors
    from tessary.metrics import judge_metrics as judged
    from tabulon.tasks import RAG_TASK_FIELDS

    roles = {"question": "input", "answer": "output", "contexts": "context", "ground_truths": "reference"}
    entries: dict[str, list[MetricInfo]] = {}

    def add(info: MetricInfo) -> None:
        entries.setdefault(info.name, []).append(info)

    detector_fields = {
        "answer_relevance": ("input", "output"),
        "context_relevance": ("input", "context"),
        "faithfulness": ("output", "context"),
        "tool_call_accuracy": ("input", "tool_calls"),
    }
    detector_classes = [
        detectors.FaithfulnessMetric, detectors.AnswerRelevanceMetric, detectors.ContextRelevanceMetric,
        detectors.HAPMetric, detectors.PIIMetric, detectors.KeywordDetectionMetric, detectors.RegexDetectionMetric,
        detectors.TopicRelevanceMetric, detectors.ToolCallAccuracyMetric, detectors.PromptSafetyRiskMetric,
        *detectors.GUARDIAN_RISK_METRICS,
    ]
    for metric_class in detector_classes:
        fields = metric_class.model_fields
        name = fields["name"].default
        required = tuple(key for key in ("keywords", "regex", "topic") if key in fields and fields[key].is_required())
        add(MetricInfo(
            name=name, provider="detectors", methods=(fields["method"].default,),
            fields=detector_fields.get(name, ("input",)), needs_detection_service=True, parameters=required,
            reads_one_text=metric_class.READS_ONE_TEXT, description=_first_line(metric_class.__doc__),
            metric_class=metric_class))
    judged_classes = [judged.FaithfulnessMetric, judged.AnswerRelevanceMetric, judged.AnswerCorrectnessMetric,
                      judged.ContextRelevanceMetric]
    for metric_class in judged_classes:
        name = metric_class.model_fields["name"].default
        inputs, prediction = RAG_TASK_FIELDS[name]
        default = metric_class.model_fields["method"].default
        methods = (default, *(method for method in metric_class.METHODS if method != default))
        add(MetricInfo(
            name=name, provider="tabulon", methods=methods,
            fields=tuple(dict.fromkeys(roles[role] for role in (*inputs, prediction))),
            judge_methods=(judged.JUDGE_METHOD,), description=_first_line(metric_class.__doc__),
            metric_class=metric_class))
    return {name: tuple(infos) for name, infos in entries.items()}


def list_metrics() -> list[MetricInfo]:
    """Every metric the package ships: provider, methods (default first), fields, judge and service needs."""
    return [info for infos in _registry().values() for info in infos]


def metric_names() -> list[str]:
    return list(_registry())


def parse_metric_name(text: str) -> tuple[str, str | None, bool]:
    """(name, method or None, reads the output) of "name[:method][[output]]"."""
    text = text.strip()
    on_output = text.endswith(OUTPUT_SUFFIX)
    if on_output:
        text = text[: -len(OUTPUT_SUFFIX)].strip()
    name, _, method = text.partition(":")
    return name.strip(), (method.strip() or None), on_output


def find_metric_info(name: str, method: str | None = None) -> MetricInfo:
    """The registry entry of a name and optional method, or an UnknownMetricError with suggestions."""
    infos = _registry().get(name)
    if infos is None:
        close = difflib.get_close_matches(name, metric_names(), n=3, cutoff=0.6)
        hint = f" Did you mean: {', '.join(close)}?" if close else ""
        raise UnknownMetricError(f"Unknown metric '{name}'.{hint} ('tessary metrics' lists every metric.)")
    if method is None:
        return infos[0]
    for info in infos:
        if method in info.methods:
            return info
    methods = [m for info in infos for m in info.methods]
    close = difflib.get_close_matches(method, methods, n=3, cutoff=0.5)
    hint = f" Did you mean: {', '.join(close)}?" if close else ""
    raise UnknownMetricError(f"Metric '{name}' has no method '{method}'.{hint} Its methods: {', '.join(methods)}.")


def resolve_metric(entry: str | GenAIMetric) -> GenAIMetric:
    """A metric object for a name such as "faithfulness:llm_as_judge" or "pii[output]"; objects pass through."""
    if isinstance(entry, GenAIMetric):
        return entry
    if not isinstance(entry, str):
        raise TypeError(f"A metric is a metric object or a name, got {type(entry).__name__}.")
    name, method, on_output = parse_metric_name(entry)
    info = find_metric_info(name, method)
    if info.parameters:
        raise UnknownMetricError(
            f"Metric '{name}' needs {', '.join(info.parameters)}: build it in Python, for example "
            f"{info.metric_class.__name__}({info.parameters[0]}=[...])."
        )
    arguments: dict[str, Any] = {}
    if method is not None and method != info.metric_class.model_fields["method"].default:
        arguments["method"] = method
    if on_output:
        if not info.reads_one_text:
            raise UnknownMetricError(f"Metric '{name}' does not read one text, so it has no '{OUTPUT_SUFFIX}' form.")
        arguments["applies_to"] = "output"
    return info.metric_class(**arguments)


def resolve_metrics(entries: Any) -> list[GenAIMetric]:
    """Metric objects for a list of names and objects (one name or object alone is accepted too)."""
    if isinstance(entries, (str, GenAIMetric)):
        entries = [entries]
    if entries is None:
        return []
    return [resolve_metric(entry) for entry in entries]


def info_of(metric: Any) -> MetricInfo | None:
    """The registry entry of a metric object's class and method, when the package ships it."""
    for info in _registry().get(getattr(metric, "name", None), ()):
        if isinstance(metric, info.metric_class):
            return info
    return None


def fields_needed(metric: Any) -> tuple[str, ...]:
    """The roles a metric object reads; an output-reading detector reads the output instead of the input."""
    info = info_of(metric)
    if info is None:
        return ()
    if getattr(metric, "applies_to", "input") == "output":
        return tuple("output" if role == "input" else role for role in info.fields)
    return info.fields
