"""Exceptions raised by the Lumeris AI client library."""


class LumerisAIError(Exception):
    """Base class of every error of this library."""


class CredentialsError(LumerisAIError, ValueError):
    """Credentials that cannot be used to sign in."""


class APIRequestError(LumerisAIError):
    """A request the service refused or could not answer.

    ``status`` is the HTTP status (``None`` when the service was unreachable)
    and ``reason`` the service's own message or the transport error.
    """

    def __init__(self, method: str, url: str, status: int | None, reason: str) -> None:
        self.method = method
        self.url = url
        self.status = status
        self.reason = reason
        where = f"{method} {url}"
        if status is None:
            super().__init__(f"Request {where} failed: {reason}")
        else:
            super().__init__(f"Request {where} failed with status {status}: {reason}")
