"""Lexical relevance and grounding scores: topic, answer and context relevance, faithfulness.

All scores compare sets of content terms (`_text.term_set`: lower-cased,
stopwords removed, crudely stemmed) and lie in [0, 1]:

- topic relevance of an input to a topic text: the overlap coefficient
  |input ∩ topic| / min(|input|, |topic|).  The detection's score is the
  off-topic score, 1 minus that similarity, so a reader that takes 1 minus the
  highest detection score gets the similarity back.
- answer relevance of a generated text to its prompt: the share of the
  prompt's terms that the answer takes up (how much of the question it
  addresses).
- context relevance of the context passages to an input: per passage, the
  share of the input's terms found in the passage; the score is the best
  passage's.
- faithfulness of a text to the context passages: every sentence is matched
  with the passage that holds most of its terms; the score is the share of all
  sentence terms found in their best passage (sentences weighted by length).
  A passage's evidence score is the share of the whole text's terms it holds.

For context relevance and faithfulness the detection carries "evidence": all
passages, most supporting first, each as
``{"name": "context_passage", "value": passage, "score": support, "index": position in "context"}``.
Faithfulness also lists every sentence with its own support under "sentences".
"""

from __future__ import annotations

from typing import Any

from tessary.services.detectors._text import score4, sentences, term_set

TOPIC_MATCH_THRESHOLD = 0.5
RELEVANT_THRESHOLD = 0.5


def overlap_coefficient(first: frozenset[str], second: frozenset[str]) -> float:
    """Return |first ∩ second| / min(|first|, |second|), or 0 when either is empty."""
    if not first or not second:
        return 0.0
    return len(first & second) / min(len(first), len(second))


def coverage(terms: frozenset[str], by: frozenset[str]) -> float:
    """Return the share of `terms` that `by` also holds (0 when `terms` is empty)."""
    return len(terms & by) / len(terms) if terms else 0.0


def topic_relevance(text: str, topic: str) -> dict[str, Any]:
    """Score how far `text` strays from `topic`; the score is the off-topic score."""
    similarity = overlap_coefficient(term_set(text), term_set(topic))
    return {
        "detection_type": "topic_relevance",
        "detection": "on_topic" if similarity >= TOPIC_MATCH_THRESHOLD else "off_topic",
        "similarity": score4(similarity),
        "score": score4(1.0 - similarity),
    }


def answer_relevance(prompt: str, answer: str) -> dict[str, Any]:
    """Score how much of the prompt the answer addresses."""
    relevance = coverage(term_set(prompt), term_set(answer))
    return {
        "detection_type": "answer_relevance",
        "detection": "relevant" if relevance >= RELEVANT_THRESHOLD else "irrelevant",
        "score": score4(relevance),
    }


def context_relevance(text: str, passages: list[str]) -> dict[str, Any]:
    """Score the best passage by the share of the input's terms it holds."""
    asked = term_set(text)
    scores = [coverage(asked, term_set(passage)) for passage in passages]
    best = max(scores)
    return {
        "detection_type": "context_relevance",
        "detection": "relevant" if best >= RELEVANT_THRESHOLD else "irrelevant",
        "score": score4(best),
        "evidence": _ranked_evidence(passages, scores),
    }


def faithfulness(text: str, passages: list[str]) -> dict[str, Any]:
    """Score the share of the text's sentence terms that the passages support."""
    passage_terms = [term_set(passage) for passage in passages]
    supported_terms = total_terms = 0
    sentence_reports = []
    for sentence in sentences(text):
        terms = term_set(sentence.text)
        shared = [len(terms & candidate) for candidate in passage_terms]
        best_index = max(range(len(passages)), key=shared.__getitem__)
        supported_terms += shared[best_index]
        total_terms += len(terms)
        sentence_reports.append(
            {
                "text": sentence.text,
                "start": sentence.start,
                "end": sentence.end,
                "score": score4(shared[best_index] / len(terms) if terms else 0.0),
                "supported_by": best_index if shared[best_index] else None,
            }
        )
    score = supported_terms / total_terms if total_terms else 0.0
    answer_terms = term_set(text)
    passage_scores = [coverage(answer_terms, candidate) for candidate in passage_terms]
    return {
        "detection_type": "faithfulness",
        "detection": "faithful" if score >= RELEVANT_THRESHOLD else "unfaithful",
        "score": score4(score),
        "evidence": _ranked_evidence(passages, passage_scores),
        "sentences": sentence_reports,
    }


def _ranked_evidence(passages: list[str], scores: list[float]) -> list[dict[str, Any]]:
    """List every passage with its score, best first (ties keep the context order)."""
    order = sorted(range(len(passages)), key=lambda index: -scores[index])
    return [
        {"name": "context_passage", "value": passages[index], "score": score4(scores[index]), "index": index}
        for index in order
    ]
