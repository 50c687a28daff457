"""Streams of records grouped into named splits ("train", "test", ...)."""

from __future__ import annotations

import copy
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any

Record = dict[str, Any]


class Stream:
    """A re-iterable sequence of records produced by a generator factory.

    The factory runs on the first full iteration; its records are kept so a
    second iteration does not recompute them (a judge would call the model again).
    """

    def __init__(self, factory: Callable[[], Iterable[Record]], copying: bool = False) -> None:
        self._factory = factory
        self._copying = copying
        self._materialised: list[Record] | None = None

    def __iter__(self) -> Iterator[Record]:
        if self._materialised is None:
            self._materialised = list(self._factory())
        records = self._materialised
        if self._copying:
            return (_copy_record(r) for r in records)
        return iter(records)

    def to_list(self) -> list[Record]:
        """All records of the stream, in order."""
        return list(self)


def _copy_record(record: Record) -> Record:
    if type(record) is not dict and not isinstance(record, Mapping):
        raise TypeError(f"A stream record must be a mapping, got {type(record).__name__}.")
    immutable = _EXACTLY_IMMUTABLE
    return {key: value if type(value) in immutable else _copy_value(value) for key, value in record.items()}


_IMMUTABLE = (str, int, float, bool, type(None), bytes)
_EXACTLY_IMMUTABLE = frozenset(_IMMUTABLE)


def _copy_value(value: Any) -> Any:
    """A deep copy; plain containers are copied directly, which is much faster than deepcopy."""
    kind, immutable = type(value), _EXACTLY_IMMUTABLE
    # Plain lists and dicts first: they are most of what records hold besides texts and numbers.
    if kind is list:
        return [v if type(v) in immutable else _copy_value(v) for v in value]
    if kind is dict:
        return {k: v if type(v) in immutable else _copy_value(v) for k, v in value.items()}
    if kind in immutable or isinstance(value, _IMMUTABLE):
        return value
    return copy.deepcopy(value)


class MultiStream(dict):
    """A mapping of split name to ``Stream``."""

    @classmethod
    def from_iterables(
        cls, iterables: Mapping[str, Iterable[Record]], copying: bool = False
    ) -> "MultiStream":
        """Build a multi-stream from ``{split: records}``.

        With ``copying`` every iteration yields deep copies, so operators that add
        scores never change the caller's records.
        """
        if not isinstance(iterables, Mapping):
            raise TypeError(
                f"MultiStream.from_iterables expects a mapping of split name to records, "
                f"got {type(iterables).__name__}."
            )
        streams = cls()
        for split, records in iterables.items():
            records = list(records)
            streams[split] = Stream(lambda records=records: records, copying=copying)
        return streams

    def to_dict(self) -> dict[str, list[Record]]:
        """Every split as a plain list of records."""
        return {split: list(stream) for split, stream in self.items()}
