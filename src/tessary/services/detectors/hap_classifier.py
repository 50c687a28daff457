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
    except ImportError:
        return None
    except Exception as error:  # a model the installed scikit-learn cannot read, for one
        _log.warning("The hap classifier could not be loaded (%s: %s); scoring with the lexicon.",
                     type(error).__name__, error)
        return None
    return predict_prob


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
