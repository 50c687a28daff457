import re

import pytest

from tessary.config import GenAIConfiguration
from tessary.report.html import highlight

from report_builders import TEXTS


def test_report_is_self_contained(result):
    html = result.to_html()

    assert not re.search(r"<(script|link|img|iframe)\b[^>]*\b(src|href)=", html)
    assert "@import" not in html
    assert html.count('class="chart"') == 3


@pytest.mark.parametrize(
    ("with_data", "expected"),
    [
        (True, 'Call 555-0100, you <mark title="score 0.9">idiot</mark>'),
        (True, 'you <mark title="score 0.9">idiot</mark></p>'),  # hap[output] placed in the output column
        (False, '<p class="text spans"><mark title="score 0.9">idiot</mark></p>'),
    ],
)
def test_evidences_are_highlighted_in_the_records_text(result, records_table, with_data, expected):
    configuration = GenAIConfiguration(input_fields=["input_text"], output_fields=["generated_text"])
    data = records_table if with_data else None

    html = result.to_html(data=data, configuration=configuration)

    evidences = html.split('id="evidences"', 1)[1]
    assert expected in evidences
    output_section = evidences.split('data-metric="hap[output]"', 1)[1]
    assert "Call 555" not in output_section


def test_report_marks_cells_and_escapes_text(result):
    result.run_info["judge"] = "<b>judge</b>"

    html = result.to_html()

    assert "<b>judge</b>" not in html and "&lt;b&gt;judge&lt;/b&gt;" in html
    assert '<td class="fail" data-v="0.2">0.2</td>' in html
    assert '<details><summary>error</summary><div class="msg">REQUEST_FAILED: refused &lt;2&gt;</div>' in html
    headings = re.findall(r'<th data-type="num">([^<]*)</th>', html)
    assert headings == ["faithfulness", "hap", "hap[output]"]


@pytest.mark.parametrize(
    ("spans", "expected"),
    [
        ([(0, 2), (5, 7)], "<mark>ab</mark>c&lt;d<mark>e&gt;</mark>"),
        ([(5, 7), (0, 2)], "<mark>ab</mark>c&lt;d<mark>e&gt;</mark>"),
        ([(0, 4), (2, 6)], "<mark>abc&lt;</mark><mark>de</mark>&gt;"),  # overlap starts after the first
        ([(1, 3), (1, 2)], "a<mark>bc</mark>&lt;de&gt;"),  # contained span dropped
    ],
)
def test_highlight_orders_and_clips_spans(spans, expected):
    marked = highlight("abc<de>", [{"start": s, "end": e} for s, e in spans])

    assert re.sub(r' title="[^"]*"', "", str(marked)) == expected
