"""The report as a person sees it: rendered by headless Chromium with no network."""

import shutil
import os
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
    """Bars drawn per chart box, and the cells' sort keys of every record-table row."""

    def __init__(self) -> None:
        super().__init__()
        self.bars: dict[str, int] = {}
        self.rows: list[list[str]] = []
        self._stack: list[tuple] = []  # tag, chart box, inside a bar trace, inside table rows, id

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
        in_rows = in_rows or (tag == "tbody" and any(entry[-1] == "record-table" for entry in self._stack))
        if in_rows and tag == "tr":
            self.rows.append([])
        elif in_rows and tag == "td":
            self.rows[-1].append(attrs.get("data-v"))
        if tag not in VOID_ELEMENTS:
            self._stack.append((tag, chart, in_bars, in_rows, attrs.get("id")))

    def handle_endtag(self, tag):
        while self._stack and self._stack.pop()[0] != tag:
            pass


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


def browser_environment():
    # The browser is not ours to check: under the sanitizer build the preloaded runtime would hang it.
    return {name: value for name, value in os.environ.items()
            if name not in ("LD_PRELOAD", "PYTHONMALLOC") and not name.endswith("SAN_OPTIONS")}


def chromium(*arguments):
    completed = subprocess.run([CHROMIUM, *OFFLINE_FLAGS, *arguments], capture_output=True,
                               text=True, timeout=120, check=False, env=browser_environment())
    assert completed.returncode == 0, completed.stderr[-2000:]
    return completed.stdout


@pytest.mark.skipif(CHROMIUM is None, reason="no Chromium binary on PATH (Debian: apt-get install chromium)")
def test_report_draws_every_chart_and_lists_every_record(big_report, tmp_path):
    page = RenderedReport()
    page.feed(chromium("--dump-dom", big_report.as_uri()))

    assert sorted(page.bars) == ["chart-0", "chart-1", "chart-2"]
    assert all(bars > 3 for bars in page.bars.values()), page.bars
    assert [row[0] for row in page.rows] == [f"r{i}" for i in range(RECORDS)]
    assert {len(row) for row in page.rows} == {4}

    screenshot = tmp_path / "report.png"
    chromium(f"--screenshot={screenshot}", "--window-size=1400,1800", big_report.as_uri())
    assert screenshot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    print(f"report screenshot: {screenshot}")


@pytest.mark.skipif(CHROMIUM is None, reason="no Chromium binary on PATH (Debian: apt-get install chromium)")
def test_clicking_a_heading_sorts_the_records(big_report, tmp_path):
    clicked = tmp_path / "clicked.html"
    click = '<script>document.querySelectorAll("#record-table th")[3].click();</script></body>'
    clicked.write_text(big_report.read_text(encoding="utf-8").replace("</body>", click), encoding="utf-8")
    page = RenderedReport()
    page.feed(chromium("--dump-dom", clicked.as_uri()))

    keys = [row[3] for row in page.rows]
    scored = [float(key) for key in keys if key]
    assert scored == sorted(scored) and keys[len(scored):] == [""] * (RECORDS - len(scored))
    assert sorted(row[0] for row in page.rows) == sorted(f"r{i}" for i in range(RECORDS))
