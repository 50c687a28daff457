"""The "pii" detector: personal data found by validated patterns.

Entity types, each with its detection name and score:

| detection | what matches | validation | score |
|---|---|---|---|
| "EmailAddress" | local@domain.tld | top-level domain of 2+ letters | 0.95 |
| "CreditCardNumber" | 13 to 19 digits, optionally grouped by single spaces or dashes | Luhn checksum; a known issuer prefix (4, 51-55, 2221-2720, 34/37, 6011/64x/65, 35) raises the score | 0.95 / 0.8 |
| "USSocialSecurityNumber" | ddd-dd-dddd | area not 000, 666 or 9xx; group not 00; serial not 0000 | 0.85 |
| "UKNationalInsuranceNumber" | two letters, six digits, one letter A-D | the letters the issuer never uses are refused | 0.8 |
| "IPAddress" | dotted IPv4 or colon-separated IPv6 | parsed by `ipaddress` (octets up to 255, no leading zeros) | 0.9 |
| "PhoneNumber" | optional +country code, optional area code, digit groups | 10 to 15 digits in all | 0.85 with "+" or "(...)", else 0.75 |

When two candidates overlap, the earlier row of the table wins, so a card
number is not also reported as a phone number.  Each detection is
``{"detection_type": "pii", "detection": name, "text", "start", "end", "score"}``.
The optional "threshold" parameter drops detections scored below it.
"""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Callable, Iterator
from typing import Any

from tessary.services.detectors import _params

EMAIL_PATTERN = re.compile(r"(?<![\w.+-])[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}(?![\w-])")
CARD_PATTERN = re.compile(r"(?<![\d-])\d(?:[ -]?\d){12,18}(?![\d-])")
SSN_PATTERN = re.compile(r"(?<![\d-])(\d{3})-(\d{2})-(\d{4})(?![\d-])")
NINO_PATTERN = re.compile(r"\b([A-CEGHJ-PR-TW-Z][A-CEGHJ-NPR-TW-Z]) ?\d{2} ?\d{2} ?\d{2} ?[A-D]\b")
IPV4_PATTERN = re.compile(r"(?<![\d.])(?:\d{1,3}\.){3}\d{1,3}(?![\d.]*\d)")
IPV6_PATTERN = re.compile(r"(?<![\w:])(?:[0-9A-Fa-f]{0,4}:){2,7}[0-9A-Fa-f]{0,4}(?![\w:])")
PHONE_PATTERN = re.compile(
    r"(?<![\w+])(?:\+\d{1,3}[ .-]?)?(?:\(\d{1,4}\)[ .-]?)?\d{2,4}(?:[ .-]?\d{2,4}){1,4}(?![\w])"
)

NINO_REFUSED_PREFIXES = frozenset({"BG", "GB", "NK", "KN", "TN", "NT", "ZZ"})
KNOWN_CARD_PREFIX = re.compile(r"^(?:4|5[1-5]|2(?:2[2-9][1-9]|2[3-9]\d|[3-6]\d\d|7[01]\d|720)|3[47]|6011|64[4-9]|65|35)")

Candidate = tuple[int, int, str, float]  # start, end, detection name, score


def luhn_valid(digits: str) -> bool:
    """Tell whether a digit string passes the Luhn checksum."""
    total = 0
    for position, char in enumerate(reversed(digits)):
        value = int(char)
        if position % 2 == 1:
            value = value * 2 - 9 if value > 4 else value * 2
        total += value
    return total % 10 == 0


def _emails(text: str) -> Iterator[Candidate]:
    for match in EMAIL_PATTERN.finditer(text):
        yield match.start(), match.end(), "EmailAddress", 0.95


def _cards(text: str) -> Iterator[Candidate]:
    for match in CARD_PATTERN.finditer(text):
        digits = re.sub(r"\D", "", match.group())
        if 13 <= len(digits) <= 19 and luhn_valid(digits):
            score = 0.95 if KNOWN_CARD_PREFIX.match(digits) else 0.8
            yield match.start(), match.end(), "CreditCardNumber", score


def _ssns(text: str) -> Iterator[Candidate]:
    for match in SSN_PATTERN.finditer(text):
        area, group, serial = match.groups()
        if area not in ("000", "666") and not area.startswith("9") and group != "00" and serial != "0000":
            yield match.start(), match.end(), "USSocialSecurityNumber", 0.85


def _ninos(text: str) -> Iterator[Candidate]:
    for match in NINO_PATTERN.finditer(text):
        if match.group(1) not in NINO_REFUSED_PREFIXES:
            yield match.start(), match.end(), "UKNationalInsuranceNumber", 0.8


def _ip_addresses(text: str) -> Iterator[Candidate]:
    for pattern in (IPV4_PATTERN, IPV6_PATTERN):
        for match in pattern.finditer(text):
            try:
                ipaddress.ip_address(match.group())
            except ValueError:
                continue
            yield match.start(), match.end(), "IPAddress", 0.9


def _phones(text: str) -> Iterator[Candidate]:
    for match in PHONE_PATTERN.finditer(text):
        found = match.group()
        if 10 <= sum(char.isdigit() for char in found) <= 15:
            score = 0.85 if found.startswith("+") or "(" in found else 0.75
            yield match.start(), match.end(), "PhoneNumber", score


# In priority order: an earlier finder wins an overlap.
FINDERS: tuple[Callable[[str], Iterator[Candidate]], ...] = (_emails, _cards, _ssns, _ninos, _ip_addresses, _phones)


def find_entities(text: str) -> list[dict[str, Any]]:
    """Return the personal data found in `text` as detection mappings, in text order."""
    kept: list[Candidate] = []
    for finder in FINDERS:
        for candidate in finder(text):
            if not any(_overlaps(candidate, other) for other in kept):
                kept.append(candidate)
    kept.sort()
    return [
        {"detection_type": "pii", "detection": name, "text": text[start:end], "start": start, "end": end, "score": score}
        for start, end, name, score in kept
    ]


def _overlaps(first: Candidate, second: Candidate) -> bool:
    return first[0] < second[1] and second[0] < first[1]


def detect(text: str, params: dict[str, Any]) -> list[dict[str, Any]]:
    """Run the "pii" detector on `text` with its parameters."""
    minimum = _params.threshold(params, "pii")
    return [d for d in find_entities(text) if d["score"] >= minimum]
