"""Evaluation on Ray Data: one `BlockEvaluator` actor per worker, blocks streamed in table order."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import Any

import pandas as pd

from tessary.distributed import _run
from tessary.distributed._block import DEFAULT_MAX_IN_FLIGHT, BlockEvaluator
from tessary.distributed._merge import ResultMerger
from tessary.distributed._prepare import RecordFill
from tessary.entities.evaluation_result import MetricsEvaluationResult


def _ray() -> Any:
    try:
        import ray
        import ray.data  # noqa: F401
    except ImportError as error:
        raise ImportError('evaluate_ray needs Ray Data: pip install "tessary[ray]".') from error
    return ray


def _read(ray: Any, source: str) -> Any:
    """A dataset from a Parquet file or directory, a CSV file or a JSON Lines file."""
    lowered = source.lower()
    if lowered.endswith(".csv"):
        return ray.data.read_csv(source)
    if lowered.endswith((".jsonl", ".json", ".ndjson")):
        return ray.data.read_json(source)
    return ray.data.read_parquet(source)


def _as_dataset(ray: Any, dataset: Any, configuration: Any) -> tuple[Any, RecordFill | None]:
    """The dataset, and for a pandas table the fill done in place (as an in-process run does)."""
    if isinstance(dataset, pd.DataFrame):
        return ray.data.from_pandas(dataset), _run.fill_for_pandas(configuration, dataset)
    if isinstance(dataset, (str, os.PathLike)):
        return _read(ray, os.fspath(dataset)), None
    if isinstance(dataset, ray.data.Dataset):
        return dataset, None
    raise TypeError(
        "dataset must be a Ray Dataset, a pandas DataFrame or the path of a Parquet, CSV or JSON Lines "
        f"file, got {type(dataset).__name__}."
    )


def _fill(dataset: Any, configuration: Any) -> RecordFill:
    """Decide the identifier and timestamp filling over the whole dataset (one counting pass)."""
    columns = list(dataset.schema().names)
    wanted = [c for c in {configuration.record_id_field, configuration.record_timestamp_field} if c in columns]
    rows = dataset.count()
    counts: dict[str, int] = {}
    if wanted and rows:

        def non_null(batch: pd.DataFrame) -> pd.DataFrame:
            return pd.DataFrame({column: [int(batch[column].notna().sum())] for column in wanted})

        counted = dataset.select_columns(wanted).map_batches(non_null, batch_format="pandas")
        totals = counted.sum(wanted)
        counts = totals if isinstance(totals, dict) else {wanted[0]: totals}
    return _run.fill_for_table(
        configuration, rows=rows, columns=columns, has_values=lambda column: bool(counts.get(column, 0))
    )


@contextlib.contextmanager
def _ordered(ray: Any) -> Iterator[None]:
    """Blocks come out in the order they went in, so records keep the table's order."""
    options = ray.data.DataContext.get_current().execution_options
    before = options.preserve_order
    options.preserve_order = True
    try:
        yield
    finally:
        options.preserve_order = before


def _workers(ray: Any, concurrency: int | None) -> int:
    if concurrency is not None:
        if isinstance(concurrency, bool) or not isinstance(concurrency, int) or concurrency < 1:
            raise ValueError(f"concurrency must be a whole number of at least 1, got {concurrency!r}.")
        return concurrency
    return max(1, int(ray.cluster_resources().get("CPU", 1)))


def evaluate_ray(
    dataset: Any,
    metrics: list[Any],
    configuration: Any = None,
    *,
    judge: Any = None,
    api_client_factory: Any = None,
    batch_size: int = 10_000,
    concurrency: int | None = None,
    records: str = "keep",
    max_in_flight: int = DEFAULT_MAX_IN_FLIGHT,
) -> MetricsEvaluationResult:
    """Evaluate `metrics` over a Ray Dataset (or a path Ray reads) on the Ray cluster.

    Returns exactly what one in-process run over the whole table returns. Blocks of
    `batch_size` records go to `concurrency` workers (default: one per CPU of the
    cluster), each holding one `BlockEvaluator`. `records`: "keep" (record results
    in the result), "none" (aggregates only) or "parquet:DIR" (record rows written
    by the workers as DIR/part-00000.parquet, ... in table order). `judge` is used
    by the configuration and by every metric without its own. `api_client_factory`
    builds one platform client per worker (a callable, `Credentials` or an
    `APIClient`); without it, workers build one from their environment when a metric
    needs it. `max_in_flight` bounds each worker's detection requests. Connects to
    the cluster of `ray.init()` when one is running, else starts a local one.
    """
    ray = _ray()
    metrics = _run.checked_metrics(metrics)
    configuration = _run.default_configuration(configuration)
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a whole number of at least 1, got {batch_size!r}.")
    mode = _run.records_mode(records)
    if not ray.is_initialized():
        ray.init(include_dashboard=False)
    source, fill = _as_dataset(ray, dataset, configuration)
    fill = fill or _fill(source, configuration)
    evaluator = _run.build_evaluator(
        metrics, configuration, judge=judge, api_client_factory=api_client_factory,
        records=mode, fill=fill, max_in_flight=max_in_flight,
    )
    merger = ResultMerger()
    with _ordered(ray):
        evaluated = source.map_batches(
            _RayBlockEvaluator,
            fn_constructor_args=(evaluator,),
            batch_size=batch_size,
            batch_format="pandas",
            concurrency=_workers(ray, concurrency),
            # Half a CPU per actor leaves room for the read tasks that feed them: with a
            # whole CPU each, one actor per CPU would starve the reads of a Parquet source.
            num_cpus=0.5,
        )
        for batch in evaluated.iter_batches(batch_size=None, batch_format="pandas"):
            merger.update(batch)
    return merger.result()


class _RayBlockEvaluator:
    """The actor class: Ray builds one per worker from the driver's evaluator."""

    def __init__(self, evaluator: BlockEvaluator) -> None:
        self.evaluator = evaluator

    def __call__(self, batch: pd.DataFrame) -> pd.DataFrame:
        return self.evaluator(batch)

    def __del__(self) -> None:
        self.evaluator.close()
