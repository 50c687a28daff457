"""Base model of the package's entities, and the error record."""

from __future__ import annotations

from pydantic import BaseModel, ConfigDict


class BaseEntity(BaseModel):
    """Common base of the entities: arbitrary types, names or aliases, and no unknown fields."""

    model_config = ConfigDict(
        arbitrary_types_allowed=True,
        populate_by_name=True,
        use_enum_values=False,
        extra="forbid",
    )


class Error(BaseEntity):
    """A failure attached to a result instead of a value."""

    code: str
    message_en: str

    def __str__(self) -> str:
        return f"{self.code}: {self.message_en}"
