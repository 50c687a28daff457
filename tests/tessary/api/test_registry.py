"""Metric names resolve through one registry; unknown names get the closest ones."""
import pytest

import tessary
from tessary.api import UnknownMetricError
from tessary.api._registry import resolve_metric
from tessary.metrics import detector_metrics as dm
from tessary.metrics import judge_metrics as jm


@pytest.mark.parametrize("text, kind, method, applies_to", [
    ("faithfulness", dm.FaithfulnessMetric, "faithfulness_model", "input"),
    ("faithfulness:llm_as_judge", jm.FaithfulnessMetric, "llm_as_judge", None),
    ("answer_correctness:token_recall", jm.AnswerCorrectnessMetric, "token_recall", None),
    ("hap", dm.HAPMetric, "hap_lexicon", "input"),
    ("pii[output]", dm.PIIMetric, "pii_patterns", "output"),
    ("violence", dm.ViolenceMetric, "korund_guardian", "input"),
])
def test_names_and_methods_resolve(text, kind, method, applies_to):
    metric = resolve_metric(text)
    assert type(metric) is kind and metric.method == method
    assert getattr(metric, "applies_to", None) == applies_to


@pytest.mark.parametrize("text, message", [
    ("faithfullness", "Unknown metric 'faithfullness'. Did you mean: faithfulness?"),
    ("faithfulness:llm_judge", "Metric 'faithfulness' has no method 'llm_judge'. Did you mean: llm_as_judge?"),
    ("keyword", "Metric 'keyword' needs keywords"),
    ("faithfulness[output]", "Metric 'faithfulness' does not read one text"),
])
def test_unknown_names_suggest_the_closest(text, message):
    with pytest.raises(UnknownMetricError) as error:
        resolve_metric(text)
    assert str(error.value).startswith(message)


def test_list_metrics_tells_needs():
    infos = {(info.name, info.provider): info for info in tessary.list_metrics()}
    assert infos["hap", "detectors"].needs_detection_service and not infos["hap", "detectors"].needs_judge
    assert infos["faithfulness", "tabulon"].judge_methods == ("llm_as_judge",)
    assert set(infos["answer_correctness", "tabulon"].fields) == {"input", "output", "reference"}
    assert infos["keyword", "detectors"].parameters == ("keywords",)
