"""Client of the governance platform: its credentials and its monitoring-service client.

Constructed without arguments, `APIClient` reads its credentials from these
environment variables:

| Variable | Meaning |
|---|---|
| TESSARY_API_KEY | API key (cloud, or on-premises with TESSARY_USERNAME) |
| TESSARY_SERVICE_URL | governance-service URL (cloud) or platform URL (on-premises) |
| TESSARY_REGION | cloud region used when TESSARY_SERVICE_URL is unset (default "us-south") |
| TESSARY_SERVICE_INSTANCE_ID | monitoring-service instance id (QZG_SERVICE_INSTANCE_ID also works) |
| TESSARY_USERNAME, TESSARY_PASSWORD | on-premises user name and password |
| TESSARY_BEARER_TOKEN | a ready bearer token, instead of a key |
| TESSARY_IAM_URL | token service URL, when the region table does not know the service URL |
| TESSARY_VERSION | platform software version; set only on-premises |
| TESSARY_DISABLE_SSL | "true" to skip TLS certificate checks |
"""

from __future__ import annotations

import os
import threading
from typing import Any

from tessary.entities.credentials import Credentials
from tessary.entities.enums import Region

_UNSET = object()

ENV_VARIABLES = {
    "api_key": "TESSARY_API_KEY",
    "url": "TESSARY_SERVICE_URL",
    "service_instance_id": "TESSARY_SERVICE_INSTANCE_ID",
    "username": "TESSARY_USERNAME",
    "password": "TESSARY_PASSWORD",
    "bearer_token": "TESSARY_BEARER_TOKEN",
    "iam_url": "TESSARY_IAM_URL",
    "version": "TESSARY_VERSION",
}
SERVICE_INSTANCE_ID_ALIAS = "QZG_SERVICE_INSTANCE_ID"
REGION_VARIABLE = "TESSARY_REGION"
DISABLE_SSL_VARIABLE = "TESSARY_DISABLE_SSL"


def _env(name: str) -> str | None:
    value = os.environ.get(name, "").strip()
    return value or None


def _disable_ssl_from_env() -> bool:
    text = (_env(DISABLE_SSL_VARIABLE) or "false").lower()
    if text not in {"1", "true", "yes", "on", "0", "false", "no", "off"}:
        raise ValueError(f"{DISABLE_SSL_VARIABLE} must be true or false, got {text!r}.")
    return text in {"1", "true", "yes", "on"}


def credentials_from_env() -> Credentials:
    """Build `Credentials` from the environment variables of this module.

    Raises a ValueError naming the variables when no key, token or user and
    password are set.
    """
    fields: dict[str, Any] = {field: _env(name) for field, name in ENV_VARIABLES.items()}
    fields["service_instance_id"] = fields["service_instance_id"] or _env(SERVICE_INSTANCE_ID_ALIAS)
    fields["disable_ssl"] = _disable_ssl_from_env()
    if not (
        fields["api_key"] or fields["bearer_token"] or (fields["username"] and fields["password"])
    ):
        raise ValueError(
            "No credentials found for the governance platform. Set TESSARY_API_KEY "
            "(cloud; optionally TESSARY_SERVICE_URL or TESSARY_REGION and "
            "TESSARY_SERVICE_INSTANCE_ID), or for an on-premises installation "
            "TESSARY_SERVICE_URL, TESSARY_VERSION, TESSARY_USERNAME and TESSARY_API_KEY "
            "or TESSARY_PASSWORD; or pass credentials=Credentials(...) to APIClient."
        )
    if fields["version"] and not fields["url"]:
        raise ValueError(
            "TESSARY_VERSION is set (on-premises), so TESSARY_SERVICE_URL must name the platform URL."
        )
    return Credentials(**{k: v for k, v in fields.items() if v is not None})


def _region_record(key: str, by_service_url: bool) -> Any:
    try:
        from tessary.utils.halyard import LUMERIS_REGION_URLS, QTS_HALYARD
    except ImportError as error:
        raise RuntimeError(
            "The region URL table is unavailable; set TESSARY_SERVICE_URL and TESSARY_IAM_URL."
        ) from error
    return (QTS_HALYARD if by_service_url else LUMERIS_REGION_URLS).get(key)


def default_service_url(region: str | None = None) -> str:
    """Return the governance-service URL of `region` (TESSARY_REGION, else us-south)."""
    region = region or _env(REGION_VARIABLE) or Region.US_SOUTH.value
    record = _region_record(region, by_service_url=False)
    if record is None:
        raise ValueError(f"Unknown region {region!r}; set TESSARY_SERVICE_URL instead.")
    return record.qzg_url


class APIClient:
    """Governance-platform client: `credentials`, and `qts_client` for the monitoring service.

    Without `credentials`, they are read from the environment (see the module
    documentation). `qts_client` is built on first use; it is None when no
    service instance id is known.
    """

    def __init__(self, credentials: Credentials | None = None) -> None:
        if credentials is None:
            credentials = credentials_from_env()
        elif not isinstance(credentials, Credentials):
            raise TypeError(f"credentials must be Credentials, got {type(credentials).__name__}.")
        if not credentials.url:
            credentials = credentials.model_copy(update={"url": default_service_url()})
        self.credentials = credentials
        self._qts_client: Any = _UNSET
        self._qts_lock = threading.Lock()

    def __getstate__(self) -> dict[str, Any]:
        # Only the credentials travel: the lock cannot be pickled, and the monitoring
        # client (tokens, sessions) is rebuilt from the credentials where it is used.
        return {"credentials": self.credentials}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.credentials = state["credentials"]
        self._qts_client = _UNSET
        self._qts_lock = threading.Lock()

    @property
    def is_on_premises(self) -> bool:
        """True when the credentials carry a platform version."""
        return bool(self.credentials.version)

    @property
    def service_url(self) -> str:
        """Base URL of the monitoring service."""
        return self.credentials.url

    @property
    def qts_client(self) -> Any:
        """The monitoring-service client, or None without a service instance id."""
        if self._qts_client is _UNSET:
            with self._qts_lock:
                if self._qts_client is _UNSET:
                    self._qts_client = self._create_qts_client()
        return self._qts_client

    @qts_client.setter
    def qts_client(self, client: Any) -> None:
        self._qts_client = client

    def _create_qts_client(self) -> Any:
        if not self.credentials.service_instance_id:
            return None
        import orvane_corvel_tallion

        return orvane_corvel_tallion.APIClient(
            authenticator=self._create_authenticator(),
            service_url=self.service_url,
            service_instance_id=self.credentials.service_instance_id,
        )

    def _create_authenticator(self) -> Any:
        from orvane_corvel_tallion.authenticators import (
            BearerTokenAuthenticator,
            IAMAuthenticator,
        )

        credentials = self.credentials
        if credentials.bearer_token:
            return BearerTokenAuthenticator(bearer_token=credentials.bearer_token)
        if not credentials.api_key:
            raise ValueError(
                "The monitoring client needs an api_key or a bearer_token in the credentials."
            )
        return IAMAuthenticator(
            apikey=credentials.api_key,
            url=self._token_service_url(),
            disable_ssl_verification=credentials.disable_ssl,
        )

    def _token_service_url(self) -> str:
        credentials = self.credentials
        if credentials.iam_url:
            return credentials.iam_url
        if credentials.version:
            return credentials.url  # on-premises: the platform issues the tokens
        record = _region_record(credentials.url, by_service_url=True)
        if record is None:
            raise ValueError(
                f"The service URL {credentials.url!r} is not a known cloud region; "
                "set TESSARY_IAM_URL to its token service."
            )
        return record.iam_url

    def __repr__(self) -> str:
        return f"APIClient(url={self.credentials.url!r}, on_premises={self.is_on_premises})"
