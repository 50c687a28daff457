"""Risk evaluation of one foundation model.

:class:`EvaluateFMRisk` runs the shipped benchmark prompt sets of the chosen
risk dimensions against the model, scores every benchmark and answers
``{risk: {benchmark: {metric: value}}}`` with values rounded to 4 places, in the
shipped order. ``get_pdf_report`` writes that result as a PDF report.

The model is reached through ``scoring_function`` when given, otherwise through
the Lumeris AI service named in ``system_credentials`` (see
:mod:`orvane_metrics_plugin.mra.targets` for the keys read). When the
credentials carry op settings (``op_url``, ``op_model_id``, ...), that model
judges whether responses to harmful requests are unsafe.
"""

from collections.abc import Callable, Mapping

from orvane_metrics_plugin.mra.benchmarks import BenchmarkSet, RiskDimension, select_risk_dimensions, shipped_risk_dimensions
from orvane_metrics_plugin.mra.report import write_pdf_report
from orvane_metrics_plugin.mra.scoring import SCORERS
from orvane_metrics_plugin.mra.targets import build_judge, build_target

RiskResult = dict[str, dict[str, dict[str, float]]]


class RiskEvaluationError(RuntimeError):
    """A benchmark could not be run or scored."""


class EvaluateFMRisk:
    """Evaluates the risks of one foundation model across risk dimensions."""

    def __init__(
        self,
        system_credentials: Mapping[str, object] | None = None,
        foundation_model_name: str | None = None,
        risk_dimensions: list[str] | None = None,
        scoring_function: Callable | None = None,
        max_sample_size: int | None = None,
        max_concurrency: int = 8,
    ) -> None:
        if system_credentials is not None and not isinstance(system_credentials, Mapping):
            raise TypeError(
                f"system_credentials must be a mapping, got {type(system_credentials).__name__}"
            )
        self.system_credentials = dict(system_credentials or {})
        self.max_sample_size = _checked_sample_size(max_sample_size)
        self.risk_dimensions: list[RiskDimension] = select_risk_dimensions(risk_dimensions)
        self.foundation_model_name = _model_name(foundation_model_name, self.system_credentials, scoring_function)
        self.target = build_target(self.system_credentials, scoring_function, _checked_concurrency(max_concurrency))
        self.judge = build_judge(self.system_credentials)
        self.sample_counts: dict[tuple[str, str], int] = {}

    def evaluate_fm_risks(self) -> RiskResult:
        """Run every benchmark of the chosen dimensions and answer their metric values."""
        result: RiskResult = {}
        sample_counts: dict[tuple[str, str], int] = {}
        for dimension in self.risk_dimensions:
            result[dimension.name] = {}
            for benchmark in dimension.benchmarks:
                records = self._sample(benchmark)
                result[dimension.name][benchmark.name] = self._run_benchmark(dimension, benchmark, records)
                sample_counts[(dimension.name, benchmark.name)] = len(records)
        self.sample_counts = sample_counts
        return result

    def get_pdf_report(self, result: Mapping, path: str, thresholds: object = None) -> str:
        """Write the PDF report of ``result`` to ``path`` and answer the written file's path.

        ``path`` is a file, or an existing folder that gets ``fm_risk_report.pdf``;
        ``thresholds`` is described in :mod:`orvane_metrics_plugin.mra.thresholds`.
        """
        return write_pdf_report(
            result, path, self.foundation_model_name, shipped_risk_dimensions(), thresholds, self.sample_counts
        )

    def _sample(self, benchmark: BenchmarkSet) -> list[dict]:
        prompts = list(benchmark.prompts)
        return prompts if self.max_sample_size is None else prompts[: self.max_sample_size]

    def _run_benchmark(self, dimension: RiskDimension, benchmark: BenchmarkSet, records: list[dict]) -> dict:
        scorer = SCORERS[benchmark.scorer]
        try:
            responses = self.target.generate([scorer.prompt_text(record) for record in records])
            scores = scorer.score(records, responses, self.judge)
        except Exception as error:
            raise RiskEvaluationError(
                f"Benchmark '{benchmark.name}' of risk '{dimension.name}' failed: {error}"
            ) from error
        return {metric_spec.name: round(scores[metric_spec.name], 4) for metric_spec in benchmark.metrics}


def _model_name(name: object, system_credentials: Mapping, scoring_function: Callable | None) -> str:
    if name is not None and not isinstance(name, str):
        raise TypeError(f"foundation_model_name must be text, got {type(name).__name__}")
    if name:
        return name
    if scoring_function is None and system_credentials.get("lumeris_ai_model_id"):
        return str(system_credentials["lumeris_ai_model_id"])
    return getattr(scoring_function, "__name__", "custom model")


def _checked_sample_size(max_sample_size: object) -> int | None:
    if max_sample_size is None:
        return None
    if isinstance(max_sample_size, bool) or not isinstance(max_sample_size, int) or max_sample_size < 1:
        raise ValueError(f"max_sample_size must be a positive whole number or None, got {max_sample_size!r}")
    return max_sample_size


def _checked_concurrency(max_concurrency: object) -> int:
    if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int) or max_concurrency < 1:
        raise ValueError(f"max_concurrency must be a positive whole number, got {max_concurrency!r}")
    return max_concurrency
