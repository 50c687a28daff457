"""Records the providers build in C++. Those assembled without validating them one by one must be
indistinguishable from records the class validates: same state (field order and types), fields set, repr and dump, and no
list or dict shared with another record or with the caller. Each case mixes cells of the kept types
with cells only validation can convert (numpy ids, str subclasses, timestamps, bools)."""

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import critmark_support
import probewell_support
from tessary.config import GenAIConfiguration
from tessary.entities.base_classes import Error
from tessary.entities.criteria import Option
from tessary.entities.evaluation_result import RecordMetricResult
from tessary.entities.metric_threshold import MetricThreshold
from tessary.providers import critmark, loomwright, probewell

THRESHOLDS = [MetricThreshold(type="upper_limit", value=0.5)]


class Text(str):
    pass


def detector_run():
    made = probewell_support.provider("hap", thresholds=THRESHOLDS)
    spans = [{"score": 0.25, "text": "t", "start": 0, "end": 1}]
    outcomes = [{"detections": spans}, {"detections": []}, {"error": Error(code="503", message_en="down")},
                {"detections": [{"score": 0.75, "text": Text("u"), "start": 1, "end": 2}]}, {"detections": spans}]
    ids = ["a", 7, np.int64(3), None, True]
    return probewell, lambda: made._DetectorsProvider__post_process(outcomes, ids)


def judge_run():
    made = loomwright.TabulonProvider(GenAIConfiguration(), "faithfulness", "F", "token_recall", "metrics.rag",
                                      thresholds=THRESHOLDS)
    frame = pd.DataFrame({"faithfulness": [0.5, float("nan"), -0.25, 0.125, float("nan")],
                          "record_id": pd.Series(["a", 7, np.int64(3), None, Text("e")], dtype=object)})
    return loomwright, lambda: made._TabulonProvider__post_process(result=frame)


def criteria_run():
    options = [Option(name="yes", description="fits", value=1), Option(name="no", description="no", value=0.5)]
    made = critmark_support.provider(options=options, thresholds=THRESHOLDS)
    answers = [SimpleNamespace(selected_option=option, explanation=explanation, feedback=feedback, metadata={})
               for option, explanation, feedback in (("yes", "fine", "more"), ("no", Text("odd"), ""),
                                                     (None, "none", None), ("yes", None, ["a list"]))]
    data = pd.DataFrame({"record_id": ["a", "b", np.int64(3), "d"],
                         "record_timestamp": ["2024-05-01", pd.Timestamp("2024-05-02"), "x", None]})
    return critmark, lambda: made._VerdictaProvider__post_process(results=answers, data=data)


def state(record):
    return [(key, type(value), repr(value)) for key, value in record.__dict__.items()]


@pytest.mark.parametrize("run", [detector_run, judge_run, criteria_run], ids=["probewell", "loomwright", "critmark"])
def test_assembled_records_match_validated_ones(monkeypatch, run):
    module, post_process = run()
    assembled = post_process()
    # A record class that is not a class validates every record itself.
    monkeypatch.setattr(module, "RecordMetricResult", lambda **fields: RecordMetricResult(**fields))
    validated = post_process()

    assert repr(assembled) == repr(validated)
    assert repr(assembled.model_dump()) == repr(validated.model_dump())  # NaN scores compare by their text
    pairs = list(zip(assembled.record_level_metrics, validated.record_level_metrics, strict=True))
    for mine, theirs in pairs:
        assert type(mine) is RecordMetricResult
        assert state(mine) == state(theirs)
        assert mine.model_fields_set == theirs.model_fields_set and repr(mine) == repr(theirs)
    containers = [id(value) for record in assembled.record_level_metrics
                  for value in record.__dict__.values() if isinstance(value, (list, dict))]
    assert len(containers) == len(set(containers))  # every record owns its lists and dicts

    first, second = assembled.record_level_metrics[:2]
    fields_set = set(second.model_fields_set)
    first.thresholds.append(MetricThreshold(type="lower_limit", value=0.1))
    first.record_timestamp = "changed"
    assert len(second.thresholds) == 1 and second.model_fields_set == fields_set


@pytest.mark.parametrize("run", [detector_run, judge_run], ids=["probewell", "loomwright"])
def test_a_replaced_round_is_honoured(monkeypatch, run):
    module, post_process = run()
    calls = []
    monkeypatch.setattr(module, "round", lambda value, digits: calls.append(digits) or 0.5, raising=False)
    result = post_process()
    scored = [record.value for record in result.record_level_metrics if not record.errors]
    # a record without detections scores 0 unrounded
    assert set(scored) <= {0, 0.5} and scored.count(0.5) >= 3 and result.mean == 0.5 and set(calls) == {4}
