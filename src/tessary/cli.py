"""The `tessary` command: evaluate records from a file, list metrics, serve the local services.

    tessary evaluate records.csv --metric faithfulness --metric hap --out out/
    tessary evaluate records.csv --metric faithfulness:llm_as_judge --dry-run --price-per-1k-tokens 0.15
    tessary evaluate records.parquet --metric hap --engine ray --address ray://head:10001
    tessary metrics
    tessary report out/results.json -o report.html

Exit codes: 0 success; 1 a metric errored on every record or a threshold failed (named on
standard error); 2 bad usage or input (one line saying what: a missing column, an unknown
metric with the closest names, an unreadable file).
"""

from __future__ import annotations

import json
import math
import os
import re
import sys
from enum import StrEnum
from pathlib import Path
from typing import Annotated, Any

import typer

app = typer.Typer(name="tessary", help="Evaluate generative-AI applications.", no_args_is_help=True,
                  add_completion=False, pretty_exceptions_enable=False)
cache_app = typer.Typer(help="The judge's response cache.", no_args_is_help=True)
app.add_typer(cache_app, name="cache")

EXIT_FAILED_METRICS = 1
EXIT_BAD_INPUT = 2
_THRESHOLD = re.compile(r"^\s*(?P<name>[^<>=]+?)\s*(?P<op>>=|<=)\s*(?P<value>[-+0-9.eE]+)\s*$")


class OutputFormat(StrEnum):
    table = "table"
    json = "json"
    csv = "csv"


class Engine(StrEnum):
    ray = "ray"
    dask = "dask"


class Service(StrEnum):
    detectd = "detectd"
    judged = "judged"


def _fail(message: str, code: int = EXIT_BAD_INPUT) -> typer.Exit:
    """Print one line on standard error and return the exit to raise."""
    typer.echo(f"tessary: {message}", err=True)
    return typer.Exit(code)


def _one_line(error: BaseException) -> str:
    text = str(error).strip() or type(error).__name__
    return " ".join(text.split())


# -- thresholds ---------------------------------------------------------------------------------


def parse_threshold(text: str) -> tuple[str, str, float]:
    """("faithfulness", "lower_limit", 0.7) from "faithfulness>=0.7"."""
    match = _THRESHOLD.match(text)
    if not match:
        raise ValueError(f"Bad threshold {text!r}: write NAME>=VALUE or NAME<=VALUE, e.g. faithfulness>=0.7.")
    kind = "lower_limit" if match["op"] == ">=" else "upper_limit"
    return match["name"], kind, float(match["value"])


def with_thresholds(metrics: list[Any], thresholds: list[str]) -> list[Any]:
    """The metrics with the thresholds given for their (result) names added."""
    from tessary.api._progress import result_name
    from tessary.entities.metric_threshold import MetricThreshold

    wanted: dict[str, list[Any]] = {}
    for text in thresholds:
        name, kind, value = parse_threshold(text)
        wanted.setdefault(name, []).append(MetricThreshold(type=kind, value=value))
    names = {result_name(metric) for metric in metrics}
    unknown = sorted(set(wanted) - names)
    if unknown:
        raise ValueError(f"Threshold for a metric not evaluated: {', '.join(unknown)} (metrics: {', '.join(sorted(names))}).")
    return [metric.model_copy(update={"thresholds": [*metric.thresholds, *wanted[result_name(metric)]]})
            if result_name(metric) in wanted else metric for metric in metrics]


# -- summary ------------------------------------------------------------------------------------


def _number(value: Any) -> float | None:
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def threshold_verdict(result: Any) -> str:
    """"pass", "fail: <which>" or "" when the metric has no threshold."""
    thresholds = list(getattr(result, "thresholds", None) or [])
    if not thresholds:
        return ""
    value = _number(result.value)
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "fail: no value"
    failed = [t for t in thresholds if t.is_violated_by(value)]
    if not failed:
        return "pass"
    return "fail: " + ", ".join(f"{'>=' if t.type == 'lower_limit' else '<='}{t.value:g}" for t in failed)


def summary_rows(result: Any) -> list[dict[str, Any]]:
    """One row per metric: value, min, max, mean, measured, errored, threshold verdict."""
    from tessary.entities.evaluation_result import AggregateMetricResult

    rows = []
    for metric in result.metrics_result:
        if not isinstance(metric, AggregateMetricResult):
            continue
        errored = sum(1 for record in metric.record_level_metrics if record.errors)
        rows.append({"metric": metric.name, "method": metric.method, "value": metric.value, "min": metric.min,
                     "max": metric.max, "mean": metric.mean, "measured": metric.measured_records,
                     "errored": errored if metric.record_level_metrics else metric.total_records,
                     "threshold": threshold_verdict(metric)})
    return rows


def failures(rows: list[dict[str, Any]]) -> list[str]:
    """Why the run fails: metrics that errored on every record, thresholds that failed."""
    reasons = []
    for row in rows:
        if row["measured"] == 0:
            reasons.append(f"metric '{row['metric']}' errored on every record")
        if row["threshold"].startswith("fail"):
            reasons.append(f"threshold of '{row['metric']}' failed ({row['threshold'].removeprefix('fail: ')})")
    return reasons


def _cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.4f}"
    return str(value)


def print_rows(rows: list[dict[str, Any]], output: OutputFormat, title: str | None = None) -> None:
    if output is OutputFormat.json:
        typer.echo(json.dumps(rows, indent=2, default=str))
        return
    if output is OutputFormat.csv:
        import csv

        writer = csv.DictWriter(sys.stdout, fieldnames=list(rows[0]) if rows else [], lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
        return
    from rich.console import Console
    from rich.markup import escape
    from rich.table import Table

    table = Table(title=title)
    for column in rows[0] if rows else []:
        table.add_column(column, justify="right" if column in {"value", "min", "max", "mean", "measured", "errored"} else "left")
    for row in rows:
        table.add_row(*(escape(_cell(value)) for value in row.values()))
    # A pipe or a file gets the whole table, not one squeezed to 80 columns.
    Console(width=None if sys.stdout.isatty() else 200).print(table)


# -- writing the results --------------------------------------------------------------------------


def write_outputs(result: Any, directory: Path, table: Any = None, configuration: Any = None) -> list[str]:
    """Results JSON, record table as CSV and Parquet, and report.html; returns notes on what was left out.

    With the evaluated `table`, the exports carry the records' own columns and the report highlights
    detector findings in their text.
    """
    directory.mkdir(parents=True, exist_ok=True)
    notes = []
    result.to_json(directory / "results.json")
    result.to_csv(directory / "records.csv", data=table)
    try:
        result.to_parquet(directory / "records.parquet", data=table)
    except ImportError:
        notes.append("records.parquet not written: Parquet needs pyarrow (pip install pyarrow)")
    result.to_html(directory / "report.html", data=table, configuration=configuration)
    return notes


# -- commands ---------------------------------------------------------------------------------------


def _run(run: Any, engine: Engine | None, address: str | None, workers: int | None, *,
         max_concurrency: int | None, quiet: bool) -> Any:
    """In this process, or on the engine's cluster when one is named."""
    from tessary.api._evaluate import run_prepared

    if engine is None:
        if address is not None or workers is not None:
            raise ValueError("--address and --workers go with --engine ray or --engine dask.")
        return run_prepared(run, max_concurrency=max_concurrency, progress=False if quiet else None)
    from tessary.distributed._cli import run_on_engine

    return run_on_engine(run, engine.value, address=address, workers=workers, quiet=quiet)


@app.command()
def evaluate(
    data: Annotated[Path, typer.Argument(help="CSV, JSON Lines, JSON or Parquet file of records.")],
    metric: Annotated[list[str], typer.Option("--metric", "-m", help="NAME[:METHOD], e.g. faithfulness, hap, "
                                              "answer_correctness:token_recall, pii\\[output]; repeatable.")] = [],
    metric_group: Annotated[list[str], typer.Option("--metric-group", "-g", help="A metric group, e.g. content_safety; repeatable.")] = [],
    judge: Annotated[str | None, typer.Option(help="Judge: an OpenAI-protocol base URL, or backend/model.")] = None,
    input_field: Annotated[str | None, typer.Option(help="Column of the inputs (questions).")] = None,
    output_field: Annotated[str | None, typer.Option(help="Column of the outputs (answers).")] = None,
    context_field: Annotated[str | None, typer.Option(help="Column of the contexts.")] = None,
    reference_field: Annotated[str | None, typer.Option(help="Column of the reference answers.")] = None,
    tool_calls_field: Annotated[str | None, typer.Option(help="Column of the tool calls.")] = None,
    threshold: Annotated[list[str], typer.Option("--threshold", "-t", help="NAME>=VALUE or NAME<=VALUE; repeatable.")] = [],
    out: Annotated[Path | None, typer.Option(help="Directory for results.json, records.csv, records.parquet, report.html.")] = None,
    output_format: Annotated[OutputFormat, typer.Option("--format", help="How to print the summary.")] = OutputFormat.table,
    max_concurrency: Annotated[int | None, typer.Option(min=1, help="Metrics computed at once.")] = None,
    dry_run: Annotated[bool, typer.Option("--dry-run", help="Count requests, judge calls and prompt tokens; send nothing.")] = False,
    price_per_1k_tokens: Annotated[float | None, typer.Option(min=0, help="Price of 1,000 prompt tokens, for the dry run.")] = None,
    no_cache: Annotated[bool, typer.Option("--no-cache", help="Do not use the judge's response cache.")] = False,
    quiet: Annotated[bool, typer.Option("--quiet", "-q", help="No progress display.")] = False,
    engine: Annotated[Engine | None, typer.Option(help="Evaluate on a cluster engine instead of in this process.")] = None,
    address: Annotated[str | None, typer.Option(help="The engine's cluster (Ray: ray://HOST:10001 or auto; Dask: "
                                                "tcp://HOST:8786); without it a local cluster runs for this call.")] = None,
    workers: Annotated[int | None, typer.Option(min=1, help="Engine workers (default: one per core of the local "
                                                "cluster, every CPU of a given one).")] = None,
) -> None:
    """Evaluate the records of DATA and print one line per metric."""
    from tessary.api import DataError, UnknownMetricError, estimate
    from tessary.api._evaluate import prepare_run
    from tessary.api._registry import resolve_metrics

    if no_cache:
        os.environ["TESSARY_CACHE"] = "0"
    fields = {"input_field": input_field, "output_field": output_field, "context_field": context_field,
              "reference_field": reference_field, "tool_calls_field": tool_calls_field}
    try:
        metrics = with_thresholds(resolve_metrics(metric), threshold)
        if dry_run:
            plan = estimate(str(data), metrics, metric_groups=metric_group, judge=judge,
                            price_per_1k_tokens=price_per_1k_tokens, **fields)
        else:
            run = prepare_run(str(data), metrics, metric_groups=metric_group, judge=judge, **fields)
            result = _run(run, engine, address, workers, max_concurrency=max_concurrency, quiet=quiet)
    except (DataError, UnknownMetricError, ValueError, TypeError) as error:
        raise _fail(_one_line(error)) from None
    if dry_run:
        if output_format is OutputFormat.table:
            typer.echo(str(plan))
        else:
            print_rows([dict(row.__dict__) for row in plan.metrics], output_format)
        return
    rows = summary_rows(result)
    print_rows(rows, output_format, title=f"{result.run_info['records']} records of {data}")
    if out is not None:
        for note in write_outputs(result, out, run.table, run.configuration):
            typer.echo(f"tessary: {note}", err=True)
    reasons = failures(rows)
    if reasons:
        raise _fail("; ".join(reasons), EXIT_FAILED_METRICS)


@app.command("metrics")
def list_metrics_command(
    output_format: Annotated[OutputFormat, typer.Option("--format", help="table, json or csv.")] = OutputFormat.table,
) -> None:
    """Every metric: provider, methods (default first), fields it reads, judge and detection-service needs."""
    from tessary.api import list_metrics

    rows = []
    for info in list_metrics():
        rows.append({"metric": info.name, "provider": info.provider, "methods": ", ".join(info.methods),
                     "fields": ", ".join(info.fields), "judge": ", ".join(info.judge_methods) or "-",
                     "detection service": "yes" if info.needs_detection_service else "-",
                     "parameters": ", ".join(info.parameters) or "-"})
    print_rows(rows, output_format)


@app.command()
def report(
    results: Annotated[Path, typer.Argument(help="results.json written by 'tessary evaluate --out'.")],
    output: Annotated[Path, typer.Option("-o", "--output", help="The report file.")] = Path("report.html"),
) -> None:
    """Write the HTML report of saved results."""
    command = _report_command("report_command")
    if not results.is_file():
        raise _fail(f"Cannot read '{results}': no such file.")
    command(results, output)
    typer.echo(f"wrote {output}")


@app.command()
def compare(
    old: Annotated[Path, typer.Argument(help="results.json of the earlier run.")],
    new: Annotated[Path, typer.Argument(help="results.json of the later run.")],
    output: Annotated[Path, typer.Option("-o", "--output", help="The comparison report.")] = Path("compare.html"),
) -> None:
    """Print per metric the change of value and the records that got worse."""
    command = _report_command("compare_command")
    for path in (old, new):
        if not path.is_file():
            raise _fail(f"Cannot read '{path}': no such file.")
    command(old, new, output)


def _report_command(name: str) -> Any:
    try:
        from tessary.report import commands
    except ImportError:
        raise _fail("the HTML report is not part of this installation") from None
    return getattr(commands, name)


@app.command(context_settings={"allow_extra_args": True, "ignore_unknown_options": True})
def serve(
    context: typer.Context,
    service: Annotated[Service, typer.Argument(help="detectd (detection service) or judged (judge server).")],
) -> None:
    """Run a local service on loopback until interrupted (options such as --port pass through)."""
    if service is Service.detectd:
        from tessary.services.detectd import main as service_main
    else:
        from tessary.services.judged import main as service_main
    raise typer.Exit(service_main(list(context.args)))


def _judge_cache() -> Any:
    try:
        from tessary.judging import cache
    except ImportError:
        raise _fail("the judge cache is not part of this installation") from None
    return cache


@cache_app.command("info")
def cache_info() -> None:
    """Where the cache is, how many entries and bytes it holds."""
    for key, value in _judge_cache().info().items():
        typer.echo(f"{key}: {value}")


@cache_app.command("clear")
def cache_clear() -> None:
    """Remove every cached judge answer."""
    typer.echo(f"removed {_judge_cache().clear()} entries")


def main(argv: list[str] | None = None) -> int:
    """Console entry point; returns the exit code."""
    try:
        code = app(args=argv, prog_name="tessary", standalone_mode=False)
    except typer.Exit as exit_:
        return exit_.exit_code
    except KeyboardInterrupt:
        typer.echo("tessary: interrupted", err=True)
        return 130
    except Exception as error:  # usage errors (they know how to show themselves) and the unforeseen
        if callable(getattr(error, "show", None)) and isinstance(getattr(error, "exit_code", None), int):
            error.show()
            return error.exit_code
        typer.echo(f"tessary: {type(error).__name__}: {_one_line(error)}", err=True)
        return 1
    return code if isinstance(code, int) else 0


if __name__ == "__main__":
    raise SystemExit(main())
