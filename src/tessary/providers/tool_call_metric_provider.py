"""Tool calls and tool schemas for the tool-call metrics.

Tool calls arrive in many shapes (a list of calls, its JSON text, a chat
response holding "tool_calls", SDK objects); `extract_tool_calls_from_response`
turns them into mappings {"id"?, "type": "function", "function": {"name",
"arguments"}}. `get_tools_list_schema` describes tools, given as Python
callables or as descriptions, in the usual function-schema form.
"""

from __future__ import annotations

import enum
import inspect
import json
import math
import re
import types
import typing
from collections.abc import Callable, Mapping
from typing import Any, Literal

from pydantic import BaseModel, Field


class FunctionSchema(BaseModel):
    """A function's name, description and JSON schema of its parameters."""

    name: str
    description: str = ""
    parameters: dict[str, Any] = Field(
        default_factory=lambda: {"type": "object", "properties": {}, "required": []}
    )


class ToolSchema(BaseModel):
    """One tool in function-schema form."""

    type: Literal["function"] = "function"
    function: FunctionSchema


class ToolCallMetricProvider:
    """Class operations that read tool calls and describe tools."""

    @classmethod
    def extract_tool_calls_from_response(cls, value: Any) -> list[dict[str, Any]]:
        """Return the tool calls held by one cell value, each with "function" {"name", "arguments"}.

        None, NaN and empty text give an empty list; text must be JSON.
        """
        return _extract(value)

    @classmethod
    def get_tools_list_schema(
        cls, tools: list[Callable[..., Any] | Mapping[str, Any]]
    ) -> list[ToolSchema]:
        """Describe each tool (a callable or a tool-description mapping) as a `ToolSchema`."""
        if not isinstance(tools, (list, tuple)):
            raise TypeError(f"tools must be a list, got {type(tools).__name__}.")
        return [_tool_schema(tool) for tool in tools]


# --- tool calls -------------------------------------------------------------


def _extract(value: Any) -> list[dict[str, Any]]:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return []
    if isinstance(value, str):
        return _extract_from_text(value)
    if isinstance(value, Mapping):
        return _extract_from_mapping(value)
    if isinstance(value, (list, tuple)):
        return [_normalise_call(call) for call in value]
    if hasattr(value, "tool_calls"):
        return _extract(value.tool_calls)
    if hasattr(value, "model_dump"):
        return _extract(value.model_dump())
    if hasattr(value, "tolist"):
        return _extract(value.tolist())
    raise ValueError(f"Cannot read tool calls from a value of type {type(value).__name__}.")


def _extract_from_text(text: str) -> list[dict[str, Any]]:
    if not text.strip():
        return []
    try:
        parsed = json.loads(text)
    except ValueError as error:
        raise ValueError(f"Tool calls text is not valid JSON: {error}") from error
    return _extract(parsed)


def _extract_from_mapping(value: Mapping[str, Any]) -> list[dict[str, Any]]:
    if "tool_calls" in value:
        return _extract(value["tool_calls"])
    if "choices" in value:  # a whole chat-completion response
        choices = value["choices"] or []
        return _extract(choices[0].get("message", {})) if choices else []
    if "message" in value:
        return _extract(value["message"])
    if "function" in value or "name" in value:
        return [_normalise_call(value)]
    return []  # a message without tool calls


def _normalise_call(call: Any) -> dict[str, Any]:
    """Return `call` as a mapping with "function" {"name", "arguments"}; conforming dicts are kept."""
    if not isinstance(call, Mapping):
        if hasattr(call, "model_dump"):
            call = call.model_dump()
        elif hasattr(call, "function"):
            call = {
                "id": getattr(call, "id", None),
                "type": "function",
                "function": _function_mapping(call.function),
            }
        else:
            raise ValueError(f"A tool call must be a mapping, got {type(call).__name__}.")
    if "function" in call:
        function = call["function"]
        if isinstance(function, dict) and "name" in function:
            function.setdefault("arguments", {})
            return call if isinstance(call, dict) else dict(call)
        return {**call, "function": _function_mapping(function)}
    if "name" in call:  # flat form {"name": ..., "arguments": ...}
        normalised = {
            "type": "function",
            "function": {"name": call["name"], "arguments": _arguments_of(call)},
        }
        if "id" in call:
            normalised = {"id": call["id"], **normalised}
        return normalised
    raise ValueError(f"A tool call needs a function name, got keys {sorted(call)}.")


def _arguments_of(call: Mapping[str, Any]) -> Any:
    for key in ("arguments", "args", "parameters", "input"):
        if key in call:
            return call[key]
    return {}


def _function_mapping(function: Any) -> dict[str, Any]:
    if isinstance(function, Mapping):
        if "name" not in function:
            raise ValueError("A tool call's function needs a name.")
        return {"name": function["name"], "arguments": _arguments_of(function)}
    name = getattr(function, "name", None)
    if name is None:
        raise ValueError("A tool call's function needs a name.")
    return {"name": name, "arguments": getattr(function, "arguments", {})}


# --- tool schemas -----------------------------------------------------------


def _tool_schema(tool: Any) -> ToolSchema:
    if isinstance(tool, ToolSchema):
        return tool
    if isinstance(tool, Mapping):
        return _schema_from_description(tool)
    if callable(tool):
        return _schema_from_callable(tool)
    raise ValueError(
        f"A tool must be a callable or a tool description mapping, got {type(tool).__name__}."
    )


def _schema_from_description(tool: Mapping[str, Any]) -> ToolSchema:
    function = tool.get("function", tool)
    if not isinstance(function, Mapping) or not function.get("name"):
        raise ValueError("A tool description needs a function name.")
    return ToolSchema(
        function=FunctionSchema(
            name=function["name"],
            description=function.get("description") or "",
            parameters=function.get("parameters")
            or {"type": "object", "properties": {}, "required": []},
        )
    )


_SKIPPED_KINDS = (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)


def _schema_from_callable(tool: Callable[..., Any]) -> ToolSchema:
    name = getattr(tool, "__name__", None) or type(tool).__name__
    summary, parameter_docs = _parse_docstring(inspect.getdoc(tool) or "")
    signature = inspect.signature(tool)
    try:
        hints = typing.get_type_hints(tool)
    except Exception:  # unresolved forward references: fall back to raw annotations
        hints = {}
    properties: dict[str, Any] = {}
    required: list[str] = []
    for parameter in signature.parameters.values():
        if parameter.kind in _SKIPPED_KINDS or parameter.name in ("self", "cls"):
            continue
        annotation = hints.get(parameter.name, parameter.annotation)
        schema = _type_schema(annotation)
        if parameter.name in parameter_docs:
            schema["description"] = parameter_docs[parameter.name]
        if parameter.default is inspect.Parameter.empty:
            required.append(parameter.name)
        elif parameter.default is not None and _json_safe(parameter.default):
            schema["default"] = parameter.default
        properties[parameter.name] = schema
    parameters = {"type": "object", "properties": properties, "required": required}
    return ToolSchema(
        function=FunctionSchema(name=name, description=summary, parameters=parameters)
    )


def _json_safe(value: Any) -> bool:
    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return False
    return True


_SCALAR_TYPES = {
    str: "string",
    int: "integer",
    float: "number",
    bool: "boolean",
    type(None): "null",
}


def _type_schema(annotation: Any) -> dict[str, Any]:
    """JSON schema of a Python type hint; unknown or missing hints accept anything."""
    if annotation is inspect.Parameter.empty or annotation is Any:
        return {}
    if annotation in _SCALAR_TYPES:
        return {"type": _SCALAR_TYPES[annotation]}
    if isinstance(annotation, type) and issubclass(annotation, enum.Enum):
        return {"enum": [member.value for member in annotation]}
    if isinstance(annotation, type) and issubclass(annotation, BaseModel):
        return annotation.model_json_schema()
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin is typing.Annotated:
        return _type_schema(args[0])
    if origin in (typing.Union, types.UnionType):
        return _union_schema(args)
    if origin is Literal:
        return {"enum": list(args)}
    if annotation in (list, tuple, set, frozenset) or origin in (list, tuple, set, frozenset):
        schema: dict[str, Any] = {"type": "array"}
        if args and args[-1] is not Ellipsis:
            schema["items"] = _type_schema(args[0])
        return schema
    if annotation is dict or origin in (dict, Mapping) or annotation is Mapping:
        schema = {"type": "object"}
        if len(args) == 2:
            schema["additionalProperties"] = _type_schema(args[1])
        return schema
    return {}


def _union_schema(args: tuple[Any, ...]) -> dict[str, Any]:
    members = [arg for arg in args if arg is not type(None)]
    if len(members) == 1:
        return _type_schema(members[0])  # Optional[X]: optional-ness shows in `required`
    return {"anyOf": [_type_schema(arg) for arg in args]}


_SECTION_HEADER = re.compile(
    r"^(Args|Arguments|Parameters|Returns|Raises|Yields|Examples?)\s*:?\s*$"
)
_GOOGLE_PARAM = re.compile(r"^\s*(\*{0,2}\w+)\s*(?:\([^)]*\))?\s*:\s*(.*)$")
_REST_PARAM = re.compile(r"^\s*:param\s+(?:[^:]*\s)?(\w+)\s*:\s*(.*)$")


def _parse_docstring(doc: str) -> tuple[str, dict[str, str]]:
    """Return the summary paragraph and the per-parameter descriptions of a docstring.

    Understands Google style ("Args:" sections, also numpy's "Parameters") and
    reStructuredText ":param name: text" lines.
    """
    summary_lines: list[str] = []
    parameter_docs: dict[str, str] = {}
    section: str | None = None
    current: str | None = None
    param_indent: int | None = None
    for line in doc.splitlines():
        stripped = line.strip()
        rest_match = _REST_PARAM.match(line)
        if rest_match:
            current, section = rest_match.group(1), "params"
            parameter_docs[current] = rest_match.group(2).strip()
            continue
        header = _SECTION_HEADER.match(stripped)
        if header:
            section = (
                "params" if header.group(1) in ("Args", "Arguments", "Parameters") else "other"
            )
            current, param_indent = None, None
            continue
        if section is None:
            if stripped or summary_lines:
                summary_lines.append(stripped)
            continue
        if section != "params" or not stripped or set(stripped) <= {"-"}:
            continue
        indent = len(line) - len(line.lstrip())
        match = _GOOGLE_PARAM.match(line)
        if match and (param_indent is None or indent <= param_indent):
            current, param_indent = match.group(1).lstrip("*"), indent
            parameter_docs[current] = match.group(2).strip()
        elif current is not None:
            parameter_docs[current] = f"{parameter_docs[current]} {stripped}".strip()
    return " ".join(_first_paragraph(summary_lines)), parameter_docs


def _first_paragraph(lines: list[str]) -> list[str]:
    paragraph = []
    for line in lines:
        if not line:
            break
        paragraph.append(line)
    return paragraph
