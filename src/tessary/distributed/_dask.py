"""Evaluation on Dask distributed: the evaluator is scattered once to every worker, one task per partition."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

import pandas as pd

from tessary.distributed import _run
from tessary.distributed._block import DEFAULT_MAX_IN_FLIGHT, BlockEvaluator
from tessary.distributed._merge import BlockResult, ResultMerger
from tessary.distributed._prepare import RecordFill
from tessary.entities.evaluation_result import MetricsEvaluationResult

PANDAS_PARTITION_ROWS = 10_000


def _dask() -> tuple[Any, Any, Any]:
    try:
        import dask
        import dask.dataframe as dd
        import distributed
    except ImportError as error:
        raise ImportError('evaluate_dask needs Dask distributed: pip install "tessary[dask]".') from error
    return dask, dd, distributed


@contextlib.contextmanager
def _client(distributed: Any, client: Any) -> Iterator[Any]:
    """The caller's client, or a local cluster on loopback for this call."""
    if client is not None:
        yield client
        return
    cluster = distributed.LocalCluster(processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address=None)
    try:
        with distributed.Client(cluster) as local:
            yield local
    finally:
        cluster.close()


def _fill(dask: Any, frame: Any, configuration: Any) -> RecordFill:
    """Decide the identifier and timestamp filling over the whole frame (one counting pass)."""
    columns = list(frame.columns)
    wanted = [c for c in {configuration.record_id_field, configuration.record_timestamp_field} if c in columns]
    counted = dask.compute(frame.map_partitions(len).sum(), *[frame[c].notnull().any() for c in wanted])
    rows, present = counted[0], dict(zip(wanted, counted[1:]))
    return _run.fill_for_table(
        configuration, rows=int(rows), columns=columns, has_values=lambda column: bool(present.get(column))
    )


def _evaluate_partition(evaluator: BlockEvaluator, partition: pd.DataFrame, position: int) -> BlockResult:
    return evaluator.evaluate_block(partition, position)


def evaluate_dask(
    frame: Any,
    metrics: list[Any],
    configuration: Any = None,
    *,
    client: Any = None,
    judge: Any = None,
    api_client_factory: Any = None,
    records: str = "keep",
    max_in_flight: int = DEFAULT_MAX_IN_FLIGHT,
) -> MetricsEvaluationResult:
    """Evaluate `metrics` over a Dask data frame, one task per partition.

    Returns exactly what one in-process run over the whole table returns. `client`
    is a `distributed.Client` of an existing cluster; without it, a local cluster
    (one single-threaded worker process per core, on loopback) runs for this call.
    A pandas table is cut into partitions of 10,000 records. `records`, `judge`,
    `api_client_factory` and `max_in_flight` work as for `evaluate_ray`.
    """
    dask, dd, distributed = _dask()
    metrics = _run.checked_metrics(metrics)
    configuration = _run.default_configuration(configuration)
    mode = _run.records_mode(records)
    if isinstance(frame, pd.DataFrame):
        fill = _run.fill_for_pandas(configuration, frame)
        frame = dd.from_pandas(frame, chunksize=PANDAS_PARTITION_ROWS, sort=False)
    elif isinstance(frame, dd.DataFrame):
        fill = None
    else:
        raise TypeError(f"frame must be a Dask or pandas DataFrame, got {type(frame).__name__}.")
    with _client(distributed, client) as active:
        fill = fill or _fill(dask, frame, configuration)
        evaluator = _run.build_evaluator(
            metrics, configuration, judge=judge, api_client_factory=api_client_factory,
            records=mode, fill=fill, max_in_flight=max_in_flight,
        )
        shared = active.scatter(evaluator, broadcast=True, hash=False)
        tasks = [
            dask.delayed(_evaluate_partition, pure=False)(shared, partition, position)
            for position, partition in enumerate(frame.to_delayed())
        ]
        futures = active.compute(tasks)
        merger = ResultMerger()
        for _, block in distributed.as_completed(futures, with_results=True):
            merger.update(block)
        return merger.result()
