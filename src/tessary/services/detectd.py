"""tessary-detectd: the local detection service, an aiohttp server on loopback.

Endpoints (every detection endpoint needs the query parameter "version", for
example ``?version=2023-10-25``, and a JSON object body):

| method and path | body | detectors |
|---|---|---|
| POST /ml/v1/text/detection | "detectors", "input" | hap, pii, keyword, regex, topic_relevance, prompt_safety_risk, korund_guardian |
| POST /ml/v1/text/detection/generated | "detectors", "prompt", "generated_text" | answer_relevance, korund_guardian |
| POST /ml/v1/text/detection/context | "detectors", "input", "context_type", "context" | context_relevance, faithfulness, korund_guardian |
| POST /ml/v1/text/detection/chat | "detectors", "messages", "tools" | tool_call_accuracy, korund_guardian |
| POST /identity/token | form fields "grant_type" (`GRANT_TYPE`) and "apikey" | exchanges an API key for a bearer token |
| GET /health | none | {"status": "ok"} |

A detection answers 200 with ``{"detections": [...]}``; what each detector
finds and how it scores is documented in `tessary.services.detectors`.  Any
request the service cannot score gets a JSON error body
``{"errors": [{"code", "message"}], "status_code"}`` with status 400 (401 for a
missing or unknown token when API keys are configured, 404/405 for unknown
routes, 413 for a body over `MAX_BODY_BYTES`, 500 for a fault of the service
itself); no input stops the service.

Authentication is off unless API keys are given (`--api-key`): then the token
endpoint only accepts those keys and every detection request needs
``Authorization: Bearer <token>`` with a token it issued and that has not
expired.  The other request headers ("x-governance-instance-id", "origin")
are accepted as sent.

Run ``tessary-detectd`` (or ``python -m tessary.services.detectd``): it listens
on 127.0.0.1 on a free port and prints its base URL once it is ready.  From
Python, ``with DetectionService() as service: ...`` runs it on a background thread
(``service.url`` is its base URL).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import secrets
import sys
import threading
import time
from collections.abc import Awaitable, Callable, Iterable
from typing import Any

from aiohttp import web

from tessary.services._exposure import warn_if_unprotected
from tessary.services._harness import LocalService, serve_until_signalled
from tessary.services.detectors.errors import BadDetectionRequest
from tessary.services.detectors.registry import run_detectors

DETECTION_PATH = "/ml/v1/text/detection"
ENDPOINT_ROUTES = {
    DETECTION_PATH: "detection",
    DETECTION_PATH + "/generated": "generated",
    DETECTION_PATH + "/context": "context",
    DETECTION_PATH + "/chat": "chat",
}
TOKEN_PATH = "/identity/token"
GRANT_TYPE = "urn:orvane:params:oauth:grant-type:apikey"
MAX_BODY_BYTES = 8 * 1024 * 1024
DEFAULT_TOKEN_TTL_SECONDS = 3600

Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


class TokenRequestError(Exception):
    """A token request that cannot be granted; carries its HTTP status."""

    def __init__(self, status: int, code: str, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.code = code


class TokenIssuer:
    """Issues bearer tokens for API keys and tells whether a token is still valid."""

    def __init__(self, api_keys: Iterable[str] | None, ttl_seconds: int, clock: Callable[[], float] = time.time) -> None:
        if isinstance(ttl_seconds, bool) or not isinstance(ttl_seconds, int) or ttl_seconds <= 0:
            raise ValueError(f"The token lifetime must be a positive whole number of seconds, got {ttl_seconds!r}.")
        self.api_keys = frozenset(api_keys) if api_keys is not None else None
        self.ttl_seconds = ttl_seconds
        self.clock = clock
        self.issued_count = 0
        self._expiry_by_token: dict[str, float] = {}
        self._lock = threading.Lock()

    @property
    def checks_tokens(self) -> bool:
        """Whether detection requests must carry a token issued here."""
        return self.api_keys is not None

    def issue(self, grant_type: str | None, apikey: str | None) -> dict[str, Any]:
        """Grant a token for an API key, or raise TokenRequestError."""
        if grant_type != GRANT_TYPE:
            raise TokenRequestError(400, "unsupported_grant_type", f"'grant_type' must be \"{GRANT_TYPE}\".")
        if not apikey:
            raise TokenRequestError(400, "invalid_request", "The form field 'apikey' is missing.")
        if self.api_keys is not None and apikey not in self.api_keys:
            raise TokenRequestError(400, "invalid_grant", "The API key is not valid.")
        now = self.clock()
        token = secrets.token_urlsafe(32)
        with self._lock:
            self._forget_expired(now)
            self._expiry_by_token[token] = now + self.ttl_seconds
            self.issued_count += 1
        return {
            "access_token": token,
            "refresh_token": "not_supported",
            "token_type": "Bearer",
            "expires_in": self.ttl_seconds,
            "expiration": int(now + self.ttl_seconds),
        }

    def is_valid(self, token: str) -> bool:
        """Tell whether `token` was issued here and has not expired."""
        with self._lock:
            expiry = self._expiry_by_token.get(token)
        return expiry is not None and self.clock() < expiry

    def _forget_expired(self, now: float) -> None:
        for token in [t for t, expiry in self._expiry_by_token.items() if expiry <= now]:
            del self._expiry_by_token[token]


def error_response(status: int, code: str, message: str) -> web.Response:
    """Build the JSON error answer."""
    body = {"errors": [{"code": code, "message": message}], "status_code": status}
    return web.json_response(body, status=status)


@web.middleware
async def json_errors(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Answer every failure with a JSON error body; nothing escapes to the server."""
    try:
        return await handler(request)
    except BadDetectionRequest as error:
        return error_response(400, "invalid_input", str(error))
    except TokenRequestError as error:
        return error_response(error.status, error.code, str(error))
    except web.HTTPException as error:
        return error_response(error.status, error.reason.lower().replace(" ", "_"), error.text or error.reason)
    except RecursionError:
        return error_response(400, "invalid_input", "The request body is nested too deeply.")
    except Exception as error:  # a fault of ours must not take the service down
        return error_response(500, "internal_error", f"{type(error).__name__}: {error}")


def _bearer_token(request: web.Request) -> str | None:
    scheme, _, token = request.headers.get("Authorization", "").partition(" ")
    return token.strip() if scheme.lower() == "bearer" and token.strip() else None


async def _read_json_body(request: web.Request) -> Any:
    raw = await request.read()
    try:
        return json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError:
        raise BadDetectionRequest("The request body is not UTF-8 text.") from None
    except ValueError as error:
        raise BadDetectionRequest(f"The request body is not valid JSON: {error}.") from None
    except RecursionError:
        raise BadDetectionRequest("The request body is nested too deeply.") from None


def detection_handler(endpoint: str, issuer: TokenIssuer) -> Handler:
    """Build the handler of one detection endpoint."""

    async def handle(request: web.Request) -> web.Response:
        if issuer.checks_tokens:
            token = _bearer_token(request)
            if token is None or not issuer.is_valid(token):
                return error_response(401, "unauthorized", "A valid bearer token is required.")
        if not request.query.get("version"):
            raise BadDetectionRequest("The query parameter 'version' is required, for example ?version=2023-10-25.")
        body = await _read_json_body(request)
        return web.json_response({"detections": run_detectors(endpoint, body)})

    return handle


def _form_text(form: Any, name: str) -> str | None:
    """Return a text form field; uploaded files and absent fields give None."""
    value = form.get(name)
    return value if isinstance(value, str) else None


def token_handler(issuer: TokenIssuer) -> Handler:
    """Build the handler that exchanges API keys for bearer tokens."""

    async def handle(request: web.Request) -> web.Response:
        form = await request.post()
        return web.json_response(issuer.issue(_form_text(form, "grant_type"), _form_text(form, "apikey")))

    return handle


async def _health(request: web.Request) -> web.Response:
    return web.json_response({"status": "ok"})


def create_app(issuer: TokenIssuer | None = None) -> web.Application:
    """Build the service's web application."""
    issuer = issuer or TokenIssuer(None, DEFAULT_TOKEN_TTL_SECONDS)
    app = web.Application(middlewares=[json_errors], client_max_size=MAX_BODY_BYTES)
    for path, endpoint in ENDPOINT_ROUTES.items():
        app.router.add_post(path, detection_handler(endpoint, issuer))
    app.router.add_post(TOKEN_PATH, token_handler(issuer))
    app.router.add_get("/health", _health)
    return app


class DetectionService(LocalService):
    """The detection service on a background thread (start, stop and time-outs as `LocalService`).

    Starting a running service answers its URL.
    """

    service_name = "tessary-detectd"

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        api_keys: Iterable[str] | None = None,
        token_ttl_seconds: int = DEFAULT_TOKEN_TTL_SECONDS,
        clock: Callable[[], float] = time.time,
    ) -> None:
        super().__init__(host, port)
        self.token_issuer = TokenIssuer(api_keys, token_ttl_seconds, clock)

    def build_app(self) -> web.Application:
        return create_app(self.token_issuer)

    def check_exposure(self) -> None:
        warn_if_unprotected("tessary-detectd", self.host, self.token_issuer.checks_tokens)

    def already_running(self) -> str:
        return self.base_url


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    """Read the command line of tessary-detectd."""
    parser = argparse.ArgumentParser(prog="tessary-detectd", description="Run the local detection service.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: a free port)")
    parser.add_argument("--api-key", action="append", dest="api_keys", help="accept this API key and require tokens (repeatable)")
    parser.add_argument("--token-ttl", type=int, default=DEFAULT_TOKEN_TTL_SECONDS, help="lifetime of issued tokens, in seconds")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    """Console entry point of tessary-detectd."""
    arguments = parse_arguments(argv)
    try:
        issuer = TokenIssuer(arguments.api_keys, arguments.token_ttl)
        warn_if_unprotected("tessary-detectd", arguments.host, issuer.checks_tokens)
        asyncio.run(serve_until_signalled(create_app(issuer), arguments.host, arguments.port,
                                          lambda url: print(url, flush=True)))
    except OSError as error:
        print(f"tessary-detectd: cannot listen on {arguments.host}:{arguments.port}: {error}", file=sys.stderr)
        return 1
    except ValueError as error:
        print(f"tessary-detectd: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
