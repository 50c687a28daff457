"""Credentials of the Lumeris AI service.

A cloud account signs in with an API key alone. An on-premises platform
deployment (``instance_id`` set, usually with the platform ``version``) signs in
with a user name and either an API key or a password. A ready bearer ``token``
can be given instead of any of these; it is then used as it is and never renewed.
"""

from urllib.parse import urlsplit

from orvane_lumeris_ai.errors import CredentialsError

_SECRET_FIELDS = ("api_key", "password", "token")


class Credentials:
    """Where the service lives and how to sign in to it."""

    def __init__(
        self,
        url: str,
        api_key: str | None = None,
        username: str | None = None,
        password: str | None = None,
        instance_id: str | None = None,
        version: str | None = None,
        token: str | None = None,
        project_id: str | None = None,
        disable_ssl: bool = False,
        timeout: float = 60.0,
    ) -> None:
        self.url = _checked_url(url)
        self.api_key = _optional_text("api_key", api_key)
        self.username = _optional_text("username", username)
        self.password = _optional_text("password", password)
        self.instance_id = _optional_text("instance_id", instance_id)
        self.version = str(version) if version else None
        self.token = _optional_text("token", token)
        self.project_id = _optional_text("project_id", project_id)
        self.disable_ssl = bool(disable_ssl)
        self.timeout = _checked_timeout(timeout)
        _check_sign_in_means(self)

    @property
    def is_on_premises(self) -> bool:
        """True for an on-premises platform deployment."""
        return bool(self.instance_id) or bool(self.version)

    def to_dict(self) -> dict:
        """The constructor's keyword arguments, secrets included."""
        return {
            "url": self.url,
            "api_key": self.api_key,
            "username": self.username,
            "password": self.password,
            "instance_id": self.instance_id,
            "version": self.version,
            "token": self.token,
            "project_id": self.project_id,
            "disable_ssl": self.disable_ssl,
            "timeout": self.timeout,
        }

    def __repr__(self) -> str:
        shown = {
            name: ("***" if name in _SECRET_FIELDS and value else value)
            for name, value in self.to_dict().items()
        }
        inner = ", ".join(f"{name}={value!r}" for name, value in shown.items())
        return f"Credentials({inner})"


def _checked_url(url: object) -> str:
    """The base URL without a trailing slash; refuses anything but http(s)."""
    if not isinstance(url, str) or not url.strip():
        raise CredentialsError(f"Credentials need the service URL as text, got {url!r}")
    parts = urlsplit(url.strip())
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise CredentialsError(f"The service URL must be an absolute http(s) URL, got {url!r}")
    return url.strip().rstrip("/")


def _optional_text(name: str, value: object) -> str | None:
    """Empty values become ``None``; anything but text is refused."""
    if value is None or value == "":
        return None
    if not isinstance(value, str):
        raise CredentialsError(f"Credentials field '{name}' must be text, got {type(value).__name__}")
    return value


def _checked_timeout(timeout: object) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout <= 0:
        raise CredentialsError(f"Credentials field 'timeout' must be a positive number, got {timeout!r}")
    return float(timeout)


def _check_sign_in_means(credentials: Credentials) -> None:
    """Refuse credentials that could never obtain a token."""
    if credentials.token:
        return
    if credentials.is_on_premises:
        if not credentials.username or not (credentials.api_key or credentials.password):
            raise CredentialsError(
                "On-premises credentials need a username and either an api_key or a password"
            )
    elif not credentials.api_key:
        raise CredentialsError("Cloud credentials need an api_key")
