"""Answer options of a criteria-based metric."""

from __future__ import annotations

from tessary.entities.base_classes import BaseEntity


class Option(BaseEntity):
    """One answer the judge may choose, with the score it is worth."""

    name: str
    description: str = ""
    value: float | int | None = None
