"""Property: whatever the detection service answers and whatever the record table holds, every record
ends with a value or an error record, and the aggregate counts every record."""

import math
from types import SimpleNamespace

import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane_corvel_tallion import APIClient as QTSClient
from orvane_corvel_tallion import BearerTokenAuthenticator
from tessary.config import GenAIConfiguration
from tessary.entities.base_classes import Error
from tessary.providers.loomwright import TabulonProvider
from tessary.providers.probewell import DetectorsProvider

json_scalars = st.none() | st.booleans() | st.integers(-5, 5) | st.floats(allow_nan=True, allow_infinity=True) | st.text(max_size=5)
json_values = st.recursive(json_scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3), max_leaves=8)
detections = st.fixed_dictionaries({"score": json_values}, optional={"text": json_values, "start": json_values, "end": json_values})
answers = st.one_of(
    st.fixed_dictionaries({"detections": st.lists(detections | json_values, max_size=4)}),
    st.fixed_dictionaries({"detections": json_values}),
    st.fixed_dictionaries({"error": json_values}),
    st.builds(lambda code: {"error": Error(code=code, message_en="failed")}, st.sampled_from(["500", "REQUEST_FAILED"])),
    json_values,
)


def detectors(metric):
    qts = QTSClient(authenticator=BearerTokenAuthenticator(bearer_token="t"), service_url="http://127.0.0.1:9",
                    service_instance_id="i")
    client = SimpleNamespace(qts_client=qts, credentials=SimpleNamespace(url="http://127.0.0.1:9", version="5",
                                                                          disable_ssl=False))
    return DetectorsProvider(GenAIConfiguration(), metric, metric, None, api_client=client)


def ends_well(record):
    has_value = record.value is not None and not (isinstance(record.value, float) and math.isnan(record.value))
    return has_value != bool(record.errors)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(["hap", "topic_relevance", "keyword"]), st.lists(answers, max_size=6))
def test_every_detector_record_has_a_value_or_an_error(metric, outcomes):
    result = detectors(metric)._DetectorsProvider__post_process(outcomes, [f"r{i}" for i in range(len(outcomes))])
    assert result.total_records == len(outcomes) == len(result.record_level_metrics)
    assert all(ends_well(record) for record in result.record_level_metrics)
    values = [r.value for r in result.record_level_metrics if r.value is not None]
    assert result.value == (round(sum(values) / len(values), 4) if values else "Error")
    assert all(0 <= value <= 1 for value in values)


cells = (st.none() | st.just(math.nan) | st.text(max_size=12) | st.integers(-3, 3) | st.lists(st.text(max_size=6), max_size=2)
         | st.just("[" * 100_000))  # nested deeper than the decoders go


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(cells, cells, cells), min_size=1, max_size=5))
def test_every_token_recall_record_has_a_value_or_an_error(rows):
    table = pd.DataFrame(rows, columns=["input_text", "generated_text", "context"])
    table["record_id"] = [f"r{i}" for i in range(len(rows))]
    configuration = GenAIConfiguration(context_fields=["context"])
    result = TabulonProvider(configuration, "faithfulness", "F", "token_recall", "metrics.rag").evaluate(data=table)
    assert result.total_records == len(rows)
    assert all(ends_well(record) for record in result.record_level_metrics)
    for (_, answer, context), record in zip(rows, result.record_level_metrics):
        if missing(answer) or missing(context) or context == []:  # nothing to compare is no score, never a perfect one
            assert record.errors and record.errors[0].code == "NO_VALUE"


def missing(cell):
    return cell is None or (isinstance(cell, float) and math.isnan(cell))
