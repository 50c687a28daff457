"""An inference engine for models reached through a Portkey gateway."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from tessary.providers.inference_engines._chat_gateway import (
    ChatGatewayInferenceEngine,
    credentials_mapping,
)

DEFAULT_PORTKEY_URL = "https://api.portkey.ai/v1"


class PortKeyInferenceEngine(ChatGatewayInferenceEngine):
    """Chat completions through the gateway, which forwards them to the provider behind it.

    ``credentials`` (a mapping or a credentials record): "api_key" (the gateway's key,
    else ``PORTKEY_API_KEY``), "url" (the gateway's base URL, else ``PORTKEY_URL``, else
    the public gateway), "provider" (the provider behind the gateway) and
    "provider_api_key" (that provider's key, sent as the bearer token). Further keywords
    ("seed", "data_classification_policy", "temperature", ...) are those of every engine;
    a "provider" keyword, as the criteria judge passes for other engines, is ignored.
    """

    def __init__(
        self,
        model: str,
        credentials: Mapping[str, Any] | Any = None,
        use_cache: bool = False,
        **kwargs: Any,
    ) -> None:
        kwargs.pop("provider", None)
        kwargs.pop("provider_specific_args", None)
        values = credentials_mapping(credentials, type(self).__name__)
        api_key = values.get("api_key") or os.environ.get("PORTKEY_API_KEY")
        if not api_key:
            raise ValueError(
                f"{type(self).__name__} needs the gateway's API key: give credentials 'api_key' "
                "or set PORTKEY_API_KEY."
            )
        base_url = values.get("url") or values.get("api_url") or os.environ.get("PORTKEY_URL") or DEFAULT_PORTKEY_URL
        headers = {"x-portkey-api-key": api_key, "x-portkey-provider": values.get("provider") or ""}
        if values.get("provider_api_key"):
            headers["Authorization"] = f"Bearer {values['provider_api_key']}"
        super().__init__(base_url, headers, model=model, use_cache=use_cache, **kwargs)
