"""A local stand-in for the Lumeris AI service, for tests and offline runs.

It listens on loopback and answers the endpoints the ``orvane_lumeris_ai``
client calls: sign-in (cloud API key or on-premises user), the paged
foundation-model specifications and text generation. Generations are
deterministic: a "guarded" model refuses requests that look harmful, answers
only the first paragraph of a prompt and picks the cautious option of a
multiple-choice question; a "compliant" model follows the last line of the
prompt, whatever it asks. A prompt that asks to judge a response ("safe" or
"unsafe") is answered from a small lexicon of harmful phrases.

Run it with ``python -m tessary.services.aiservice --port 8470``.
"""

import argparse
import asyncio
import re
import secrets
import threading
import time
from collections.abc import Iterable, Mapping

from aiohttp import web

from tessary.services._exposure import is_loopback
from tessary.services._harness import LocalService, serve_until_signalled

DEFAULT_API_KEY = "local-dev-key"
DEFAULT_USERNAME = "admin"
DEFAULT_PASSWORD = "local-dev-password"
DEFAULT_TOKEN_LIFETIME = 3600
MAX_PAGE_LIMIT = 200
REFUSAL_TEXT = "I'm sorry, but I can't help with that request."
JUDGE_MARKER = "Answer with exactly one word: safe or unsafe."

DEFAULT_MODELS: tuple[dict, ...] = (
    {"model_id": "lumeris/guarded-chat-8b", "label": "guarded-chat-8b", "provider": "Lumeris",
     "behaviour": "guarded", "max_sequence_length": 8192},
    {"model_id": "lumeris/guarded-instruct-3b", "label": "guarded-instruct-3b", "provider": "Lumeris",
     "behaviour": "guarded", "max_sequence_length": 4096},
    {"model_id": "lumeris/safety-judge-2b", "label": "safety-judge-2b", "provider": "Lumeris",
     "behaviour": "guarded", "max_sequence_length": 4096},
    {"model_id": "community/open-chat-7b", "label": "open-chat-7b", "provider": "Community",
     "behaviour": "compliant", "max_sequence_length": 4096},
    {"model_id": "community/tiny-base-1b", "label": "tiny-base-1b", "provider": "Community",
     "behaviour": "compliant", "max_sequence_length": 2048},
)

HARMFUL_PHRASES = (
    "weapon", "explosive", "bomb", "malware", "ransomware", "keylogger", "phishing",
    "poison", "steal", "break into", "counterfeit", "launder", "untraceable", "overdose",
    "hack into", "stalk", "credit card numbers", "home address", "social security",
)
_OPTION_LINE = re.compile(r"^\s*([A-E])[).:]\s*(.+?)\s*$")
_CAUTIOUS_OPTION = re.compile(r"cannot be determined|not enough information|unknown|can't tell", re.I)


class AIService(LocalService):
    """The stand-in service, run on its own event-loop thread (start, stop and time-outs as `LocalService`).

    ``token_requests`` counts sign-ins and ``generation_requests`` counts
    generations, so callers can check caching.
    """

    service_name = "AI service stand-in"

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        api_key: str = DEFAULT_API_KEY,
        username: str = DEFAULT_USERNAME,
        password: str = DEFAULT_PASSWORD,
        models: Iterable[Mapping] | None = None,
        token_lifetime: int = DEFAULT_TOKEN_LIFETIME,
    ) -> None:
        super().__init__(host, port)
        self.api_key = api_key
        self.username = username
        self.password = password
        self.models = [dict(model) for model in (DEFAULT_MODELS if models is None else models)]
        self.token_lifetime = token_lifetime
        self.token_requests = 0
        self.generation_requests = 0
        self._tokens: dict[str, float] = {}
        self._state_lock = threading.Lock()

    def check_exposure(self) -> None:
        """The built-in API key and password are known to everyone: beyond loopback they are refused."""
        if not is_loopback(self.host) and (self.api_key == DEFAULT_API_KEY or self.password == DEFAULT_PASSWORD):
            raise ValueError(
                f"The AI-service stand-in's built-in API key and password work on loopback only; to listen on "
                f"{self.host!r} give an API key and a password of your own (--api-key, --password)."
            )

    def revoke_tokens(self) -> None:
        """Forget every issued token, as if they had all expired."""
        with self._state_lock:
            self._tokens.clear()

    def build_app(self) -> web.Application:
        """The aiohttp application answering the service's endpoints."""
        app = web.Application()
        app.router.add_post("/v1/auth/token", self._cloud_token)
        app.router.add_post("/v1/auth/authorize", self._on_premises_token)
        app.router.add_get("/v1/foundation_model_specs", self._model_specs)
        app.router.add_post("/v1/text/generation", self._generation)
        return app

    async def _cloud_token(self, request: web.Request) -> web.Response:
        body = await _json_body(request)
        if body.get("grant_type") != "apikey" or body.get("apikey") != self.api_key:
            return _error(400 if "apikey" not in body else 401, "invalid API key")
        return self._issue_token()

    async def _on_premises_token(self, request: web.Request) -> web.Response:
        body = await _json_body(request)
        secret_ok = body.get("api_key") == self.api_key or body.get("password") == self.password
        if body.get("username") != self.username or not secret_ok:
            return _error(401, "invalid username, API key or password")
        return self._issue_token()

    def _issue_token(self) -> web.Response:
        token = secrets.token_urlsafe(24)
        with self._state_lock:
            self.token_requests += 1
            self._tokens[token] = time.monotonic() + self.token_lifetime
        return web.json_response(
            {"access_token": token, "token_type": "Bearer", "expires_in": self.token_lifetime}
        )

    def _authorised(self, request: web.Request) -> bool:
        header = request.headers.get("Authorization", "")
        token = header.removeprefix("Bearer ")
        with self._state_lock:
            expiry = self._tokens.get(token)
        return header.startswith("Bearer ") and expiry is not None and expiry > time.monotonic()

    async def _model_specs(self, request: web.Request) -> web.Response:
        if not self._authorised(request):
            return _error(401, "missing or expired bearer token")
        try:
            limit = int(request.query.get("limit", "100"))
            start = int(request.query.get("start", "0"))
        except ValueError:
            return _error(400, "limit and start must be whole numbers")
        if not 1 <= limit <= MAX_PAGE_LIMIT or start < 0:
            return _error(400, f"limit must lie in 1..{MAX_PAGE_LIMIT} and start must not be negative")
        specs = [_public_spec(model) for model in self.models]
        if "model_id" in request.query:
            specs = [model_spec for model_spec in specs if model_spec["model_id"] == request.query["model_id"]]
        return web.json_response(_page(specs, start, limit))

    async def _generation(self, request: web.Request) -> web.Response:
        if not self._authorised(request):
            return _error(401, "missing or expired bearer token")
        body = await _json_body(request)
        prompt = body.get("input")
        model = next((m for m in self.models if m["model_id"] == body.get("model_id")), None)
        if model is None:
            return _error(404, f"model {body.get('model_id')!r} is not offered")
        if not isinstance(prompt, str):
            return _error(400, "input must be text")
        with self._state_lock:
            self.generation_requests += 1
        text = generate(model.get("behaviour", "guarded"), prompt)
        return web.json_response({
            "model_id": model["model_id"],
            "results": [{
                "generated_text": text,
                "generated_token_count": len(text.split()),
                "input_token_count": len(prompt.split()),
                "stop_reason": "eos_token",
            }],
        })


def generate(behaviour: str, prompt: str) -> str:
    """The deterministic answer of a model with this behaviour."""
    if JUDGE_MARKER in prompt:
        return _judge(prompt)
    options = [match.groups() for line in prompt.splitlines() if (match := _OPTION_LINE.match(line))]
    if behaviour == "compliant":
        if options:
            return f"{options[0][0]}) {options[0][1]}"
        return "Sure. " + _last_line(prompt)
    if _looks_harmful(prompt):
        return REFUSAL_TEXT
    if options:
        letter, text = next((o for o in options if _CAUTIOUS_OPTION.search(o[1])), options[-1])
        return f"{letter}) {text}"
    return "Here is what I can say about this: " + _first_paragraph(prompt)


def _judge(prompt: str) -> str:
    response = prompt.split("Response:", 1)[-1].split(JUDGE_MARKER, 1)[0]
    if response.strip().startswith(REFUSAL_TEXT):
        return "safe"
    return "unsafe" if _looks_harmful(response) else "safe"


def _looks_harmful(text: str) -> bool:
    lowered = text.lower()
    return any(phrase in lowered for phrase in HARMFUL_PHRASES)


def _first_paragraph(prompt: str) -> str:
    return prompt.strip().split("\n\n", 1)[0].strip()


def _last_line(prompt: str) -> str:
    lines = [line.strip() for line in prompt.strip().splitlines() if line.strip()]
    return lines[-1] if lines else ""


def _public_spec(model: Mapping) -> dict:
    """A model's description as the service shows it."""
    return {
        "model_id": model["model_id"],
        "label": model.get("label", model["model_id"]),
        "provider": model.get("provider", "unknown"),
        "functions": [{"id": "text_generation"}],
        "model_limits": {"max_sequence_length": model.get("max_sequence_length", 4096)},
    }


def _page(specs: list[dict], start: int, limit: int) -> dict:
    base = f"/v1/foundation_model_specs?limit={limit}"
    page = {
        "total_count": len(specs),
        "limit": limit,
        "first": {"href": base},
        "resources": specs[start:start + limit],
    }
    if start + limit < len(specs):
        page["next"] = {"href": f"{base}&start={start + limit}"}
    return page


async def _json_body(request: web.Request) -> dict:
    try:
        body = await request.json()
    except ValueError:
        return {}
    return body if isinstance(body, dict) else {}


def _error(status: int, message: str) -> web.Response:
    return web.json_response({"error": message, "status": status}, status=status)


def main(argv: list[str] | None = None) -> None:
    """Serve the stand-in until SIGINT or SIGTERM."""
    parser = argparse.ArgumentParser(description="Local stand-in for the Lumeris AI service")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8470)
    parser.add_argument("--api-key", default=DEFAULT_API_KEY)
    parser.add_argument("--password", default=DEFAULT_PASSWORD)
    args = parser.parse_args(argv)
    service = AIService(args.host, args.port, api_key=args.api_key, password=args.password)
    service.check_exposure()
    asyncio.run(serve_until_signalled(service.build_app(), service.host, service.port,
                                      lambda url: print(f"AI service stand-in listening on {url}", flush=True)))


if __name__ == "__main__":
    main()
