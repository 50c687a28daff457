import pytest

from tabulon.errors import UnknownCatalogNameError
from tabulon.operator import SequentialOperator
from tabulon.stream import MultiStream


class CountingStep:
    """Adds a running number and counts how often it ran."""

    def __init__(self):
        self.runs = 0

    def process_instances(self, instances):
        self.runs += 1
        for number, instance in enumerate(instances):
            instance["seen"] = number
        return instances


def test_copying_protects_the_callers_records():
    records = [{"answer": "a", "contexts": ["c"]}]
    stream = MultiStream.from_iterables({"test": records}, copying=True)
    result = list(SequentialOperator(steps=[CountingStep()])(stream)["test"])
    result[0]["contexts"].append("changed")
    assert records == [{"answer": "a", "contexts": ["c"]}]
    assert result[0]["seen"] == 0


def test_without_copying_the_records_are_shared():
    records = [{"answer": "a"}]
    stream = MultiStream.from_iterables({"test": records})
    list(SequentialOperator(steps=[CountingStep()])(stream)["test"])
    assert records[0]["seen"] == 0


def test_every_split_is_processed_in_order_and_only_once():
    step = CountingStep()
    stream = MultiStream.from_iterables(
        {"train": [{"id": 1}], "test": [{"id": i} for i in range(5)]}, copying=True
    )
    result = SequentialOperator(steps=[step])(stream)
    assert [r["id"] for r in result["test"]] == [0, 1, 2, 3, 4]
    assert [r["seen"] for r in result["test"]] == [0, 1, 2, 3, 4]
    list(result["test"])  # a second pass reuses the first one's records
    assert step.runs == 1
    assert list(result["train"]) == [{"id": 1, "seen": 0}]
    assert step.runs == 2


def test_catalog_steps_are_resolved_on_first_use():
    operator = SequentialOperator(steps=["metrics.rag.answer_relevance.token_recall"])
    stream = MultiStream.from_iterables({"test": [{"question": "red car", "answer": "a red car"}]})
    [instance] = operator(stream)["test"]
    assert instance["score"]["instance"]["score"] == 1.0


@pytest.mark.parametrize(
    "steps, error",
    [
        (["metrics.rag.nope.token_recall"], UnknownCatalogNameError),
        ([object()], TypeError),
    ],
)
def test_bad_steps_fail_clearly(steps, error):
    stream = MultiStream.from_iterables({"test": [{"answer": "x"}]})
    with pytest.raises(error):
        SequentialOperator(steps=steps)(stream)


@pytest.mark.parametrize(
    "iterables, message",
    [([{"a": 1}], "mapping of split name"), ({"test": ["not a record"]}, "must be a mapping")],
)
def test_bad_stream_input_fails_clearly(iterables, message):
    with pytest.raises(TypeError, match=message):
        list(MultiStream.from_iterables(iterables, copying=True)["test"])


def test_operator_needs_steps():
    with pytest.raises(ValueError, match="at least one step"):
        SequentialOperator(steps=[])
