"""The judged metrics' providers: the native providers with one judge engine and complete records.

`JudgedTabulonProvider` and `JudgedVerdictaProvider` keep every step of the
native providers and change three things: the engine comes from the judge's
full description (`tessary.judging._engines`); every record whose judge call
failed carries an error naming the cause; and every record carries its tokens,
cost and cache use, summed on the aggregate.
"""

from __future__ import annotations

import math
from collections import Counter
from typing import Any

from tessary.entities.base_classes import Error
from tessary.entities.evaluation_result import NO_VALUE_ERROR_CODE, AggregateMetricResult, RecordMetricResult
from tessary.entities.llm_judge import LLMJudge
from tessary.judging import tokens
from tessary.judging._engines import judge_engine
from tessary.providers.critmark import VerdictaProvider
from tessary.providers.loomwright import TabulonProvider

__all__ = ["JudgedTabulonProvider", "JudgedVerdictaProvider", "complete_records"]

_UNPARSABLE = "UNPARSABLE_ANSWER"
# What to check, per failure code.
_HINTS = {
    "JUDGE_CONNECTION_ERROR": "is the judge server running and reachable at that URL? Check the judge's "
                              "base_url (or OPENAI_BASE_URL and its equivalents).",
    "JUDGE_TIMEOUT": "is the judge overloaded or hanging? Raise the judge's timeout or lower max_concurrency.",
    "JUDGE_AUTH_ERROR": "is the API key set and valid for that URL (api_key, or OPENAI_API_KEY and its "
                        "equivalents)?",
    "JUDGE_NOT_FOUND": "is the base URL right (it usually ends in /v1) and does the server know the model?",
    "JUDGE_RATE_LIMITED": "the judge refused the load: lower max_concurrency or raise the account's limit.",
    "JUDGE_SERVER_ERROR": "the judge server failed; see its log.",
    "JUDGE_BAD_REQUEST": "the judge refused the request; check the model name and its parameters.",
    "JUDGE_INVALID_RESPONSE": "does the server at that URL speak the chat-completions protocol?",
    "JUDGE_DEADLINE_EXCEEDED": "the metric ran out of time: raise the judge's deadline or lower the record count.",
    _UNPARSABLE: "the judge's answers do not follow the prompt's format; try a stronger judge model.",
}


class JudgedTabulonProvider(TabulonProvider):
    """`TabulonProvider` whose judge metrics use the judge's engine and report per-record causes."""

    def _TabulonProvider__get_ai_evaluator_inference_engine(self) -> Any:
        return judge_engine(self.llm_judge)

    def _TabulonProvider__generate_tabulon_metric(self, metric_name: str, metric_prefix: str) -> Any:
        metric = super()._TabulonProvider__generate_tabulon_metric(metric_name=metric_name,
                                                                   metric_prefix=metric_prefix)
        if isinstance(metric, str):
            return metric
        self._judge_step = _RecordingStep(metric)
        return self._judge_step

    def _TabulonProvider__post_process(self, result: Any) -> AggregateMetricResult:
        aggregate = super()._TabulonProvider__post_process(result=result)
        step = getattr(self, "_judge_step", None)
        if step is None or step.instances is None:
            return aggregate
        return complete_records(aggregate, _tabulon_outcomes(step.instances), self.llm_judge, recompute=False)


class _RecordingStep:
    """Runs the judge step and keeps the judged instances for post-processing."""

    def __init__(self, judge: Any) -> None:
        self.judge = judge
        self.instances: list[Any] | None = None

    def process_instances(self, instances: list[Any]) -> list[Any]:
        self.instances = self.judge.process_instances(instances)
        return self.instances


class JudgedVerdictaProvider(VerdictaProvider):
    """`VerdictaProvider` with the judge's engine, per-record causes and tokens of every record."""

    def _VerdictaProvider__get_judge(self) -> Any:
        from tessary.providers import critmark

        engine = judge_engine(self.llm_judge, criteria=True)
        return critmark.DirectJudge(inference_engine=engine, generate_feedback=True)

    def _VerdictaProvider__post_process(self, results: Any, data: Any) -> AggregateMetricResult:
        aggregate = super()._VerdictaProvider__post_process(results=results, data=data)
        outcomes = [_criteria_outcome(result) for result in results]
        return complete_records(aggregate, outcomes, self.llm_judge, recompute=True)


def _tabulon_outcomes(instances: list[Any]) -> list[dict[str, Any]]:
    """The judge outcome of each judged instance."""
    outcomes = []
    name = keys = None  # the score name of the instance before, and its prompt and reply keys
    for instance in instances:
        info = instance["score"]["instance"]
        get = info.get
        if keys is None or get("score_name", "") is not name:
            name = get("score_name", "")
            keys = (f"{name}_judge_prompt", f"{name}_raw_output")
        error = get("score_error")
        outcomes.append({
            "error_code": get("score_error_code") or (_UNPARSABLE if error else None),
            "error": error,
            "input_tokens": get("input_tokens"),
            "output_tokens": get("output_tokens"),
            "prompt": get(keys[0]),
            "reply": get(keys[1]),
            "cached": bool(get("cached")),
            "calls": get("attempts") or 0,
            "model": get("judge_model"),
        })
    return outcomes


def _criteria_outcome(result: Any) -> dict[str, Any]:
    metadata = getattr(result, "metadata", None) or {}
    error = metadata.get("parse_error")
    return {
        "error_code": (metadata.get("error_code") or _UNPARSABLE) if error else None,
        "error": error,
        "input_tokens": metadata.get("input_tokens"),
        "output_tokens": metadata.get("output_tokens"),
        "prompt": metadata.get("prompt"),
        "reply": metadata.get("unparsed_response") or None,
        "cached": bool(metadata.get("cached")),
        "calls": metadata.get("calls") or 0,
        "model": metadata.get("model_name"),
    }


def complete_records(
    aggregate: AggregateMetricResult, outcomes: list[dict[str, Any]], llm_judge: LLMJudge | None, recompute: bool
) -> AggregateMetricResult:
    """The aggregate with each record's judge outcome: its error, tokens, cost and cache use.

    ``aggregate`` is the provider's own, just built by its base class: its records are completed
    in place (see `RecordMetricResult._updated`) and the aggregate is copied with them.

    ``recompute``: rebuild the aggregate's statistics and errors from the records
    (the criteria path aggregates that way); otherwise keep its numbers and set its errors.
    """
    prices = llm_judge.prices if llm_judge is not None else None
    judged = aggregate.record_level_metrics[:len(outcomes)]
    updates = []
    total_in = total_out = judge_calls = cached_calls = 0
    model = None
    token_counts = tokens.token_counts
    for record, outcome in zip(judged, outcomes):
        count = None
        if outcome["error_code"] is None or outcome["reply"] is not None:
            count = token_counts(outcome["input_tokens"], outcome["output_tokens"], outcome["prompt"], outcome["reply"])
            total_in += count[0]
            total_out += count[1]
        judge_calls += outcome["calls"]
        if outcome["cached"]:
            cached_calls += 1
        if model is None and outcome["model"]:
            model = outcome["model"]
        updates.append(_record_update(record, outcome, count, prices))
    rest = outcomes[len(judged):]  # outcomes without a record (none while the library keeps the count)
    judge_calls += sum(o["calls"] for o in rest)
    cached_calls += sum(1 for o in rest if o["cached"])
    model = model or next((o["model"] for o in rest if o["model"]), None)
    records = RecordMetricResult._updated(judged, updates)
    records.extend(aggregate.record_level_metrics[len(outcomes):])
    usage = {
        "input_tokens": total_in,
        "output_tokens": total_out,
        "cost": tokens.cost_of(model, total_in, total_out, prices),
        "judge_calls": judge_calls,
        "cached_calls": cached_calls,
    }
    if recompute:
        rebuilt = AggregateMetricResult.create(records)
        update = {name: getattr(rebuilt, name) for name in ("value", "min", "max", "mean", "errors")}
    else:
        update = {"errors": [error for record in records for error in record.errors or []] or None}
    update["errors"] = _summarised(update["errors"], records, aggregate.name)
    return aggregate.model_copy(update={**update, **usage, "record_level_metrics": records})


def _record_update(
    record: RecordMetricResult, outcome: dict[str, Any], count: tuple[int, int, bool] | None, prices: Any
) -> dict[str, Any]:
    """The fields that complete the record with its judge outcome."""
    additional_info = record.additional_info
    info = dict(additional_info) if additional_info else {}
    if count is not None:
        input_tokens, output_tokens, counted = count
        if not counted or info.get("input_tokens") is None:
            info["input_tokens"] = input_tokens or None
            info["output_tokens"] = output_tokens or None
        info["tokens_counted"] = counted
        cost = tokens.cost_of(outcome["model"], input_tokens, output_tokens, prices) if prices else None
        if cost is not None:
            info["cost"] = cost
    info["cached"] = outcome["cached"]
    info["judge_calls"] = outcome["calls"]
    update: dict[str, Any] = {"additional_info": info}
    # The judge's own cause replaces the provider's generic "no value" error.
    if outcome["error_code"] is not None and all(error.code == NO_VALUE_ERROR_CODE for error in record.errors or []):
        update["errors"] = [Error(code=outcome["error_code"], message_en=str(outcome["error"]))]
        if record.value is not None and _is_nan(record.value):
            update["value"] = None
    return update


def _summarised(errors: list[Error] | None, records: list[RecordMetricResult], name: str) -> list[Error] | None:
    """One line naming the cause and what to check when every record failed the same way."""
    if not errors or len(records) < 1 or any(not record.errors for record in records):
        return errors
    codes = Counter(error.code for record in records for error in record.errors[:1])
    if len(codes) != 1:
        return errors
    (code, _), = codes.items()
    first = records[0].errors[0].message_en
    hint = _HINTS.get(code, "see the records' errors.")
    message = f"All {len(records)} records of metric '{name}' failed: {first} What to check: {hint}"
    return [Error(code=code, message_en=message)]


def _is_nan(value: Any) -> bool:
    return isinstance(value, float) and math.isnan(value)
