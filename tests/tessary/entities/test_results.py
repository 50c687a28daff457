import pickle
import uuid

import numpy as np
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


MISSING = [None, float("nan")]


@pytest.mark.parametrize("missing", MISSING, ids=["none", "nan"])
def test_create_leaves_out_missing_values_and_reports_them(missing):
    records = [record(0.2, "a"), record(missing, "b", label="maybe"), record(0.4, "c")]

    aggregate = AggregateMetricResult.create(records)

    assert (aggregate.value, aggregate.min, aggregate.max, aggregate.mean) == (0.3, 0.2, 0.4, 0.3)
    assert (aggregate.total_records, aggregate.measured_records) == (3, 2)
    (error,) = aggregate.errors
    assert error.code == "NO_VALUE" and "'b'" in error.message_en and "maybe" in error.message_en


@pytest.mark.parametrize("missing", MISSING, ids=["none", "nan"])
def test_create_without_any_value_is_an_error_with_one_error_per_record(missing):
    aggregate = AggregateMetricResult.create([record(missing, "a"), record(missing, "b")])

    assert aggregate.value == "Error" and aggregate.measured_records == 0
    assert [e.code for e in aggregate.errors] == ["NO_VALUE", "NO_VALUE"]


def test_create_refuses_entries_that_are_not_record_results():
    with pytest.raises(TypeError, match=r"record_level_metrics\[1\]"):
        AggregateMetricResult.create([record(1), {"value": 1}])


@pytest.mark.parametrize("cell", [pd.NaT, pd.NA, float("nan"), None])
def test_missing_timestamp_cells_become_none(cell):
    result = RecordMetricResult(name="m", record_timestamp=cell)
    assert result.record_timestamp is None
    assert result.model_dump(mode="json")["record_timestamp"] is None


def judged_results():
    """Results shaped as the three providers build them, NaN score included."""
    detector = AggregateMetricResult(
        name="hap",
        provider=EvaluationProvider.DETECTORS.value,
        group=MetricGroup.CONTENT_SAFETY,
        value=0.9,
        total_records=2,
        record_level_metrics=[
            RecordMetricResult(
                name="hap",
                provider="detectors",
                record_id="a",
                value=0.9,
                evidences=[{"text": "x", "score": 0.9, "start": 0, "end": 1}],
            ),
            RecordMetricResult(
                name="hap",
                provider="detectors",
                record_id="b",
                value=None,
                errors=[Error(code="503", message_en="down")],
            ),
        ],
        min=0.9,
        max=0.9,
        mean=0.9,
    )
    tabulon = AggregateMetricResult(
        name="answer_relevance",
        provider=EvaluationProvider.TABULON.value,
        value=0.5,
        total_records=2,
        record_level_metrics=[
            RecordMetricResult(name="answer_relevance", record_id="a", value=0.5),
            RecordMetricResult(name="answer_relevance", record_id="b", value=float("nan")),
        ],
        min=0.5,
        max=float("nan"),
        mean=0.5,
    )
    criteria = AggregateMetricResult.create(
        [
            RecordMetricResult(
                name="conciseness",
                provider="tabulon",
                value=1,
                label="yes",
                record_id=10,
                record_timestamp=pd.Timestamp("2024-05-01T13:45:07"),
                explanation="short",
                additional_info={"feedback": None, "input_tokens": 12, "output_tokens": 3},
            )
        ]
    )
    return MetricsEvaluationResult(metrics_result=[detector, tabulon, criteria])


def test_to_dict_of_every_provider_kind_is_strict_json():
    import json

    plain = judged_results().to_dict()

    text = json.dumps(plain, allow_nan=False)
    tabulon = plain["metrics_result"][1]
    assert tabulon["max"] is None and tabulon["record_level_metrics"][1]["value"] is None
    assert plain["metrics_result"][2]["record_level_metrics"][0]["record_timestamp"] == (
        "2024-05-01T13:45:07"
    )
    assert json.loads(text) == plain
    assert AggregateMetricResult.to_dict(judged_results().metrics_result[1]) == tabulon


def test_summary_counts_measured_records_and_errors_kept_on_records():
    summary = judged_results().summary_df()

    assert list(summary["measured_records"]) == [1, 1, 1]
    assert list(summary["total_records"]) == [2, 2, 1]
    assert list(summary["errors"]) == [1, 0, 0]


def test_to_df_of_every_provider_kind_has_one_row_per_record():
    frame = judged_results().to_df()

    assert list(frame["name"]) == ["hap", "hap", "answer_relevance", "answer_relevance", "conciseness"]
    assert frame.loc[0, "evidences"][0]["text"] == "x"
    assert frame.loc[1, "errors"] == "503: down"
    assert frame.loc[4, "additional_info"]["input_tokens"] == 12 and frame.loc[4, "label"] == "yes"


def test_results_nested_in_a_list_still_show_up():
    aggregate = AggregateMetricResult.create([record(0.5, "a")])
    result = MetricsEvaluationResult(metrics_result=[[aggregate]])

    assert list(result.to_df()["record_id"]) == ["a"]
    assert list(result.summary_df()["name"]) == ["faithfulness"]


def test_aggregate_repr_counts_records_instead_of_listing_them():
    aggregate = AggregateMetricResult.create(
        [record(0.5, f"r{i}") for i in range(500)] + [record(None, "z")]
    )

    text = repr(aggregate)

    assert "<501 records, 500 with a value>" in text
    assert "r499" not in text and len(text) < 2000


_ERROR = Error(code="E", message_en="failed")


@pytest.mark.parametrize(
    ("record_ids", "values", "extra"),
    [
        (["a", "b", "c"], [0.12345, 1, None], {}),
        ([1, None, "x"], [float("nan"), 0.5, True], {}),  # a bool takes the validated path
        ([np.int64(3), uuid.UUID(int=5)], [np.float64(0.25), 2], {}),
        (["a", "b"], [None, 0.5], {"errors": [[_ERROR], None]}),
        (["a", "b"], [0.1, 0.2], {"record_timestamps": ["2026-01-01T00:00:00", None]}),
        (["a", "b"], [None, None], {"thresholds": [MetricThreshold(type="lower_limit", value=0.5)],
                                    "group": MetricGroup.CONTENT_SAFETY}),
        # Enough records for the paused collector, all of the plain types, some without a value.
        ([f"r{i}" for i in range(6000)], [i / 7 if i % 1000 else (None if i % 2000 else float("nan"))
                                          for i in range(6000)], {}),
        # Enough records for the paused collector; one of them takes the validated path.
        ([f"r{i}" for i in range(6000)], [i / 7 if i != 4321 else "0.5" for i in range(6000)], {}),
    ],
)
def test_from_values_equals_one_by_one_construction(record_ids, values, extra):
    shared = {key: extra[key] for key in ("thresholds", "group") if key in extra}
    errors = extra.get("errors", [None] * len(values))
    stamps = extra.get("record_timestamps", [None] * len(values))
    one_by_one = AggregateMetricResult.create([
        RecordMetricResult(name="m", method="x", provider="custom", record_id=record_id, value=value,
                           **shared, **({"errors": error} if error else {}),
                           **({"record_timestamp": stamp} if stamp else {}))
        for record_id, value, error, stamp in zip(record_ids, values, errors, stamps)])
    bulk = AggregateMetricResult.from_values(name="m", method="x", provider="custom",
                                             record_ids=record_ids, values=values, **extra)
    assert bulk == one_by_one
    assert bulk.model_dump_json() == one_by_one.model_dump_json()
    assert [repr(r) for r in bulk.record_level_metrics] == [repr(r) for r in one_by_one.record_level_metrics]
    assert [r.model_fields_set for r in bulk.record_level_metrics] == [
        r.model_fields_set for r in one_by_one.record_level_metrics]
    first = bulk.record_level_metrics[0]
    assert first.thresholds is not bulk.record_level_metrics[-1].thresholds


def _set_label(record):
    record.label = "changed"
    return record


def _unpickled_with_label(record):
    return _set_label(pickle.loads(pickle.dumps(record)))


def _copy_with(record, update):
    return RecordMetricResult._copies_with([record], [update])[0]


def _own_set_with_label(record):
    record.model_fields_set.add("label")
    return record


@pytest.mark.parametrize(
    "change",
    [_set_label, lambda r: r.model_copy(update={"label": "changed"}), _unpickled_with_label, _own_set_with_label,
     lambda r: _copy_with(r, {"label": "changed"}), lambda r: _set_label(_copy_with(r, {"label": "x"}))],
    ids=["assignment", "model_copy", "pickled", "fields_set", "copies_with", "copies_with_then_assignment"],
)
@pytest.mark.parametrize("build", ["bulk", "create"])
def test_records_sharing_a_fields_set_change_alone(change, build):
    ids, values = ["a", "b", "c"], [0.5, 0.25, None]
    if build == "bulk":
        records = AggregateMetricResult.from_values(name="m", record_ids=ids, values=values).record_level_metrics
    else:
        records = AggregateMetricResult.create(
            [RecordMetricResult(name="m", record_id=i, value=v) for i, v in zip(ids, values)]).record_level_metrics
    alone = change(RecordMetricResult(name="m", record_id="a", value=0.5))

    changed = change(records[0])

    assert changed.model_fields_set == alone.model_fields_set == {"name", "record_id", "value", "label"}
    assert type(changed.model_fields_set) is set
    assert [r.model_fields_set for r in records[1:]] == [{"name", "record_id", "value"}] * 2
    assert records[1].model_dump(exclude_unset=True) == {"name": "m", "record_id": "b", "value": 0.25}


@pytest.mark.parametrize("update", [{"label": "l", "additional_info": {"a": 1}}, {"errors": [_ERROR], "value": None}])
def test_copies_with_equals_model_copy(update):
    [original] = AggregateMetricResult.from_values(name="m", record_ids=["a"], values=[0.5]).record_level_metrics
    copied, expected = _copy_with(original, update), original.model_copy(update=update)
    assert (copied, repr(copied), copied.model_dump_json()) == (expected, repr(expected), expected.model_dump_json())
    assert copied.model_fields_set == expected.model_fields_set and list(copied.__dict__) == list(expected.__dict__)
    assert original.model_fields_set == {"name", "record_id", "value"} and original.label is None


@pytest.mark.parametrize("updates", [
    [{"additional_info": {"a": 1}}] * 3,  # the same names for every record: one shared fields set
    [{"label": "l"}, {"errors": [_ERROR], "value": None}, {"label": "m"}],
])
@pytest.mark.parametrize("complete", ["_copies_with", "_updated"])
def test_bulk_updates_equal_model_copy(updates, complete):
    records = AggregateMetricResult.from_values(name="m", record_ids=["a", "b", "c"],
                                                values=[0.5, 0.25, None]).record_level_metrics
    expected = [record.model_copy(update=update) for record, update in zip(records, updates)]
    done = getattr(RecordMetricResult, complete)(records, updates)
    seen = [(d, repr(d), d.model_dump_json(), d.model_fields_set, list(d.__dict__)) for d in done]
    assert seen == [(e, repr(e), e.model_dump_json(), e.model_fields_set, list(e.__dict__)) for e in expected]
    assert [d is r for d, r in zip(done, records)] == [complete == "_updated"] * 3


def test_a_record_listed_twice_is_updated_as_two_copies():
    [record] = AggregateMetricResult.from_values(name="m", record_ids=["a"], values=[0.5]).record_level_metrics
    done = RecordMetricResult._updated([record, record], [{"label": "x"}, {"label": "y"}])
    assert [d.label for d in done] == ["x", "y"] and record.label is None


def test_from_values_refuses_columns_of_different_lengths():
    with pytest.raises(ValueError, match="one length"):
        AggregateMetricResult.from_values(name="m", record_ids=["a"], values=[1, 2])
