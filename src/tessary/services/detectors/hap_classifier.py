"""The trained "hap" scorer: an offensive-language classifier scoring each sentence.

The model (a linear classifier over character and word n-grams) ships inside the
``alt-profanity-check`` package (extra ``hap``), so nothing is fetched at run time.
`load_classifier` returns its probability function, or None when the package is
missing or its model cannot be loaded; the caller then falls back to the lexicon.
"""

from __future__ import annotations

import logging
import re
import threading
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

# The classifier's own decision boundary: a sentence at or above it is offensive.
DECISION_THRESHOLD = 0.5
CATEGORY = "offensive"

# A sentence ends at a line break or at terminal punctuation followed by white space ("3.5" goes on).
_SENTENCE = re.compile(r"[^\n]*?[.!?]+(?=\s|$)|[^\n]+")

Scorer = Callable[[Sequence[str]], Sequence[float]]
_loaded: list[Scorer | None] = []
_lock = threading.Lock()
_log = logging.getLogger(__name__)


def load_classifier() -> Scorer | None:
    """The classifier's probability function, loaded once per process; None when unavailable."""
    with _lock:
        if not _loaded:
            _loaded.append(_import_classifier())
        return _loaded[0]


def _import_classifier() -> Scorer | None:
    try:
        from profanity_check import predict_prob
        from profanity_check import profanity_check as shipped
    except ImportError:
        return None
    except Exception as error:  # a model the installed scikit-learn cannot read, for one
        _log.warning("The hap classifier could not be loaded (%s: %s); scoring with the lexicon.",
                     type(error).__name__, error)
        return None
    return _linear_scorer(shipped.vectorizer, shipped.model) or predict_prob


def _linear_scorer(vectorizer: Any, model: Any) -> Scorer | None:
    """The shipped model's probabilities from its fitted parameters, in one sparse product.

    The model averages sigmoid-calibrated linear classifiers; scikit-learn's own `predict_proba`
    checks its input once per classifier, which costs some 20 ms a call, against microseconds here.
    None when the model is not of that form (its own `predict_proba` is then used).
    """
    try:
        folds = model.calibrated_classifiers_
        if model.method != "sigmoid" or len(model.classes_) != 2:
            return None
        weights = np.vstack([fold.estimator.coef_.ravel() for fold in folds]).T
        intercepts = np.array([float(np.ravel(fold.estimator.intercept_)[0]) for fold in folds])
        slopes = np.array([fold.calibrators[0].a_ for fold in folds], dtype=float)
        offsets = np.array([fold.calibrators[0].b_ for fold in folds], dtype=float)
    except (AttributeError, IndexError, TypeError, ValueError):
        return None

    def scores(texts: Sequence[str]) -> Sequence[float]:
        decisions = vectorizer.transform(texts) @ weights + intercepts
        return (1.0 / (1.0 + np.exp(slopes * decisions + offsets))).mean(axis=1)

    return scores


def sentence_spans(text: str) -> list[tuple[int, int]]:
    """The (start, end) offsets of each sentence of `text`, surrounding white space left out."""
    spans = []
    for match in _SENTENCE.finditer(text):
        piece = match.group()
        start = match.start() + len(piece) - len(piece.lstrip())
        end = match.end() - (len(piece) - len(piece.rstrip()))
        if end > start:
            spans.append((start, end))
    return spans


def classify(text: str, scorer: Scorer, minimum: float) -> list[dict[str, Any]]:
    """One detection per sentence the classifier scores at `minimum` or above, in text order."""
    spans = sentence_spans(text)
    if not spans:
        return []
    scores = scorer([text[start:end] for start, end in spans])
    detections = []
    for (start, end), score in zip(spans, scores):
        score = float(score)
        if score >= minimum:
            detections.append({"detection_type": "hap", "detection": CATEGORY, "text": text[start:end],
                                "start": start, "end": end, "score": score})
    return detections
