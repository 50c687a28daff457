import enum
import json
from typing import Literal, Optional

import pytest
from pydantic import BaseModel

from tessary.providers.tool_call_metric_provider import ToolCallMetricProvider

CALL = {
    "id": "c1",
    "type": "function",
    "function": {"name": "get_weather", "arguments": '{"city": "Oslo"}'},
}


class FakeFunction:
    name = "lookup"
    arguments = '{"q": 1}'


class FakeCall:
    id = "c9"
    function = FakeFunction()


class FakeMessage:
    tool_calls = [FakeCall()]


@pytest.mark.parametrize(
    ("cell", "expected_names"),
    [
        ([CALL], ["get_weather"]),
        (json.dumps([CALL]), ["get_weather"]),
        ({"role": "assistant", "tool_calls": [CALL]}, ["get_weather"]),
        (json.dumps({"role": "assistant", "tool_calls": [CALL]}), ["get_weather"]),
        ({"choices": [{"message": {"tool_calls": [CALL, CALL]}}]}, ["get_weather", "get_weather"]),
        ([{"name": "flat", "arguments": {"a": 1}}], ["flat"]),
        (CALL, ["get_weather"]),
        (FakeMessage(), ["lookup"]),
        ({"role": "assistant", "content": "no tools"}, []),
        (None, []),
        (float("nan"), []),
        ("", []),
    ],
)
def test_extract_tool_calls_shapes(cell, expected_names):
    calls = ToolCallMetricProvider.extract_tool_calls_from_response(cell)

    assert [call["function"]["name"] for call in calls] == expected_names
    assert all("arguments" in call["function"] for call in calls)


def test_extract_keeps_conforming_calls_so_callers_can_edit_them():
    cell = [dict(CALL, function=dict(CALL["function"]))]
    calls = ToolCallMetricProvider.extract_tool_calls_from_response(cell)
    assert calls[0] is cell[0]


def test_extract_flat_call_keeps_id_and_arguments():
    calls = ToolCallMetricProvider.extract_tool_calls_from_response(
        [{"id": "x", "name": "f", "args": {"a": 1}}]
    )
    assert calls == [
        {"id": "x", "type": "function", "function": {"name": "f", "arguments": {"a": 1}}}
    ]


@pytest.mark.parametrize("cell", ["not json", [42], [{"arguments": "{}"}], 3.5])
def test_extract_refuses_unreadable_cells(cell):
    with pytest.raises(ValueError):
        ToolCallMetricProvider.extract_tool_calls_from_response(cell)


class Unit(enum.Enum):
    CELSIUS = "c"
    FAHRENHEIT = "f"


class Place(BaseModel):
    lat: float
    lon: float


def get_weather(
    city: str,
    unit: Unit = Unit.CELSIUS,
    days: Optional[int] = None,
    tags: list[str] | None = None,
    mode: Literal["fast", "exact"] = "fast",
    extra: dict[str, int] | None = None,
) -> str:
    """Get the weather of a city.

    Longer explanation that is not part of the summary.

    Args:
        city (str): Name of the
            city to look up.
        unit: Temperature unit.
        days: How many days: one to seven.
    """
    return city


def locate(place: Place, precise, *args, **kwargs):
    """:param place: Where to look.
    :param precise: Use the precise service.
    """


def test_schema_from_callable():
    [schema] = ToolCallMetricProvider.get_tools_list_schema([get_weather])
    dumped = schema.model_dump()

    assert dumped["type"] == "function"
    function = dumped["function"]
    assert function["name"] == "get_weather"
    assert function["description"] == "Get the weather of a city."
    parameters = function["parameters"]
    assert parameters["required"] == ["city"]
    properties = parameters["properties"]
    assert properties["city"] == {"type": "string", "description": "Name of the city to look up."}
    assert properties["unit"]["enum"] == ["c", "f"]
    assert properties["days"] == {"type": "integer", "description": "How many days: one to seven."}
    assert properties["tags"] == {"type": "array", "items": {"type": "string"}}
    assert properties["mode"] == {"enum": ["fast", "exact"], "default": "fast"}
    assert properties["extra"] == {"type": "object", "additionalProperties": {"type": "integer"}}
    json.dumps(dumped)  # the catalogue goes into JSON request bodies


def test_schema_from_callable_with_rest_docstring_and_model_parameter():
    [schema] = ToolCallMetricProvider.get_tools_list_schema([locate])
    parameters = schema.model_dump()["function"]["parameters"]

    assert list(parameters["properties"]) == ["place", "precise"]
    assert parameters["required"] == ["place", "precise"]
    assert parameters["properties"]["place"]["properties"]["lat"]["type"] == "number"
    assert parameters["properties"]["precise"] == {"description": "Use the precise service."}


@pytest.mark.parametrize(
    "description",
    [
        {
            "type": "function",
            "function": {"name": "search", "description": "Find", "parameters": {"type": "object"}},
        },
        {"name": "search", "description": "Find", "parameters": {"type": "object"}},
    ],
)
def test_schema_from_description(description):
    [schema] = ToolCallMetricProvider.get_tools_list_schema([description])
    assert schema.model_dump() == {
        "type": "function",
        "function": {"name": "search", "description": "Find", "parameters": {"type": "object"}},
    }


@pytest.mark.parametrize(
    ("tools", "error"), [([42], ValueError), ([{"description": "x"}], ValueError), ("f", TypeError)]
)
def test_schema_refuses_bad_tools(tools, error):
    with pytest.raises(error):
        ToolCallMetricProvider.get_tools_list_schema(tools)
