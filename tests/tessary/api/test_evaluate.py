"""The public API end to end on its embedded default."""
import asyncio
import socket
from urllib.parse import urlsplit

import pytest

import tessary
from tessary.api._data import DataError
from tessary.api._services import local_client
from tessary.metrics.detector_metrics import PIIMetric


def refuses_connections(url):
    parts = urlsplit(url.split(" at ")[-1])
    with socket.socket() as probe:
        return probe.connect_ex((parts.hostname, parts.port)) != 0


@pytest.mark.parametrize("metrics, started", [
    (["answer_correctness:token_recall"], set()),
    (["hap"], {"detection"}),
    (["faithfulness:llm_as_judge"], {"judge"}),
    (["pii", "faithfulness:llm_as_judge"], {"detection", "judge"}),
])
def test_embedded_default_starts_only_what_is_needed_and_stops_it(records, metrics, started):
    result = tessary.evaluate(records, metrics)
    services = result.run_info["services"]
    assert set(services) == started
    assert all(text.startswith("embedded") and refuses_connections(text) for text in services.values())
    assert all(metric.measured_records == 2 for metric in result.metrics_result)


def test_configured_service_wins(records, counting_server):
    result = tessary.evaluate(records, ["hap"], api_client=local_client(counting_server.url))
    assert result.run_info["services"]["detection"].startswith("configured")
    assert len(counting_server.paths("/ml/v1/text/detection")) == 2


@pytest.mark.parametrize("awaitable", [False, True], ids=["blocking", "awaitable"])
def test_output_detectors_are_told_apart(records, awaitable):
    metrics = [PIIMetric(), "pii[output]", "hap", "hap[output]"]
    if awaitable:
        result = asyncio.run(tessary.evaluate_async(records, metrics, max_concurrency=2))
    else:
        result = tessary.evaluate(records, metrics)
    values = {metric.name: [record.value for record in metric.record_level_metrics] for metric in result.metrics_result}
    assert values["pii"] == [0.0, 0.0] and values["hap"] == [0.0, 0.0]
    assert values["pii[output]"][1] > 0 and values["hap[output]"][1] > 0 == values["hap[output]"][0]
    assert {record.name for record in result.to_df().itertuples()} == set(values)


def test_metric_groups_as_text(records):
    result = tessary.MetricsEvaluator().evaluate(records, [], metric_groups=["content_safety"])
    assert {"hap", "pii"} <= {metric.name for metric in result.metrics_result}
    with pytest.raises(DataError, match="Unknown metric group 'safety'; the groups are: retrieval_quality"):
        tessary.evaluate(records, [], metric_groups="safety")


def test_missing_column_is_named(records):
    for record in records:
        del record["contexts"]
    with pytest.raises(DataError, match=r"Metric 'faithfulness' needs a context column \(contexts, retrieval_context"):
        tessary.evaluate(records, ["hap", "faithfulness"])


def test_progress_reports_on_stderr_without_changing_results(records, capsys, monkeypatch):
    from tessary.api._progress import ProgressDisplay

    ticks = []
    record_done = ProgressDisplay.record_done
    monkeypatch.setattr(ProgressDisplay, "record_done", lambda self, metric: (ticks.append(metric.name), record_done(self, metric)))
    shown = tessary.evaluate(records, ["answer_correctness:token_recall", "hap"], progress=True)
    assert "answer_correctness" in capsys.readouterr().err
    assert ticks == ["hap", "hap"]  # detector metrics report record by record
    quiet = tessary.evaluate(records, ["answer_correctness:token_recall", "hap"])
    assert capsys.readouterr().err == ""
    assert shown.summary_df()["value"].tolist() == quiet.summary_df()["value"].tolist()
