"""Authenticators: where the bearer token of every monitoring-service request comes from.

- `BearerTokenAuthenticator` hands out a token it was given.
- `IAMAuthenticator` exchanges an API key for a token at the token service:
  ``POST {url}/identity/token`` with the form fields
  ``grant_type=urn:orvane:params:oauth:grant-type:apikey`` and ``apikey=<key>``.
  The answer is JSON with "access_token" and "expires_in" (seconds).  The
  token is cached and renewed once `REFRESH_FRACTION` of its lifetime has
  passed; if renewal fails while the cached token is still valid, the cached
  token is used and renewal is tried again on the next call.  Failures are
  never cached.  One lock guards the cache, so concurrent callers share one
  token request.
"""

from __future__ import annotations

import json
import ssl
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from abc import ABC, abstractmethod
from collections.abc import Callable
from dataclasses import dataclass

from orvane_corvel_tallion._checks import require_http_url, require_text
from orvane_corvel_tallion.exceptions import AuthenticationError

TOKEN_PATH = "/identity/token"
GRANT_TYPE = "urn:orvane:params:oauth:grant-type:apikey"
REFRESH_FRACTION = 0.8
DEFAULT_TIMEOUT_SECONDS = 30.0


class Authenticator(ABC):
    """Gives the bearer token to send with a request."""

    @abstractmethod
    def get_token(self) -> str:
        """Return the current bearer token."""

    def authorization_header(self) -> dict[str, str]:
        """Return the "Authorization" header for the current token."""
        return {"Authorization": f"Bearer {self.get_token()}"}


class BearerTokenAuthenticator(Authenticator):
    """Hands out one fixed bearer token."""

    def __init__(self, bearer_token: str) -> None:
        self.bearer_token = require_text("bearer_token", bearer_token)

    def get_token(self) -> str:
        """Return the fixed token."""
        return self.bearer_token

    def set_bearer_token(self, bearer_token: str) -> None:
        """Replace the token, for example after the caller renewed it."""
        self.bearer_token = require_text("bearer_token", bearer_token)

    def __repr__(self) -> str:
        return "BearerTokenAuthenticator(bearer_token=<hidden>)"


@dataclass(frozen=True, slots=True)
class _CachedToken:
    value: str
    renew_at: float
    expires_at: float


class IAMAuthenticator(Authenticator):
    """Exchanges an API key for bearer tokens at the token service, caching and renewing them."""

    def __init__(
        self,
        apikey: str,
        url: str,
        *,
        disable_ssl_verification: bool = False,
        timeout: float = DEFAULT_TIMEOUT_SECONDS,
        clock: Callable[[], float] = time.time,
    ) -> None:
        self.apikey = require_text("apikey", apikey)
        self.url = require_http_url("url", url)
        self.disable_ssl_verification = bool(disable_ssl_verification)
        self.timeout = timeout
        self._clock = clock
        self._cached: _CachedToken | None = None
        self._lock = threading.Lock()

    @property
    def token_url(self) -> str:
        """The token endpoint the API key is exchanged at."""
        return self.url + TOKEN_PATH

    def get_token(self) -> str:
        """Return a valid token, requesting a new one when the cached one is due for renewal."""
        with self._lock:
            now = self._clock()
            cached = self._cached
            if cached is not None and now < cached.renew_at:
                return cached.value
            try:
                self._cached = self._request_token(now)
            except AuthenticationError:
                if cached is not None and now < cached.expires_at:
                    return cached.value
                raise
            return self._cached.value

    def _request_token(self, now: float) -> _CachedToken:
        """Ask the token service for a new token."""
        form = urllib.parse.urlencode({"grant_type": GRANT_TYPE, "apikey": self.apikey}).encode("ascii")
        request = urllib.request.Request(
            self.token_url,
            data=form,
            method="POST",
            headers={"Content-Type": "application/x-www-form-urlencoded", "Accept": "application/json"},
        )
        try:
            with urllib.request.urlopen(request, timeout=self.timeout, context=self._ssl_context()) as response:
                payload = response.read()
        except urllib.error.HTTPError as error:
            detail = error.read()[:500].decode("utf-8", "replace")
            message = f"The token service at {self.token_url} answered {error.code}: {detail}"
            raise AuthenticationError(message, status_code=error.code) from None
        except (urllib.error.URLError, OSError) as error:
            raise AuthenticationError(f"The token service at {self.token_url} cannot be reached: {error}") from error
        return _parse_token_answer(payload, now, self.token_url)

    def _ssl_context(self) -> ssl.SSLContext | None:
        if not self.token_url.startswith("https:"):
            return None
        if self.disable_ssl_verification:
            return ssl._create_unverified_context()
        return ssl.create_default_context()

    def __repr__(self) -> str:
        return f"IAMAuthenticator(apikey=<hidden>, url={self.url!r})"


def _parse_token_answer(payload: bytes, now: float, token_url: str) -> _CachedToken:
    """Read "access_token" and "expires_in" from the token service's answer."""
    try:
        answer = json.loads(payload)
    except ValueError:
        raise AuthenticationError(f"The token service at {token_url} did not answer JSON.") from None
    token = answer.get("access_token") if isinstance(answer, dict) else None
    lifetime = answer.get("expires_in") if isinstance(answer, dict) else None
    if not isinstance(token, str) or not token:
        raise AuthenticationError(f"The token service at {token_url} answered without an access token.")
    if isinstance(lifetime, bool) or not isinstance(lifetime, (int, float)) or lifetime <= 0:
        raise AuthenticationError(f"The token service at {token_url} answered an invalid 'expires_in': {lifetime!r}.")
    return _CachedToken(token, now + REFRESH_FRACTION * lifetime, now + lifetime)
