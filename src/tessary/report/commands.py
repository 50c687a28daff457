"""What `tessary report` and `tessary compare` do, for the command line to call."""

from __future__ import annotations

import json
from pathlib import Path

import pandas as pd

from tessary.entities.evaluation_result import MetricsEvaluationResult, _finite
from tessary.report.compare import Comparison, compare_results

_DATA_READERS = {
    ".csv": pd.read_csv,
    ".parquet": pd.read_parquet,
    ".jsonl": lambda path: pd.read_json(path, lines=True),
}


def report_command(
    results_json: str | Path, output: str | Path | None = None, *, data: pd.DataFrame | None = None
) -> Path:
    """Write the HTML report of saved results; `output` defaults to report.html beside them.

    Without `data`, the data file named in the run information is read (when it
    is still there) so that detector spans can be shown in the records' text.
    """
    results_path = Path(results_json)
    result = MetricsEvaluationResult.from_json(results_path)
    output_path = Path(output) if output is not None else results_path.with_name("report.html")
    if data is None:
        data = _recorded_data(result)
    result.to_html(output_path, data=data)
    return output_path


def compare_command(
    old: str | Path, new: str | Path, output: str | Path | None = None, *, echo=print
) -> Comparison:
    """Print per metric the change of value and the records that got worse; write the same to `output`.

    `output` ending in .json gets the comparison as JSON, in .txt or .md as text,
    anything else an HTML report.
    """
    old_result = MetricsEvaluationResult.from_json(old)
    new_result = MetricsEvaluationResult.from_json(new)
    comparison = compare_results(old_result, new_result)
    echo(comparison.to_text())
    if output is not None:
        _write_comparison(comparison, Path(output), str(old), str(new))
    return comparison


def _write_comparison(comparison: Comparison, path: Path, old_name: str, new_name: str) -> None:
    suffix = path.suffix.lower()
    if suffix == ".json":
        plain = _finite(comparison.to_dict())
        text = json.dumps(plain, ensure_ascii=False, indent=2, allow_nan=False, default=str)
    elif suffix in (".txt", ".md"):
        text = comparison.to_text(records_shown=None) + "\n"
    else:
        from tessary.report.html import render_comparison

        text = render_comparison(comparison, old_name, new_name)
    path.write_text(text, encoding="utf-8")


def _recorded_data(result: MetricsEvaluationResult) -> pd.DataFrame | None:
    data_file = (result.run_info or {}).get("data_file")
    if not isinstance(data_file, str):
        return None
    path = Path(data_file)
    reader = _DATA_READERS.get(path.suffix.lower())
    if reader is None or not path.is_file():
        return None
    try:
        return reader(path)
    except (OSError, ValueError):
        # The report is still complete without the text; spans are then shown alone.
        return None
