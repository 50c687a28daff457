"""The "tool_call_accuracy" detector: tool calls checked against the tools catalogue.

The request holds "messages" (the assistant's messages carry "tool_calls",
each ``{"id", "type", "function": {"name", "arguments"}}``, arguments as an
object or as JSON text) and "tools", the catalogue: entries shaped
``{"type": "function", "function": {"name", "parameters": <JSON schema>}}`` or
flat ``{"name", "parameters"}``.

Every problem found is one detection, scored by how badly it breaks the call:

| detection | problem | score |
|---|---|---|
| "malformed_tool_call" | the call has no function name | 1.0 |
| "unknown_function" | no tool of that name in the catalogue | 1.0 |
| "invalid_arguments" | the arguments are not a JSON object | 1.0 |
| "missing_required_argument" | a "required" property is absent | 0.8 |
| "argument_type_mismatch" | a value does not have the schema's "type" (nested objects and array items included) | 0.6 |
| "argument_not_in_enum" | a value outside the schema's "enum" | 0.6 |
| "unexpected_argument" | a property the schema does not declare (unless "additionalProperties" allows it) | 0.4 |

A record without problems has no detections (its accuracy is then 1).
Each detection reads ``{"detection_type": "tool_call_accuracy", "detection": kind,
"tool_call_id", "function", "argument": dotted path or null, "message", "score"}``.
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Mapping
from typing import Any

from tessary.services.detectors.errors import BadDetectionRequest

PROBLEM_SCORES = {
    "malformed_tool_call": 1.0,
    "unknown_function": 1.0,
    "invalid_arguments": 1.0,
    "missing_required_argument": 0.8,
    "argument_type_mismatch": 0.6,
    "argument_not_in_enum": 0.6,
    "unexpected_argument": 0.4,
}

Problem = tuple[str, str | None, str]  # kind, argument path, message


def tools_catalogue(tools: Any) -> dict[str, Mapping[str, Any]]:
    """Map each tool name of the catalogue to its parameters schema."""
    if not isinstance(tools, list):
        raise BadDetectionRequest(f"'tools' must be a list of tool descriptions, got {tools!r}.")
    catalogue = {}
    for tool in tools:
        described = tool.get("function", tool) if isinstance(tool, Mapping) else None
        name = described.get("name") if isinstance(described, Mapping) else None
        if not isinstance(name, str) or not name:
            raise BadDetectionRequest(f"Every entry of 'tools' needs a function name, got {tool!r}.")
        schema = described.get("parameters") or {}
        if not isinstance(schema, Mapping):
            raise BadDetectionRequest(f"The parameters of tool '{name}' must be a JSON schema object.")
        catalogue[name] = schema
    return catalogue


def tool_calls_of(messages: Any) -> list[Any]:
    """Return every tool call of the conversation, in message order."""
    if not isinstance(messages, list) or not all(isinstance(m, Mapping) for m in messages):
        raise BadDetectionRequest("'messages' must be a list of message objects.")
    calls = []
    for message in messages:
        found = message.get("tool_calls")
        if found is None:
            continue
        if not isinstance(found, list):
            raise BadDetectionRequest(f"'tool_calls' must be a list, got {found!r}.")
        calls.extend(found)
    return calls


def check_call(call: Any, catalogue: Mapping[str, Mapping[str, Any]]) -> list[Problem]:
    """Return the problems of one tool call."""
    function = call.get("function") if isinstance(call, Mapping) else None
    name = function.get("name") if isinstance(function, Mapping) else None
    if not isinstance(name, str) or not name:
        return [("malformed_tool_call", None, "The tool call names no function.")]
    if name not in catalogue:
        return [("unknown_function", None, f"No tool named '{name}' is in the catalogue.")]
    arguments = function.get("arguments", {})
    if isinstance(arguments, str):
        try:
            arguments = json.loads(arguments) if arguments.strip() else {}
        except ValueError:
            return [("invalid_arguments", None, f"The arguments of '{name}' are not valid JSON.")]
    if not isinstance(arguments, Mapping):
        return [("invalid_arguments", None, f"The arguments of '{name}' are not a JSON object.")]
    return list(_check_object(arguments, catalogue[name], ""))


def _check_object(value: Mapping[str, Any], schema: Mapping[str, Any], path: str) -> Iterator[Problem]:
    """Check an object's required, declared and extra properties."""
    properties = schema.get("properties")
    properties = properties if isinstance(properties, Mapping) else {}
    required = schema.get("required")
    for key in required if isinstance(required, list) else []:
        if isinstance(key, str) and key not in value:
            yield "missing_required_argument", _join(path, key), f"The required argument '{_join(path, key)}' is missing."
    # Undeclared properties are refused by default only where the schema declares some.
    extra = schema.get("additionalProperties", not properties)
    for key, item in value.items():
        if key in properties:
            yield from _check_value(item, properties[key], _join(path, key))
        elif isinstance(extra, Mapping):
            yield from _check_value(item, extra, _join(path, key))
        elif extra is not True:
            yield "unexpected_argument", _join(path, key), f"The argument '{_join(path, key)}' is not declared."


def _check_value(value: Any, schema: Any, path: str) -> Iterator[Problem]:
    """Check one value against its schema: type, enum, then nested structure."""
    if not isinstance(schema, Mapping):
        return
    branches = schema.get("anyOf") or schema.get("oneOf")
    if isinstance(branches, list) and branches:
        if not any(not list(_check_value(value, branch, path)) for branch in branches):
            yield "argument_type_mismatch", path, f"The argument '{path}' matches none of its allowed schemas."
        return
    expected = schema.get("type")
    if expected is not None and not _has_type(value, expected):
        yield "argument_type_mismatch", path, f"The argument '{path}' should be {_describe(expected)}, got {_json_type(value)}."
        return
    if "enum" in schema and isinstance(schema["enum"], list) and value not in schema["enum"]:
        yield "argument_not_in_enum", path, f"The argument '{path}' is {value!r}, not one of {schema['enum']!r}."
    if isinstance(value, Mapping) and ("properties" in schema or "required" in schema):
        yield from _check_object(value, schema, path)
    elif isinstance(value, list) and isinstance(schema.get("items"), Mapping):
        for index, item in enumerate(value):
            yield from _check_value(item, schema["items"], f"{path}[{index}]")


TYPE_CHECKS = {
    "string": lambda v: isinstance(v, str),
    "integer": lambda v: (isinstance(v, int) and not isinstance(v, bool)) or (isinstance(v, float) and v.is_integer()),
    "number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
    "boolean": lambda v: isinstance(v, bool),
    "array": lambda v: isinstance(v, list),
    "object": lambda v: isinstance(v, Mapping),
    "null": lambda v: v is None,
}


def _has_type(value: Any, expected: Any) -> bool:
    """Tell whether `value` has the JSON type (or one of the types) named; unknown names pass."""
    names = expected if isinstance(expected, list) else [expected]
    checks = [TYPE_CHECKS.get(name) for name in names if isinstance(name, str)]
    return any(check is None or check(value) for check in checks) if checks else True


def _json_type(value: Any) -> str:
    for name in ("null", "boolean", "integer", "number", "string", "array", "object"):
        if TYPE_CHECKS[name](value):
            return name
    return type(value).__name__


def _describe(expected: Any) -> str:
    return " or ".join(expected) if isinstance(expected, list) else str(expected)


def _join(path: str, key: str) -> str:
    return f"{path}.{key}" if path else key


def detect(messages: Any, tools: Any) -> list[dict[str, Any]]:
    """Check every tool call of `messages` against `tools`; one detection per problem."""
    catalogue = tools_catalogue(tools)
    detections = []
    for call in tool_calls_of(messages):
        call_id = call.get("id") if isinstance(call, Mapping) else None
        function = call.get("function") if isinstance(call, Mapping) else None
        name = function.get("name") if isinstance(function, Mapping) else None
        for kind, argument, message in check_call(call, catalogue):
            detections.append(
                {
                    "detection_type": "tool_call_accuracy",
                    "detection": kind,
                    "tool_call_id": call_id,
                    "function": name,
                    "argument": argument,
                    "message": message,
                    "score": PROBLEM_SCORES[kind],
                }
            )
    return detections
