"""Exceptions raised by tabulon; each names what failed and why."""

from __future__ import annotations


class TabulonError(Exception):
    """Base class of every error raised by tabulon."""


class UnknownCatalogNameError(TabulonError, LookupError):
    """A catalog name that resolves to nothing."""

    def __init__(self, name: str, suggestions: list[str]) -> None:
        self.name = name
        self.suggestions = suggestions
        message = f"Unknown catalog name '{name}'."
        if suggestions:
            message += " Did you mean: " + ", ".join(f"'{s}'" for s in suggestions) + "?"
        super().__init__(message)


class MissingFieldError(TabulonError, KeyError):
    """A record lacks a field that a metric or judge needs."""

    def __init__(self, metric: str, field: str, record_index: int, present: list[str]) -> None:
        self.metric = metric
        self.field = field
        self.record_index = record_index
        message = (
            f"Metric '{metric}' needs the field '{field}', which record {record_index} lacks "
            f"(fields present: {', '.join(sorted(present)) or 'none'})."
        )
        super().__init__(message)

    def __str__(self) -> str:  # KeyError would quote the whole message
        return str(self.args[0])


class MissingDependencyError(TabulonError, ImportError):
    """An optional package needed by a metric or engine is not installed."""


class InferenceError(TabulonError):
    """An inference engine could not produce an answer."""
