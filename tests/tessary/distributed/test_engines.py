"""Both engines against the in-process run: exact results, records modes, identifiers filled once."""
import importlib.util
import os
import shutil
from pathlib import Path

import pandas as pd
import pytest

from distributed_support import (
    METRIC_SETS,
    ROWS,
    TimestampedMetric,
    in_process,
    make_records,
    network_is_isolated,
    run_in_network_namespace,
)


@pytest.mark.parametrize("metric_set", sorted(METRIC_SETS))
def test_engine_result_equals_in_process_run(engine, configuration, client_factory, metric_set):
    rows = ROWS if metric_set != "detector" else 600
    table = make_records(rows)
    expected = in_process(configuration, table, METRIC_SETS[metric_set](), client_factory)
    result = engine(table, METRIC_SETS[metric_set](), configuration, api_client_factory=client_factory)
    assert result == expected
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
