"""The "keyword" and "regex" detectors: spans that the caller's own terms match.

"keyword" takes the parameter "keywords" (a list of texts) and, optionally,
"case_sensitive" (default false).  A keyword matches where it stands as whole
words: "art" matches "art" and "Art." but not "party"; white space inside a
keyword matches any run of white space.

"regex" takes the parameter "regex" (a list of Python regular expressions).
Every non-empty match is reported; an expression that does not compile makes
the request a bad one, naming the expression.

Each match is one detection with score 1.0:
``{"detection_type": "keyword"|"regex", "detection": the keyword or expression, "text", "start", "end", "score"}``.
At most `MAX_MATCHES_PER_TERM` matches are reported per keyword or expression.
Expressions run on the backtracking `regex` engine (compatible with Python's
`re`) in the service's own thread, each limited to `REGEX_TIME_LIMIT_SECONDS`
per input: an expression with catastrophic backtracking (such as "(a|aa)+$") on
a long input makes the request a bad one instead of holding the service up.
"""

from __future__ import annotations

import re
from functools import lru_cache
from typing import Any

import regex  # re-compatible, with time limits on matching; a dependency of tiktoken

from tessary.services.detectors import _params
from tessary.services.detectors.errors import BadDetectionRequest

MAX_MATCHES_PER_TERM = 1000
REGEX_TIME_LIMIT_SECONDS = 1.0


@lru_cache(maxsize=1024)
def _keyword_pattern(keyword: str, case_sensitive: bool) -> re.Pattern[str]:
    body = r"\s+".join(re.escape(word) for word in keyword.split())
    return re.compile(r"(?<!\w)" + body + r"(?!\w)", 0 if case_sensitive else re.IGNORECASE)


@lru_cache(maxsize=1024)
def _compile_regex(expression: str) -> regex.Pattern[str]:
    try:
        return regex.compile(expression)
    except (regex.error, RecursionError, OverflowError, ValueError) as error:
        raise BadDetectionRequest(f"Detector 'regex': the expression {expression!r} does not compile: {error}.") from None


def _spans(kind: str, term: str, pattern: Any, text: str, **limits: Any) -> list[dict[str, Any]]:
    """Return the non-empty matches of one pattern as detections."""
    found = []
    for match in pattern.finditer(text, **limits):
        if match.end() > match.start():
            found.append(
                {
                    "detection_type": kind,
                    "detection": term,
                    "text": match.group(),
                    "start": match.start(),
                    "end": match.end(),
                    "score": 1.0,
                }
            )
            if len(found) == MAX_MATCHES_PER_TERM:
                break
    return found


def _in_text_order(detections: list[dict[str, Any]]) -> list[dict[str, Any]]:
    return sorted(detections, key=lambda d: (d["start"], d["end"]))


def detect_keywords(text: str, params: dict[str, Any]) -> list[dict[str, Any]]:
    """Run the "keyword" detector on `text` with its parameters."""
    keywords = [k for k in _params.string_list(params, "keywords", "keyword") if k.strip()]
    if not keywords:
        raise BadDetectionRequest("Detector 'keyword': every keyword is blank.")
    case_sensitive = _params.flag(params, "case_sensitive", "keyword")
    detections = []
    for keyword in keywords:
        detections += _spans("keyword", keyword, _keyword_pattern(keyword, case_sensitive), text)
    return _in_text_order(detections)


def detect_regex(text: str, params: dict[str, Any]) -> list[dict[str, Any]]:
    """Run the "regex" detector on `text` with its parameters."""
    expressions = _params.string_list(params, "regex", "regex")
    compiled = [(expression, _compile_regex(expression)) for expression in expressions]
    detections = []
    for expression, pattern in compiled:
        try:
            detections += _spans("regex", expression, pattern, text, timeout=REGEX_TIME_LIMIT_SECONDS)
        except TimeoutError:
            raise BadDetectionRequest(
                f"Detector 'regex': the expression {expression!r} took longer than "
                f"{REGEX_TIME_LIMIT_SECONDS:g} s on this input."
            ) from None
    return _in_text_order(detections)
