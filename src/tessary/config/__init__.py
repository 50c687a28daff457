"""Evaluation configuration: which record-table columns hold what, and the judge to use."""

from __future__ import annotations

from typing import Any

from pydantic import Field, model_validator

from tessary.entities.base_classes import BaseEntity
from tessary.entities.llm_judge import LLMJudge

__all__ = ["AgenticAIConfiguration", "GenAIConfiguration"]


class GenAIConfiguration(BaseEntity):
    """Names the columns of the record table and sets the judge model.

    The first entry of `input_fields` and of `output_fields` is the column
    read as the record's input and output. `tools` lists the tools available
    to the model: Python callables or tool descriptions in schema form.
    """

    input_fields: list[str] = Field(default_factory=lambda: ["input_text"])
    output_fields: list[str] = Field(default_factory=lambda: ["generated_text"])
    context_fields: list[str] = Field(default_factory=list)
    reference_fields: list[str] = Field(default_factory=list)
    record_id_field: str = "record_id"
    record_timestamp_field: str = "record_timestamp"
    tool_calls_field: str = ""
    tools: list[Any] = Field(default_factory=list)
    llm_judge: LLMJudge | None = None

    @model_validator(mode="after")
    def _check_columns(self) -> GenAIConfiguration:
        if not self.record_id_field:
            raise ValueError("record_id_field must name a column.")
        if not self.record_timestamp_field:
            raise ValueError("record_timestamp_field must name a column.")
        for tool in self.tools:
            if not (callable(tool) or isinstance(tool, dict)):
                raise ValueError(
                    "Each tool must be a callable or a tool description mapping, "
                    f"got {type(tool).__name__}."
                )
        return self


class AgenticAIConfiguration(GenAIConfiguration):
    """Configuration of an agent's records: adds conversation, message and node columns."""

    conversation_id_field: str = "conversation_id"
    message_id_field: str = "message_id"
    node_name_field: str = "node_name"
    available_tools_field: str = ""
