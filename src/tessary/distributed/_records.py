"""Record rows written to Parquet by the workers, one file per block.

Every file has the same schema: the columns of `MetricsEvaluationResult.to_df()`,
with evidences and additional information as JSON text. A worker writes one file
per metric of its block under a unique temporary name; the merger renames them to
"part-MMM-BBBBB.parquet" (metric, then block), so reading the directory gives the
rows in the order of `to_df()`: metric after metric, each in table order.
"""

from __future__ import annotations

import json
import uuid
from typing import Any

from tessary.entities.evaluation_result import RECORD_COLUMNS

PART_PREFIX = "part-"
_PENDING_PREFIX = ".block-"


def _pyarrow() -> tuple[Any, Any, Any]:
    try:
        import pyarrow as pa
        import pyarrow.fs as pafs
        import pyarrow.parquet as pq
    except ImportError as error:
        raise ImportError(
            'records="parquet:DIR" needs pyarrow: pip install "tessary[ray]" or "tessary[dask]".'
        ) from error
    return pa, pafs, pq


def _schema() -> Any:
    pa, _, _ = _pyarrow()
    types = {"value": pa.float64()}
    return pa.schema([(name, types.get(name, pa.string())) for name in RECORD_COLUMNS])


def _filesystem(directory: str) -> tuple[Any, str]:
    _, pafs, _ = _pyarrow()
    if "://" in directory:
        return pafs.FileSystem.from_uri(directory)
    return pafs.LocalFileSystem(), directory


def prepare_directory(directory: str) -> None:
    """Create the directory; refuse one that already holds record files."""
    _, pafs, _ = _pyarrow()
    filesystem, path = _filesystem(directory)
    filesystem.create_dir(path, recursive=True)
    found = filesystem.get_file_info(pafs.FileSelector(path))
    taken = [info.base_name for info in found if info.base_name.startswith((PART_PREFIX, _PENDING_PREFIX))]
    if taken:
        raise ValueError(
            f"The records directory {directory!r} already holds record files ({taken[0]}, ...): "
            "choose an empty directory so that no earlier results are overwritten."
        )


def _text(value: Any) -> str | None:
    if value is None:
        return None
    if isinstance(value, str):
        return value
    return json.dumps(value, default=str)


def _column(name: str, values: list[Any]) -> list[Any]:
    """One column of the schema's type: numbers as floats, evidences as JSON text, the rest as text."""
    if name == "value":
        return [None if value is None else float(value) for value in values]
    if name in ("evidences", "additional_info"):
        return [_text(value) for value in values]
    return [value if value is None or type(value) is str else str(value) for value in values]


def write_block(metric_rows: list[list[dict[str, Any]]], directory: str) -> list[str]:
    """Write one block's record rows, one file per metric; returns the (temporary) paths."""
    pa, _, pq = _pyarrow()
    filesystem, path = _filesystem(directory)
    schema = _schema()
    written = []
    for rows in metric_rows:
        columns = {name: _column(name, [row.get(name) for row in rows]) for name in RECORD_COLUMNS}
        table = pa.Table.from_pydict(columns, schema=schema)
        target = f"{path.rstrip('/')}/{_PENDING_PREFIX}{uuid.uuid4().hex}.parquet"
        pq.write_table(table, target, filesystem=filesystem)
        written.append(target if "://" not in directory else f"{directory.split('://')[0]}://{target}")
    return written


def order_files(blocks: list[list[str]]) -> list[str]:
    """Rename the files of the blocks, given in table order, to part-MMM-BBBBB.parquet."""
    renamed = []
    for block_index, files in enumerate(blocks):
        for metric_index, file in enumerate(files):
            filesystem, path = _filesystem(file)
            directory = path.rsplit("/", 1)[0]
            final = f"{directory}/{PART_PREFIX}{metric_index:03d}-{block_index:05d}.parquet"
            filesystem.move(path, final)
            renamed.append(final)
    return renamed
