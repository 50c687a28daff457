import json

import pytest

from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import MetricsEvaluationResult
from tessary.report.commands import compare_command, report_command
from tessary.report.compare import compare_results

from report_builders import aggregate


def run(*aggregates):
    return MetricsEvaluationResult(metrics_result=list(aggregates))


@pytest.mark.parametrize(
    ("options", "old", "new", "worse", "got_worse"),
    [
        ({}, [0.5, 0.5, 0.5], [0.4, 0.6, 0.5], ["r0"], True),  # higher is better by default
        ({"limit": ("upper_limit", 0.2)}, [0.5, 0.5, 0.5], [0.4, 0.6, 0.5], ["r1"], True),
        ({"group": MetricGroup.CONTENT_SAFETY}, [0.1, 0.1, 0.1], [0.1, 0.1, 0.0], [], False),
        ({}, [0.5, 0.5, 0.5], [0.9, "err", 0.1], ["r1", "r2"], True),  # errored first, then by size
        ({}, [0.3, 0.3, 0.3], [0.3, 0.3, 0.3 + 1e-12], [], False),
    ],
    ids=["higher-better", "upper-limit", "safety-improved", "errored-first", "noise"],
)
def test_records_that_got_worse(options, old, new, worse, got_worse):
    comparison = compare_results(run(aggregate("m", old, **options)), run(aggregate("m", new, **options)))

    (metric,) = comparison.metrics
    assert [r.record_id for r in metric.worse] == worse
    assert metric.got_worse is got_worse
    assert metric.compared_records == 3


def test_metrics_in_one_run_only_and_missing_records():
    old = run(aggregate("a", [0.5, 0.5]), aggregate("gone", [1.0]))
    new = run(aggregate("a", [0.5], ids=["r0"]), aggregate("pii[output]", [0.0]))

    metrics = {m.key: m for m in compare_results(old, new).metrics}

    assert (metrics["gone"].status, metrics["pii[output]"].status) == ("removed", "added")
    assert (metrics["a"].missing_records, metrics["a"].compared_records) == (1, 1)


@pytest.fixture
def saved_runs(tmp_path):
    old, new = tmp_path / "old.json", tmp_path / "new.json"
    run(aggregate("faithfulness", [0.9, 0.8], limit=("lower_limit", 0.7))).to_json(old)
    run(aggregate("faithfulness", [0.9, "err"], limit=("lower_limit", 0.7))).to_json(new)
    return old, new


@pytest.mark.parametrize("suffix", ["html", "json", "txt"])
def test_compare_command_prints_and_writes_the_worse_records(saved_runs, tmp_path, suffix):
    printed = []
    output = tmp_path / f"comparison.{suffix}"

    comparison = compare_command(*saved_runs, output, echo=printed.append)

    assert comparison.any_worse
    assert "faithfulness: 0.85 -> 0.9" in printed[0] and "r1  0.8 -> error (REQUEST_FAILED" in printed[0]
    written = output.read_text(encoding="utf-8")
    if suffix == "json":
        (metric,) = json.loads(written)["metrics"]
        assert metric["worse"][0]["record_id"] == "r1" and metric["got_worse"]
    else:
        message = "refused &lt;1&gt;" if suffix == "html" else "r1  0.8 -> error (REQUEST_FAILED: refused <1>)"
        assert message in written


def test_report_command_writes_beside_the_results(saved_runs):
    path = report_command(saved_runs[0])

    assert path == saved_runs[0].with_name("report.html")
    assert "faithfulness" in path.read_text(encoding="utf-8")
