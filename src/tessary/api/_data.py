"""Reading the caller's records and finding which columns hold what.

Records come as a data frame, one mapping, a list of mappings, or a path to a
CSV, JSON Lines, JSON or Parquet file. Cells that hold JSON text of a list or
an object (contexts, tool calls written by another tool) are decoded in the
columns that carry lists. When no configuration is given, the columns are
matched against the names that evaluation tools commonly use.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import pandas as pd

from tessary.config import GenAIConfiguration

# Column names per role, most specific first; the first name present wins.
COLUMN_CANDIDATES: dict[str, tuple[str, ...]] = {
    "input": ("question", "input", "user_input", "input_text", "query", "prompt"),
    "output": ("answer", "actual_output", "response", "generated_text", "output", "prediction"),
    "context": ("contexts", "retrieval_context", "retrieved_contexts", "context"),
    "reference": ("ground_truth", "ground_truths", "expected_output", "reference", "reference_answer"),
    "tool_calls": ("tool_calls",),
}
RECORD_ID_CANDIDATES = ("record_id", "id")
ROLE_WORDS = {
    "input": "an input (question) column",
    "output": "an output (answer) column",
    "context": "a context column",
    "reference": "a reference (ground truth) column",
    "tool_calls": "a tool-calls column",
}
SUFFIX_READERS = {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "json",
                  ".parquet": "parquet", ".pq": "parquet"}


class DataError(ValueError):
    """Records that cannot be read or do not fit the evaluation; the message says why in one line."""


# -- reading ----------------------------------------------------------------------------------


def read_records(data: Any) -> pd.DataFrame:
    """The records of `data` as a table: a data frame is used as is, files are read by their suffix."""
    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, Mapping):
        return pd.DataFrame([dict(data)])
    if isinstance(data, (str, os.PathLike)):
        return read_file(Path(data))
    if isinstance(data, Sequence) and not isinstance(data, (bytes, bytearray)):
        return _table_of_mappings(list(data), "the records")
    raise DataError(
        f"Records must be a data frame, a mapping, a list of mappings or a file path, got {type(data).__name__}."
    )


def read_file(path: Path) -> pd.DataFrame:
    """Read a CSV, JSON Lines, JSON or Parquet file of records."""
    kind = SUFFIX_READERS.get(path.suffix.lower())
    if kind is None:
        raise DataError(
            f"Cannot read '{path}': unknown file type '{path.suffix or '(none)'}'; "
            "use .csv, .jsonl, .json or .parquet."
        )
    if not path.is_file():
        raise DataError(f"Cannot read '{path}': no such file.")
    try:
        table = _READERS[kind](path)
    except DataError:
        raise
    except UnicodeDecodeError as error:
        raise DataError(f"Cannot read '{path}': it is not UTF-8 text ({error.reason}).") from None
    except Exception as error:  # the parsers' own errors, reworded into one line
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise DataError(f"Cannot read '{path}' as {kind.upper()}: {first_line}") from None
    if table.empty:
        raise DataError(f"'{path}' holds no records.")
    return table


def _read_csv(path: Path) -> pd.DataFrame:
    # Text stays text: identifiers such as "007" must not become numbers.
    return pd.read_csv(path, dtype=str, keep_default_na=False, na_values=[""], encoding="utf-8")


def _read_jsonl(path: Path) -> pd.DataFrame:
    rows = []
    with path.open(encoding="utf-8") as handle:
        for number, line in enumerate(handle, start=1):
            if not line.strip():
                continue
            try:
                rows.append(json.loads(line))
            except ValueError as error:
                raise DataError(f"Cannot read '{path}': line {number} is not JSON ({error}).") from None
    return _table_of_mappings(rows, f"'{path}'")


def _read_json(path: Path) -> pd.DataFrame:
    text = path.read_text(encoding="utf-8")
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        if error.msg == "Extra data":  # one object per line, named .json
            return _read_jsonl(path)
        raise DataError(f"Cannot read '{path}': not valid JSON ({error}).") from None
    if isinstance(document, Mapping):
        nested = next((document[key] for key in ("records", "data", "rows") if isinstance(document.get(key), list)), None)
        document = nested if nested is not None else [document]
    if not isinstance(document, list):
        raise DataError(f"Cannot read '{path}': expected a list of records, got a JSON {type(document).__name__}.")
    return _table_of_mappings(document, f"'{path}'")


def _read_parquet(path: Path) -> pd.DataFrame:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise DataError(f"Cannot read '{path}': Parquet needs pyarrow (pip install pyarrow).") from None
    table = pd.read_parquet(path, engine="pyarrow")
    # List columns arrive as numpy arrays; the providers expect plain lists.
    for column in table.columns:
        if table[column].dtype == object:
            table[column] = [value.tolist() if hasattr(value, "tolist") and not isinstance(value, str) else value
                             for value in table[column]]
    return table


_READERS = {"csv": _read_csv, "jsonl": _read_jsonl, "json": _read_json, "parquet": _read_parquet}


def _table_of_mappings(rows: list[Any], where: str) -> pd.DataFrame:
    for position, row in enumerate(rows):
        if not isinstance(row, Mapping):
            raise DataError(f"Record {position + 1} of {where} is a {type(row).__name__}, not an object of fields.")
    return pd.DataFrame(rows)


# -- JSON cells -------------------------------------------------------------------------------


def decode_json_cells(table: pd.DataFrame, columns: Sequence[str]) -> None:
    """Replace JSON text of a list or an object by the decoded value, in `columns` of `table` (in place)."""
    for column in columns:
        if column not in table.columns:
            continue
        dtype = table[column].dtype
        if not (pd.api.types.is_object_dtype(dtype) or pd.api.types.is_string_dtype(dtype)):
            continue
        values = table[column].tolist()
        decoded = [_decoded(value) for value in values]
        if any(new is not old for new, old in zip(decoded, values)):
            table[column] = pd.Series(decoded, index=table.index, dtype=object)


def _decoded(value: Any) -> Any:
    if not isinstance(value, str):
        return value
    text = value.strip()
    if not text or text[0] not in "[{":
        return value
    try:
        parsed = json.loads(text)
    except ValueError:
        return value
    return parsed if isinstance(parsed, (list, dict)) else value


# -- columns ----------------------------------------------------------------------------------


def find_column(columns: Sequence[str], role: str) -> str | None:
    """The first of the role's usual names among `columns` (exact, then ignoring case)."""
    candidates = COLUMN_CANDIDATES[role]
    for name in candidates:
        if name in columns:
            return name
    lowered = {str(column).lower(): column for column in columns}
    for name in candidates:
        if name in lowered:
            return lowered[name]
    return None


def detect_configuration(
    table: pd.DataFrame,
    *,
    input_field: str | None = None,
    output_field: str | None = None,
    context_field: str | None = None,
    reference_field: str | None = None,
    tool_calls_field: str | None = None,
) -> GenAIConfiguration:
    """A configuration naming the columns of `table`; given names win over detected ones."""
    columns = [str(column) for column in table.columns]
    given = {"input": input_field, "output": output_field, "context": context_field,
             "reference": reference_field, "tool_calls": tool_calls_field}
    found: dict[str, str | None] = {}
    for role, name in given.items():
        if name:
            if name not in columns:
                raise DataError(f"No column '{name}' ({ROLE_WORDS[role]}); the columns found are: {_listed(columns)}.")
            found[role] = name
        else:
            found[role] = find_column(columns, role)
    if found["input"] is None and found["output"] is None:
        raise DataError(
            "No input or output column found; the columns found are: " + _listed(columns) + ". Name them "
            "question/answer, input/actual_output, user_input/response or input_text/generated_text, "
            "or say which columns to use (--input-field/--output-field, or configuration=GenAIConfiguration(...))."
        )
    fields: dict[str, Any] = {
        "input_fields": [found["input"]] if found["input"] else [],
        "output_fields": [found["output"]] if found["output"] else [],
        "context_fields": [found["context"]] if found["context"] else [],
        "reference_fields": [found["reference"]] if found["reference"] else [],
        "tool_calls_field": found["tool_calls"] or "",
    }
    record_id = next((name for name in RECORD_ID_CANDIDATES if name in columns), None)
    if record_id:
        fields["record_id_field"] = record_id
    return GenAIConfiguration(**fields)


def role_columns(configuration: Any) -> dict[str, list[str]]:
    """The columns a configuration names, per role."""
    tool_calls = getattr(configuration, "tool_calls_field", "") or ""
    return {
        "input": list(configuration.input_fields[:1]),
        "output": list(configuration.output_fields[:1]),
        "context": list(configuration.context_fields),
        "reference": list(configuration.reference_fields),
        "tool_calls": [tool_calls] if tool_calls else [],
    }


def check_fields(table: pd.DataFrame, configuration: Any, needs: Mapping[str, Sequence[str]]) -> None:
    """Refuse, naming the metric and the columns found, a metric whose columns are not in the table.

    `needs` maps a metric name to the roles it reads ("input", "output", ...).
    """
    columns = [str(column) for column in table.columns]
    named = role_columns(configuration)
    for metric, roles in needs.items():
        for role in roles:
            present = [column for column in named[role] if column in columns]
            if named[role] and len(present) == len(named[role]):
                continue
            usual = ", ".join(COLUMN_CANDIDATES[role])
            which = f"'{named[role][0]}'" if named[role] else f"{ROLE_WORDS[role]} ({usual})"
            raise DataError(f"Metric '{metric}' needs {which}, which the records lack; "
                            f"the columns found are: {_listed(columns)}.")


def _listed(columns: Sequence[str]) -> str:
    return ", ".join(columns) if columns else "(none)"
