"""Result builders shared by the report tests."""
from tessary.entities.base_classes import Error
from tessary.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from tessary.entities.metric_threshold import MetricThreshold

TEXTS = ["Call 555-0100, you idiot", "Ça va? <b>fine</b>", "all good", "idiot idiot"]


def record(name, record_id, value, errors=None, **fields):
    return RecordMetricResult(name=name, method="m", provider="detectors", record_id=record_id,
                              value=value, errors=errors, **fields)


def aggregate(name, values, *, group=None, limit=None, evidences=None, ids=None):
    """One metric over records r0, r1, ...; a value of "err" makes that record fail."""
    thresholds = [MetricThreshold(type=limit[0], value=limit[1])] if limit else []
    records = []
    for position, value in enumerate(values):
        failed = value == "err"
        records.append(record(
            name, (ids or [f"r{i}" for i in range(len(values))])[position], None if failed else value,
            errors=[Error(code="REQUEST_FAILED", message_en=f"refused <{position}>")] if failed else None,
            group=group, thresholds=thresholds,
            evidences=(evidences or {}).get(position),
        ))
    return AggregateMetricResult.create(records)


def span(text, word, score=0.9):
    start = text.index(word)
    return {"text": word, "start": start, "end": start + len(word), "score": score}


