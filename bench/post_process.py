"""Per-record post-processing of the three provider modules against a plain Python loop doing the same.

For each module, 10,000 realistic answers are post-processed three ways, in alternating rounds:
1. the module's own post-processing (`DetectorsProvider.__post_process` over "hap" answers of the local
   detection service's lexicon, `TabulonProvider.__post_process` over a clipped similarity column with
   a few missing scores, `VerdictaProvider.__post_process` over criteria-judge answers);
2. a straightforward Python loop doing the very same work (written here only, checked to give the
   same results);
3. constructing the same result objects one by one from precomputed fields (what the loop pays for them).
All three pass the record fields in the same keyword order, as the construction cost depends on it.

Each round runs with the cyclic collector paused (collected before), the same for all three, and is
timed in CPU time of the process (the machine is shared); the best round of each is kept.

The modules assemble the records whose cells need no validation directly, for less than constructing
them one by one costs, so their work "above direct construction" is negative. What is compared is
therefore each way's whole per-record cost, the entities included: loop / module, the Python loop's
microseconds per record over the module's. That is stricter than comparing the work above direct
construction, which the loop does not pay for. Printed per module: direct construction, module and
loop in microseconds per record, the work of each above direct construction, and loop / module.
Last line: `ratio=<the smallest of the three>`.
"""

from __future__ import annotations

import gc
import math
import sys
import time
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any

import pandas as pd

from orvane_corvel_tallion import APIClient as QTSClient
from orvane_corvel_tallion import BearerTokenAuthenticator
from tessary.config import GenAIConfiguration
from tessary.entities.base_classes import Error
from tessary.entities.criteria import Option
from tessary.entities.enums import EvaluationProvider, MetricGroup
from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessary.entities.foundation_model import OpenAIFoundationModel
from tessary.entities.llm_judge import LLMJudge
from tessary.entities.metric_threshold import MetricThreshold
from tessary.providers.critmark import VerdictaProvider
from tessary.providers.loomwright import TabulonProvider
from tessary.providers.probewell import DetectorsProvider
from tessary.services.detectors.hap import find_terms

RECORDS = 10_000
ROUNDS = 21

WORDS = ("the quarterly report shows steady growth in the northern region while costs stayed flat and "
         "customers praised the new support line you idiot what a stupid damn mess").split()


def timed(run) -> float:
    gc.collect()
    gc.disable()
    try:
        start = time.process_time()
        run()
        return time.process_time() - start
    finally:
        gc.enable()


# ---------------------------------------------------------------------------------------------
# Detector provider ("hap")

def detector_answers() -> tuple[list[Any], list[str]]:
    """What the detection service answers for "hap", one request in a hundred failed."""
    answers = []
    for i in range(RECORDS):
        if i % 100 == 99:
            answers.append({"error": Error(code="503", message_en="Service Unavailable")})
            continue
        text = " ".join(WORDS[(i * 5 + k) % len(WORDS)] for k in range(12 + i % 9))
        answers.append({"detections": find_terms(text)})
    return answers, [f"r{i}" for i in range(RECORDS)]


def detector_provider() -> DetectorsProvider:
    qts = QTSClient(authenticator=BearerTokenAuthenticator(bearer_token="bench"), service_url="http://127.0.0.1:9",
                    service_instance_id="bench")
    client = SimpleNamespace(qts_client=qts,
                             credentials=SimpleNamespace(url="http://127.0.0.1:9", version="5.0", disable_ssl=False))
    return DetectorsProvider(GenAIConfiguration(), "hap", "HAP", None, MetricGroup.CONTENT_SAFETY,
                             [MetricThreshold(type="upper_limit", value=0.5)], api_client=client)


class _Invalid(Exception):
    pass


def _checked_score(detection: Any, index: int) -> Any:
    if not isinstance(detection, dict):
        raise _Invalid(f"detection {index} is {type(detection).__name__}, not a JSON object")
    if "score" not in detection:
        raise _Invalid(f'detection {index} has no "score"')
    score = detection["score"]
    if isinstance(score, bool) or not isinstance(score, (int, float)):
        raise _Invalid(f"detection {index} has the score {score!r} ({type(score).__name__}), not a number")
    if not math.isfinite(score):
        raise _Invalid(f"detection {index} has the score {score!r}, not a finite number")
    if not 0 <= score <= 1:
        raise _Invalid(f"detection {index} has the score {score!r}, outside 0 to 1")
    return score


def detector_loop(provider: DetectorsProvider, results: list, record_ids: list) -> AggregateMetricResult:
    """The detector post-processing for a non-accuracy metric with evidences ("hap", "pii", ...)."""
    name, display_name, method = provider.metric_name, provider.metric_display_name, provider.metric_method
    group, thresholds = provider.metric_group, provider.thresholds
    provider_value = EvaluationProvider.DETECTORS.value
    records, scores, errors = [], [], []
    for outcome, record_id in zip(list(results), list(record_ids)):
        code = message = None
        try:
            if isinstance(outcome, BaseException):
                code, message = "REQUEST_FAILED", str(outcome) or type(outcome).__name__
            elif not isinstance(outcome, dict):
                raise _Invalid("the answer is null, not a JSON object" if outcome is None
                               else f"the answer is {type(outcome).__name__}, not a JSON object")
            elif "error" in outcome:
                failure = outcome["error"]
                if not isinstance(failure, Error):
                    raise _Invalid(f"it carries the error {failure} instead of detections")
                code, message = failure.code, str(failure.message_en)
            else:
                if "detections" not in outcome:
                    raise _Invalid('the answer has no "detections" list')
                detections = outcome["detections"]
                if not isinstance(detections, list):
                    raise _Invalid(f'"detections" is {type(detections).__name__}, not a list')
                checked = [_checked_score(detection, i) for i, detection in enumerate(detections)]
                score = round(max(checked), 4) if checked else 0
                try:
                    evidences = [{"text": d["text"], "score": d["score"], "start": d["start"], "end": d["end"]}
                                 for d in detections]
                except Exception as error:
                    raise _Invalid(f"its evidences could not be read ({type(error).__name__}: {error})")
        except _Invalid as invalid:
            code, message = "INVALID_RESPONSE", f"Invalid answer from the detection service: {invalid}"
        if code is None:
            fields = dict(name=name, display_name=display_name, method=method, provider=provider_value, group=group,
                          thresholds=thresholds, record_id=record_id, value=score)
            if evidences:
                fields["evidences"] = evidences
            records.append(RecordMetricResult(**fields))
            scores.append(score)
        else:
            records.append(RecordMetricResult(name=name, display_name=display_name, method=method,
                                              provider=provider_value, group=group, thresholds=thresholds,
                                              record_id=record_id, value=None,
                                              errors=[Error(code=code, message_en=message)]))
            errors.append(Error(code=code, message_en=message))
    if scores:
        mean = round(sum(scores) / len(scores), 4)
        return AggregateMetricResult(name=name, display_name=display_name, method=method, group=group,
                                     provider=provider_value, value=mean, total_records=len(results),
                                     record_level_metrics=records, min=min(scores), max=max(scores), mean=mean,
                                     thresholds=thresholds)
    return AggregateMetricResult(name=name, display_name=display_name, method=method, group=group,
                                 provider=provider_value, value="Error", total_records=len(results),
                                 record_level_metrics=records, min=None, max=None, mean=None, thresholds=thresholds,
                                 errors=errors)


def direct_detector(expected: AggregateMetricResult, provider: DetectorsProvider):
    """The same records and aggregate, built from the expected fields."""
    rows = []
    for record in expected.record_level_metrics:
        fields = dict(name=record.name, display_name=record.display_name, method=record.method,
                      provider=record.provider, group=record.group, thresholds=provider.thresholds,
                      record_id=record.record_id, value=record.value)
        if record.evidences:
            fields["evidences"] = [dict(span) for span in record.evidences]
        error = None
        if record.errors:
            error = (record.errors[0].code, record.errors[0].message_en)
            fields["value"] = None
        rows.append((fields, error))

    def build():
        records = []
        for fields, error in rows:
            if error is None:
                records.append(RecordMetricResult(**fields))
            else:  # the failed records' errors come last, as the module gives them
                records.append(RecordMetricResult(**fields, errors=[Error(code=error[0], message_en=error[1])]))
        return AggregateMetricResult(name=expected.name, display_name=expected.display_name, method=expected.method,
                                     group=expected.group, provider=expected.provider, value=expected.value,
                                     total_records=expected.total_records, record_level_metrics=records,
                                     min=expected.min, max=expected.max, mean=expected.mean,
                                     thresholds=provider.thresholds)
    return build


def detector_case():
    provider = detector_provider()
    answers, ids = detector_answers()
    module = lambda: provider._DetectorsProvider__post_process(answers, ids)
    loop = lambda: detector_loop(provider, answers, ids)
    return module, loop, direct_detector(module(), provider)


# ---------------------------------------------------------------------------------------------
# Judge provider (a clipped catalog metric)

NO_VALUE_MESSAGE = ("The metric gave no value for this record: its input, output, context or reference is missing, "
                    "or it could not be scored.")


def judge_frame() -> pd.DataFrame:
    scores = [float("nan") if i % 97 == 0 else ((i * 7919) % 12001) / 10000 - 0.2 for i in range(RECORDS)]
    return pd.DataFrame({"faithfulness": scores, "record_id": [f"r{i}" for i in range(RECORDS)]})


def judge_provider() -> TabulonProvider:
    return TabulonProvider(GenAIConfiguration(), "faithfulness", "Faithfulness", "sentence_bert_mini_lm", "metrics.rag",
                           metric_group=MetricGroup.RETRIEVAL_QUALITY,
                           thresholds=[MetricThreshold(type="lower_limit", value=0.7)])


def judge_loop(provider: TabulonProvider, result: pd.DataFrame) -> AggregateMetricResult:
    name, display_name = provider.metric_name, provider.metric_display_name
    method, group, thresholds = provider.metric_method, provider.metric_group, provider.thresholds
    provider_value = EvaluationProvider.TABULON.value
    clip = name in provider.CLIP_METRIC_METHODS and method in provider.CLIP_METRIC_METHODS[name]
    column = result[name]
    records, values = [], []
    for raw, record_id in zip(column.tolist(), result["record_id"].tolist()):
        value = round(raw if raw > 0.0 else 0.0, 4) if clip else round(raw, 4)
        record = RecordMetricResult(name=name, display_name=display_name, method=method, provider=provider_value,
                                    group=group, thresholds=thresholds, value=value, record_id=record_id)
        if isinstance(value, float) and math.isnan(value):
            record.errors = [Error(code="NO_VALUE", message_en=NO_VALUE_MESSAGE)]
        records.append(record)
        values.append(record.value)
    present = [v for v in values if v is not None and not (isinstance(v, float) and math.isnan(v))]
    mean = round(column.mean(), 4)
    return AggregateMetricResult(name=name, display_name=display_name, method=method, group=group,
                                 provider=provider_value, value=mean, total_records=len(records),
                                 record_level_metrics=records, min=min(present, default=None),
                                 max=max(present, default=None), mean=mean, thresholds=thresholds)


def direct_judge(expected: AggregateMetricResult, provider: TabulonProvider):
    rows = [(record.value, record.record_id, record.errors is not None) for record in expected.record_level_metrics]

    def build():
        records = []
        for value, record_id, failed in rows:
            record = RecordMetricResult(name=expected.name, display_name=expected.display_name,
                                        method=expected.method, provider=expected.provider, group=expected.group,
                                        thresholds=provider.thresholds, value=value, record_id=record_id)
            if failed:
                record.errors = [Error(code="NO_VALUE", message_en=NO_VALUE_MESSAGE)]
            records.append(record)
        return AggregateMetricResult(name=expected.name, display_name=expected.display_name, method=expected.method,
                                     group=expected.group, provider=expected.provider, value=expected.value,
                                     total_records=expected.total_records, record_level_metrics=records,
                                     min=expected.min, max=expected.max, mean=expected.mean,
                                     thresholds=provider.thresholds)
    return build


def judge_case():
    provider, frame = judge_provider(), judge_frame()
    module = lambda: provider._TabulonProvider__post_process(result=frame)
    loop = lambda: judge_loop(provider, frame)
    return module, loop, direct_judge(module(), provider)


# ---------------------------------------------------------------------------------------------
# Criteria provider

@dataclass
class JudgeAnswer:
    """The fields the criteria judge's results carry."""

    selected_option: str | None
    explanation: str
    feedback: str | None
    score: float | None = None
    metadata: dict = field(default_factory=dict)


OPTIONS = [Option(name="correct", description="The {answer} matches.", value=1),
           Option(name="partly", description="Some of the {answer} matches.", value=0.5),
           Option(name="wrong", description="The {answer} contradicts it.", value=0)]


def criteria_inputs() -> tuple[list[JudgeAnswer], pd.DataFrame]:
    answers = []
    for i in range(RECORDS):
        option = OPTIONS[i % 3] if i % 50 else None
        answers.append(JudgeAnswer(
            selected_option=option.name if option else None,
            explanation=f"The answer about item {i} states the price of {i % 97} euros.",
            feedback=f"Mention the delivery time of item {i}." if i % 4 else "",
            score=option.value if option else None,
            metadata={"prompt": f"Judge item {i}", "unparsed_response": "correct", "attempts": 1}))
    table = pd.DataFrame({"record_id": [f"r{i}" for i in range(RECORDS)],
                          "record_timestamp": ["2024-05-01T00:00:00"] * RECORDS})
    return answers, table


def criteria_provider() -> VerdictaProvider:
    return VerdictaProvider(metric_name="price_correctness", display_name="Price correctness", value_type="numeric",
                            llm_judge=LLMJudge(model=OpenAIFoundationModel(model_id="judge")), options=OPTIONS,
                            criteria_description="Does the {answer} state the price?", prediction_field="answer",
                            metric_group=MetricGroup.CUSTOM, metric_method="llm_as_judge")


def criteria_loop(provider: VerdictaProvider, results: list, data: pd.DataFrame) -> AggregateMetricResult:
    scores = {option.name: option.value for option in provider.options}
    record_ids = data[provider.record_id_field].tolist()
    timestamps = data[provider.record_timestamp_field].tolist()
    name, display_name, method = provider.metric_name, provider.display_name, provider.metric_method
    group, thresholds = provider.metric_group, provider.thresholds
    provider_value = EvaluationProvider.TABULON.value
    records = []
    for answer, record_id, timestamp in zip(list(results), record_ids, timestamps):
        label = answer.selected_option
        records.append(RecordMetricResult(
            name=name, display_name=display_name, method=method, provider=provider_value, group=group,
            thresholds=thresholds, value=scores.get(label), label=label, record_id=record_id,
            record_timestamp=timestamp, explanation=answer.explanation,
            additional_info={"feedback": answer.feedback or None, "input_tokens": None, "output_tokens": None}))
    return AggregateMetricResult.create(records)


def direct_criteria(expected: AggregateMetricResult, provider: VerdictaProvider):
    rows = [dict(name=r.name, display_name=r.display_name, method=r.method, provider=r.provider, group=r.group,
                 thresholds=provider.thresholds, value=r.value, label=r.label, record_id=r.record_id,
                 record_timestamp=r.record_timestamp, explanation=r.explanation,
                 additional_info=dict(r.additional_info))
            for r in expected.record_level_metrics]
    return lambda: AggregateMetricResult.create([RecordMetricResult(**fields) for fields in rows])


def criteria_case():
    provider = criteria_provider()
    answers, table = criteria_inputs()
    module = lambda: provider._VerdictaProvider__post_process(results=answers, data=table)
    loop = lambda: criteria_loop(provider, answers, table)
    return module, loop, direct_criteria(module(), provider)


# ---------------------------------------------------------------------------------------------

def same_result(first: AggregateMetricResult, second: AggregateMetricResult) -> bool:
    return first.model_dump() == second.model_dump() and repr(first) == repr(second)


def measure(label: str, case) -> float:
    module, loop, direct = case()
    outcomes = module(), loop(), direct()
    if not (same_result(outcomes[0], outcomes[1]) and same_result(outcomes[0], outcomes[2])):
        raise RuntimeError(f"{label}: the three ways do not give the same result")
    best = {"module": math.inf, "loop": math.inf, "direct": math.inf}
    for _ in range(ROUNDS):
        for key, run in (("direct", direct), ("module", module), ("loop", loop)):
            best[key] = min(best[key], timed(run))
    per_record = {key: value / RECORDS * 1e6 for key, value in best.items()}
    module_extra = per_record["module"] - per_record["direct"]
    loop_extra = per_record["loop"] - per_record["direct"]
    ratio = per_record["loop"] / per_record["module"]
    print(f"{label}: direct construction {per_record['direct']:.2f} us/record, module {per_record['module']:.2f}, "
          f"Python loop {per_record['loop']:.2f}; above direct construction: module {module_extra:+.2f}, "
          f"loop {loop_extra:+.2f}; loop/module {ratio:.2f}")
    return ratio


CASES = {"probewell": ("probewell (hap)", detector_case),
         "loomwright": ("loomwright (clipped scores)", judge_case),
         "critmark": ("critmark (criteria answers)", criteria_case)}


def main(names: list[str]) -> None:
    """Measures the modules named (all three by default)."""
    ratios = [measure(*CASES[name]) for name in names or CASES]
    print(f"ratio={min(ratios):.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
