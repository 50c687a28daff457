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
    """A dataset from a Parquet file or directory, a CSV file or a JSON Lines file.

    A directory gives one block per file: left to itself, Ray joins small files into
    a few blocks, and a block goes to one worker however many wait.
    """
    lowered = source.lower()
    blocks = {"override_num_blocks": _file_count(source)} if os.path.isdir(source) else {}
    if lowered.endswith(".csv"):
        return ray.data.read_csv(source, **blocks)
    if lowered.endswith((".jsonl", ".json", ".ndjson")):
        return ray.data.read_json(source, **blocks)
    with _datasource_v1(ray):
        return ray.data.read_parquet(source, **blocks)


@contextlib.contextmanager
def _datasource_v1(ray: Any) -> Iterator[None]:
    """Ray's first Parquet reader: the second ignores the block count and reads small files as one block."""
    context = ray.data.DataContext.get_current()
    before = getattr(context, "use_datasource_v2", None)
    if before is not None:
        context.use_datasource_v2 = False
    try:
        yield
    finally:
        if before is not None:
            context.use_datasource_v2 = before


def _file_count(directory: str) -> int | None:
    files = sum(1 for entry in os.scandir(directory) if entry.is_file() and not entry.name.startswith((".", "_")))
    return files or None


def _parquet_fill(source: str, configuration: Any) -> RecordFill:
    """The fill of a Parquet source from its footers and its identifier and timestamp columns only.

    Decided on the driver with pyarrow, a batch at a time: a pass on the cluster
    would start a task per block to count a few numbers.
    """
    import pyarrow.dataset as pads

    table = pads.dataset(source, format="parquet")
    columns = list(table.schema.names)
    wanted = [c for c in {configuration.record_id_field, configuration.record_timestamp_field} if c in columns]
    present = {c: any(b.column(0).null_count < len(b) for b in table.to_batches(columns=[c])) for c in wanted}
    return _run.fill_for_table(configuration, rows=table.count_rows(), columns=columns,
                               has_values=lambda column: present.get(column, False))


def _is_parquet(source: str) -> bool:
    return not source.lower().endswith((".csv", ".jsonl", ".json", ".ndjson")) and os.path.exists(source)


def _as_dataset(ray: Any, dataset: Any, configuration: Any) -> tuple[Any, RecordFill | None]:
    """The dataset, and the fill when it is known without the cluster (a pandas table, local Parquet)."""
    if isinstance(dataset, pd.DataFrame):
        return ray.data.from_pandas(dataset), _run.fill_for_pandas(configuration, dataset)
    if isinstance(dataset, (str, os.PathLike)):
        source = os.fspath(dataset)
        return _read(ray, source), _parquet_fill(source, configuration) if _is_parquet(source) else None
    if isinstance(dataset, ray.data.Dataset):
        return dataset, None
    raise TypeError(
        "dataset must be a Ray Dataset, a pandas DataFrame or the path of a Parquet, CSV or JSON Lines "
        f"file, got {type(dataset).__name__}."
    )


def _fill(dataset: Any, configuration: Any) -> RecordFill:
    """Decide the identifier and timestamp filling over the whole dataset (one pass over those columns)."""
    columns = list(dataset.schema().names)
    wanted = [c for c in {configuration.record_id_field, configuration.record_timestamp_field} if c in columns]
    counts: dict[str, int] = {}
    if wanted:

        def non_null(batch: pd.DataFrame) -> pd.DataFrame:
            counted = {column: [int(batch[column].notna().sum())] for column in wanted}
            return pd.DataFrame({"_rows": [len(batch)], **counted})

        # Summed here: a few numbers per block, where Ray's aggregation would shuffle.
        for row in dataset.select_columns(wanted).map_batches(non_null, batch_format="pandas").iter_rows():
            for name, value in row.items():
                counts[name] = counts.get(name, 0) + int(value)
        rows = counts.pop("_rows", 0)
    else:
        rows = dataset.count()
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
    return max(1, int(_cluster_cpus(ray)))


def _cluster_cpus(ray: Any) -> float:
    return float(ray.cluster_resources().get("CPU", 1))


def actor_cpus(cluster_cpus: float, workers: int) -> float:
    """The CPU share each evaluator actor reserves: at most half a CPU, and always one CPU left.

    The read tasks that feed the actors need a whole CPU each; were the actors to
    reserve them all (one worker on one CPU), no read could start and the run would
    wait for ever.
    """
    return max(0.0, min(0.5, (cluster_cpus - 1) / workers))


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
    by the workers as DIR/part-MMM-BBBBB.parquet: metric, then block in table order). `judge` is used
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
    workers = _workers(ray, concurrency)
    with _ordered(ray):
        evaluated = source.map_batches(
            _RayBlockEvaluator,
            fn_constructor_args=(evaluator,),
            batch_size=batch_size,
            batch_format="pandas",
            concurrency=workers,
            num_cpus=actor_cpus(_cluster_cpus(ray), workers),
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
