"""Credentials of the services that the package talks to."""

from __future__ import annotations

import os
from typing import Any

from pydantic import Field, SerializationInfo, SerializerFunctionWrapHandler, model_serializer, model_validator

from tessary.entities.base_classes import BaseEntity

MASK = "**********"
REVEAL_SECRETS = {"reveal_secrets": True}
"""Pass as ``model_dump(context=REVEAL_SECRETS)`` where the secrets themselves are needed (an engine's login)."""


class SecretEntity(BaseEntity):
    """An entity whose secret fields (those hidden from ``repr``) are masked in every dump.

    ``model_dump()``, ``model_dump_json()`` and the dumps of anything holding the entity (a judge, a
    configuration) show secrets as ``MASK``; only ``context=REVEAL_SECRETS`` gives them in clear.
    """

    @model_serializer(mode="wrap")
    def _mask_secrets(self, handler: SerializerFunctionWrapHandler, info: SerializationInfo) -> Any:
        dumped = handler(self)
        context = info.context or {}
        if not isinstance(dumped, dict) or (isinstance(context, dict) and context.get("reveal_secrets")):
            return dumped
        for name, field in type(self).model_fields.items():
            if field.repr:
                continue
            key = field.serialization_alias or field.alias or name if info.by_alias else name
            if dumped.get(key) is not None:
                dumped[key] = MASK
        return dumped


class QzAICredentials(SecretEntity):
    """Credentials of the AI service that hosts foundation models.

    `version` is set only for an on-premises installation; it then comes
    with `username` and `instance_id` (and `password` or `api_key`).
    """

    url: str | None = None
    api_key: str | None = Field(default=None, repr=False)
    version: str | None = None
    username: str | None = None
    instance_id: str | None = None
    password: str | None = Field(default=None, repr=False)

    @classmethod
    def create_from_env(cls) -> QzAICredentials:
        """Read QZAI_URL, QZAI_API_KEY, QZAI_VERSION, QZAI_USERNAME, QZAI_INSTANCE_ID, QZAI_PASSWORD."""
        return cls(
            url=os.environ.get("QZAI_URL"),
            api_key=os.environ.get("QZAI_API_KEY"),
            version=os.environ.get("QZAI_VERSION"),
            username=os.environ.get("QZAI_USERNAME"),
            instance_id=os.environ.get("QZAI_INSTANCE_ID"),
            password=os.environ.get("QZAI_PASSWORD"),
        )


class Credentials(SecretEntity):
    """Credentials of the governance platform, used by `APIClient`.

    Cloud: `url` is the governance-service base URL and `api_key` the key.
    On-premises: `version` is the platform's software version, `url` the
    platform URL, with `username` and `api_key` or `password`.
    """

    url: str | None = None
    api_key: str | None = Field(default=None, repr=False)
    service_instance_id: str | None = None
    username: str | None = None
    password: str | None = Field(default=None, repr=False)
    bearer_token: str | None = Field(default=None, repr=False)
    iam_url: str | None = None
    version: str | None = None
    disable_ssl: bool = False

    @model_validator(mode="after")
    def _check_complete(self) -> Credentials:
        if not (self.api_key or self.bearer_token or (self.username and self.password)):
            raise ValueError(
                "Credentials need an api_key, a bearer_token, or a username with a password."
            )
        if self.version and not self.url:
            raise ValueError("On-premises credentials (with a version) need the platform url.")
        return self

    @property
    def is_on_premises(self) -> bool:
        """True for an on-premises installation (credentials carry a version)."""
        return bool(self.version)
