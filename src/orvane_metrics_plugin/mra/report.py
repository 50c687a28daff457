"""The PDF risk report.

Layout: a summary page (title, model, overall verdict and one row per risk),
then one page per risk with a table of its benchmarks' metrics (value,
threshold, pass or fail) and a bar chart of the same values with every
threshold marked. The file is written next to its destination and moved into
place, so a failure never leaves a half-written report.
"""

import math
import os
import tempfile
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path

from fpdf import FPDF
from fpdf.fonts import FontFace

from orvane_metrics_plugin.mra.benchmarks import RiskDimension
from orvane_metrics_plugin.mra.thresholds import Threshold, ThresholdResolver, default_threshold

DEFAULT_REPORT_NAME = "fm_risk_report.pdf"
PASS, FAIL, NO_THRESHOLD = "PASS", "FAIL", "NO THRESHOLD"
_STATUS_COLOURS = {PASS: (46, 139, 87), FAIL: (200, 40, 40), NO_THRESHOLD: (150, 150, 150)}
_STATUS_FILLS = {PASS: (220, 242, 226), FAIL: (250, 222, 222), NO_THRESHOLD: (238, 238, 238)}
_HEADER_STYLE = FontFace(emphasis="BOLD", fill_color=(225, 230, 240))
_BAR_HEIGHT = 6.0
_BAR_GAP = 3.0
_LABEL_WIDTH = 70.0


class ReportError(OSError):
    """The report could not be written."""


@dataclass(frozen=True)
class MetricRow:
    """One metric of one benchmark, judged against its threshold."""

    benchmark: str
    metric: str
    value: float
    threshold: Threshold | None

    @property
    def status(self) -> str:
        if self.threshold is None:
            return NO_THRESHOLD
        return PASS if self.threshold.passes(self.value) else FAIL


def write_pdf_report(
    result: Mapping,
    path: str | os.PathLike,
    model_name: str,
    catalogue: Mapping[str, RiskDimension],
    thresholds: object = None,
    sample_counts: Mapping[tuple[str, str], int] | None = None,
) -> str:
    """Write the report of an evaluation result and answer the written path."""
    target = resolve_report_path(path)
    rows = judged_rows(result, catalogue, thresholds)
    pdf = _render(rows, model_name, catalogue, sample_counts or {})
    _write_atomically(bytes(pdf.output()), target)
    return str(target)


def resolve_report_path(path: object) -> Path:
    """The report file: the path itself, or a default name inside a folder."""
    if not isinstance(path, (str, os.PathLike)) or not os.fspath(path):
        raise TypeError(f"The report path must be a non-empty path, got {path!r}")
    target = Path(path).expanduser()
    if target.is_dir():
        target = target / DEFAULT_REPORT_NAME
    if not target.parent.is_dir():
        raise ReportError(f"Cannot write the risk report to {target}: folder {target.parent} does not exist")
    return target


def judged_rows(
    result: Mapping, catalogue: Mapping[str, RiskDimension], thresholds: object
) -> dict[str, list[MetricRow]]:
    """Every metric of the result with its threshold, grouped by risk."""
    _check_result_shape(result)
    directions, defaults = _metric_metadata(catalogue)
    resolver = ThresholdResolver(thresholds, directions)
    return {
        risk: [
            MetricRow(benchmark, metric, float(value), resolver.threshold_for(metric, defaults.get((risk, benchmark, metric))))
            for benchmark, metrics in cards.items()
            for metric, value in metrics.items()
        ]
        for risk, cards in result.items()
    }


def verdict(rows: list[MetricRow]) -> str:
    """FAIL when a metric fails, PASS when some pass, else NO THRESHOLD."""
    statuses = {row.status for row in rows}
    if FAIL in statuses:
        return FAIL
    return PASS if PASS in statuses else NO_THRESHOLD


def _check_result_shape(result: object) -> None:
    if not isinstance(result, Mapping):
        raise ValueError(f"The risk result must be a mapping of risks, got {type(result).__name__}")
    for risk, cards in result.items():
        if not isinstance(cards, Mapping):
            raise ValueError(f"Risk {risk!r} must map benchmarks to metrics, got {type(cards).__name__}")
        for benchmark, metrics in cards.items():
            if not isinstance(metrics, Mapping):
                raise ValueError(f"Benchmark {benchmark!r} of risk {risk!r} must map metric names to values")
            for metric, value in metrics.items():
                if isinstance(value, bool) or not isinstance(value, (int, float)):
                    raise ValueError(f"Metric {risk}/{benchmark}/{metric} is not a number: {value!r}")


def _metric_metadata(catalogue: Mapping[str, RiskDimension]) -> tuple[dict, dict]:
    directions: dict[str, bool] = {}
    defaults: dict[tuple[str, str, str], Threshold | None] = {}
    for dimension in catalogue.values():
        for benchmark in dimension.benchmarks:
            for metric_spec in benchmark.metrics:
                directions.setdefault(metric_spec.name, metric_spec.higher_is_better)
                defaults[(dimension.name, benchmark.name, metric_spec.name)] = default_threshold(
                    metric_spec.higher_is_better, metric_spec.threshold
                )
    return directions, defaults


def _render(
    rows: dict[str, list[MetricRow]],
    model_name: str,
    catalogue: Mapping[str, RiskDimension],
    sample_counts: Mapping[tuple[str, str], int],
) -> FPDF:
    pdf = FPDF(orientation="P", unit="mm", format="A4")
    pdf.set_auto_page_break(auto=True, margin=15)
    pdf.set_title(_latin1(f"Foundation Model Risk Report: {model_name}"))
    pdf.set_creator("orvane_metrics_plugin")
    _summary_page(pdf, rows, model_name, catalogue)
    for risk, risk_rows in rows.items():
        _risk_page(pdf, risk, risk_rows, catalogue.get(risk), sample_counts)
    return pdf


def _summary_page(pdf: FPDF, rows: dict, model_name: str, catalogue: Mapping[str, RiskDimension]) -> None:
    pdf.add_page()
    pdf.set_font("Helvetica", "B", 20)
    _line(pdf, "Foundation Model Risk Report", height=12)
    pdf.set_font("Helvetica", "", 11)
    _line(pdf, f"Model: {model_name}")
    _line(pdf, f"Generated: {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC")
    all_rows = [row for risk_rows in rows.values() for row in risk_rows]
    passed = sum(row.status == PASS for row in all_rows)
    judged = sum(row.status != NO_THRESHOLD for row in all_rows)
    pdf.set_font("Helvetica", "B", 12)
    _line(pdf, f"Overall: {verdict(all_rows)} ({passed} of {judged} metrics within their thresholds)")
    pdf.ln(4)
    pdf.set_font("Helvetica", "", 10)
    if not rows:
        _line(pdf, "The evaluation produced no risk results.")
        return
    with pdf.table(col_widths=(70, 30, 45, 35), text_align=("LEFT", "CENTER", "CENTER", "CENTER"),
                   headings_style=_HEADER_STYLE) as table:
        _table_row(table, ("Risk", "Benchmarks", "Metrics passed", "Verdict"))
        for risk, risk_rows in rows.items():
            dimension = catalogue.get(risk)
            title = f"{dimension.title} ({risk})" if dimension else risk
            benchmarks = len({row.benchmark for row in risk_rows})
            risk_passed = sum(row.status == PASS for row in risk_rows)
            risk_verdict = verdict(risk_rows)
            _table_row(table, (title, str(benchmarks), f"{risk_passed} / {len(risk_rows)}", risk_verdict),
                       status=risk_verdict)


def _risk_page(pdf: FPDF, risk: str, rows: list[MetricRow], dimension: RiskDimension | None,
               sample_counts: Mapping[tuple[str, str], int]) -> None:
    pdf.add_page()
    pdf.set_font("Helvetica", "B", 16)
    _line(pdf, f"Risk: {dimension.title if dimension else risk} ({risk})", height=10)
    pdf.set_font("Helvetica", "", 10)
    if dimension and dimension.description:
        pdf.multi_cell(0, 5, _latin1(dimension.description), new_x="LMARGIN", new_y="NEXT")
    pdf.set_font("Helvetica", "B", 11)
    _line(pdf, f"Verdict: {verdict(rows)}")
    pdf.ln(2)
    if not rows:
        pdf.set_font("Helvetica", "", 10)
        _line(pdf, "No metric values for this risk.")
        return
    _metric_table(pdf, rows, risk, sample_counts)
    pdf.ln(6)
    _bar_chart(pdf, rows)


def _metric_table(pdf: FPDF, rows: list[MetricRow], risk: str, sample_counts: Mapping) -> None:
    pdf.set_font("Helvetica", "", 9)
    with pdf.table(col_widths=(58, 42, 16, 20, 22, 22),
                   text_align=("LEFT", "LEFT", "RIGHT", "RIGHT", "CENTER", "CENTER"),
                   headings_style=_HEADER_STYLE) as table:
        _table_row(table, ("Benchmark", "Metric", "Prompts", "Value", "Threshold", "Result"))
        for row in rows:
            prompts = sample_counts.get((risk, row.benchmark))
            cells = (row.benchmark, row.metric, "" if prompts is None else str(prompts), _number(row.value),
                     row.threshold.label if row.threshold else "-", row.status)
            _table_row(table, cells, status=row.status)


def _bar_chart(pdf: FPDF, rows: list[MetricRow]) -> None:
    """Horizontal bars, one per metric, with each threshold as a vertical mark."""
    height = len(rows) * (_BAR_HEIGHT + _BAR_GAP) + 22
    if pdf.get_y() + height > pdf.h - pdf.b_margin:
        pdf.add_page()
    pdf.set_font("Helvetica", "B", 11)
    _line(pdf, "Metric values (dark mark: threshold)")
    left = pdf.l_margin + _LABEL_WIDTH
    width = pdf.w - pdf.r_margin - left - 15
    scale = max([1.0] + [row.value for row in rows if math.isfinite(row.value)]
                + [row.threshold.value for row in rows if row.threshold])
    top = pdf.get_y() + 2
    pdf.set_font("Helvetica", "", 8)
    for index, row in enumerate(rows):
        y = top + index * (_BAR_HEIGHT + _BAR_GAP)
        _bar(pdf, row, left, y, width, scale)
    _axis(pdf, left, top + len(rows) * (_BAR_HEIGHT + _BAR_GAP), width, scale)


def _bar(pdf: FPDF, row: MetricRow, left: float, y: float, width: float, scale: float) -> None:
    pdf.set_text_color(0, 0, 0)
    pdf.set_xy(pdf.l_margin, y)
    pdf.cell(_LABEL_WIDTH - 2, _BAR_HEIGHT, _latin1(f"{row.benchmark} / {row.metric}")[:52], align="R")
    pdf.set_fill_color(240, 240, 240)
    pdf.rect(left, y, width, _BAR_HEIGHT, style="F")
    value = row.value if math.isfinite(row.value) else 0.0
    pdf.set_fill_color(*_STATUS_COLOURS[row.status])
    if value > 0:
        pdf.rect(left, y, width * value / scale, _BAR_HEIGHT, style="F")
    pdf.set_xy(left + width + 1, y)
    pdf.cell(14, _BAR_HEIGHT, _number(row.value))
    if row.threshold:
        x = left + width * max(0.0, row.threshold.value) / scale
        pdf.set_draw_color(20, 20, 20)
        pdf.set_line_width(0.8)
        pdf.line(x, y - 1, x, y + _BAR_HEIGHT + 1)
        pdf.set_line_width(0.2)


def _axis(pdf: FPDF, left: float, y: float, width: float, scale: float) -> None:
    pdf.set_draw_color(90, 90, 90)
    pdf.line(left, y, left + width, y)
    for step in range(5):
        x = left + width * step / 4
        pdf.line(x, y, x, y + 1.5)
        pdf.set_xy(x - 6, y + 1.5)
        pdf.cell(12, 4, f"{scale * step / 4:g}", align="C")
    pdf.set_xy(pdf.l_margin, y + 7)


def _table_row(table, cells: tuple[str, ...], status: str | None = None) -> None:
    row = table.row()
    for index, text in enumerate(cells):
        is_status_cell = status is not None and index == len(cells) - 1
        style = FontFace(emphasis="BOLD", fill_color=_STATUS_FILLS[status]) if is_status_cell else None
        row.cell(_latin1(text), style=style)


def _line(pdf: FPDF, text: str, height: float = 7) -> None:
    pdf.cell(0, height, _latin1(text), new_x="LMARGIN", new_y="NEXT")


def _number(value: float) -> str:
    return f"{value:.4f}" if math.isfinite(value) else str(value)


def _latin1(text: str) -> str:
    """The built-in PDF fonts cover Latin-1 only."""
    return str(text).encode("latin-1", "replace").decode("latin-1")


def _write_atomically(data: bytes, target: Path) -> None:
    try:
        handle = tempfile.NamedTemporaryFile(dir=target.parent, prefix=".report-", suffix=".pdf", delete=False)
    except OSError as error:
        raise ReportError(f"Cannot write the risk report to {target}: {error.strerror or error}") from error
    try:
        with handle:
            handle.write(data)
        os.chmod(handle.name, 0o644)
        os.replace(handle.name, target)
    except OSError as error:
        Path(handle.name).unlink(missing_ok=True)
        raise ReportError(f"Cannot write the risk report to {target}: {error.strerror or error}") from error
