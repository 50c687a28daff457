"""Both engines against the in-process run: exact results, records modes, identifiers filled once."""
import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from distributed_support import (
    METRIC_SETS,
    DETECTOR_ROWS,
    ROWS,
    TimestampedMetric,
    in_process,
    make_records,
    network_is_isolated,
    run_in_network_namespace,
)


@pytest.fixture(scope="session")
def whole_table_run(configuration, client_factory):
    """The in-process result over ROWS records per metric set, computed once for both engines."""
    results = {}

    def run(metric_set):
        if metric_set not in results:
            results[metric_set] = in_process(configuration, make_records(rows_of(metric_set)),
                                             METRIC_SETS[metric_set](), client_factory)
        return results[metric_set]

    return run


def rows_of(metric_set):
    """Detector metrics send a request per record to the local service: fewer keep the suite quick."""
    return DETECTOR_ROWS if metric_set == "detector" else ROWS


@pytest.mark.parametrize("metric_set", sorted(METRIC_SETS))
def test_engine_result_equals_in_process_run(engine, configuration, client_factory, whole_table_run, metric_set):
    table = make_records(rows_of(metric_set))
    result = engine(table, METRIC_SETS[metric_set](), configuration, api_client_factory=client_factory)
    assert result == whole_table_run(metric_set)
    assert [r.record_id for r in result.metrics_result[0].record_level_metrics] == list(table["record_id"])


@pytest.mark.parametrize("mode", ["none", "parquet"])
def test_records_modes_keep_aggregates_and_write_rows_in_order(engine, configuration, client_factory, mode,
                                                               tmp_path):
    table = make_records(1_200)
    metrics = METRIC_SETS["lexical"]
    expected = in_process(configuration, table, metrics(), client_factory)
    records = "none" if mode == "none" else f"parquet:{tmp_path / 'records'}"
    result = engine(table, metrics(), configuration, records=records)
    stripped = [a.model_copy(update={"record_level_metrics": []}) for a in expected.metrics_result]
    assert result.metrics_result == stripped
    if mode == "parquet":
        written = pd.read_parquet(tmp_path / "records")
        wanted = expected.to_df()
        assert list(written["record_id"]) == list(wanted["record_id"])
        assert list(written["name"]) == list(wanted["name"])
        assert written["value"].tolist() == wanted["value"].astype(float).tolist()


def test_identifiers_and_timestamp_are_filled_once_for_the_whole_table(engine, configuration):
    table = make_records(1_500, with_ids=False)
    result = engine(table, [TimestampedMetric()], configuration)
    records = result.metrics_result[0].record_level_metrics
    assert len({r.record_id for r in records}) == len(table)
    assert len({r.record_timestamp for r in records}) == 1



def test_ray_tests_in_network_namespace():
    """Ray listens on every interface, so its tests run where only loopback exists."""
    if network_is_isolated():
        pytest.skip("already in an isolated network namespace: the Ray tests run here directly")
    if importlib.util.find_spec("ray") is None:
        pytest.skip('ray is not installed: pip install "tessary[ray]"')
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("creating a network namespace needs root and unshare")
    done = run_in_network_namespace(["-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", "ray",
                                     str(Path(__file__).parent)])
    assert done.returncode == 0, done.stdout[-6000:] + done.stderr[-3000:]
    assert " passed" in done.stdout.splitlines()[-1]


def test_command_on_a_local_cluster_prints_the_in_process_figures(engine_name, tmp_path):
    table = make_records(400)
    table.to_csv(tmp_path / "records.csv", index=False)
    command = [sys.executable, "-m", "tessary", "evaluate", str(tmp_path / "records.csv"), "--quiet",
               "-m", "answer_correctness:token_recall", "-m", "pii", "--format", "json"]
    in_this_process = subprocess.run(command, capture_output=True, text=True)
    on_engine = subprocess.run([*command, "--engine", engine_name, "--workers", "2", "--out", str(tmp_path / "out")],
                               capture_output=True, text=True)
    assert on_engine.returncode == in_this_process.returncode == 0, on_engine.stderr[-3000:]
    assert json.loads(on_engine.stdout) == json.loads(in_this_process.stdout)
    written = json.loads((tmp_path / "out" / "results.json").read_text())
    assert written["run_info"]["engine"]["name"] == engine_name
