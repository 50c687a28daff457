"""Which detector runs at which endpoint, and on which request fields.

The four endpoints and the bodies they take (keys beyond these are ignored):

| endpoint | body | detectors |
|---|---|---|
| "detection" | "detectors", "input" | "hap", "pii", "keyword", "regex", "topic_relevance", "prompt_safety_risk", "korund_guardian" |
| "generated" | "detectors", "prompt", "generated_text" | "answer_relevance", "korund_guardian" |
| "context" | "detectors", "input", "context_type" ("docs"), "context" (list of passages) | "context_relevance", "faithfulness", "korund_guardian" |
| "chat" | "detectors", "messages", "tools" | "tool_call_accuracy", "korund_guardian" |

"detectors" maps each detector name to its parameters (an object, possibly
empty); every detector named runs and the answer lists all their detections.
"topic_relevance" needs the parameter "topic" (also accepted as "topic_text"
or "system_prompt"), the text the input should stay on.  "prompt_safety_risk"
scores prompt-injection attempts with the guardian's "jailbreak" cues and
always answers one detection.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from tessary.services.detectors import _params, guardian, hap, patterns, pii, relevance, tool_calls
from tessary.services.detectors.errors import BadDetectionRequest

TOPIC_PARAMETER_NAMES = ("topic", "topic_text", "system_prompt")


@dataclass(frozen=True, slots=True)
class CheckedRequest:
    """A request body whose fields have been checked for its endpoint."""

    fields: dict[str, Any]
    texts: list[tuple[str, str]]


def _check_detection_body(body: Mapping[str, Any]) -> CheckedRequest:
    text = _params.text_field(body, "input")
    return CheckedRequest({"input": text}, [("input", text)])


def _check_generated_body(body: Mapping[str, Any]) -> CheckedRequest:
    prompt = _params.text_field(body, "prompt")
    generated = _params.text_field(body, "generated_text")
    return CheckedRequest({"prompt": prompt, "generated_text": generated}, [("prompt", prompt), ("generated_text", generated)])


def _check_context_body(body: Mapping[str, Any]) -> CheckedRequest:
    text = _params.text_field(body, "input")
    passages = _params.context_passages(body)
    return CheckedRequest({"input": text, "context": passages}, [("input", text)])


def _check_chat_body(body: Mapping[str, Any]) -> CheckedRequest:
    messages = body.get("messages")
    tool_calls.tool_calls_of(messages)
    tools = body.get("tools")
    if not isinstance(tools, list):
        raise BadDetectionRequest(f"'tools' must be a list of tool descriptions, got {tools!r}.")
    texts = [
        (f"messages[{index}]", message["content"])
        for index, message in enumerate(messages)
        if isinstance(message.get("content"), str) and message["content"].strip()
    ]
    return CheckedRequest({"messages": messages, "tools": tools}, texts)


BODY_CHECKS: dict[str, Callable[[Mapping[str, Any]], CheckedRequest]] = {
    "detection": _check_detection_body,
    "generated": _check_generated_body,
    "context": _check_context_body,
    "chat": _check_chat_body,
}

Detector = Callable[[CheckedRequest, Mapping[str, Any]], list[dict[str, Any]]]


def _topic(params: Mapping[str, Any]) -> str:
    for name in TOPIC_PARAMETER_NAMES:
        value = params.get(name)
        if isinstance(value, str) and value.strip():
            return value
    raise BadDetectionRequest("Detector 'topic_relevance' needs the parameter 'topic': the text the input should stay on.")


def _prompt_safety(text: str) -> list[dict[str, Any]]:
    scored = guardian.score_text("jailbreak", text)
    score = round(scored.score, 4)
    label = "Yes" if score >= guardian.RISK_PRESENT_THRESHOLD else "No"
    return [{"detection_type": "prompt_safety_risk", "detection": label, "score": score, "cues": scored.cues}]


DETECTORS: dict[str, tuple[tuple[str, ...], Detector]] = {
    "hap": (("detection",), lambda req, p: hap.detect(req.fields["input"], dict(p))),
    "pii": (("detection",), lambda req, p: pii.detect(req.fields["input"], dict(p))),
    "keyword": (("detection",), lambda req, p: patterns.detect_keywords(req.fields["input"], dict(p))),
    "regex": (("detection",), lambda req, p: patterns.detect_regex(req.fields["input"], dict(p))),
    "topic_relevance": (("detection",), lambda req, p: [relevance.topic_relevance(req.fields["input"], _topic(p))]),
    "prompt_safety_risk": (("detection",), lambda req, p: _prompt_safety(req.fields["input"])),
    "answer_relevance": (
        ("generated",),
        lambda req, p: [relevance.answer_relevance(req.fields["prompt"], req.fields["generated_text"])],
    ),
    "context_relevance": (("context",), lambda req, p: [relevance.context_relevance(req.fields["input"], req.fields["context"])]),
    "faithfulness": (("context",), lambda req, p: [relevance.faithfulness(req.fields["input"], req.fields["context"])]),
    "tool_call_accuracy": (("chat",), lambda req, p: tool_calls.detect(req.fields["messages"], req.fields["tools"])),
    "korund_guardian": (tuple(BODY_CHECKS), lambda req, p: guardian.detect(req.fields, req.texts, p)),
}


def requested_detectors(body: Any) -> dict[str, Mapping[str, Any]]:
    """Return the body's "detectors" map after checking its shape."""
    if not isinstance(body, Mapping):
        raise BadDetectionRequest("The request body must be a JSON object.")
    wanted = body.get("detectors")
    if not isinstance(wanted, Mapping) or not wanted:
        raise BadDetectionRequest("'detectors' must be an object mapping at least one detector name to its parameters.")
    for name, params in wanted.items():
        if not isinstance(params, Mapping):
            raise BadDetectionRequest(f"The parameters of detector '{name}' must be an object, got {params!r}.")
    return dict(wanted)


def run_detectors(endpoint: str, body: Any) -> list[dict[str, Any]]:
    """Run every detector the body names at `endpoint`; raise BadDetectionRequest on bad input."""
    wanted = requested_detectors(body)
    for name in wanted:
        if name not in DETECTORS:
            raise BadDetectionRequest(f"Unknown detector '{name}'. Known detectors: {', '.join(DETECTORS)}.")
        served_at, _ = DETECTORS[name]
        if endpoint not in served_at:
            raise BadDetectionRequest(f"Detector '{name}' is not served by the '{endpoint}' endpoint; use '{served_at[0]}'.")
    request = BODY_CHECKS[endpoint](body)
    detections: list[dict[str, Any]] = []
    for name, params in wanted.items():
        detections += DETECTORS[name][1](request, params)
    return detections
