"""HTTP client of the Lumeris AI service.

:class:`APIClient` signs in with its :class:`~orvane_lumeris_ai.credentials.Credentials`,
keeps the bearer token and renews it shortly before it expires, or at once when
the service answers 401. Busy answers (429, 503) are retried a few times,
honouring ``Retry-After``. The client is safe to share between threads.
"""

import json
import ssl
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Mapping
from urllib.parse import urlencode

from orvane_lumeris_ai.credentials import Credentials
from orvane_lumeris_ai.errors import APIRequestError, CredentialsError

CLOUD_TOKEN_PATH = "/v1/auth/token"
ON_PREMISES_TOKEN_PATH = "/v1/auth/authorize"
GENERATION_PATH = "/v1/text/generation"
BUSY_STATUSES = (429, 503)
MAX_BUSY_RETRIES = 3
MAX_RETRY_AFTER_SECONDS = 30.0


class APIClient:
    """A signed-in connection to the Lumeris AI service."""

    def __init__(
        self,
        credentials: Credentials,
        clock: Callable[[], float] = time.monotonic,
        sleep: Callable[[float], None] = time.sleep,
    ) -> None:
        if not isinstance(credentials, Credentials):
            raise CredentialsError(
                f"APIClient needs a Credentials object, got {type(credentials).__name__}"
            )
        self.credentials = credentials
        self._clock = clock
        self._sleep = sleep
        self._token_lock = threading.Lock()
        self._token: str | None = credentials.token
        self._token_renew_at: float | None = None
        self._ssl_context = _ssl_context(credentials)

    @property
    def service_url(self) -> str:
        """The service's base URL."""
        return self.credentials.url

    def get_token(self) -> str:
        """The current bearer token, obtaining or renewing it when due."""
        with self._token_lock:
            if self._token is None or self._token_is_due():
                self._sign_in()
            return self._token

    def request(
        self,
        method: str,
        path: str,
        *,
        params: Mapping[str, object] | None = None,
        json_body: object = None,
    ) -> dict:
        """Send an authenticated JSON request and answer the decoded JSON body.

        ``path`` is relative to the service URL and may carry its own query.
        """
        url = _join(self.service_url, path, params)
        for renewal in (False, True):
            token = self.get_token()
            headers = {"Authorization": f"Bearer {token}"}
            try:
                return self._send(method, url, headers, json_body)
            except APIRequestError as error:
                may_renew = error.status == 401 and self.credentials.token is None
                if renewal or not may_renew:
                    raise
                self._drop_token(token)
        raise AssertionError("unreachable")

    def generate_text(
        self,
        model_id: str,
        prompt: str,
        *,
        project_id: str | None = None,
        parameters: Mapping[str, object] | None = None,
    ) -> str:
        """Generate text for one prompt with a foundation model."""
        answer = self.generate(model_id, prompt, project_id=project_id, parameters=parameters)
        results = answer.get("results")
        if not isinstance(results, list) or not results or "generated_text" not in results[0]:
            raise APIRequestError("POST", GENERATION_PATH, None, f"unexpected answer {answer!r:.200}")
        return results[0]["generated_text"]

    def generate(
        self,
        model_id: str,
        prompt: str,
        *,
        project_id: str | None = None,
        parameters: Mapping[str, object] | None = None,
    ) -> dict:
        """The service's full generation answer for one prompt."""
        if not isinstance(model_id, str) or not model_id:
            raise ValueError(f"model_id must be non-empty text, got {model_id!r}")
        if not isinstance(prompt, str):
            raise TypeError(f"prompt must be text, got {type(prompt).__name__}")
        body = {
            "model_id": model_id,
            "input": prompt,
            "project_id": project_id or self.credentials.project_id,
            "parameters": dict(parameters or {}),
        }
        return self.request("POST", GENERATION_PATH, json_body=body)

    def _token_is_due(self) -> bool:
        return self._token_renew_at is not None and self._clock() >= self._token_renew_at

    def _drop_token(self, stale_token: str) -> None:
        """Forget a refused token unless another thread already replaced it."""
        with self._token_lock:
            if self._token == stale_token:
                self._token = None

    def _sign_in(self) -> None:
        """Obtain a new token; the caller holds the token lock."""
        path, body = _sign_in_request(self.credentials)
        url = _join(self.service_url, path, None)
        started = self._clock()
        answer = self._send("POST", url, {}, body)
        token = answer.get("access_token")
        if not isinstance(token, str) or not token:
            raise APIRequestError("POST", url, None, "the sign-in answer holds no access_token")
        self._token = token
        self._token_renew_at = _renewal_time(started, answer.get("expires_in"))

    def _send(self, method: str, url: str, headers: dict, json_body: object) -> dict:
        """One HTTP exchange, retried while the service is busy."""
        for attempt in range(MAX_BUSY_RETRIES + 1):
            try:
                return self._send_once(method, url, headers, json_body)
            except _Busy as busy:
                if attempt == MAX_BUSY_RETRIES:
                    raise busy.error from None
                self._sleep(busy.retry_after if busy.retry_after is not None else 2.0**attempt * 0.5)
        raise AssertionError("unreachable")

    def _send_once(self, method: str, url: str, headers: dict, json_body: object) -> dict:
        data = None
        all_headers = {"Accept": "application/json", **headers}
        if json_body is not None:
            data = json.dumps(json_body).encode("utf-8")
            all_headers["Content-Type"] = "application/json"
        request = urllib.request.Request(url, data=data, headers=all_headers, method=method)
        try:
            with urllib.request.urlopen(
                request, timeout=self.credentials.timeout, context=self._ssl_context
            ) as response:
                return _decode_json(method, url, response.read())
        except urllib.error.HTTPError as failure:
            error = APIRequestError(method, url, failure.code, _error_reason(failure))
            if failure.code in BUSY_STATUSES:
                raise _Busy(error, _retry_after(failure.headers.get("Retry-After"))) from None
            raise error from None
        except (urllib.error.URLError, OSError) as failure:
            reason = getattr(failure, "reason", failure)
            raise APIRequestError(method, url, None, str(reason)) from failure


class _Busy(Exception):
    """A 429 or 503 answer, with the wait the service asked for."""

    def __init__(self, error: APIRequestError, retry_after: float | None) -> None:
        super().__init__(str(error))
        self.error = error
        self.retry_after = retry_after


def _sign_in_request(credentials: Credentials) -> tuple[str, dict]:
    """The token endpoint and body for these credentials."""
    if credentials.is_on_premises:
        body = {"username": credentials.username}
        if credentials.api_key:
            body["api_key"] = credentials.api_key
        else:
            body["password"] = credentials.password
        if credentials.instance_id:
            body["instance_id"] = credentials.instance_id
        return ON_PREMISES_TOKEN_PATH, body
    return CLOUD_TOKEN_PATH, {"grant_type": "apikey", "apikey": credentials.api_key}


def _renewal_time(started: float, expires_in: object) -> float | None:
    """When to renew: a tenth of the lifetime (at most a minute) before expiry."""
    if isinstance(expires_in, bool) or not isinstance(expires_in, (int, float)):
        return None
    margin = min(60.0, expires_in / 10)
    return started + expires_in - margin


def _join(base_url: str, path: str, params: Mapping[str, object] | None) -> str:
    url = base_url + (path if path.startswith("/") else "/" + path)
    if params:
        query = urlencode({key: value for key, value in params.items() if value is not None})
        if query:
            url += ("&" if "?" in url else "?") + query
    return url


def _decode_json(method: str, url: str, raw: bytes) -> dict:
    try:
        decoded = json.loads(raw or b"{}")
    except ValueError:
        raise APIRequestError(method, url, None, f"answer is not JSON: {raw[:200]!r}") from None
    if not isinstance(decoded, dict):
        raise APIRequestError(method, url, None, f"answer is not a JSON object: {raw[:200]!r}")
    return decoded


def _error_reason(failure: urllib.error.HTTPError) -> str:
    """The service's error message, or the HTTP reason phrase."""
    try:
        body = json.loads(failure.read() or b"{}")
    except (ValueError, OSError):
        return str(failure.reason)
    if isinstance(body, dict):
        for key in ("message", "error"):
            if isinstance(body.get(key), str):
                return body[key]
    return str(failure.reason)


def _retry_after(value: str | None) -> float | None:
    try:
        return min(MAX_RETRY_AFTER_SECONDS, max(0.0, float(value)))
    except (TypeError, ValueError):
        return None


def _ssl_context(credentials: Credentials) -> ssl.SSLContext | None:
    if credentials.disable_ssl and credentials.url.startswith("https:"):
        return ssl._create_unverified_context()
    return None
