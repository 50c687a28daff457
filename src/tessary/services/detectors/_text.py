"""Text helpers shared by the detectors: words, content terms, sentences, noisy-OR.

Words are runs of letters and digits (apostrophes inside a word are kept, so
"don't" is one word).  Content terms are the lower-cased words that are not
in `STOPWORDS`, reduced by `stem`, a small suffix stripper: both sides of
every comparison go through the same stemmer, so "capitals" meets "capital"
and "running" meets "runs".  Sentences end at ".", "!" or "?" followed by
white space, or at a line break.
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from dataclasses import dataclass
from functools import lru_cache

WORD_PATTERN = re.compile(r"[^\W_]+(?:['\u2019][^\W_]+)*")
SENTENCE_END_PATTERN = re.compile(r"(?<=[.!?])\s+|\n+")

STOPWORDS = frozenset(
    """
    a about above after again against all also am an and any are as at be because been
    before being below between both but by can could did do does doing down during each
    few for from further had has have having he her here hers herself him himself his how
    i if in into is it its itself just me more most my myself no nor not of off on once
    only or other our ours ourselves out over own same she should so some such than that
    the their theirs them themselves then there these they this those through to too under
    until up very was we were what when where which while who whom why will with would you
    your yours yourself yourselves please tell give let us may might must shall there's
    it's i'm you're what's that's don't doesn't isn't aren't
    """.split()
)

# Longest suffixes first; each rule keeps a stem of at least `min_stem` letters.
_SUFFIX_RULES: tuple[tuple[str, str, int], ...] = (
    ("ational", "ate", 3),
    ("ization", "ize", 3),
    ("fulness", "ful", 3),
    ("ousness", "ous", 3),
    ("iveness", "ive", 3),
    ("ements", "", 3),
    ("ement", "", 3),
    ("ments", "", 3),
    ("ment", "", 3),
    ("ingly", "", 3),
    ("ies", "y", 2),
    ("sses", "ss", 2),
    ("ings", "", 3),
    ("ing", "", 3),
    ("edly", "", 3),
    ("ed", "", 3),
    ("ly", "", 3),
    ("es", "", 4),
    ("s", "", 3),
)


@dataclass(frozen=True, slots=True)
class Span:
    """A piece of a text with its character offsets."""

    text: str
    start: int
    end: int


def words(text: str) -> list[Span]:
    """Return the words of `text` with their offsets."""
    return [Span(match.group(), match.start(), match.end()) for match in WORD_PATTERN.finditer(text)]


def stem(word: str) -> str:
    """Reduce a lower-cased word to a crude stem by stripping one common suffix."""
    if word.endswith(("'s", "\u2019s")):
        word = word[:-2]
    if word.endswith("ss") or len(word) <= 3:
        return word
    for suffix, replacement, min_stem in _SUFFIX_RULES:
        if word.endswith(suffix) and len(word) - len(suffix) >= min_stem:
            base = word[: len(word) - len(suffix)] + replacement
            return _undouble(base) if suffix in ("ing", "ed", "ings") else base
    return word


def _undouble(base: str) -> str:
    """Turn "runn" (from "running") back into "run"; keep "ll", "ss" and "zz"."""
    if len(base) > 3 and base[-1] == base[-2] and base[-1] not in "lsz" and base[-1].isalpha():
        return base[:-1]
    return base


def content_terms(text: str) -> list[str]:
    """Return the stemmed non-stopword terms of `text`, in order (falls back to all words)."""
    lowered = [span.text.lower() for span in words(text)]
    terms = [stem(word) for word in lowered if word not in STOPWORDS]
    return terms if terms else [stem(word) for word in lowered]


@lru_cache(maxsize=8192)
def term_set(text: str) -> frozenset[str]:
    """Return the distinct content terms of `text` (cached: context passages repeat across records)."""
    return frozenset(content_terms(text))


def sentences(text: str) -> list[Span]:
    """Split `text` into sentences with their offsets; empty pieces are dropped."""
    spans: list[Span] = []
    start = 0
    for boundary in SENTENCE_END_PATTERN.finditer(text):
        _append_stripped(spans, text, start, boundary.start())
        start = boundary.end()
    _append_stripped(spans, text, start, len(text))
    return spans


def _append_stripped(spans: list[Span], text: str, start: int, end: int) -> None:
    """Append text[start:end] without its surrounding white space, unless it is blank."""
    piece = text[start:end]
    stripped = piece.strip()
    if stripped:
        offset = start + (len(piece) - len(piece.lstrip()))
        spans.append(Span(stripped, offset, offset + len(stripped)))


def noisy_or(weights: Iterable[float]) -> float:
    """Combine independent cue probabilities: 1 minus the product of their complements."""
    remaining = 1.0
    for weight in weights:
        remaining *= 1.0 - weight
    return 1.0 - remaining


def score4(value: float) -> float:
    """Round a score to 4 decimal places, clipped to [0, 1]."""
    return round(min(1.0, max(0.0, value)), 4)
