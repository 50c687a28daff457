"""The criteria a judge applies, their scored options, and the instances it judges."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict, Field, field_validator, model_validator


class CriteriaOption(BaseModel):
    """One answer the judge may choose, with what it means and what it scores."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    name: str
    description: str = ""
    score: float | None = None

    @field_validator("name")
    @classmethod
    def _name_is_not_blank(cls, name: str) -> str:
        if not name.strip():
            raise ValueError("an option needs a non-blank name")
        return name


class Criteria(BaseModel):
    """What to judge: a question about one field of an instance, answered by one option.

    `to_evaluate_field` names the instance field under judgement; `context_fields`
    name the fields shown to the judge beside it. Options may repeat a name; the
    judge offers each name once (its first description) and a repeated name
    scores as its last occurrence.
    """

    model_config = ConfigDict(frozen=True, extra="forbid")

    name: str
    description: str
    to_evaluate_field: str = "response"
    context_fields: list[str] = Field(default_factory=list)
    options: list[CriteriaOption]

    @model_validator(mode="after")
    def _has_options(self) -> Criteria:
        if not self.options:
            raise ValueError(f"criteria {self.name!r} needs at least one option")
        return self

    def option_names(self) -> list[str]:
        """Distinct option names, in order of first appearance."""
        return list(dict.fromkeys(option.name for option in self.options))

    def distinct_options(self) -> list[CriteriaOption]:
        """One option per name, the first of each, in order of first appearance."""
        first: dict[str, CriteriaOption] = {}
        for option in self.options:
            first.setdefault(option.name, option)
        return list(first.values())

    def score_of(self, option_name: str | None) -> float | None:
        """Score of the named option (its last occurrence), or none when no option has that name."""
        scores = {option.name: option.score for option in self.options}
        return scores.get(option_name) if option_name is not None else None


class Instance(BaseModel):
    """One item to judge: a mapping of field names to values."""

    model_config = ConfigDict(extra="forbid")

    fields: dict[str, Any]

    def field(self, name: str) -> Any:
        """The value of a field, or a clear error naming the fields this instance has."""
        try:
            return self.fields[name]
        except KeyError:
            raise KeyError(
                f"instance has no field {name!r} (its fields: {', '.join(map(repr, self.fields))})"
            ) from None
