"""Operators over multi-streams."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, Protocol

from tabulon import catalog
from tabulon.stream import MultiStream, Record, Stream


class StreamStep(Protocol):
    """A step applied to all records of one split at once (batching lets judges run in parallel)."""

    def process_instances(self, instances: list[Record]) -> list[Record]: ...


class SequentialOperator:
    """Applies ``steps`` in order to every split of a multi-stream.

    A step is an object with ``process_instances`` or a catalog name, resolved on
    first use and then kept.
    """

    def __init__(self, steps: Iterable[Any]) -> None:
        self.steps = list(steps)
        if not self.steps:
            raise ValueError("SequentialOperator needs at least one step.")
        self._resolved: list[StreamStep] | None = None

    def resolved_steps(self) -> list[StreamStep]:
        """The steps with catalog names replaced by their objects."""
        if self._resolved is None:
            resolved = [catalog.resolve(step) for step in self.steps]
            for original, step in zip(self.steps, resolved):
                if not callable(getattr(step, "process_instances", None)):
                    raise TypeError(
                        f"Step {original!r} is not an operator step (it has no process_instances)."
                    )
            self._resolved = resolved
        return self._resolved

    def __call__(self, multi_stream: MultiStream) -> MultiStream:
        """Return a new multi-stream whose splits are the processed input splits (lazily)."""
        if not isinstance(multi_stream, dict):
            raise TypeError(
                f"SequentialOperator expects a MultiStream, got {type(multi_stream).__name__}."
            )
        steps = self.resolved_steps()
        result = MultiStream()
        for split, stream in multi_stream.items():
            result[split] = Stream(lambda stream=stream: _run_steps(steps, stream))
        return result


def _run_steps(steps: list[StreamStep], stream: Iterable[Record]) -> list[Record]:
    instances = list(stream)
    for step in steps:
        instances = step.process_instances(instances)
    return instances
