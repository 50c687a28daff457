"""Progress of an evaluation on standard error: records per metric, errors so far, throughput.

On by default only when standard error is a terminal, and never under pytest.
Metrics are wrapped in `TrackedMetric`, which reports to the display when a
metric starts and when it ends, and detector metrics also as each record's
request ends; the display itself redraws on its own thread.
"""

from __future__ import annotations

import os
import sys
import time
from typing import Any


FLUSH_SECONDS = 0.05


def progress_wanted(progress: bool | None) -> bool:
    """The caller's choice, else on exactly when standard error is a terminal outside tests."""
    if progress is not None:
        return bool(progress)
    if "PYTEST_CURRENT_TEST" in os.environ:
        return False
    stream = sys.stderr
    return bool(stream is not None and hasattr(stream, "isatty") and stream.isatty())


def result_name(metric: Any) -> str:
    return str(getattr(metric, "result_name", None) or getattr(metric, "name", "metric"))


def _errors_of(result: Any) -> int:
    if result is None:
        return 0
    records = getattr(result, "record_level_metrics", None) or []
    failed = sum(1 for record in records if getattr(record, "errors", None))
    if not records and getattr(result, "errors", None):
        return len(result.errors)
    return failed


class ProgressDisplay:
    """A rich progress display: one bar per metric and a total over records × metrics."""

    def __init__(self, metrics: list[Any], records: int) -> None:
        from rich.console import Console
        from rich.markup import escape
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

        self.records = records
        self.errors = 0
        self.started = time.perf_counter()
        self.done_records = 0
        self._reported: dict[int, int] = {}
        # Records done but not yet shown: the bars advance at most every FLUSH_SECONDS (the display
        # redraws four times a second), not once per record, which cost a tenth of a detector run.
        self._unshown: dict[int, int] = {}
        self._shown_at = 0.0
        self._progress = Progress(
            TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
            TextColumn("{task.fields[status]}"), TimeElapsedColumn(),
            console=Console(stderr=True), transient=False, refresh_per_second=4,
        )
        self._total = self._progress.add_task("all metrics", total=records * len(metrics), status="")
        self._tasks: dict[int, Any] = {
            id(metric): self._progress.add_task(escape(result_name(metric)), total=records, status="waiting")
            for metric in metrics
        }

    def __enter__(self) -> ProgressDisplay:
        self._progress.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._show_records()
        self._progress.stop()

    def started_metric(self, metric: Any) -> None:
        self._progress.update(self._tasks[id(metric)], status="running")

    def record_done(self, metric: Any) -> None:
        """One record of `metric` is done (metrics that report record by record)."""
        key = id(metric)
        self._reported[key] = self._reported.get(key, 0) + 1
        self._unshown[key] = self._unshown.get(key, 0) + 1
        now = time.perf_counter()
        if now - self._shown_at >= FLUSH_SECONDS:
            self._shown_at = now
            self._show_records()

    def _show_records(self) -> None:
        """Advances the bars by the records done since they were last advanced."""
        for key in list(self._unshown):
            count = self._unshown.pop(key, 0)
            if count:
                self._progress.advance(self._tasks[key], count)
                self._progress.advance(self._total, count)

    def finished_metric(self, metric: Any, result: Any, failed: bool = False) -> None:
        self._show_records()
        errors = self.records if failed else _errors_of(result)
        self.errors += errors
        self.done_records += self.records
        rate = self.done_records / max(time.perf_counter() - self.started, 1e-9)
        status = "failed" if failed else f"{errors} errors" if errors else "done"
        task = self._tasks[id(metric)]
        reported = min(self._reported.get(id(metric), 0), self.records)
        self._progress.update(task, completed=self.records, status=status)
        self._progress.update(self._total, advance=self.records - reported,
                              status=f"{self.errors} errors, {rate:,.0f} records/s")


class TrackedMetric:
    """A metric as the driver sees it, reporting its start and end to a progress display."""

    def __init__(self, metric: Any, display: ProgressDisplay) -> None:
        self._metric = metric
        self._display = display
        self.name = metric.name
        self.metric_dependencies = metric.metric_dependencies

    def __getattr__(self, attribute: str) -> Any:
        return getattr(self._metric, attribute)

    def _keywords(self, kwargs: dict[str, Any]) -> dict[str, Any]:
        from tessary.metrics.detector_metrics import DetectorMetric

        if isinstance(self._metric, DetectorMetric):  # they report each record as its request ends
            return {**kwargs, "record_progress": lambda: self._display.record_done(self._metric)}
        return kwargs

    def evaluate(self, **kwargs: Any) -> Any:
        self._display.started_metric(self._metric)
        try:
            result = self._metric.evaluate(**self._keywords(kwargs))
        except BaseException:
            self._display.finished_metric(self._metric, None, failed=True)
            raise
        self._display.finished_metric(self._metric, result)
        return result

    async def evaluate_async(self, **kwargs: Any) -> Any:
        self._display.started_metric(self._metric)
        try:
            result = await self._metric.evaluate_async(**self._keywords(kwargs))
        except BaseException:
            self._display.finished_metric(self._metric, None, failed=True)
            raise
        self._display.finished_metric(self._metric, result)
        return result
