"""The "hap" detector: hateful, abusive and profane language.

Two scorers stand behind it, chosen by the environment variable
``TESSARY_HAP_SCORER`` at each request:

- "classifier" (the default): the trained offensive-language classifier of
  `hap_classifier` (extra ``hap``) scores every sentence; each sentence scored
  at its decision threshold (0.5) or above is one detection with category
  "offensive" and the classifier's probability as score.  When the package is
  missing or its model fails to load, the lexicon scores instead.
- "lexicon": the shipped lexicon `tessary/services/data/hap_lexicon.txt`; each
  entry gives a category (hate, abuse, profanity), a score and a term, where a
  trailing "*" also matches any word ending.  All terms are compiled into one
  case-insensitive pattern that only matches on word boundaries, longest terms
  first, so "piece of shit" is one detection rather than "shit" alone.

Every detection has the shape
``{"detection_type": "hap", "detection": category, "text", "start", "end", "score"}``
with `start`/`end` the character offsets in the input.  The optional
"threshold" parameter drops detections scored below it (for the classifier it
replaces the decision threshold).
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from functools import cache
from importlib import resources
from typing import Any

from tessary.services.detectors import _params, hap_classifier

SCORER_VARIABLE = "TESSARY_HAP_SCORER"
SCORERS = ("classifier", "lexicon")
LEXICON_RESOURCE = ("tessary.services", "data/hap_lexicon.txt")
CATEGORIES = ("hate", "abuse", "profanity")


@dataclass(frozen=True, slots=True)
class LexiconEntry:
    """One lexicon term with its category and score."""

    term: str
    category: str
    score: float
    is_prefix: bool


@dataclass(frozen=True, slots=True)
class Lexicon:
    """A compiled lexicon: one pattern plus the entries to look matches up in."""

    pattern: re.Pattern[str]
    exact: dict[str, LexiconEntry]
    prefixes: tuple[LexiconEntry, ...]
    entries: tuple[LexiconEntry, ...]

    def entry_for(self, matched: str) -> LexiconEntry:
        """Return the entry that produced a match (longest prefix for wildcard terms)."""
        key = _normalise(matched)
        if key in self.exact:
            return self.exact[key]
        candidates = [e for e in self.prefixes if key.startswith(e.term)]
        if candidates:
            return max(candidates, key=lambda e: len(e.term))
        # Case-insensitive matching folds a few letters that lower() keeps apart.
        return next(e for e in self.entries if re.fullmatch(_term_pattern(e), matched, re.IGNORECASE))


def parse_lexicon(text: str) -> list[LexiconEntry]:
    """Parse lexicon lines "CATEGORY SCORE TERM"; raise ValueError naming a bad line."""
    entries = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        parts = line.split(maxsplit=2)
        if len(parts) != 3 or parts[0] not in CATEGORIES:
            raise ValueError(f"hap lexicon line {number}: expected 'CATEGORY SCORE TERM', got {raw!r}")
        category, score_text, term = parts
        score = float(score_text)
        if not 0.0 <= score <= 1.0:
            raise ValueError(f"hap lexicon line {number}: score {score} is outside [0, 1]")
        is_prefix = term.endswith("*")
        entries.append(LexiconEntry(_normalise(term.rstrip("*")), category, score, is_prefix))
    return entries


def compile_lexicon(entries: list[LexiconEntry]) -> Lexicon:
    """Build the matching pattern: word-bounded alternatives, longest first."""
    ordered = sorted(entries, key=lambda e: len(e.term), reverse=True)
    alternatives = [_term_pattern(e) for e in ordered]
    pattern = re.compile(r"(?<!\w)(?:" + "|".join(alternatives) + r")(?!\w)", re.IGNORECASE)
    exact = {e.term: e for e in entries if not e.is_prefix}
    prefixes = tuple(e for e in entries if e.is_prefix)
    return Lexicon(pattern, exact, prefixes, tuple(ordered))


def _term_pattern(entry: LexiconEntry) -> str:
    """Turn a term into a pattern where any run of white space matches between its words."""
    body = r"\s+".join(re.escape(word) for word in entry.term.split())
    return body + r"\w*" if entry.is_prefix else body


def _normalise(term: str) -> str:
    """Lower-case a term and collapse its white space."""
    return " ".join(term.casefold().split())


@cache
def shipped_lexicon() -> Lexicon:
    """Load and compile the lexicon shipped with the package (once per process)."""
    package, name = LEXICON_RESOURCE
    text = resources.files(package).joinpath(name).read_text(encoding="utf-8")
    return compile_lexicon(parse_lexicon(text))


def find_terms(text: str, lexicon: Lexicon | None = None) -> list[dict[str, Any]]:
    """Return every lexicon match in `text` as a detection mapping, in text order."""
    lexicon = lexicon or shipped_lexicon()
    detections = []
    for match in lexicon.pattern.finditer(text):
        entry = lexicon.entry_for(match.group())
        detections.append(
            {
                "detection_type": "hap",
                "detection": entry.category,
                "text": match.group(),
                "start": match.start(),
                "end": match.end(),
                "score": entry.score,
            }
        )
    return detections


def detect(text: str, params: dict[str, Any]) -> list[dict[str, Any]]:
    """Run the "hap" detector on `text` with its parameters."""
    minimum = _params.threshold(params, "hap")
    classifier = hap_classifier.load_classifier() if selected_scorer() == "classifier" else None
    if classifier is not None:
        if "threshold" not in params:
            minimum = hap_classifier.DECISION_THRESHOLD
        return hap_classifier.classify(text, classifier, minimum)
    return [d for d in find_terms(text) if d["score"] >= minimum]


def selected_scorer() -> str:
    """The scorer named by `SCORER_VARIABLE` ("classifier" when unset)."""
    name = os.environ.get(SCORER_VARIABLE, "").strip().lower() or "classifier"
    if name not in SCORERS:
        raise ValueError(f"{SCORER_VARIABLE} must be one of {', '.join(SCORERS)}, got {name!r}.")
    return name
