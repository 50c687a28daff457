"""An inference engine for the agent gateway, which chooses the model itself."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from tessary.providers.inference_engines._chat_gateway import (
    ChatGatewayInferenceEngine,
    credentials_mapping,
)


class QzoAIGatewayInferenceEngine(ChatGatewayInferenceEngine):
    """Chat completions of the agent gateway (OpenAI chat protocol).

    ``credentials``: "url" (the gateway's base URL, else ``QZO_AI_GATEWAY_URL``) and
    "api_key" (bearer token, else ``QZO_AI_GATEWAY_API_KEY``). No model is named
    unless ``model`` is given; the gateway then uses its own.
    """

    def __init__(
        self,
        credentials: Mapping[str, Any] | Any = None,
        use_cache: bool = False,
        model: str = "",
        **kwargs: Any,
    ) -> None:
        kwargs.pop("provider", None)
        values = credentials_mapping(credentials, type(self).__name__)
        base_url = values.get("url") or values.get("api_url") or os.environ.get("QZO_AI_GATEWAY_URL")
        if not base_url:
            raise ValueError(
                f"{type(self).__name__} needs the gateway's URL: give credentials 'url' or set QZO_AI_GATEWAY_URL."
            )
        api_key = values.get("api_key") or os.environ.get("QZO_AI_GATEWAY_API_KEY")
        headers = {"Authorization": f"Bearer {api_key}" if api_key else ""}
        super().__init__(base_url, headers, model=model, use_cache=use_cache, **kwargs)
