"""Evaluation on a cluster engine: Ray Data (`evaluate_ray`) or Dask distributed (`evaluate_dask`).

Both return exactly the `MetricsEvaluationResult` of one in-process run over the
whole table. For pipelines of your own, `BlockEvaluator` evaluates one block per
call (a callable class for Ray's `map_batches` or Dask's `map_partitions`) and
`ResultMerger` merges the block results, in any order, into the exact result.

The engines are optional: pip install "tessary[ray]" or "tessary[dask]".
"""

from __future__ import annotations

from typing import Any

_EXPORTS = {
    "evaluate_ray": "tessary.distributed._ray",
    "evaluate_dask": "tessary.distributed._dask",
    "BlockEvaluator": "tessary.distributed._block",
    "SessionPool": "tessary.distributed._block",
    "BlockResult": "tessary.distributed._merge",
    "MergeError": "tessary.distributed._merge",
    "ResultMerger": "tessary.distributed._merge",
    "RecordFill": "tessary.distributed._prepare",
    "CredentialsClientFactory": "tessary.distributed._prepare",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'tessary.distributed' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value
