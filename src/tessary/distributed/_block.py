"""`BlockEvaluator`: evaluates one block of records on a worker and describes it for the merge.

One evaluator lives per worker (a Ray actor, a Dask worker's scattered copy);
what it builds on first use stays for its life: one platform client from the
factory, the worker copies of the metrics, and per event loop one HTTP session
for the detection service with a bound on requests in flight.
"""

from __future__ import annotations

import asyncio
import atexit
import functools
import threading
import weakref
from collections.abc import Callable
from typing import Any

import pandas as pd

from tessary.distributed._merge import BlockResult, describe
from tessary.distributed._prepare import RecordFill, RecordsMode, client_factory

DEFAULT_MAX_IN_FLIGHT = 32

_capture = threading.local()


# --- detection requests over one session per worker and loop -----------------------------


class SessionPool:
    """One `aiohttp.ClientSession` and one in-flight bound per event loop of this worker."""

    def __init__(self, max_in_flight: int) -> None:
        if isinstance(max_in_flight, bool) or not isinstance(max_in_flight, int) or max_in_flight < 1:
            raise ValueError(f"max_in_flight must be a whole number of at least 1, got {max_in_flight!r}.")
        self.max_in_flight = max_in_flight
        self.sessions_opened = 0
        self._by_loop: dict[asyncio.AbstractEventLoop, tuple[Any, asyncio.Semaphore]] = {}
        self._lock = threading.Lock()

    def session(self) -> tuple[Any, asyncio.Semaphore]:
        """The running loop's session and bound, opened on first use."""
        import aiohttp

        loop = asyncio.get_running_loop()
        with self._lock:
            for stale in [other for other in self._by_loop if other.is_closed()]:
                del self._by_loop[stale]
            entry = self._by_loop.get(loop)
            if entry is None or entry[0].closed:
                connector = aiohttp.TCPConnector(limit=self.max_in_flight)
                entry = (aiohttp.ClientSession(connector=connector), asyncio.Semaphore(self.max_in_flight))
                self._by_loop[loop] = entry
                self.sessions_opened += 1
            return entry

    def close(self) -> None:
        """Close the sessions whose loops are idle (the others close with their loops)."""
        with self._lock:
            entries, self._by_loop = self._by_loop, {}
        for loop, (session, _) in entries.items():
            if not loop.is_closed() and not loop.is_running():
                loop.run_until_complete(session.close())


async def _pooled_compute(provider: Any, pool: SessionPool, api_payloads: list) -> list:
    """The detection requests of one evaluation, over the worker's session, bounded."""
    session, bound = pool.session()

    async def send(payload: Any) -> Any:
        async with bound:
            return await provider.send_with_retries(payload, session)

    return await asyncio.gather(*(send(payload) for payload in api_payloads), return_exceptions=True)


def _pool_detector_requests(provider: Any, pool: SessionPool) -> None:
    provider._DetectorsProvider__compute_metric = functools.partial(_pooled_compute, provider, pool)


def _capture_raw_scores(provider: Any) -> None:
    """Keep the recipe library's unrounded scores beside the aggregate they produce."""
    post_process = provider._TabulonProvider__post_process

    def capturing(result: pd.DataFrame) -> Any:
        aggregate = post_process(result=result)
        captured = getattr(_capture, "scores", None)
        if captured is not None:
            captured[id(aggregate)] = (aggregate, result[provider.metric_name].tolist())
        return aggregate

    provider._TabulonProvider__post_process = capturing


# --- worker copies of the metrics ---------------------------------------------------------


@functools.cache
def _hooked_class(metric_class: type, hook_name: str) -> type:
    """A subclass whose `_provider` hands the new provider to a hook first."""

    def _provider(self: Any, *args: Any, **kwargs: Any) -> Any:
        provider = super(hooked, self)._provider(*args, **kwargs)
        self.__dict__["_worker_hook"](provider)
        return provider

    hooked = type(
        metric_class.__name__,
        (metric_class,),
        {"_provider": _provider, "__module__": metric_class.__module__, "__qualname__": metric_class.__qualname__},
    )
    return hooked


def worker_metric(metric: Any, pool: SessionPool) -> Any:
    """A copy of `metric` whose provider uses the worker's session or reports its raw scores."""
    from tessary.metrics.detector_metrics import DetectorMetric
    from tessary.metrics.judge_metrics import TabulonMetric

    dependencies = getattr(metric, "metric_dependencies", None)
    if isinstance(metric, DetectorMetric):
        hook: Callable[[Any], None] = functools.partial(_pool_detector_requests, pool=pool)
        name = "detectors"
    elif isinstance(metric, TabulonMetric):
        hook, name = _capture_raw_scores, "tabulon"
    else:
        return metric
    if not hasattr(type(metric), "_provider"):
        return metric
    update = {"metric_dependencies": [worker_metric(d, pool) for d in dependencies]} if dependencies else {}
    copy = metric.model_copy(update=update)
    object.__setattr__(copy, "__class__", _hooked_class(type(metric), name))
    copy.__dict__["_worker_hook"] = hook
    return copy


# --- the evaluator ------------------------------------------------------------------------


class _WorkerState:
    def __init__(self, evaluator: BlockEvaluator) -> None:
        self.pool = SessionPool(evaluator.max_in_flight)
        self.api_client = client_factory(evaluator.api_client_factory)()
        self.metrics = [worker_metric(metric, self.pool) for metric in evaluator.metrics]
        _open_pools.add(self.pool)


_open_pools: weakref.WeakSet[SessionPool] = weakref.WeakSet()


@atexit.register
def _close_open_pools() -> None:
    for pool in list(_open_pools):
        try:
            pool.close()
        except Exception:  # noqa: BLE001 - the process is ending; nothing is left to tell
            pass


class BlockEvaluator:
    """Evaluates blocks of records with the package's driver and describes them for `ResultMerger`.

    Usable as a callable class with Ray's `map_batches` (pass the class and the
    constructor keywords) and, as an instance, with Dask's `map_partitions`:
    calling it returns a one-row frame whose "block" column holds the pickled
    `BlockResult`. `evaluate_block` returns the `BlockResult` itself.

    `metrics` and `configuration` should already carry their judges (see
    `tessary.distributed.evaluate_ray`); `api_client_factory` is called once per
    worker; `fill` names the identifier and timestamp columns every block fills;
    `records` is "keep", "none" or "parquet:DIR".
    """

    def __init__(
        self,
        metrics: list[Any],
        configuration: Any = None,
        *,
        api_client_factory: Any = None,
        records: str | RecordsMode = "keep",
        fill: RecordFill | None = None,
        max_in_flight: int = DEFAULT_MAX_IN_FLIGHT,
    ) -> None:
        from tessary.config import GenAIConfiguration

        if not isinstance(metrics, list) or not metrics:
            raise ValueError("metrics must be a non-empty list of metric objects.")
        self.metrics = metrics
        self.configuration = configuration if configuration is not None else GenAIConfiguration()
        client_factory(api_client_factory)  # refuse a wrong kind now, not on a worker
        self.api_client_factory = api_client_factory
        self.records = RecordsMode.parse(records)
        self.fill = fill
        SessionPool(max_in_flight)  # same check, on the driver
        self.max_in_flight = max_in_flight
        self._state: _WorkerState | None = None
        self._state_lock = threading.Lock()

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_state"] = None
        del state["_state_lock"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._state_lock = threading.Lock()

    @property
    def sessions_opened(self) -> int:
        """HTTP sessions this evaluator opened so far (one per worker event loop)."""
        return self._state.pool.sessions_opened if self._state else 0

    def _worker(self) -> _WorkerState:
        if self._state is None:
            with self._state_lock:
                if self._state is None:
                    self._state = _WorkerState(self)
        return self._state

    def __call__(self, block: pd.DataFrame) -> pd.DataFrame:
        return pd.DataFrame({"block": [self.evaluate_block(block).to_bytes()]})

    def evaluate_block(self, block: pd.DataFrame, position: int | None = None) -> BlockResult:
        """Evaluate every metric over `block`; `position` is the block's place in the table."""
        from tessary.evaluators.impl.runsmith import _evaluate_metrics

        worker = self._worker()
        table = self.fill.apply(block, position) if self.fill is not None else block
        _capture.scores = {}
        try:
            result = _evaluate_metrics(
                self.configuration, table, list(worker.metrics), api_client=worker.api_client
            )
            raw = _capture.scores
        finally:
            _capture.scores = None
        keep = self.records.kind == "keep"
        parts = [
            describe(aggregate, raw.get(id(aggregate), (None, None))[1], keep)
            for aggregate in result.metrics_result
        ]
        records_files = []
        if self.records.kind == "parquet":
            from tessary.distributed._records import write_block

            rows = [[r.to_row() for r in aggregate.record_level_metrics] for aggregate in result.metrics_result]
            records_files = write_block(rows, self.records.directory)
        return BlockResult(position=position, rows=len(table), parts=parts, records_files=records_files)

    def close(self) -> None:
        """Close this worker's HTTP sessions."""
        if self._state is not None:
            self._state.pool.close()
