"""The HTML report: one self-contained file with the run, every metric, its chart and every record."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from datetime import datetime, timezone
from functools import cache
from typing import TYPE_CHECKING, Any

import pandas as pd
from jinja2 import Environment, PackageLoader, select_autoescape
from markupsafe import Markup, escape

from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessary.entities.metric_threshold import MetricThreshold
from tessary.report.tables import errors_text, is_number, keyed_metrics, record_key

if TYPE_CHECKING:
    from tessary.entities.evaluation_result import MetricsEvaluationResult

# Records with evidences listed per metric; the record table always holds every record.
EVIDENCE_RECORDS_SHOWN = 1000
_RUN_INFO_LABELS = {
    "data_file": "Data file",
    "records": "Records",
    "metrics": "Metrics",
    "judge": "Judge",
    "seconds": "Time taken",
    "services": "Services used",
}
_SECRET_MARKERS = ("key", "token", "password", "secret")


@dataclass
class Cell:
    text: str
    sort: str  # number as text, or "" to sort last
    css: str = ""
    error: str | None = None


@dataclass
class MetricView:
    key: str
    aggregate: AggregateMetricResult
    value: str
    verdict: str  # "pass", "fail", "error" or "none" (no thresholds)
    thresholds: list[tuple[str, str]]
    errored: int
    chart_id: str | None
    figure: dict[str, Any] | None = None


@dataclass
class EvidenceView:
    key: str
    total: int
    items: list[tuple[str, Markup]] = field(default_factory=list)


def render_report(
    result: MetricsEvaluationResult,
    data: pd.DataFrame | None = None,
    configuration: Any = None,
    title: str | None = None,
) -> str:
    """Return the report's HTML text."""
    keyed = keyed_metrics(result)
    metrics = [_metric_view(index, key, aggregate) for index, (key, aggregate) in enumerate(keyed.items())]
    record_ids, rows = _record_rows(keyed)
    texts = _RecordTexts(data, configuration)
    return _template("report.html.j2").render(
        title=title or "Evaluation report",
        generated=datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        run_rows=_run_rows(result.run_info, keyed, len(record_ids)),
        metrics=metrics,
        figures_json=Markup(_script_json([m.figure for m in metrics if m.figure is not None])),
        record_ids=record_ids,
        rows=rows,
        evidences=[view for key, a in keyed.items() if (view := _evidence_view(key, a, texts))],
        plotly_js=Markup(_plotly_js()),
        styles=Markup(_asset("report.css")),
        script=Markup(_asset("report.js")),
    )


def format_value(value: Any) -> str:
    if value is None:
        return "–"
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "∞" if value > 0 else "−∞"
        return f"{value:.4f}".rstrip("0").rstrip(".") if value != int(value) else f"{value:.1f}"
    return str(value)


def threshold_text(threshold: MetricThreshold) -> str:
    sign = "≥" if threshold.type == "lower_limit" else "≤"
    return f"{sign} {format_value(threshold.value)}"


@cache
def _environment() -> Environment:
    environment = Environment(
        loader=PackageLoader("tessary.report", "templates"),
        autoescape=select_autoescape(["html", "j2"]),
        trim_blocks=True,
        lstrip_blocks=True,
    )
    environment.filters["fmt"] = format_value
    environment.filters["flagged"] = lambda row: any(c is not None and c.css for c in row)
    return environment


def _template(name: str):
    return _environment().get_template(name)


@cache
def _asset(name: str) -> str:
    return _environment().loader.get_source(_environment(), name)[0]


@cache
def _plotly_js() -> str:
    from plotly.offline import get_plotlyjs

    return get_plotlyjs()


def _script_json(data: Any) -> str:
    # Inside <script>, "</" would end the element early.
    return json.dumps(data, ensure_ascii=False, allow_nan=False).replace("</", "<\\/")


def _run_rows(
    run_info: dict[str, Any] | None, keyed: dict[str, AggregateMetricResult], record_count: int
) -> list[tuple[str, str]]:
    info = dict(run_info or {})
    info.setdefault("records", record_count)
    info.setdefault("metrics", list(keyed))
    ordered = [key for key in _RUN_INFO_LABELS if key in info] + [
        key for key in info if key not in _RUN_INFO_LABELS
    ]
    rows = []
    for key in ordered:
        if any(marker in key.lower() for marker in _SECRET_MARKERS):
            continue
        label = _RUN_INFO_LABELS.get(key, key.replace("_", " ").capitalize())
        rows.append((label, _run_value(key, info[key])))
    return rows


def _run_value(key: str, value: Any) -> str:
    if key == "seconds" and is_number(value):
        return f"{value:.1f} s"
    if isinstance(value, (list, tuple)):
        return ", ".join(str(item) for item in value) or "none"
    if isinstance(value, dict):
        return ", ".join(f"{k}: {v}" for k, v in value.items()) or "none"
    return "–" if value is None else str(value)


def _metric_view(index: int, key: str, aggregate: AggregateMetricResult) -> MetricView:
    thresholds = [
        (threshold_text(t), _verdict(aggregate.value, [t])) for t in aggregate.thresholds
    ]
    values = [
        float(r.value)
        for r in aggregate.record_level_metrics
        if is_number(r.value) and math.isfinite(r.value)
    ]
    chart_id = f"chart-{index}" if values else None
    return MetricView(
        key=key,
        aggregate=aggregate,
        value=format_value(aggregate.value),
        verdict=_verdict(aggregate.value, aggregate.thresholds),
        thresholds=thresholds,
        errored=sum(1 for r in aggregate.record_level_metrics if r.errors),
        chart_id=chart_id,
        figure=_figure(chart_id, key, values, aggregate.thresholds) if chart_id else None,
    )


def _verdict(value: Any, thresholds: list[MetricThreshold]) -> str:
    if not thresholds:
        return "none"
    if not is_number(value):
        return "error"
    return "fail" if any(t.is_violated_by(value) for t in thresholds) else "pass"


def _figure(
    chart_id: str, key: str, values: list[float], thresholds: list[MetricThreshold]
) -> dict[str, Any]:
    shapes, annotations = [], []
    for threshold in thresholds:
        if not math.isfinite(threshold.value):
            continue
        shapes.append({
            "type": "line", "xref": "x", "yref": "paper", "x0": threshold.value,
            "x1": threshold.value, "y0": 0, "y1": 1,
            "line": {"color": "#c0392b", "width": 2, "dash": "dash"},
        })
        annotations.append({
            "x": threshold.value, "xref": "x", "y": 1, "yref": "paper", "yanchor": "bottom",
            "showarrow": False, "text": threshold_text(threshold), "font": {"color": "#c0392b"},
        })
    return {
        "id": chart_id,
        "data": [{"type": "histogram", "x": values, "name": key, "nbinsx": 30,
                  "marker": {"color": "#4c78a8"}}],
        "layout": {
            "height": 220, "margin": {"l": 45, "r": 15, "t": 25, "b": 35}, "bargap": 0.05,
            "showlegend": False, "shapes": shapes, "annotations": annotations,
            "xaxis": {"title": {"text": "record value"}}, "yaxis": {"title": {"text": "records"}},
        },
    }


def _record_rows(keyed: dict[str, AggregateMetricResult]) -> tuple[list[str], list[list[Cell | None]]]:
    """Every record once (in order of first appearance), with one cell per metric."""
    by_record: dict[str, dict[int, RecordMetricResult]] = {}
    labels: dict[str, str] = {}
    thresholds = []
    for column, aggregate in enumerate(keyed.values()):
        thresholds.append(aggregate.thresholds)
        for position, record in enumerate(aggregate.record_level_metrics):
            row_key = record_key(record, position)
            labels.setdefault(row_key, row_key if record.record_id is not None else f"(row {position})")
            by_record.setdefault(row_key, {})[column] = record
    rows = []
    for row_key, records in by_record.items():
        rows.append([
            _cell(records.get(column), thresholds[column]) for column in range(len(thresholds))
        ])
    return [labels[key] for key in by_record], rows


def _cell(record: RecordMetricResult | None, thresholds: list[MetricThreshold]) -> Cell | None:
    if record is None:
        return None
    value = record.value
    number = is_number(value)
    if record.errors:
        css = "err"
    elif number and any(t.is_violated_by(value) for t in (record.thresholds or thresholds)):
        css = "fail"
    else:
        css = ""
    sort = repr(float(value)) if number and math.isfinite(value) else ""
    text = "error" if record.errors and value is None else format_value(value)
    return Cell(text=text, sort=sort, css=css, error=errors_text(record))


class _RecordTexts:
    """The records' own text, for placing detector spans in it."""

    def __init__(self, data: pd.DataFrame | None, configuration: Any) -> None:
        self._rows: dict[str, dict[str, Any]] = {}
        self._columns: list[str] = []
        self._input = self._first(configuration, "input_fields")
        self._output = self._first(configuration, "output_fields")
        if data is None:
            return
        if not isinstance(data, pd.DataFrame):
            raise TypeError(f"data must be a pandas DataFrame, got {type(data).__name__}")
        id_field = getattr(configuration, "record_id_field", None) or "record_id"
        records = data.to_dict(orient="records")
        if id_field in data.columns:
            self._rows = {str(row[id_field]): row for row in records}
        self._rows.update({f"#{position}": row for position, row in enumerate(records)})
        self._columns = list(data.columns)

    @staticmethod
    def _first(configuration: Any, name: str) -> str | None:
        fields = getattr(configuration, name, None)
        return fields[0] if isinstance(fields, list) and fields else None

    def text_for(self, row_key: str, metric_key: str, spans: list[dict[str, Any]]) -> str | None:
        row = self._rows.get(row_key)
        if row is None:
            return None
        preferred = self._output if "[output]" in metric_key else self._input
        candidates = [preferred] if preferred in row else self._columns
        for column in candidates:
            text = row.get(column)
            if isinstance(text, str) and all(_span_fits(text, span) for span in spans):
                return text
        return None


def _span_fits(text: str, span: dict[str, Any]) -> bool:
    start, end = span.get("start"), span.get("end")
    if not (isinstance(start, int) and isinstance(end, int) and 0 <= start <= end <= len(text)):
        return False
    return span.get("text") is None or text[start:end] == span["text"]


def _evidence_view(key: str, aggregate: AggregateMetricResult, texts: _RecordTexts) -> EvidenceView | None:
    records = [
        (position, r) for position, r in enumerate(aggregate.record_level_metrics) if r.evidences
    ]
    if not records:
        return None
    records.sort(key=lambda item: -item[1].value if is_number(item[1].value) else math.inf)
    view = EvidenceView(key=key, total=len(records))
    for position, record in records[:EVIDENCE_RECORDS_SHOWN]:
        row_key = record_key(record, position)
        view.items.append((row_key, _evidence_html(record.evidences, texts, row_key, key)))
    return view


def _evidence_html(evidences: list[Any], texts: _RecordTexts, row_key: str, metric_key: str) -> Markup:
    spans = [e for e in evidences if isinstance(e, dict) and "start" in e and "end" in e]
    others = [e for e in evidences if not (isinstance(e, dict) and "start" in e and "end" in e)]
    parts: list[Markup] = []
    if spans:
        text = texts.text_for(row_key, metric_key, spans)
        if text is not None:
            parts.append(Markup('<p class="text">{}</p>').format(highlight(text, spans)))
        else:
            marks = Markup(" ").join(_mark(str(s.get("text", "")), s) for s in spans)
            parts.append(Markup('<p class="text spans">{}</p>').format(marks))
    for evidence in others:
        shown = evidence if isinstance(evidence, str) else json.dumps(evidence, ensure_ascii=False, default=str)
        parts.append(Markup("<blockquote>{}</blockquote>").format(shown))
    return Markup("").join(parts)


def highlight(text: str, spans: list[dict[str, Any]]) -> Markup:
    """`text` escaped, each span wrapped in <mark>; overlapping spans are merged into the first."""
    pieces: list[Markup] = []
    cursor = 0
    for span in sorted(spans, key=lambda s: (s["start"], -s["end"])):
        start, end = max(span["start"], cursor), span["end"]
        if end <= start:
            continue
        pieces.append(escape(text[cursor:start]))
        pieces.append(_mark(text[start:end], span))
        cursor = end
    pieces.append(escape(text[cursor:]))
    return Markup("").join(pieces)


def _mark(text: str, span: dict[str, Any]) -> Markup:
    score = span.get("score")
    tip = f"score {format_value(score)}" if is_number(score) else ""
    label = span.get("entity_type") or span.get("label")
    if label:
        tip = f"{label} {tip}".strip()
    return Markup('<mark title="{}">{}</mark>').format(tip, text)


def render_comparison(comparison: Any, old_name: str, new_name: str) -> str:
    """Return the HTML text of a comparison of two runs."""
    return _template("compare.html.j2").render(
        title="Comparison of two evaluations",
        comparison=comparison,
        old_name=old_name,
        new_name=new_name,
        styles=Markup(_asset("report.css")),
    )
