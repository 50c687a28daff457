"""Detector post-processing: record scores, rounding, names, evidences, errors and the aggregate."""

import math
import random

import pytest

from probewell_support import provider
from tessary.entities.base_classes import Error
from tessary.entities.enums import MetricGroup


def post(made, results, ids=None):
    return made._DetectorsProvider__post_process(results, ids if ids is not None else [f"r{i}" for i in range(len(results))])


def answer(*scores, **fields):
    span = {"text": "t", "start": 0, "end": 1, **fields}
    return {"detections": [{"score": s, **span} for s in scores]}


def failure(code="503", message="gateway"):
    return {"error": Error(code=code, message_en=message)}


def test_rounding_and_mean():
    result = post(provider("hap"), [answer(0.12345), answer(0.5, 0.2)])
    assert [r.value for r in result.record_level_metrics] == [0.1235, 0.5]
    assert (result.min, result.max, result.mean, result.value) == (0.1235, 0.5, 0.3117, 0.3117)
    assert result.errors is None and result.total_records == 2


def test_rounding_matches_builtin_round():
    rng = random.Random(7)
    values = [rng.random() for _ in range(2000)] + [0.00005, 0.00015, 2.675e-4, 1 - 1e-17, 0.12345, 1e-300]
    result = post(provider("pii"), [answer(v) for v in values])
    assert [r.value for r in result.record_level_metrics] == [round(v, 4) for v in values]
    assert result.mean == round(sum(round(v, 4) for v in values) / len(values), 4)


def test_hap_evidences_and_record_fields():
    made = provider("hap", method="m", thresholds=[], metric_group=MetricGroup.CONTENT_SAFETY)
    detections = {"detections": [{"score": 0.91, "text": "a", "start": 0, "end": 1, "extra": True},
                                 {"score": 0.12, "text": "b", "start": 3, "end": 4}]}
    record = post(made, [detections], ["id-1"]).record_level_metrics[0]
    assert record.value == 0.91
    assert record.evidences == [{"text": "a", "score": 0.91, "start": 0, "end": 1},
                                {"text": "b", "score": 0.12, "start": 3, "end": 4}]
    assert (record.name, record.display_name, record.method, record.provider, record.group, record.record_id) == (
        "hap", "Hap", "m", "detectors", MetricGroup.CONTENT_SAFETY, "id-1")


@pytest.mark.parametrize(
    ("name", "outcome", "expected"),
    [
        ("topic_relevance", answer(0.3), 0.7),
        ("topic_relevance", answer(), 1),
        ("tool_call_accuracy", answer(0.25, 0.9), 0.1),
        ("hap", answer(), 0),
        ("pii", answer(1), 1),
    ],
)
def test_record_scores(name, outcome, expected):
    value = post(provider(name), [outcome]).record_level_metrics[0].value
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize(("method", "evidences"), [("faithfulness_model", ["p1", "p2"]), ("other", None)])
def test_rag_evidences_follow_method(method, evidences):
    outcome = {"detections": [{"score": 0.4, "evidence": ["p1", "x"]}, {"score": 0.6, "evidence": ["p2"]}]}
    record = post(provider("faithfulness", method=method), [outcome]).record_level_metrics[0]
    assert (record.value, record.evidences) == (0.6, evidences)


@pytest.mark.parametrize(("name", "record_name"), [("keyword", "keyword_detection"), ("regex", "regex_detection")])
def test_keyword_and_regex_record_names(name, record_name):
    result = post(provider(name), [answer(1, text="k", start=0, end=1)])
    assert (result.name, result.record_level_metrics[0].name) == (name, record_name)


def test_all_failing_gives_error_value():
    result = post(provider("hap"), [failure("502", "bad"), failure("REQUEST_FAILED", "refused")])
    assert (result.value, result.min, result.max, result.mean) == ("Error", None, None, None)
    assert [(e.code, e.message_en) for e in result.errors] == [("502", "bad"), ("REQUEST_FAILED", "refused")]
    records = result.record_level_metrics
    assert [r.value for r in records] == [None, None]
    assert [(r.errors[0].code, r.errors[0].message_en) for r in records] == [("502", "bad"), ("REQUEST_FAILED", "refused")]


def test_one_success_among_failures():
    result = post(provider("hap"), [failure(), answer(0.4), failure()])
    assert (result.value, result.min, result.max, result.errors, result.total_records) == (0.4, 0.4, 0.4, None, 3)


def test_no_outcomes():
    result = post(provider("tool_call_accuracy"), [], ["a", "b"])
    assert (result.total_records, result.record_level_metrics, result.value, result.errors) == (0, [], "Error", [])


def test_walk_stops_at_shorter_list():
    result = post(provider("hap"), [answer(0.1), answer(0.2)], ["only"])
    assert [r.record_id for r in result.record_level_metrics] == ["only"] and result.total_records == 2


@pytest.mark.parametrize(
    "outcome, code, reason",
    [(None, "INVALID_RESPONSE", "null"), (RuntimeError("boom"), "REQUEST_FAILED", "boom"),
     ({"error": {"code": 1}}, "INVALID_RESPONSE", "{'code': 1}"),
     ({"detections": [{"text": "no score"}]}, "INVALID_RESPONSE", 'no "score"'),
     ({"nothing": 1}, "INVALID_RESPONSE", 'no "detections"'), ({"detections": None}, "INVALID_RESPONSE", "null"),
     ({"detections": [{"score": -0.5}]}, "INVALID_RESPONSE", "outside 0 to 1"),
     ({"detections": [{"score": True}]}, "INVALID_RESPONSE", "not a number"),
     ({"detections": [{"score": 0.5}]}, "INVALID_RESPONSE", "evidences could not be read")],
)
def test_one_malformed_outcome_costs_only_its_record(outcome, code, reason):
    result = post(provider("hap"), [answer(0.5), outcome, answer(0.25)])
    good, bad, other = result.record_level_metrics
    assert (good.value, other.value, bad.value) == (0.5, 0.25, None)
    assert bad.errors[0].code == code and reason in bad.errors[0].message_en
    assert (result.value, result.min, result.max) == (0.375, 0.25, 0.5)


def test_exact_list_arguments():
    with pytest.raises(TypeError, match=r"Argument 'record_ids' has incorrect type \(expected list, got tuple\)"):
        provider("hap")._DetectorsProvider__post_process([], ())


@pytest.mark.parametrize(("name", "method"), [("hap", None), ("faithfulness", "faithfulness_model")])
def test_additional_info_takes_any_sequence_of_detections(name, method):
    detections = ({"score": 0.5, "text": "t", "start": 1, "end": 2, "evidence": ["e"]},)
    expected = ["e"] if name == "faithfulness" else [{"text": "t", "score": 0.5, "start": 1, "end": 2}]
    assert provider(name, method=method)._DetectorsProvider__get_additional_info(detections) == expected


def test_rounding_near_ties_matches_builtin_round():
    # Scores whose ten-thousandfold lies within a few units in the last place of a tie: the
    # quick rounding must hand these to the exact decimal path.
    values = []
    for k in range(0, 10000, 7):
        tie = (k + 0.5) / 10000
        for _ in range(3):
            values.append(tie)
            tie = math.nextafter(tie, 1.0)
        tie = (k + 0.5) / 10000
        for _ in range(3):
            tie = math.nextafter(tie, 0.0)
            values.append(tie)
    values = [v for v in values if 0 <= v <= 1]
    result = post(provider("pii"), [answer(v) for v in values])
    assert [r.value for r in result.record_level_metrics] == [round(v, 4) for v in values]
    accuracy = post(provider("topic_relevance"), [answer(v) for v in values])
    assert [r.value for r in accuracy.record_level_metrics] == [round(1 - v, 4) for v in values]


@pytest.mark.parametrize("where", ["instance", "class"])
def test_replaced_additional_info_is_called_for_each_record(where, monkeypatch):
    made, calls = provider("hap"), []

    def additional_info(*args):
        calls.append(args[-1])
        return [{"seen": len(args[-1])}]

    if where == "instance":
        monkeypatch.setattr(made, "_DetectorsProvider__get_additional_info", additional_info)
    else:
        monkeypatch.setattr(type(made), "_DetectorsProvider__get_additional_info", additional_info)
    result = post(made, [answer(0.5), answer(0.1, 0.2)])
    assert [r.evidences for r in result.record_level_metrics] == [[{"seen": 1}], [{"seen": 2}]]
    assert len(calls) == 2
