"""Catalog metrics for retrieval-augmented answers.

Names are ``metrics.rag.<metric>.<method>``. Each metric compares one side of a
record with another:

==================  ======================  ==========================
metric              prediction              reference
==================  ======================  ==========================
faithfulness        ``answer``              ``contexts`` (joined)
context_relevance   ``contexts`` (joined)   ``question``
answer_correctness  ``answer``              ``ground_truths`` (best)
answer_relevance    ``answer``              ``question``
==================  ======================  ==========================

Methods: "token_recall" (share of reference tokens found in the prediction),
"token_precision" (share of prediction tokens found in the reference), both
counted with multiplicity; "token_k_precision" (share of prediction tokens that
occur anywhere in the reference); "sentence_bert_mini_lm" / "sentence_bert_bge"
(cosine similarity of sentence embeddings); "bert_score_recall" (BERTScore
recall through the ``bert_score`` package).
"""

from __future__ import annotations

import math
import re
import string
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from tabulon import catalog
from tabulon.errors import MissingDependencyError, MissingFieldError
from tabulon.stream import Record

METRIC_PREFIX = "metrics.rag"

_ARTICLES = re.compile(r"\b(a|an|the)\b")
_PUNCTUATION = str.maketrans("", "", string.punctuation)


def normalize_tokens(text: str) -> list[str]:
    """Lower-cased word tokens with punctuation and English articles removed."""
    text = str(text).lower().translate(_PUNCTUATION)
    return _ARTICLES.sub(" ", text).split()


@dataclass(frozen=True)
class MetricSides:
    """Which record fields a metric compares, and how a list of references is combined."""

    prediction: str
    reference: str
    best_of_references: bool  # True: score each reference, keep the best; False: join them


METRIC_SIDES: dict[str, MetricSides] = {
    "faithfulness": MetricSides("answer", "contexts", best_of_references=False),
    "context_relevance": MetricSides("contexts", "question", best_of_references=False),
    "answer_correctness": MetricSides("answer", "ground_truths", best_of_references=True),
    "answer_relevance": MetricSides("answer", "question", best_of_references=False),
}


class Metric:
    """Base of catalog metrics: scores every instance, then adds the split's mean."""

    main_score = "score"

    def __init__(self, name: str) -> None:
        self.name = name

    def process_instances(self, instances: list[Record]) -> list[Record]:
        """Add ``score`` to every instance, in order."""
        scores = self.compute_scores(instances)
        values = [s for s in scores if not math.isnan(s)]
        global_score = sum(values) / len(values) if values else math.nan
        for instance, value in zip(instances, scores, strict=True):
            instance["score"] = {
                "instance": {"score": value, self.main_score: value, "score_name": self.main_score},
                "global": {
                    "score": global_score,
                    self.main_score: global_score,
                    "score_name": self.main_score,
                    "num_of_instances": len(values),
                },
            }
        return instances

    def compute_scores(self, instances: list[Record]) -> list[float]:
        raise NotImplementedError


class PairMetric(Metric):
    """A metric over the (prediction, references) pair that ``METRIC_SIDES`` names."""

    def __init__(self, name: str, metric: str, method: str) -> None:
        super().__init__(name)
        self.sides = METRIC_SIDES[metric]
        self.main_score = method

    def pairs(self, instances: list[Record]) -> list[tuple[str, list[str]]]:
        """(prediction text, reference texts) per instance; missing fields raise."""
        result = []
        for index, instance in enumerate(instances):
            prediction = _joined(self._field(instance, self.sides.prediction, index))
            references = _as_texts(self._field(instance, self.sides.reference, index))
            if not self.sides.best_of_references:
                references = [" ".join(references)]
            result.append((prediction, references))
        return result

    def _field(self, instance: Record, field: str, index: int) -> Any:
        if field not in instance:
            raise MissingFieldError(self.name, field, index, list(instance))
        return instance[field]


def _is_missing(value: Any) -> bool:
    """True for an absent field value: None, NaN, or a list holding only such values (or nothing)."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return True
    if isinstance(value, (list, tuple)):
        return all(_is_missing(v) for v in value)
    return False


def _as_texts(value: Any) -> list[str]:
    if isinstance(value, (list, tuple)):
        return [str(v) for v in value if not _is_missing(v)]
    return [str(value)]


def _joined(value: Any) -> str:
    return " ".join(_as_texts(value))


class TokenOverlapMetric(PairMetric):
    """Lexical overlap of normalised word tokens."""

    def __init__(self, name: str, metric: str, method: str, score_fn: Callable) -> None:
        super().__init__(name, metric, method)
        self._score_fn = score_fn

    def compute_scores(self, instances: list[Record]) -> list[float]:
        scores = []
        for instance, (prediction, references) in zip(instances, self.pairs(instances), strict=True):
            if _is_missing(instance[self.sides.prediction]) or _is_missing(instance[self.sides.reference]):
                scores.append(math.nan)  # nothing to compare: no score rather than a perfect one
                continue
            prediction_tokens = normalize_tokens(prediction)
            scores.append(
                max(self._score_fn(prediction_tokens, normalize_tokens(r)) for r in references)
            )
        return scores


def token_recall(prediction: Sequence[str], reference: Sequence[str]) -> float:
    """Share of reference tokens matched in the prediction (with multiplicity)."""
    if not prediction or not reference:
        return float(len(prediction) == len(reference))
    common = Counter(prediction) & Counter(reference)
    return sum(common.values()) / len(reference)


def token_precision(prediction: Sequence[str], reference: Sequence[str]) -> float:
    """Share of prediction tokens matched in the reference (with multiplicity)."""
    if not prediction or not reference:
        return float(len(prediction) == len(reference))
    common = Counter(prediction) & Counter(reference)
    return sum(common.values()) / len(prediction)


def token_k_precision(prediction: Sequence[str], reference: Sequence[str]) -> float:
    """Share of prediction tokens that occur anywhere in the reference."""
    if not prediction or not reference:
        return float(len(prediction) == len(reference))
    vocabulary = set(reference)
    return sum(1 for token in prediction if token in vocabulary) / len(prediction)


LEXICAL_METHODS: dict[str, Callable[[Sequence[str], Sequence[str]], float]] = {
    "token_recall": token_recall,
    "token_precision": token_precision,
    "token_k_precision": token_k_precision,
}


class EmbeddingSimilarityMetric(PairMetric):
    """Cosine similarity of sentence embeddings (best over references where listed)."""

    def __init__(self, name: str, metric: str, method: str, model_key: str) -> None:
        super().__init__(name, metric, method)
        self.model_key = model_key

    def compute_scores(self, instances: list[Record]) -> list[float]:
        from tabulon import embeddings

        pairs = self.pairs(instances)
        if not pairs:
            return []
        model = embeddings.load_model(self.model_key)
        texts = [p for p, _ in pairs] + [r for _, refs in pairs for r in refs]
        vectors = model.encode(texts)
        offset = len(pairs)
        scores = []
        for index, (_, references) in enumerate(pairs):
            reference_vectors = vectors[offset : offset + len(references)]
            offset += len(references)
            scores.append(max(_cosine(vectors[index], v) for v in reference_vectors))
        return scores


def _cosine(a: Sequence[float], b: Sequence[float]) -> float:
    dot = sum(x * y for x, y in zip(a, b))
    norm = math.sqrt(sum(x * x for x in a)) * math.sqrt(sum(y * y for y in b))
    return dot / norm if norm else 0.0


class BertScoreRecallMetric(PairMetric):
    """BERTScore recall of the prediction against its reference, through ``bert_score``."""

    model_type = "distilbert-base-uncased"

    def compute_scores(self, instances: list[Record]) -> list[float]:
        try:
            import bert_score
        except ImportError:
            raise MissingDependencyError(
                f"Metric '{self.name}' needs the 'bert_score' package: pip install bert-score"
            ) from None
        pairs = self.pairs(instances)
        if not pairs:
            return []
        candidates = [p for p, _ in pairs]
        references = [refs for _, refs in pairs]
        _, recall, _ = bert_score.score(candidates, references, model_type=self.model_type)
        return [float(v) for v in recall.tolist()]


EMBEDDING_METHODS = {"sentence_bert_mini_lm": "mini_lm", "sentence_bert_bge": "bge"}


def _register_builtins() -> None:
    for metric in METRIC_SIDES:
        for method, score_fn in LEXICAL_METHODS.items():
            name = f"{METRIC_PREFIX}.{metric}.{method}"
            catalog.register(
                name, lambda n=name, m=metric, k=method, f=score_fn: TokenOverlapMetric(n, m, k, f)
            )
        for method, model_key in EMBEDDING_METHODS.items():
            name = f"{METRIC_PREFIX}.{metric}.{method}"
            catalog.register(
                name,
                lambda n=name, m=metric, k=method, key=model_key: EmbeddingSimilarityMetric(
                    n, m, k, key
                ),
            )
        name = f"{METRIC_PREFIX}.{metric}.bert_score_recall"
        catalog.register(
            name, lambda n=name, m=metric: BertScoreRecallMetric(n, m, "bert_score_recall")
        )


_register_builtins()
