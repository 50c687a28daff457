import json
import math
from datetime import datetime, timezone

import pandas as pd
import pytest

from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import MetricsEvaluationResult, RecordMetricResult

from report_builders import aggregate, record


def first_record(result):
    return result.metrics_result[0].record_level_metrics[0]


@pytest.mark.parametrize(
    ("fields", "check"),
    [
        ({"value": math.nan}, lambda r: math.isnan(r.value)),
        ({"value": math.inf}, lambda r: r.value == math.inf),
        ({"value": -math.inf}, lambda r: r.value == -math.inf),
        ({"value": 1}, lambda r: type(r.value) is int),
        ({"value": 1.0}, lambda r: type(r.value) is float),
        ({"record_id": 7}, lambda r: r.record_id == 7),
        ({"explanation": "naïve — 日本語 \u2028 \"quoted\""},
         lambda r: r.explanation == "naïve — 日本語 \u2028 \"quoted\""),
        ({"record_timestamp": datetime(2026, 1, 2, 3, 4, 5, 6, tzinfo=timezone.utc)},
         lambda r: r.record_timestamp == datetime(2026, 1, 2, 3, 4, 5, 6, tzinfo=timezone.utc)),
        ({"evidences": [{"text": "é", "start": 0, "end": 1, "score": math.nan}, ("a", 1)]},
         lambda r: r.evidences[1] == ("a", 1) and math.isnan(r.evidences[0]["score"])),
        ({"additional_info": {"$float": "nan", "n": {1: "one"}}},
         lambda r: r.additional_info == {"$float": "nan", "n": {1: "one"}}),
    ],
    ids=["nan", "inf", "-inf", "int", "float", "int-id", "non-ascii", "timestamp", "evidences",
         "tag-like-keys"],
)
def test_json_round_trip_keeps_values_exactly(fields, check):
    fields = {"value": 0.5, **fields}
    result = MetricsEvaluationResult(
        metrics_result=[aggregate("hap", [0.1])],
        run_info={"seconds": math.inf, "data_file": "données.csv"},
    )
    result.metrics_result[0].record_level_metrics[0] = record("hap", fields.pop("record_id", "r0"),
                                                              group=MetricGroup.CONTENT_SAFETY, **fields)
    text = result.to_json()

    restored = MetricsEvaluationResult.from_json(text)

    assert check(first_record(restored))
    assert restored.run_info == result.run_info
    assert restored.to_json() == text
    json.loads(text, parse_constant=lambda name: pytest.fail(f"non-standard JSON constant {name}"))


def test_json_round_trip_of_a_whole_run(result, tmp_path):
    loose = record("regex", "r9", 1)
    result.metrics_result.append([loose])
    path = tmp_path / "results.json"
    result.to_json(path)

    restored = MetricsEvaluationResult.from_json(path)

    assert restored.to_json() == result.to_json()
    faithfulness = restored.metrics_result[0]
    assert faithfulness.thresholds == result.metrics_result[0].thresholds
    assert [str(e) for e in faithfulness.errors] == ["REQUEST_FAILED: refused <2>"]
    assert restored.metrics_result[1].record_level_metrics[0].evidences[0]["text"] == "idiot"
    assert isinstance(restored.metrics_result[-1][0], RecordMetricResult)


@pytest.mark.parametrize(
    ("source", "error", "message"),
    [
        ("{not json", ValueError, "not valid JSON"),
        ('{"metrics_result": []}', ValueError, "not a results document"),
        ('{"format": "tessary-results", "version": 99}', ValueError, "version 99"),
        ('{"format": "tessary-results", "version": 1, "metrics_result": [{"kind": "x"}]}',
         ValueError, "metrics_result[0]"),
        ("missing.json", FileNotFoundError, "missing.json"),
    ],
)
def test_from_json_refuses_what_it_did_not_write(source, error, message):
    with pytest.raises(error, match=message.replace("[", r"\[")):
        MetricsEvaluationResult.from_json(source)


def test_wide_table_joins_records_by_identifier(result, records_table):
    shuffled = records_table.iloc[[2, 0, 3, 1]]

    wide = result.to_df(wide=True, data=shuffled)

    assert list(wide.columns[:3]) == ["record_id", "input_text", "generated_text"]
    assert wide.set_index("record_id")["hap"].to_dict() == {"r0": 0.95, "r1": 0.01, "r2": 0.0, "r3": 0.88}
    assert wide.loc[wide.record_id == "r2", "faithfulness error"].item() == "REQUEST_FAILED: refused <2>"
    assert "hap[output]" in wide.columns and "hap error" not in wide.columns


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (pd.DataFrame({"text": list("abcd")}), ["r0", "r1", "r2", "r3"]),  # matched by position
        (pd.DataFrame({"record_id": ["r0"], "text": ["a"]}), ["r0", "r1", "r2", "r3"]),  # rest appended
    ],
)
def test_wide_table_keeps_every_record(result, data, expected):
    assert list(result.to_df(wide=True, data=data)["record_id"]) == expected


def test_wide_table_refuses_unmatchable_data(result):
    with pytest.raises(ValueError, match="cannot be matched"):
        result.to_df(wide=True, data=pd.DataFrame({"text": ["a"]}))


@pytest.mark.parametrize("writer", ["to_csv", "to_parquet"])
def test_file_exports_hold_the_wide_table(result, records_table, tmp_path, writer):
    records_table["contexts"] = [["c1", "ç2"], [], ["x"], ["y"]]
    path = getattr(result, writer)(tmp_path / f"out.{writer[3:]}", data=records_table)

    back = pd.read_csv(path) if writer == "to_csv" else pd.read_parquet(path)

    expected = result.to_df(wide=True, data=records_table)
    assert list(back.columns) == list(expected.columns)
    assert back["faithfulness"].tolist()[:2] == [0.9, 0.2] and math.isnan(back["faithfulness"][2])
    assert back["input_text"].tolist() == expected["input_text"].tolist()
    contexts = back["contexts"][0]
    assert list(json.loads(contexts) if writer == "to_csv" else contexts) == ["c1", "ç2"]
