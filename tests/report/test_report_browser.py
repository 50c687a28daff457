"""The report as a person sees it: rendered by headless Chromium with no network."""

import shutil
import subprocess
from html.parser import HTMLParser

import pytest

from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import MetricsEvaluationResult

from report_builders import aggregate

RECORDS = 240
VOID_ELEMENTS = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "wbr"}
CHROMIUM = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
# Any fetch would go to a proxy that does not exist, so the page must draw from what it holds.
OFFLINE_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--proxy-server=127.0.0.1:9",
                 "--host-resolver-rules=MAP * ~NOTFOUND", "--virtual-time-budget=15000"]


class RenderedReport(HTMLParser):
    """Bars drawn per chart box, and the first cell of every record-table row."""

    def __init__(self) -> None:
        super().__init__()
        self.bars: dict[str, int] = {}
        self.record_ids: list[str] = []
        self._stack: list[tuple] = []  # tag, chart box, inside a bar trace, inside table rows, id
        self._cell_text: list[str] | None = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        classes = (attrs.get("class") or "").split()
        chart, in_bars, in_rows = self._stack[-1][1:4] if self._stack else (None, False, False)
        if tag == "div" and "chart" in classes:
            chart = attrs["id"]
            self.bars[chart] = 0
        in_bars = in_bars or (tag == "g" and {"trace", "bars"} <= set(classes))
        if tag == "path" and in_bars and chart and attrs.get("d", "").strip("M0,VHZ"):  # not an empty bar
            self.bars[chart] += 1
        in_rows = in_rows or (tag == "tbody" and self._inside_record_table())
        if in_rows and tag == "tr":
            self._cell_text = []
        if tag not in VOID_ELEMENTS:
            self._stack.append((tag, chart, in_bars, in_rows, attrs.get("id")))

    def handle_endtag(self, tag):
        while self._stack:
            open_tag = self._stack.pop()[0]
            if open_tag == "td" and self._cell_text is not None:
                self.record_ids.append("".join(self._cell_text).strip())
                self._cell_text = None
            if open_tag == tag:
                break

    def handle_data(self, data):
        if self._cell_text is not None:
            self._cell_text.append(data)

    def _inside_record_table(self):
        return any(entry[-1] == "record-table" for entry in self._stack)


@pytest.fixture
def big_report(tmp_path):
    values = [round((i * 37 % 100) / 100, 2) for i in range(RECORDS)]
    result = MetricsEvaluationResult(metrics_result=[
        aggregate("faithfulness", values, limit=("lower_limit", 0.7)),
        aggregate("pii[output]", [values[-i] for i in range(RECORDS)], group=MetricGroup.CONTENT_SAFETY,
                  limit=("upper_limit", 0.2)),
        aggregate("answer_similarity", ["err" if i % 9 == 0 else v for i, v in enumerate(values)]),
    ], run_info={"records": RECORDS, "seconds": 2.0})
    path = tmp_path / "report.html"
    result.to_html(path)
    return path


def chromium(*arguments):
    completed = subprocess.run([CHROMIUM, *OFFLINE_FLAGS, *arguments], capture_output=True,
                               text=True, timeout=120, check=False)
    assert completed.returncode == 0, completed.stderr[-2000:]
    return completed.stdout


@pytest.mark.skipif(CHROMIUM is None, reason="no Chromium binary on PATH (Debian: apt-get install chromium)")
def test_report_draws_every_chart_and_lists_every_record(big_report, tmp_path):
    page = RenderedReport()
    page.feed(chromium("--dump-dom", big_report.as_uri()))

    assert sorted(page.bars) == ["chart-0", "chart-1", "chart-2"]
    assert all(bars > 3 for bars in page.bars.values()), page.bars
    assert page.record_ids == [f"r{i}" for i in range(RECORDS)]

    screenshot = tmp_path / "report.png"
    chromium(f"--screenshot={screenshot}", "--window-size=1400,1800", big_report.as_uri())
    assert screenshot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    print(f"report screenshot: {screenshot}")
