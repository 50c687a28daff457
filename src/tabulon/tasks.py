"""Judge tasks ``tasks.rag_eval.<metric>.binary``: the fields a judged metric reads.

``prediction_role`` is the field the judge evaluates; the judge fills it from its
``prediction_field`` argument, so a caller may keep the text under another name.
"""

from __future__ import annotations

from dataclasses import dataclass

from tabulon import catalog


@dataclass(frozen=True)
class Task:
    name: str
    input_fields: tuple[str, ...]
    prediction_role: str
    score_range: tuple[float, float] = (0.0, 1.0)

    @property
    def all_fields(self) -> tuple[str, ...]:
        """Every field a judge prompt needs, the prediction role included."""
        return (*self.input_fields, self.prediction_role)


RAG_TASK_FIELDS: dict[str, tuple[tuple[str, ...], str]] = {
    "faithfulness": (("question", "contexts"), "answer"),
    "context_relevance": (("question",), "contexts"),
    "answer_correctness": (("question", "ground_truths"), "answer"),
    "answer_relevance": (("question",), "answer"),
}


def _register_builtins() -> None:
    for metric, (inputs, prediction) in RAG_TASK_FIELDS.items():
        name = f"tasks.rag_eval.{metric}.binary"
        catalog.register(name, lambda n=name, i=inputs, p=prediction: Task(n, i, p))


_register_builtins()
