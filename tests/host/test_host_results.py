import pandas as pd

import pytest
from pydantic import ValidationError

from tessary.entities.base_classes import Error
from tessary.entities.enums import EvaluationProvider, MetricGroup
from tessary.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from tessary.entities.metric_threshold import MetricThreshold


def record(value, record_id="r", errors=None, **extra):
    return RecordMetricResult(
        name="faithfulness",
        display_name="Faithfulness",
        method="m",
        provider=EvaluationProvider.TABULON.value,
        group=MetricGroup.RETRIEVAL_QUALITY,
        value=value,
        record_id=record_id,
        errors=errors,
        thresholds=[MetricThreshold(type="lower_limit", value=0.7)],
        **extra,
    )


@pytest.mark.parametrize(
    ("values", "expected_min", "expected_max", "expected_mean"),
    [
        ([0.1235, 0.5], 0.1235, 0.5, 0.3117),  # 0.31175 is just below the tie as a double
        ([1, 0, 1], 0, 1, 0.6667),
        ([0.25], 0.25, 0.25, 0.25),
        ([0.1, None, 0.3], 0.1, 0.3, 0.2),  # records without a value are left out
    ],
)
def test_create_aggregates_min_max_and_rounded_mean(
    values, expected_min, expected_max, expected_mean
):
    records = [record(v, record_id=str(i)) for i, v in enumerate(values)]

    aggregate = AggregateMetricResult.create(records)

    assert (aggregate.min, aggregate.max, aggregate.mean) == (
        expected_min,
        expected_max,
        expected_mean,
    )
    assert aggregate.value == expected_mean
    assert aggregate.total_records == len(values)
    assert aggregate.measured_records == sum(v is not None for v in values)
    assert aggregate.record_level_metrics == records


def test_create_copies_identity_of_metric_from_first_record():
    aggregate = AggregateMetricResult.create([record(0.5)])

    assert (aggregate.name, aggregate.display_name, aggregate.method, aggregate.provider) == (
        "faithfulness",
        "Faithfulness",
        "m",
        "tabulon",
    )
    assert aggregate.group is MetricGroup.RETRIEVAL_QUALITY
    assert aggregate.thresholds == [MetricThreshold(type="lower_limit", value=0.7)]


def test_create_gathers_errors_and_reports_error_without_values():
    failures = [
        record(None, "a", errors=[Error(code="502", message_en="bad gateway")]),
        record(None, "b", errors=[Error(code="REQUEST_FAILED", message_en="refused")]),
    ]

    aggregate = AggregateMetricResult.create(failures)

    assert aggregate.value == "Error"
    assert (aggregate.min, aggregate.max, aggregate.mean) == (None, None, None)
    assert [e.code for e in aggregate.errors] == ["502", "REQUEST_FAILED"]


def test_create_keeps_errors_next_to_values_and_accepts_overrides():
    records = [record(0.4, "a"), record(None, "b", errors=[Error(code="500", message_en="x")])]

    aggregate = AggregateMetricResult.create(records, name="renamed")

    assert aggregate.value == 0.4
    assert aggregate.name == "renamed"
    assert [e.code for e in aggregate.errors] == ["500"]


@pytest.mark.parametrize(("argument", "error"), [([], ValueError), ((record(1),), TypeError)])
def test_create_refuses_empty_or_non_list_input(argument, error):
    with pytest.raises(error):
        AggregateMetricResult.create(argument)


@pytest.mark.parametrize("value", [0.5, 3, "Error", None])
def test_aggregate_value_accepts_numbers_and_error_text(value):
    assert AggregateMetricResult(name="m", value=value).value == value


def test_aggregate_value_refuses_other_text():
    with pytest.raises(ValidationError, match="Error"):
        AggregateMetricResult(name="m", value="high")


def evaluation():
    first = AggregateMetricResult.create(
        [
            record(0.9, "r1", label="yes", explanation="fine"),
            record(None, "r2", errors=[Error(code="404", message_en="missing")]),
        ]
    )
    failed = AggregateMetricResult(
        name="tool_call_accuracy", value="Error", total_records=0, errors=[]
    )
    return MetricsEvaluationResult(metrics_result=[first, failed])


def test_to_df_has_one_row_per_record_and_keeps_empty_metrics():
    frame = evaluation().to_df()

    assert list(frame["record_id"][:2]) == ["r1", "r2"]
    assert frame.loc[0, "value"] == 0.9 and frame.loc[0, "label"] == "yes"
    assert pd.isna(frame.loc[1, "value"])
    assert frame.loc[1, "errors"] == "404: missing"
    assert frame.loc[0, "group"] == "retrieval_quality"
    assert frame.loc[2, "name"] == "tool_call_accuracy" and frame.loc[2, "value"] == "Error"
    assert len(frame) == 3


def test_to_dict_is_plain_data_and_repr_summarises():
    result = evaluation()

    plain = result.to_dict()
    first = plain["metrics_result"][0]
    assert first["record_level_metrics"][1]["errors"] == [{"code": "404", "message_en": "missing"}]
    assert first["group"] == "retrieval_quality"
    text = repr(result)
    assert "2 metrics" in text and "faithfulness" in text and "tool_call_accuracy" in text


def test_evaluation_result_keeps_the_metric_objects():
    aggregate = AggregateMetricResult(name="m", value=1.0)

    assert MetricsEvaluationResult(metrics_result=[aggregate]).metrics_result[0] is aggregate


@pytest.mark.parametrize(
    ("cell", "expected"),
    [("r-1", "r-1"), (7, 7), (float("nan"), None), (None, None)],
)
def test_record_id_from_table_cells(cell, expected):
    assert RecordMetricResult(name="m", record_id=cell).record_id == expected


def test_record_id_objects_become_text():
    import uuid

    identifier = uuid.uuid4()
    assert RecordMetricResult(name="m", record_id=identifier).record_id == str(identifier)
    assert (
        RecordMetricResult(name="m", record_timestamp=1714567890).record_timestamp == "1714567890"
    )
