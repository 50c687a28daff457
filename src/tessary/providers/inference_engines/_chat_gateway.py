"""Shared base of the gateways that speak the OpenAI chat-completions protocol."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import aiohttp

from tabulon.inference import Completion, HTTPInferenceEngine, parse_chat_completion, to_messages
from tessary.entities.credentials import REVEAL_SECRETS


class ChatGatewayInferenceEngine(HTTPInferenceEngine):
    """Posts ``{base_url}/chat/completions`` with the gateway's headers."""

    def __init__(self, base_url: str, headers: Mapping[str, str], model: str = "", **kwargs: Any) -> None:
        super().__init__(model_name=model or "", **kwargs)
        self.base_url = base_url.rstrip("/")
        self.endpoint = self.base_url + "/chat/completions"
        self._headers = {key: value for key, value in headers.items() if value}

    def _cache_identity(self) -> list[Any]:
        return [self.label, self.endpoint, self.model_name]

    def _body(self, source: Any) -> dict[str, Any]:
        body: dict[str, Any] = {"messages": to_messages(source), **self.parameters}
        if self.model_name:
            body["model"] = self.model_name
        return body

    async def _complete(self, session: aiohttp.ClientSession | None, source: Any) -> Completion:
        payload = await self._post_json(session, self.endpoint, self._body(source), self._headers)
        return parse_chat_completion(payload)


def credentials_mapping(credentials: Any, label: str) -> dict[str, Any]:
    """The credentials as a plain mapping (a record with ``model_dump`` is dumped)."""
    if credentials is None:
        return {}
    if hasattr(credentials, "model_dump"):
        credentials = credentials.model_dump(context=REVEAL_SECRETS)  # the login needs the secrets
    if not isinstance(credentials, Mapping):
        raise TypeError(f"{label}: credentials must be a mapping, got {type(credentials).__name__}.")
    return dict(credentials)
