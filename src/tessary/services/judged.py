"""tessary-judged: a local judge model server on loopback.

It speaks the OpenAI chat-completions protocol (``POST <base>/chat/completions``
where ``<base>`` is the printed base URL, ending in "/v1") and the AI service's
text-generation protocol (``POST /ml/v1/text/generation``, also under "/v1"),
and answers judge prompts deterministically by rules over the prompt's text, so
judged metrics run end to end offline.

A judge prompt carries headed sections (``[Question]``, ``[Contexts]``,
``[Answer]``, ``[Reference answer]``) and asks for a verdict on a verbal scale
("Answer: yes|partial|no") or a number ("Rating: N" from a low to a high bound).
The server measures the word overlap the sections call for and maps it onto the
asked scale:

- reference answer present: F1 overlap of the answer with the reference;
- answer and contexts: share of the answer's words found in the contexts;
- contexts and question: share of the question's words found in the contexts;
- question and answer: share of the question's words found in the answer.

Criteria prompts that ask for a JSON object with "selected_option" get one
option chosen by overlap too (see ``criteria_judge_rule``). A prompt it cannot
read gets a polite refusal, which judges report as an unparsable answer. More
rules can be added to ``RULES``.

Start it with ``tessary-judged [--port N]`` (it prints the base URL when
ready), or in-process with ``JudgeServer``::

    with JudgeServer() as server:
        engine = OpenAiInferenceEngine("judge", credentials={"api_url": server.base_url})
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import json
import re
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass

from aiohttp import web

from tessary.services._harness import LocalService, root_url, serve_until_signalled

DEFAULT_MODEL = "tessary-judge"
LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "::1")
REFUSAL = "I cannot judge this request: it has no sections I can compare."

_SECTION = re.compile(r"(?m)^\[(Question|Contexts|Answer|Reference answer)\]\n")
_VERBAL = re.compile(r"\byes\b.{0,80}\bpartial\b.{0,80}\bno\b", re.IGNORECASE | re.DOTALL)
_NUMERIC = re.compile(r"\bfrom\s+(-?\d+)\s+to\s+(-?\d+)\b", re.IGNORECASE)
_WORD = re.compile(r"[a-z0-9]+")
_STOPWORDS = frozenset(
    "a an the is are was were be been of to in on at for by with and or as it its this that "
    "these those what which who whom how why when where do does did".split()
)


def content_words(text: str) -> list[str]:
    """Lower-cased words of ``text`` without common function words."""
    return [w for w in _WORD.findall(text.lower()) if w not in _STOPWORDS]


def split_sections(prompt: str) -> dict[str, str]:
    """Headed sections of a judge prompt; the last one stops at the closing instruction."""
    matches = list(_SECTION.finditer(prompt))
    sections = {}
    for current, following in itertools.zip_longest(matches, matches[1:]):
        end = following.start() if following else len(prompt)
        body = prompt[current.end() : end]
        if following is None and "\n\n" in body:
            body = body[: body.rindex("\n\n")]
        sections[current.group(1)] = body.strip()
    return sections


def _coverage(needed: list[str], available: list[str]) -> float:
    if not needed:
        return 0.0
    vocabulary = set(available)
    return sum(1 for w in needed if w in vocabulary) / len(needed)


def _f1(candidate: list[str], reference: list[str]) -> float:
    common = sum((Counter(candidate) & Counter(reference)).values())
    if not common:
        return 0.0
    precision, recall = common / len(candidate), common / len(reference)
    return 2 * precision * recall / (precision + recall)


@dataclass(frozen=True)
class Measure:
    """An overlap in [0, 1] and what it measured."""

    value: float
    description: str


def measure_overlap(sections: dict[str, str]) -> Measure | None:
    """The overlap a judge prompt's sections call for, or None when none applies."""
    words = {name: content_words(text) for name, text in sections.items()}
    if "Reference answer" in words and "Answer" in words:
        return Measure(_f1(words["Answer"], words["Reference answer"]), "word overlap (F1) of the answer with the reference")
    if "Answer" in words and "Contexts" in words:
        return Measure(_coverage(words["Answer"], words["Contexts"]), "of the answer's words appear in the contexts")
    if "Contexts" in words and "Question" in words:
        return Measure(_coverage(words["Question"], words["Contexts"]), "of the question's words appear in the contexts")
    if "Question" in words and "Answer" in words:
        return Measure(_coverage(words["Question"], words["Answer"]), "of the question's words appear in the answer")
    return None


def verbal_verdict(overlap: float) -> str:
    """yes / partial / no for an overlap."""
    return "yes" if overlap >= 0.75 else "partial" if overlap >= 0.4 else "no"


def numeric_rating(overlap: float, low: int, high: int) -> int:
    """The rating in [low, high] nearest to the overlap's position on the scale."""
    return low + round(overlap * (high - low))


def rag_judge_rule(prompt: str) -> str | None:
    """Reply to a sectioned judge prompt on the scale it asks for."""
    measure = measure_overlap(split_sections(prompt))
    if measure is None:
        return None
    explanation = f"Explanation: {measure.value:.0%} {measure.description}."
    if measure.description.startswith("word overlap"):
        explanation = f"Explanation: {measure.description} is {measure.value:.2f}."
    scale = _NUMERIC.search(prompt)
    if _VERBAL.search(prompt) and not scale:
        return f"Answer: {verbal_verdict(measure.value)}\n{explanation}"
    if scale:
        low, high = int(scale.group(1)), int(scale.group(2))
        return f"Rating: {numeric_rating(measure.value, low, high)}\n{explanation}"
    return None


_CHOICES = re.compile(r'"selected_option":\s*exactly one of\s+(.+?);\s*$', re.MULTILINE)
_EVALUATED = re.compile(r"(?ms)^### (.+?) to evaluate\n(.*?)(?=^### |\Z)")
_CONTEXT = re.compile(r"(?ms)^### Context\n(.*?)(?=^### |\Z)")
_OPTION_LINE = re.compile(r'(?m)^- ("(?:[^"\\]|\\.)*")(?::\s*(.*))?$')


def criteria_judge_rule(prompt: str) -> str | None:
    """Pick one option of a criteria prompt that asks for a JSON "selected_option".

    With a context section, the share of the evaluated text's words found in the
    context is mapped onto the option list (the first option for full support,
    the last for none); otherwise the option whose description shares the most
    words with the evaluated text wins (the first on a tie).
    """
    choices = _CHOICES.search(prompt)
    if not choices:
        return None
    try:
        options = json.loads(f"[{choices.group(1)}]")
    except ValueError:
        return None
    if not options:
        return None
    evaluated = _EVALUATED.search(prompt)
    text = content_words(evaluated.group(2) if evaluated else prompt[: choices.start()])
    context = _CONTEXT.search(prompt)
    if context:
        coverage = _coverage(text, content_words(context.group(1)))
        chosen = options[round((1 - coverage) * (len(options) - 1))]
        reason = f"{coverage:.0%} of the evaluated text's words appear in the context."
    else:
        descriptions = {json.loads(name): words or "" for name, words in _OPTION_LINE.findall(prompt)}
        overlaps = [_coverage(content_words(descriptions.get(o, "")), text) for o in options]
        chosen = options[overlaps.index(max(overlaps))]
        reason = f"the description of {chosen!r} shares the most words with the evaluated text."
    reply = {"explanation": f"Chosen because {reason}", "selected_option": chosen}
    if '"feedback"' in prompt:
        reply["feedback"] = "Stay closer to the given material." if chosen != options[0] else "None needed."
    return json.dumps(reply)


# Rules are tried in order; the first reply that is not None wins.
RULES: list[Callable[[str], str | None]] = [rag_judge_rule, criteria_judge_rule]


def judge_reply(prompt: str) -> str:
    """The server's deterministic answer to ``prompt``."""
    for rule in RULES:
        reply = rule(prompt)
        if reply is not None:
            return reply
    return REFUSAL


# -- HTTP ---------------------------------------------------------------------------


def _error(status: int, message: str) -> web.Response:
    body = {"error": {"message": message, "type": "invalid_request_error", "code": status}}
    return web.json_response(body, status=status)


async def _read_json(request: web.Request) -> dict | web.Response:
    try:
        body = await request.json()
    except (ValueError, UnicodeDecodeError):
        return _error(400, "The request body is not valid JSON.")
    except RecursionError:
        return _error(400, "The request body is nested too deeply.")
    if not isinstance(body, dict):
        return _error(400, "The request body must be a JSON object.")
    return body


def _prompt_of_messages(messages: object) -> str | None:
    if not isinstance(messages, list) or not messages:
        return None
    parts = []
    for message in messages:
        if not isinstance(message, dict) or not isinstance(message.get("content"), str):
            return None
        parts.append(message["content"])
    return "\n\n".join(parts)


def _count_tokens(text: str) -> int:
    return len(text.split())


class JudgeApp:
    """The request handlers and their counters."""

    def __init__(self, model_name: str = DEFAULT_MODEL) -> None:
        self.model_name = model_name
        self.requests_served = 0
        self._ids = itertools.count(1)

    def build(self) -> web.Application:
        app = web.Application()
        app.router.add_post("/v1/chat/completions", self.chat_completions)
        app.router.add_post("/chat/completions", self.chat_completions)
        app.router.add_post("/ml/v1/text/generation", self.text_generation)
        app.router.add_post("/v1/ml/v1/text/generation", self.text_generation)
        app.router.add_get("/v1/models", self.models)
        app.router.add_get("/health", self.health)
        return app

    async def chat_completions(self, request: web.Request) -> web.Response:
        body = await _read_json(request)
        if isinstance(body, web.Response):
            return body
        prompt = _prompt_of_messages(body.get("messages"))
        if prompt is None:
            return _error(400, "'messages' must be a non-empty list of messages with text 'content'.")
        self.requests_served += 1
        reply = judge_reply(prompt)
        prompt_tokens, completion_tokens = _count_tokens(prompt), _count_tokens(reply)
        return web.json_response(
            {
                "id": f"chatcmpl-{next(self._ids)}",
                "object": "chat.completion",
                "created": int(time.time()),
                "model": body.get("model") or self.model_name,
                "choices": [
                    {"index": 0, "message": {"role": "assistant", "content": reply}, "finish_reason": "stop"}
                ],
                "usage": {
                    "prompt_tokens": prompt_tokens,
                    "completion_tokens": completion_tokens,
                    "total_tokens": prompt_tokens + completion_tokens,
                },
            }
        )

    async def text_generation(self, request: web.Request) -> web.Response:
        body = await _read_json(request)
        if isinstance(body, web.Response):
            return body
        prompt = body.get("input")
        if not isinstance(prompt, str) or not prompt:
            return _error(400, "'input' must be a non-empty text.")
        if not (body.get("project_id") or body.get("space_id")):
            return _error(400, "Either 'project_id' or 'space_id' is required.")
        self.requests_served += 1
        reply = judge_reply(prompt)
        return web.json_response(
            {
                "model_id": body.get("model_id") or self.model_name,
                "created_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                "results": [
                    {
                        "generated_text": reply,
                        "generated_token_count": _count_tokens(reply),
                        "input_token_count": _count_tokens(prompt),
                        "stop_reason": "eos_token",
                    }
                ],
            }
        )

    async def models(self, request: web.Request) -> web.Response:
        return web.json_response({"object": "list", "data": [{"id": self.model_name, "object": "model"}]})

    async def health(self, request: web.Request) -> web.Response:
        return web.json_response({"status": "ok"})


class JudgeServer(LocalService):
    """The judge server on its own thread and event loop (start, stop and time-outs as `LocalService`)."""

    service_name = "judge server"

    def __init__(self, host: str = "127.0.0.1", port: int = 0, model_name: str = DEFAULT_MODEL) -> None:
        if host not in LOOPBACK_HOSTS:
            raise ValueError(f"The judge server listens on loopback only, not on {host!r}.")
        super().__init__(host, port)
        self.app = JudgeApp(model_name)

    @property
    def root_url(self) -> str:
        """The server's root URL (the AI service's "url"); kept after a stop, for messages."""
        return root_url(self.host, self.port)

    @property
    def base_url(self) -> str:
        """The OpenAI-style base URL ("api_url"); the chat endpoint is this + "/chat/completions"."""
        return self.root_url + "/v1"

    def build_app(self) -> web.Application:
        return self.app.build()


def _parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tessary-judged", description="Local judge model server (OpenAI-compatible) on loopback."
    )
    parser.add_argument("--host", default="127.0.0.1", choices=LOOPBACK_HOSTS)
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    parser.add_argument("--model", default=DEFAULT_MODEL, help="model name reported in answers")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    """Console entry point: serve until SIGINT or SIGTERM."""
    args = _parse_args(argv)
    asyncio.run(serve_until_signalled(JudgeApp(args.model).build(), args.host, args.port,
                                      lambda url: print(url + "/v1", flush=True)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
