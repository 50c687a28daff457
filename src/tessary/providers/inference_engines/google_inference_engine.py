"""An inference engine for Gemini models of Google AI Studio (the generateContent REST API)."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

import aiohttp

from tabulon.inference import Completion, HTTPInferenceEngine, PermanentError, to_messages
from tessary.providers.inference_engines._chat_gateway import credentials_mapping

DEFAULT_GOOGLE_STUDIO_URL = "https://generativelanguage.googleapis.com/v1beta"
# Engine parameter names and their generationConfig names.
_GENERATION_NAMES = {
    "temperature": "temperature",
    "seed": "seed",
    "max_tokens": "maxOutputTokens",
    "top_p": "topP",
    "top_k": "topK",
    "stop": "stopSequences",
}


class GoogleStudioInferenceEngine(HTTPInferenceEngine):
    """POSTs ``{url}/models/{model}:generateContent`` with the key in "x-goog-api-key".

    ``credentials`` (a mapping or a credentials record): "api_key" (else
    ``GOOGLE_API_KEY``) and optionally "url" (the API's base URL). The keywords the
    criteria judge passes ("provider", "provider_specific_args") are accepted; the
    parameters for "vertex-ai" there are used as generation parameters. System
    messages become the system instruction, the rest the conversation.
    """

    def __init__(
        self,
        model: str,
        credentials: Mapping[str, Any] | Any = None,
        use_cache: bool = False,
        provider: str | None = None,
        provider_specific_args: Mapping[str, Mapping[str, Any]] | None = None,
        **kwargs: Any,
    ) -> None:
        options = dict(kwargs)
        options.update((provider_specific_args or {}).get(provider or "", {}) or {})
        super().__init__(model_name=model, use_cache=use_cache, **options)
        values = credentials_mapping(credentials, self.label)
        api_key = values.get("api_key") or os.environ.get("GOOGLE_API_KEY")
        if not api_key:
            raise ValueError(f"{self.label} needs credentials 'api_key' or GOOGLE_API_KEY.")
        base_url = (values.get("url") or values.get("api_url") or DEFAULT_GOOGLE_STUDIO_URL).rstrip("/")
        name = model if model.startswith("models/") else f"models/{model}"
        self.endpoint = f"{base_url}/{name}:generateContent"
        self._headers = {"x-goog-api-key": api_key}

    def _cache_identity(self) -> list[Any]:
        return [self.label, self.endpoint, self.model_name]

    def _body(self, source: Any) -> dict[str, Any]:
        system, contents = [], []
        for message in to_messages(source):
            text = str(message.get("content", ""))
            if message.get("role") == "system":
                system.append({"text": text})
            else:
                role = "model" if message.get("role") == "assistant" else "user"
                contents.append({"role": role, "parts": [{"text": text}]})
        config = {}
        for key, value in self.parameters.items():
            config[_GENERATION_NAMES.get(key, key)] = value
        body: dict[str, Any] = {"contents": contents, "generationConfig": config}
        if system:
            body["systemInstruction"] = {"parts": system}
        return body

    async def _complete(self, session: aiohttp.ClientSession | None, source: Any) -> Completion:
        payload = await self._post_json(session, self.endpoint, self._body(source), self._headers)
        try:
            parts = payload["candidates"][0]["content"]["parts"]
            text = "".join(str(part.get("text", "")) for part in parts)
        except (KeyError, IndexError, TypeError):
            reason = payload.get("promptFeedback") if isinstance(payload, dict) else None
            raise PermanentError(f"response has no candidates[0].content.parts (feedback: {reason})") from None
        usage = payload.get("usageMetadata") or {}
        return Completion(text, usage.get("promptTokenCount"), usage.get("candidatesTokenCount"))
