"""The "korund_guardian" detector: one risk classifier per guardian risk name.

The parameter "risk_name" picks the risk.  Content risks are scored by
patterns: each risk has a list of cues, a regular expression with a weight in
(0, 1] (how likely a match alone means the risk is present), and the risk's
score is the noisy-OR of the distinct cues found, 1 - prod(1 - weight).  So
one weak cue gives a weak score, and several independent cues add up.

| risk | cues |
|---|---|
| "social_bias" | generalisations about a group ("all/most GROUP are ...", "GROUP are lazy/inferior/criminals ..."), claims of innate superiority, and the "hate" terms of the hap lexicon |
| "violence" | violent verbs and nouns (kill, stab, shoot, bomb, torture, ...), first-person threats, how-to questions about hurting people, building weapons |
| "profanity" | the "profanity" and "abuse" terms of the hap lexicon, at their lexicon scores |
| "sexual_content" | sexual terms (porn, nude, erotic, intercourse, ...) |
| "unethical_behavior" | stealing, fraud, bribery, forgery, blackmail, tax evasion, hacking, how-to questions about them |
| "jailbreak" | attempts to override instructions ("ignore all previous instructions", "developer mode", "bypass your safety filters", "reveal your system prompt", ...) |
| "evasiveness" | refusals and dodges in a response ("I can't help with that", "no comment", "as an AI", ...) |
| "harm_engagement" | a response that gives instructions ("here's how", "step 1", ...) on a harmful subject: instruction score x the highest of violence and unethical behaviour |
| "harm" | the highest of social bias, violence, profanity, sexual content, unethical behaviour, jailbreak and harm engagement |

Retrieval and tool risks reuse the lexical scores of `relevance` and
`tool_calls`.  Three of them are named after the quality they check, and
their "score" is that quality (high is good), so a metric of that name reads
the same way with or without the guardian; "risk_score" is its complement:

| risk | "score" | "risk_score" | needs |
|---|---|---|---|
| "groundedness" | faithfulness of "input" to "context" | 1 - score | the context endpoint |
| "context_relevance" | context relevance of "context" to "input" | 1 - score | the context endpoint |
| "answer_relevance" | answer relevance of "generated_text" to "prompt" | 1 - score | the generated-text endpoint |
| "function_call" | the highest tool-call problem score (0 without problems) | same | the chat endpoint |

The detector always answers one detection: ``{"detection_type": "risk",
"detection": "Yes" if risk_score >= 0.5 else "No", "risk_name", "score",
"risk_score", ...}`` (for content risks "risk_score" equals "score");
content risks add the scored "text", its "field" and the "cues" found (each
with "text", "start", "end", "weight"); the other risks add "details", the
underlying detection, and groundedness and context relevance also its
ranked "evidence" passages.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from tessary.services.detectors import hap, relevance, tool_calls
from tessary.services.detectors._text import noisy_or, score4
from tessary.services.detectors.errors import BadDetectionRequest

RISK_PRESENT_THRESHOLD = 0.5

_GROUP = (
    r"(?:women|men|girls|boys|females|males|immigrants|migrants|refugees|foreigners|muslims|christians|jews|"
    r"hindus|atheists|blacks|whites|asians|latinos|hispanics|arabs|africans|mexicans|chinese|indians|gays|"
    r"lesbians|homosexuals|trans people|transgender people|old people|the elderly|disabled people|the disabled|"
    r"poor people|the poor|blondes)"
)
_NEGATIVE_TRAIT = (
    r"(?:lazy|stupid|dumb|inferior|criminals?|dirty|violent|greedy|dishonest|worse|less intelligent|weak|"
    r"terrorists?|thieves|savages?|animals|parasites|vermin|too emotional|bad at \w+)"
)


@dataclass(frozen=True, slots=True)
class Cue:
    """One pattern of a risk, with the weight a match carries."""

    pattern: re.Pattern[str]
    weight: float


def _cues(*pairs: tuple[str, float]) -> tuple[Cue, ...]:
    return tuple(Cue(re.compile(pattern, re.IGNORECASE), weight) for pattern, weight in pairs)


CUES: dict[str, tuple[Cue, ...]] = {
    "social_bias": _cues(
        (rf"\b(?:all|most|every|typical)\s+{_GROUP}\s+(?:are|is|have|can't|cannot|always|never)\b", 0.75),
        (rf"\b{_GROUP}\s+(?:are|is)\s+(?:all\s+|just\s+|naturally\s+|inherently\s+|genetically\s+|always\s+)?{_NEGATIVE_TRAIT}\b", 0.9),
        (rf"\b{_GROUP}\s+(?:shouldn't|should not|don't deserve|do not deserve|can't be trusted|cannot be trusted)\b", 0.7),
        (r"\b(?:women|girls)\s+(?:can't|cannot|shouldn't|should not)\s+(?:drive|lead|do math|be engineers?|be leaders?)\b", 0.85),
        (r"\b(?:naturally|genetically|racially)\s+(?:superior|inferior)\b", 0.85),
        (r"\bbelongs?\s+in\s+the\s+kitchen\b", 0.8),
    ),
    "violence": _cues(
        (r"\b(?:kill|kills|killed|killing)\b", 0.45),
        (r"\bmurder\w*", 0.5),
        (r"\b(?:stab|stabs|stabbed|stabbing)\b", 0.5),
        (r"\b(?:shoot|shoots|shooting|gunned down)\b", 0.4),
        (r"\b(?:bomb|bombs|bombing|explosives?)\b", 0.45),
        (r"\b(?:behead\w*|tortur\w*|massacre\w*|slaughter\w*|strangl\w*|maim\w*|lynch\w*)", 0.5),
        (r"\bassault\w*", 0.35),
        (r"\b(?:i(?:'m| am)?\s+(?:going to|gonna|will)|i'll)\s+(?:kill|hurt|stab|shoot|beat|murder|strangle)\b", 0.9),
        (r"\bhow\s+(?:do|can|could|to|would|should)\s+(?:i\s+|you\s+|one\s+|we\s+)?(?:kill|poison|murder|stab|hurt|injure|shoot|strangle)\b", 0.85),
        (r"\b(?:make|build|assemble)\s+(?:a\s+|an\s+)?(?:bomb|explosive|pipe bomb|molotov)", 0.9),
        (r"\bbeat\s+(?:him|her|them|you|me)\s+up\b", 0.7),
    ),
    "sexual_content": _cues(
        (r"\bporn\w*", 0.8),
        (r"\b(?:nude|nudes|naked)\b", 0.5),
        (r"\berotic\w*", 0.7),
        (r"\borgasm\w*", 0.8),
        (r"\bmasturbat\w*", 0.8),
        (r"\bgenital\w*", 0.45),
        (r"\bintercourse\b", 0.55),
        (r"\bhave\s+sex\b|\bsex\s+with\b", 0.7),
        (r"\bsexually\s+explicit\b|\bexplicit\s+sex\w*", 0.8),
        (r"\b(?:nsfw|horny|blowjob\w*|handjob\w*)\b", 0.8),
        (r"\bsend\s+(?:me\s+)?nudes\b", 0.9),
        (r"\bfetish\w*", 0.5),
        (r"\bsex\b", 0.3),
    ),
    "unethical_behavior": _cues(
        (r"\b(?:steal|steals|stole|stolen|stealing)\b", 0.5),
        (r"\bshoplift\w*", 0.7),
        (r"\bcheat(?:ing)?\s+on\b", 0.6),
        (r"\bbrib\w*", 0.6),
        (r"\blaunder(?:ing)?\s+(?:the\s+)?money\b|\bmoney\s+laundering\b", 0.75),
        (r"\bfraud\w*", 0.5),
        (r"\bforg(?:e|ed|ing)\s+(?:a\s+|the\s+|my\s+|his\s+|her\s+)?(?:signature|document|check|cheque|passport|id)\b", 0.8),
        (r"\bplagiar\w*", 0.5),
        (r"\b(?:evade|evading|dodge)\s+(?:my\s+|the\s+)?taxes\b|\btax\s+evasion\b", 0.7),
        (r"\bhack\s+into\b", 0.7),
        (r"\bwithout\s+(?:them|him|her|anyone)\s+(?:knowing|noticing)\b", 0.5),
        (r"\bget\s+away\s+with\b", 0.4),
        (r"\bfake\s+(?:id|ids|reviews?|invoices?|documents?|receipts?)\b", 0.6),
        (r"\binsider\s+trading\b", 0.6),
        (r"\b(?:blackmail\w*|embezzl\w*|extort\w*)", 0.7),
        (r"\bhow\s+(?:do|can|could|to|would|should)\s+(?:i\s+|you\s+|we\s+)?(?:steal|cheat|shoplift|bribe|launder|forge|hack|blackmail|embezzle|evade)\b", 0.85),
    ),
    "jailbreak": _cues(
        (r"\b(?:ignore|disregard|forget|override)\s+(?:(?:all|any|the|your|of|my)\s+)*(?:previous\s+|prior\s+|above\s+|earlier\s+|preceding\s+|system\s+)?(?:instructions|rules|guidelines|prompts?|directives)\b", 0.9),
        (r"\bdo\s+anything\s+now\b", 0.9),
        (r"\bdeveloper\s+mode\b", 0.7),
        (r"\bjailbr[eo]a?k\w*", 0.8),
        (r"\bpretend\s+(?:you\s+are|you're|to\s+be)\b", 0.45),
        (r"\b(?:no|without\s+any|free\s+of|free\s+from)\s+(?:restrictions|filters|limitations|rules|censorship)\b", 0.6),
        (r"\b(?:bypass|circumvent|disable|turn\s+off)\s+(?:your\s+|the\s+|all\s+)?(?:safety\s+|content\s+|ethical\s+)?(?:filters?|restrictions|guidelines|guardrails|safeguards)\b", 0.85),
        (r"\b(?:reveal|show|print|repeat)\s+(?:me\s+)?(?:your|the)\s+(?:system\s+prompt|hidden\s+instructions|initial\s+instructions)\b", 0.8),
        (r"\bact\s+as\s+an?\s+(?:unfiltered|uncensored|unrestricted|evil)\b", 0.8),
        (r"\byou\s+are\s+no\s+longer\s+bound\b", 0.8),
        (r"\bstay\s+in\s+character\b", 0.4),
        (r"\bfor\s+educational\s+purposes\s+only\b", 0.3),
    ),
    "evasiveness": _cues(
        (r"\bI\s+(?:can't|cannot|can\s+not|won't|am\s+unable\s+to|'m\s+unable\s+to|am\s+not\s+able\s+to|'m\s+not\s+able\s+to)\s+(?:help|assist|answer|provide|share|discuss|comply|do\s+that)\b", 0.85),
        (r"\bas\s+an\s+AI\b", 0.5),
        (r"\bI(?:'m|\s+am)\s+not\s+(?:sure|certain)\b", 0.4),
        (r"\bI\s+don't\s+(?:know|have\s+(?:access|information|enough\s+information))\b", 0.5),
        (r"\bit\s+depends\b", 0.3),
        (r"\bI(?:'d|\s+would)\s+rather\s+not\b", 0.7),
        (r"\bno\s+comment\b", 0.8),
        (r"\b(?:I'm|I\s+am)\s+sorry,?\s+but\b", 0.5),
    ),
    "instructions": _cues(
        (r"\bhere(?:'s|\s+is)\s+how\b", 0.7),
        (r"\bstep\s+(?:1|one)\b", 0.6),
        (r"\b(?:first|to\s+start),?\s+you(?:'ll|\s+will)?\s+need\b", 0.6),
        (r"\bfollow\s+these\s+steps\b", 0.7),
        (r"\bthe\s+(?:easiest|best|simplest)\s+way\s+to\b", 0.5),
        (r"\b(?:sure|of\s+course|certainly)[,!]\s+(?:here|you\s+can)\b", 0.5),
    ),
}

# Risks scored on the response when the request has one (a prompt rarely evades).
RESPONSE_RISKS = frozenset({"evasiveness", "harm_engagement"})
HARM_PARTS = ("social_bias", "violence", "profanity", "sexual_content", "unethical_behavior", "jailbreak", "harm_engagement")
HAP_CATEGORIES_FOR = {"profanity": ("profanity", "abuse"), "social_bias": ("hate",)}


@dataclass(frozen=True, slots=True)
class Scored:
    """A content risk's score on one text, with the cues that produced it."""

    score: float
    cues: list[dict[str, Any]]


def score_text(risk: str, text: str) -> Scored:
    """Score one content risk on one text."""
    if risk == "harm":
        return max((score_text(part, text) for part in HARM_PARTS), key=lambda scored: scored.score)
    if risk == "harm_engagement":
        instructions = score_text("instructions", text)
        subject = max(score_text("violence", text), score_text("unethical_behavior", text), key=lambda s: s.score)
        found = instructions.cues + subject.cues if instructions.score and subject.score else []
        return Scored(instructions.score * subject.score, found)
    found = [_cue_hit(match, cue.weight) for cue in CUES.get(risk, ()) for match in _first_match(cue, text)]
    for category in HAP_CATEGORIES_FOR.get(risk, ()):
        found += [
            {"text": d["text"], "start": d["start"], "end": d["end"], "weight": d["score"]}
            for d in hap.find_terms(text)
            if d["detection"] == category
        ]
    return Scored(noisy_or(hit["weight"] for hit in _distinct(found)), sorted(found, key=lambda hit: hit["start"]))


def _first_match(cue: Cue, text: str) -> list[re.Match[str]]:
    """A cue counts once however often it matches."""
    match = cue.pattern.search(text)
    return [match] if match else []


def _cue_hit(match: re.Match[str], weight: float) -> dict[str, Any]:
    return {"text": match.group(), "start": match.start(), "end": match.end(), "weight": weight}


def _distinct(hits: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Count a lexicon term once however often it occurs."""
    seen: dict[str, dict[str, Any]] = {}
    for hit in hits:
        seen.setdefault(hit["text"].casefold(), hit)
    return list(seen.values())


def _content_risk(risk: str, texts: list[tuple[str, str]]) -> dict[str, Any]:
    """Score a content risk on every text of the request; the riskiest text counts."""
    if risk in RESPONSE_RISKS:
        texts = [pair for pair in texts if pair[0] == "generated_text"] or texts
    if not texts:
        raise BadDetectionRequest(f"The request holds no text for the risk '{risk}'.")
    scored = [(field, text, score_text(risk, text)) for field, text in texts]
    field, text, best = max(scored, key=lambda item: item[2].score)
    return {"score": best.score, "text": text, "field": field, "cues": best.cues}


def _quality_risk(details: dict[str, Any]) -> dict[str, Any]:
    """A risk named after a quality: the score is the quality, the risk its complement."""
    outcome = {"score": details["score"], "risk_score": 1.0 - details["score"], "details": details}
    if "evidence" in details:
        outcome["evidence"] = details["evidence"]
    return outcome


def _groundedness(body: Mapping[str, Any]) -> dict[str, Any]:
    return _quality_risk(relevance.faithfulness(body["input"], body["context"]))


def _context_relevance(body: Mapping[str, Any]) -> dict[str, Any]:
    return _quality_risk(relevance.context_relevance(body["input"], body["context"]))


def _answer_relevance(body: Mapping[str, Any]) -> dict[str, Any]:
    return _quality_risk(relevance.answer_relevance(body["prompt"], body["generated_text"]))


def _function_call(body: Mapping[str, Any]) -> dict[str, Any]:
    problems = tool_calls.detect(body["messages"], body["tools"])
    return {"score": max((p["score"] for p in problems), default=0.0), "details": {"problems": problems}}


# Each risk computed from the whole request, with the fields it needs.
REQUEST_RISKS: dict[str, tuple[Callable[[Mapping[str, Any]], dict[str, Any]], tuple[str, ...]]] = {
    "groundedness": (_groundedness, ("input", "context")),
    "context_relevance": (_context_relevance, ("input", "context")),
    "answer_relevance": (_answer_relevance, ("prompt", "generated_text")),
    "function_call": (_function_call, ("messages", "tools")),
}
CONTENT_RISKS = (
    "harm",
    "social_bias",
    "jailbreak",
    "violence",
    "profanity",
    "unethical_behavior",
    "sexual_content",
    "harm_engagement",
    "evasiveness",
)
RISK_NAMES = CONTENT_RISKS + tuple(REQUEST_RISKS)


def detect(body: Mapping[str, Any], texts: list[tuple[str, str]], params: Mapping[str, Any]) -> list[dict[str, Any]]:
    """Score the risk named by the "risk_name" parameter on a checked request body.

    `body` holds the request's fields already checked (texts, context list,
    messages, tools); `texts` lists the (field, text) pairs to classify.
    """
    risk = params.get("risk_name")
    if risk not in RISK_NAMES:
        raise BadDetectionRequest(
            f"Detector 'korund_guardian' needs the parameter 'risk_name', one of {', '.join(RISK_NAMES)}; got {risk!r}."
        )
    if risk in REQUEST_RISKS:
        compute, needed = REQUEST_RISKS[risk]
        missing = [field for field in needed if field not in body]
        if missing:
            raise BadDetectionRequest(f"The risk '{risk}' needs the request fields {', '.join(needed)}; missing: {', '.join(missing)}.")
        outcome = compute(body)
    else:
        outcome = _content_risk(risk, texts)
    score = score4(outcome.pop("score"))
    risk_score = score4(outcome.pop("risk_score", score))
    detection = "Yes" if risk_score >= RISK_PRESENT_THRESHOLD else "No"
    return [{"detection_type": "risk", "detection": detection, "risk_name": risk, "score": score, "risk_score": risk_score, **outcome}]
