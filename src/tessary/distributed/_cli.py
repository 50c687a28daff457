"""The command's `--engine`: a prepared run evaluated on Ray or Dask, at an address or on a local cluster.

The local services the run needs (detection service, judge server) start on this
machine's loopback, as for an in-process run, so a local cluster reaches them; a
remote cluster needs the platform and a judge configured instead.
"""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Iterator
from typing import Any

ENGINES = ("ray", "dask")


def _platform_factory(plan: Any) -> Any:
    """The client the services plan chose, else the driver's platform credentials, else None."""
    if plan.api_client is not None:
        return plan.api_client
    from tessary.clients.api_client import credentials_from_env

    try:
        return credentials_from_env()
    except ValueError:
        return None


@contextlib.contextmanager
def _ray_cluster(address: str | None, workers: int | None, quiet: bool) -> Iterator[None]:
    try:
        import ray
        import ray.data
    except ImportError:
        raise ValueError('--engine ray needs Ray Data: pip install "tessary[ray]"') from None
    started = not ray.is_initialized()
    if started:
        local = {} if address else {"num_cpus": workers or os.cpu_count() or 1}
        ray.init(address=address, include_dashboard=False, log_to_driver=False, **local)
    if quiet:
        ray.data.DataContext.get_current().enable_progress_bars = False
    try:
        yield
    finally:
        if started:
            ray.shutdown()


@contextlib.contextmanager
def _dask_client(address: str | None, workers: int | None) -> Iterator[Any]:
    try:
        import distributed
    except ImportError:
        raise ValueError('--engine dask needs Dask distributed: pip install "tessary[dask]"') from None
    if address:
        with distributed.Client(address) as client:
            yield client
        return
    cluster = distributed.LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                                       processes=True, host="127.0.0.1", dashboard_address=None)
    try:
        with distributed.Client(cluster) as client:
            yield client
    finally:
        cluster.close()


def _evaluate(engine: str, run: Any, factory: Any, address: str | None, workers: int | None,
              quiet: bool) -> Any:
    if engine == "ray":
        from tessary.distributed._ray import evaluate_ray

        with _ray_cluster(address, workers, quiet):
            return evaluate_ray(run.table, run.metrics, run.configuration, api_client_factory=factory,
                                concurrency=workers)
    from tessary.distributed._dask import evaluate_dask

    with _dask_client(address, workers) as client:
        return evaluate_dask(run.table, run.metrics, run.configuration, client=client, api_client_factory=factory)


def run_on_engine(run: Any, engine: str, *, address: str | None = None, workers: int | None = None,
                  quiet: bool = False) -> Any:
    """Evaluate a prepared run on `engine`; the result carries `run_info` as an in-process run's does."""
    from tessary.api._evaluate import _openai_base_url, _run_info
    from tessary.api._judge_argument import apply_judge
    from tessary.api._services import embedded_services

    if engine not in ENGINES:
        raise ValueError(f"Unknown engine {engine!r}: choose one of {', '.join(ENGINES)}.")
    started = time.perf_counter()
    with embedded_services(run.metrics, run.configuration, None) as plan, _openai_base_url(run.judge_argument):
        if plan.judge is not None:
            run.configuration, run.metrics = apply_judge(plan.judge, run.configuration, run.metrics)
        result = _evaluate(engine, run, _platform_factory(plan), address, workers, quiet)
    result.run_info = _run_info(run, plan, time.perf_counter() - started)
    result.run_info["engine"] = {"name": engine, "address": address or "local cluster", "workers": workers}
    return result
