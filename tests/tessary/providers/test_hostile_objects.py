"""Objects whose dunder methods mutate their containers, return the wrong type or raise, fed to the
native modules' entry points and private steps: each used to crash the interpreter (or, for the
raising one, lose the whole metric); each must now give the correct result."""

import functools
import json
from types import SimpleNamespace

import pandas as pd
import pytest

from orvane_corvel_tallion import APIClient as QTSClient
from orvane_corvel_tallion import BearerTokenAuthenticator
from tessary.config import GenAIConfiguration
from tessary.entities.criteria import Option
from tessary.entities.foundation_model import OpenAIFoundationModel
from tessary.entities.llm_judge import LLMJudge
from tessary.providers import critmark, loomwright
from tessary.providers.probewell import DetectorsProvider


def detectors(metric="hap", **kwargs):
    qts = QTSClient(authenticator=BearerTokenAuthenticator(bearer_token="t"), service_url="http://127.0.0.1:9",
                    service_instance_id="i")
    client = SimpleNamespace(qts_client=qts, credentials=SimpleNamespace(url="http://127.0.0.1:9", version="5",
                                                                          disable_ssl=False))
    return DetectorsProvider(GenAIConfiguration(), metric, metric, None, api_client=client, **kwargs)


def criteria_judge():
    options = [Option(name="yes", description="fits", value=1), Option(name="no", description="no", value=0)]
    return critmark.VerdictaProvider(metric_name="fit", display_name="Fit", value_type="numeric",
                                     llm_judge=LLMJudge(model=OpenAIFoundationModel(model_id="m")), options=options)


def emptying_dict(target, method, data):
    """A dict whose `method` empties `target` before doing its job."""
    base = getattr(dict, method)

    def hostile(self, *args):
        target.clear()
        return base(self, *args)

    return type("HostileDict", (dict,), {method: hostile})(data)


class HostileScore(float):
    def __gt__(self, other):
        self.target.clear()
        return float(self) > other


def answer(score):
    return {"detections": [{"score": score, "text": "t", "start": 0, "end": 1}]}


def payloads(inputs, **kwargs):
    return detectors(**kwargs)._DetectorsProvider__get_json_payloads(inputs, None, None, None, None)


def post_process(results):
    return detectors()._DetectorsProvider__post_process(results, ["a", "b", "c"][: len(results)])


# --- mutating containers ----------------------------------------------------------------------

def cell_items_empty_inputs():
    inputs = ["x", None, "z"]
    inputs[1] = emptying_dict(inputs, "items", {"k": 1})
    return payloads(inputs) == [
        '{"detectors": {"hap": {}}, "input": "x"}',
        '{"detectors": {"hap": {}}, "input": {"k": 1}}',
        '{"detectors": {"hap": {}}, "input": "z"}',
    ]


def detector_params_empty_inputs():
    inputs = ["x", "y", "z"]
    bodies = payloads(inputs, detector_params=emptying_dict(inputs, "items", {"p": 1}))
    return [json.loads(body)["input"] for body in bodies] == ["x", "y", "z"]


def outcome_method_empties_results(method):
    results = [answer(0.5), None, answer(0.25)]
    results[1] = emptying_dict(results, method, answer(0.75))
    return [r.value for r in post_process(results).record_level_metrics] == [0.5, 0.75, 0.25]


def score_gt_empties_results():
    results = [answer(0.5), answer(0.25), answer(0.125)]
    high, low = HostileScore(0.75), HostileScore(0.5)
    high.target = low.target = results
    results[1] = {"detections": [{"score": low, "text": "t", "start": 0, "end": 1},
                                 {"score": high, "text": "t", "start": 0, "end": 1}]}
    return [r.value for r in post_process(results).record_level_metrics] == [0.5, 0.75, 0.125]


async def send_empties_payloads():
    bodies = ["a", "b", "c"]
    made = detectors()

    def send(payload, session):
        bodies.clear()

        async def echo():
            return payload

        return echo()

    made.send_with_retries = send
    return await made._DetectorsProvider__compute_metric(bodies) == ["a", "b", "c"]


def judge_answer_property_empties_results():
    answers = []

    class Answer:
        explanation, feedback, metadata = "e", None, {}

        @property
        def selected_option(self):
            answers.clear()
            return "yes"

    answers.extend(Answer() for _ in range(3))
    data = pd.DataFrame({"record_id": ["a", "b", "c"], "record_timestamp": ["t"] * 3})
    result = criteria_judge()._VerdictaProvider__post_process(results=answers, data=data)
    return [r.value for r in result.record_level_metrics] == [1, 1, 1]


# --- wrong return types -----------------------------------------------------------------------

def judge_results_as_tuple():
    answers = tuple(SimpleNamespace(selected_option=o, explanation="e", feedback=None, metadata={})
                    for o in ("yes", "no"))
    data = pd.DataFrame({"record_id": ["a", "b"], "record_timestamp": ["t", "t"]})
    for _ in range(50):  # each run would free the tuple's items once more than it owns them
        result = criteria_judge()._VerdictaProvider__post_process(results=answers, data=data)
    return [r.value for r in result.record_level_metrics] == [1, 0]


class TupleColumn:
    def __init__(self, values):
        self.values = values

    def tolist(self):
        return tuple(self.values)

    def mean(self):
        return sum(self.values) / len(self.values)


def library_scores_tolist_tuple():
    result = {"faithfulness": TupleColumn([0.5, 0.25]), "record_id": TupleColumn(["a", "b"])}
    made = loomwright.TabulonProvider(GenAIConfiguration(), "faithfulness", "F", "token_recall", "metrics.rag")
    aggregate = made._TabulonProvider__post_process(result=result)
    return [r.value for r in aggregate.record_level_metrics] == [0.5, 0.25] and aggregate.mean == 0.375


class OverLongFrame(pd.DataFrame):
    def __len__(self):
        return 1 << 22


class OverLongTable(OverLongFrame):
    @property
    def _constructor(self):  # conversions of the table keep the over-reporting length
        return OverLongTable


def library_contexts_len_overreports():
    configuration = GenAIConfiguration(context_fields=["c1", "c2"], record_id_field="id")
    made = loomwright.TabulonProvider(configuration, "faithfulness", "F", "token_recall", "metrics.rag")
    table = made._TabulonProvider__pre_process_data(data=OverLongTable({"c1": ["x", "y"], "c2": ["z", "w"], "id": [1, 2]}))
    return table["contexts"].tolist() == [["x", "z"], ["y", "w"]]


class Metric:
    def process_instances(self, instances):
        for instance in instances:
            instance["score"] = {"instance": {"score": 1.0}}
        return instances


def library_table_len_overreports(monkeypatch):
    made = loomwright.TabulonProvider(GenAIConfiguration(), "faithfulness", "F", "token_recall", "metrics.rag")
    monkeypatch.setattr(made, "_TabulonProvider__generate_tabulon_metric", lambda **kwargs: Metric(), raising=False)
    table = made._TabulonProvider__compute_metric(data=OverLongFrame({"answer": ["x", "y"], "record_id": ["a", "b"]}))
    return table.to_dict("list") == {"faithfulness": [1.0, 1.0], "record_id": ["a", "b"]}


# --- raising dunders --------------------------------------------------------------------------

class RaisingOutcome(dict):
    def __getitem__(self, key):
        raise LookupError("no reading me")


def outcome_getitem_raises():
    result = post_process([answer(0.5), RaisingOutcome(answer(0.25))])
    bad = result.record_level_metrics[1]
    return result.value == 0.5 and bad.errors[0].code == "INVALID_RESPONSE" and "no reading me" in bad.errors[0].message_en


CASES = {
    "cell-items-empties-inputs": cell_items_empty_inputs,
    "detector-params-empty-inputs": detector_params_empty_inputs,
    "outcome-getitem-empties-results": functools.partial(outcome_method_empties_results, "__getitem__"),
    "outcome-contains-empties-results": functools.partial(outcome_method_empties_results, "__contains__"),
    "score-gt-empties-results": score_gt_empties_results,
    "send-empties-payloads": send_empties_payloads,
    "judge-answer-property-empties-results": judge_answer_property_empties_results,
    "judge-results-tuple": judge_results_as_tuple,
    "library-scores-tolist-tuple": library_scores_tolist_tuple,
    "library-table-len-overreports": library_table_len_overreports,
    "library-contexts-len-overreports": library_contexts_len_overreports,
    "outcome-getitem-raises": outcome_getitem_raises,
}


@pytest.mark.asyncio
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
async def test_hostile_object_gives_the_correct_result(case, monkeypatch):
    outcome = case(monkeypatch) if case is library_table_len_overreports else case()
    if hasattr(outcome, "__await__"):
        outcome = await outcome
    assert outcome is True
