"""Detector request bodies: byte for byte what json.dumps writes, per metric shape, and tool-call decoding."""

import json
import math
import random

import pandas as pd
import pytest

from probewell_support import provider
from tessary.config import GenAIConfiguration

CONFIG = GenAIConfiguration(input_fields=["q"], output_fields=["a"], context_fields=["c"], record_id_field="id")


def payloads(made, inputs, outputs=None, contexts=None, catalog=None, calls=None):
    return made._DetectorsProvider__get_json_payloads(inputs, outputs, contexts, catalog, calls)


def random_text(rng):
    pools = [
        lambda: chr(rng.randrange(0, 0x20)),
        lambda: chr(rng.randrange(0x20, 0x7f)),
        lambda: rng.choice('"\\/\x7f'),
        lambda: chr(rng.randrange(0x80, 0xD800)),
        lambda: chr(rng.randrange(0xD800, 0xE000)),  # lone surrogates
        lambda: chr(rng.randrange(0xE000, 0x10000)),
        lambda: chr(rng.randrange(0x10000, 0x110000)),
    ]
    return "".join(rng.choice(pools)() for _ in range(rng.randrange(0, 24)))


def test_fuzz_bodies_identical_to_json_dumps():
    rng = random.Random(20231025)
    for round_number in range(300):
        params = {random_text(rng): random_text(rng)} if round_number % 3 else None
        texts = [random_text(rng) for _ in range(5)]
        other = [random_text(rng) for _ in range(5)]
        contexts = [[random_text(rng) for _ in range(rng.randrange(0, 4))] for _ in range(5)]
        sent = params or {}
        hap = provider("hap", detector_params=params)
        assert payloads(hap, texts) == [json.dumps({"detectors": {"hap": sent}, "input": t}) for t in texts]
        relevance = provider("answer_relevance", detector_params=params)
        assert payloads(relevance, texts, other) == [
            json.dumps({"detectors": {"korund_guardian": sent}, "prompt": t, "generated_text": o})
            for t, o in zip(texts, other)
        ]
        faithful = provider("faithfulness", method="faithfulness_model", detector_params=params)
        assert payloads(faithful, texts, other, contexts) == [
            json.dumps({"detectors": {"faithfulness": sent}, "input": o, "context_type": "docs", "context": c})
            for o, c in zip(other, contexts)
        ]


class Text(str):
    pass


@pytest.mark.parametrize(
    "value",
    [math.nan, math.inf, None, 3, 2.5, True, Text("sub\u00e9"), ["a", 1], {"k": "v"}, "plain"],
)
def test_other_cell_values_encoded_as_json_dumps(value):
    assert payloads(provider("hap"), [value]) == [json.dumps({"detectors": {"hap": {}}, "input": value})]
    context = provider("context_relevance")
    assert payloads(context, ["q"], None, [[value, "x"]]) == [
        json.dumps({"detectors": {"korund_guardian": {}}, "input": "q", "context_type": "docs", "context": [value, "x"]})
    ]


def test_nan_and_none_tokens():
    body = payloads(provider("hap"), [math.nan, None])
    assert body == ['{"detectors": {"hap": {}}, "input": NaN}', '{"detectors": {"hap": {}}, "input": null}']


def test_pairing_stops_at_shorter_list_and_params_sent_unchanged():
    made = provider("answer_relevance", detector_params={"risk_name": "answer_relevance"})
    assert payloads(made, ["a", "b", "c"], ["x"]) == [
        '{"detectors": {"korund_guardian": {"risk_name": "answer_relevance"}}, "prompt": "a", "generated_text": "x"}'
    ]


@pytest.mark.parametrize(
    ("name", "args", "message"),
    [
        ("hap", (("a",), None, None, None, None), "Argument 'input_contents' has incorrect type (expected list, got tuple)"),
        ("hap", (["a"], "x", None, None, None), "Argument 'output_contents' has incorrect type (expected list, got str)"),
        ("faithfulness", (["a"], ["b"], None, None, None), "'NoneType' object is not iterable"),
    ],
)
def test_payload_argument_errors(name, args, message):
    with pytest.raises(TypeError) as raised:
        payloads(provider(name), *args)
    assert str(raised.value) == message


def test_pre_process_reads_the_right_columns():
    data = pd.DataFrame({"q": ["question"], "a": ["answer"], "c": ['["p1", "p2"]'], "id": ["r1"]})
    bodies, ids = provider("faithfulness", configuration=CONFIG)._DetectorsProvider__pre_process_data(data=data)
    assert bodies == [json.dumps({"detectors": {"faithfulness": {}}, "input": "answer", "context_type": "docs",
                                  "context": ["p1", "p2"]})]
    assert ids == ["r1"]


def test_several_context_fields_in_field_order():
    config = GenAIConfiguration(input_fields=["q"], context_fields=["c2", "c1"], record_id_field="id")
    data = pd.DataFrame({"q": ["q1", "q2"], "c1": ["one", "uno"], "c2": ["two", "dos"], "id": [1, 2]})
    bodies, ids = provider("context_relevance", configuration=config)._DetectorsProvider__pre_process_data(data=data)
    assert [json.loads(b)["context"] for b in bodies] == [["two", "one"], ["dos", "uno"]]
    assert ids == [1, 2]


def test_no_context_field_fails():
    config = GenAIConfiguration(input_fields=["q"], output_fields=["a"], record_id_field="id")
    data = pd.DataFrame({"q": ["q1"], "a": ["a1"], "id": [1]})
    with pytest.raises(TypeError):
        provider("faithfulness", configuration=config)._DetectorsProvider__pre_process_data(data=data)


def get_weather(city: str, days: int = 1) -> str:
    """Forecast for a city."""
    return city


TOOL_CONFIG = GenAIConfiguration(input_fields=["q"], tool_calls_field="calls", tools=[get_weather], record_id_field="id")


def test_tool_calls_decoded_in_place_and_sent():
    text_calls = '[{"id": "1", "type": "function", "function": {"name": "get_weather", "arguments": "{\\"city\\": \\"Oslo\\"}"}}]'
    listed = [{"id": "2", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Rome"}'}}]
    data = pd.DataFrame({"q": ["weather?", "and here?"], "calls": [text_calls, listed], "id": ["a", "b"]})
    made = provider("tool_call_accuracy", configuration=TOOL_CONFIG)
    bodies, ids = made._DetectorsProvider__pre_process_data(data=data)
    # The caller's table now holds parsed calls with parsed arguments.
    assert data["calls"][0][0]["function"]["arguments"] == {"city": "Oslo"}
    assert data["calls"][1] is listed and listed[0]["function"]["arguments"] == {"city": "Rome"}
    first = json.loads(bodies[0])
    assert list(first) == ["detectors", "messages", "tools"]
    assert first["messages"] == [
        {"content": "weather?", "role": "user"},
        {"tool_calls": [{"id": "1", "type": "function", "function": {"name": "get_weather", "arguments": {"city": "Oslo"}}}],
         "role": "assistant"},
    ]
    assert first["tools"][0]["function"]["name"] == "get_weather"
    assert bodies[0] == json.dumps(first)
    assert ids == ["a", "b"]


def test_tool_catalog_kept_when_not_all_callable():
    described = {"type": "function", "function": {"name": "lookup", "parameters": {}}}
    config = GenAIConfiguration(tools=[described, get_weather])
    assert provider("tool_call_accuracy", configuration=config).get_tools_catalog_content() is config.tools
    assert provider("tool_call_accuracy", configuration=GenAIConfiguration()).get_tools_catalog_content() == []


def test_no_tool_calls_field_gives_no_bodies():
    config = GenAIConfiguration(input_fields=["q"], record_id_field="id")
    data = pd.DataFrame({"q": ["x"], "id": [1]})
    bodies, ids = provider("tool_call_accuracy", configuration=config)._DetectorsProvider__pre_process_data(data=data)
    assert (bodies, ids) == ([], [1])


def test_undecodable_arguments_fail():
    data = pd.DataFrame({"q": ["x"], "calls": ['[{"function": {"name": "f", "arguments": "{oops"}}]'], "id": [1]})
    with pytest.raises(json.JSONDecodeError):
        provider("tool_call_accuracy", configuration=TOOL_CONFIG)._DetectorsProvider__pre_process_data(data=data)


@pytest.mark.parametrize(("params", "sent"), [(None, "{}"), ({}, "{}"), ({"topic": "t\u00e9"}, '{"topic": "t\\u00e9"}')])
def test_detector_params_sent_for_every_record(params, sent):
    made = provider("topic_relevance", detector_params=params)
    assert payloads(made, ["a", "b"]) == [
        '{"detectors": {"topic_relevance": ' + sent + '}, "input": "a"}',
        '{"detectors": {"topic_relevance": ' + sent + '}, "input": "b"}',
    ]
