"""Inference engines: send prompts to model services and collect the answers.

Every engine shares the machinery of ``InferenceEngine``:

- a bound on calls in flight (``num_parallel_requests``) shared by every run and
  thread that uses the engine;
- retries with exponential back-off and jitter on 429, 5xx, time-outs and
  connection errors, honouring ``Retry-After``, bounded by ``max_retries`` and by
  ``max_retry_time`` seconds per prompt;
- a per-request time-out (``timeout``) and an optional ``deadline`` for a whole run;
- a stop for a service that is down: once a prompt failed by refused connection,
  time-out, 401/403 or 404 and none has succeeded, the prompts not yet sent fail
  at once with the same cause (``InferenceOutput.error_code`` names it);
- a response cache keyed by the full request when ``use_cache`` is true, and a
  disk cache when a store resolver is installed (``set_response_store_resolver``;
  ``cache`` = None caches temperature-0 calls, True all, False none, a text names
  the store); failures and answers cut short are never cached;
- token usage counts in ``engine.usage``;
- one HTTP session per run, closed when the run ends.

A dataset item is a prompt: a text, a list of chat messages, or a mapping with
the prompt under "source" (and optionally "metadata"). ``infer`` returns the
answers and raises if any prompt failed; ``infer(..., return_meta_data=True)``
returns an ``InferenceOutput`` per prompt, where a failed prompt carries its
reason instead of an answer.

Engines default to temperature 0 and a fixed seed, and every output records the
model and parameters used.

Subclasses implement ``_complete(session, source) -> Completion``, raising
``RetryableError`` for transient failures and ``PermanentError`` otherwise.
"""

from __future__ import annotations

import base64
import json
import os
from collections.abc import Mapping, Sequence
from typing import Any

import aiohttp

from tabulon._engine import (
    RETRYABLE_STATUSES,
    Completion,
    set_response_store_resolver,
    HTTPInferenceEngine,
    InferenceEngine,
    InferenceOutput,
    PermanentError,
    RetryableError,
    TokenUsage,
    _clip,
    parse_chat_completion,
    parse_retry_after,
    to_messages,
    to_text,
)
from tabulon.errors import MissingDependencyError

__all__ = [
    "AzureOpenAIInferenceEngine",
    "Completion",
    "CrossProviderInferenceEngine",
    "HTTPInferenceEngine",
    "InferenceEngine",
    "InferenceOutput",
    "LiteLLMInferenceEngine",
    "OpenAiInferenceEngine",
    "PermanentError",
    "QMLInferenceEngineGeneration",
    "RetryableError",
    "TokenUsage",
    "parse_chat_completion",
    "parse_retry_after",
    "set_response_store_resolver",
    "to_messages",
    "to_text",
]

DEFAULT_OPENAI_BASE_URL = "https://api.openai.com/v1"


class OpenAiInferenceEngine(HTTPInferenceEngine):
    """Chat completions of an OpenAI-compatible service.

    ``credentials``: "api_key" (else ``OPENAI_API_KEY``) and "api_url", the base
    URL whose "/chat/completions" is the endpoint (else ``OPENAI_BASE_URL``, else
    the public service).
    """

    def __init__(
        self,
        model_name: str,
        credentials: Mapping[str, Any] | None = None,
        use_cache: bool = False,
        **kwargs: Any,
    ) -> None:
        super().__init__(model_name=model_name, use_cache=use_cache, **kwargs)
        credentials = _credentials(credentials, self.label)
        self.base_url = (
            credentials.get("api_url") or credentials.get("url") or os.environ.get("OPENAI_BASE_URL")
            or DEFAULT_OPENAI_BASE_URL
        ).rstrip("/")
        self.api_key = credentials.get("api_key") or os.environ.get("OPENAI_API_KEY")
        if not self.api_key and self.base_url == DEFAULT_OPENAI_BASE_URL:
            raise ValueError(
                f"{self.label} needs an API key for {DEFAULT_OPENAI_BASE_URL}: give credentials "
                "'api_key' or set OPENAI_API_KEY (or point 'api_url' / OPENAI_BASE_URL elsewhere)."
            )
        self.endpoint = self.base_url + "/chat/completions"
        self._headers = {"Authorization": f"Bearer {self.api_key}"} if self.api_key else {}

    def _cache_identity(self) -> list[Any]:
        return [self.label, self.endpoint, self.model_name]

    async def _complete(self, session: aiohttp.ClientSession | None, source: Any) -> Completion:
        body = {"model": self.model_name, "messages": to_messages(source), **self.parameters}
        payload = await self._post_json(session, self.endpoint, body, self._headers)
        return parse_chat_completion(payload)


class AzureOpenAIInferenceEngine(HTTPInferenceEngine):
    """Chat completions of an Azure OpenAI deployment.

    ``credentials``: "api_key", "api_url" (the resource endpoint), "api_version",
    and the deployment under "deployment_name" or "deployment" (default: the model name).
    """

    DEFAULT_API_VERSION = "2024-06-01"

    def __init__(
        self,
        model_name: str,
        credentials: Mapping[str, Any] | None = None,
        use_cache: bool = False,
        **kwargs: Any,
    ) -> None:
        super().__init__(model_name=model_name, use_cache=use_cache, **kwargs)
        credentials = _credentials(credentials, self.label)
        base_url = (credentials.get("api_url") or credentials.get("api_base") or credentials.get("url")
                    or os.environ.get("AZURE_OPENAI_ENDPOINT"))
        if not base_url:
            raise ValueError(f"{self.label} needs credentials 'api_url' (the resource endpoint).")
        api_key = credentials.get("api_key") or os.environ.get("AZURE_OPENAI_API_KEY")
        if not api_key:
            raise ValueError(f"{self.label} needs credentials 'api_key'.")
        deployment = (
            credentials.get("deployment_name") or credentials.get("deployment") or model_name
        )
        api_version = credentials.get("api_version") or self.DEFAULT_API_VERSION
        self.endpoint = (
            f"{base_url.rstrip('/')}/openai/deployments/{deployment}/chat/completions"
            f"?api-version={api_version}"
        )
        self._headers = {"api-key": api_key}

    def _cache_identity(self) -> list[Any]:
        return [self.label, self.endpoint, self.model_name]

    async def _complete(self, session: aiohttp.ClientSession | None, source: Any) -> Completion:
        body = {"messages": to_messages(source), **self.parameters}
        payload = await self._post_json(session, self.endpoint, body, self._headers)
        return parse_chat_completion(payload)


class QMLInferenceEngineGeneration(HTTPInferenceEngine):
    """The AI service's text-generation REST API.

    ``credentials``: "url" (the service's base URL), "api_key" (sent as a bearer
    token) or "username" and "password" (basic authentication), and "project_id"
    or "space_id".
    """

    API_PATH = "/ml/v1/text/generation"
    API_VERSION = "2023-05-29"
    DEFAULT_MAX_NEW_TOKENS = 512

    def __init__(
        self,
        credentials: Mapping[str, Any] | None = None,
        model_name: str = "",
        use_cache: bool = False,
        **kwargs: Any,
    ) -> None:
        super().__init__(model_name=model_name, use_cache=use_cache, **kwargs)
        credentials = _credentials(credentials, self.label)
        base_url = credentials.get("url") or credentials.get("api_url")
        if not base_url:
            raise ValueError(f"{self.label} needs credentials 'url' (the service's base URL).")
        if not model_name:
            raise ValueError(f"{self.label} needs a model_name.")
        self.endpoint = f"{base_url.rstrip('/')}{self.API_PATH}?version={self.API_VERSION}"
        self.scope = _project_or_space(credentials, self.label)
        self._headers = _service_auth_headers(credentials)

    def _cache_identity(self) -> list[Any]:
        return [self.label, self.endpoint, self.model_name, self.scope]

    def _generation_parameters(self) -> dict[str, Any]:
        parameters = dict(self.parameters)
        temperature = parameters.pop("temperature", 0)
        generation = {
            "decoding_method": "greedy" if not temperature else "sample",
            "max_new_tokens": parameters.pop("max_tokens", self.DEFAULT_MAX_NEW_TOKENS),
        }
        if temperature:
            generation["temperature"] = temperature
        if "seed" in parameters:
            generation["random_seed"] = parameters.pop("seed")
        generation.update(parameters)
        return generation

    async def _complete(self, session: aiohttp.ClientSession | None, source: Any) -> Completion:
        body = {
            "model_id": self.model_name,
            "input": to_text(source),
            "parameters": self._generation_parameters(),
            **self.scope,
        }
        payload = await self._post_json(session, self.endpoint, body, self._headers)
        try:
            result = payload["results"][0]
            text = result["generated_text"]
        except (KeyError, IndexError, TypeError):
            raise PermanentError(
                f"response has no results[0].generated_text: {_clip(json.dumps(payload, default=str))}"
            ) from None
        return Completion(text, result.get("input_token_count"), result.get("generated_token_count"))


def _project_or_space(credentials: Mapping[str, Any], label: str) -> dict[str, str]:
    if credentials.get("project_id"):
        return {"project_id": credentials["project_id"]}
    if credentials.get("space_id"):
        return {"space_id": credentials["space_id"]}
    raise ValueError(f"{label} needs credentials 'project_id' or 'space_id'.")


def _service_auth_headers(credentials: Mapping[str, Any]) -> dict[str, str]:
    if credentials.get("api_key"):
        return {"Authorization": f"Bearer {credentials['api_key']}"}
    if credentials.get("username") and credentials.get("password"):
        pair = f"{credentials['username']}:{credentials['password']}".encode()
        return {"Authorization": "Basic " + base64.b64encode(pair).decode("ascii")}
    return {}


def _credentials(credentials: Any, label: str) -> dict[str, Any]:
    if credentials is None:
        return {}
    if not isinstance(credentials, Mapping):
        raise TypeError(f"{label}: credentials must be a mapping, got {type(credentials).__name__}.")
    return dict(credentials)


class LiteLLMInferenceEngine(InferenceEngine):
    """Any provider that the ``litellm`` package reaches (Vertex AI, Bedrock, ...).

    ``credentials`` entries are passed to ``litellm`` as keyword arguments, with
    "api_key" as ``api_key`` and "api_url" as ``api_base``.
    """

    def __init__(
        self,
        model: str,
        credentials: Mapping[str, Any] | None = None,
        use_cache: bool = False,
        **kwargs: Any,
    ) -> None:
        super().__init__(model_name=model, use_cache=use_cache, **kwargs)
        try:
            import litellm
        except ImportError:
            raise MissingDependencyError(
                f"{self.label} needs the 'litellm' package for model '{model}': pip install litellm"
            ) from None
        self._litellm = litellm
        credentials = _credentials(credentials, self.label)
        self._call_options = {
            {"api_key": "api_key", "api_url": "api_base"}.get(key, key): value
            for key, value in credentials.items()
            if value is not None
        }

    def _create_session(self) -> None:
        return None

    async def _complete(self, session: None, source: Any) -> Completion:
        try:
            response = await self._litellm.acompletion(
                model=self.model_name,
                messages=to_messages(source),
                timeout=self.timeout,
                **self._call_options,
                **self.parameters,
            )
        except Exception as exc:  # litellm maps every provider error onto its own classes
            status = getattr(exc, "status_code", None)
            if status in RETRYABLE_STATUSES or (isinstance(status, int) and status >= 500):
                raise RetryableError(f"{type(exc).__name__}: {exc}") from None
            raise PermanentError(f"{type(exc).__name__}: {exc}") from None
        payload = response.model_dump() if hasattr(response, "model_dump") else response
        return parse_chat_completion(payload)


class CrossProviderInferenceEngine(InferenceEngine):
    """Chooses a concrete engine by ``provider`` and delegates to it.

    ``provider_specific_args[provider]`` adds generation parameters (for example
    "temperature"); "concurrency_limit" there sets the number of parallel requests.
    """

    PROVIDERS = ("open-ai", "azure-openai", "lumeris-sdk", "vertex-ai", "aws", "litellm")
    _LITELLM_PREFIXES = {"vertex-ai": "vertex_ai/", "aws": "bedrock/", "litellm": ""}

    def __init__(
        self,
        model: str,
        provider: str | None = None,
        credentials: Mapping[str, Any] | None = None,
        provider_specific_args: Mapping[str, Mapping[str, Any]] | None = None,
        use_cache: bool = False,
        **kwargs: Any,
    ) -> None:
        if not provider:
            raise ValueError(
                f"CrossProviderInferenceEngine needs a 'provider' for model '{model}'; "
                f"known providers: {', '.join(self.PROVIDERS)}."
            )
        if provider not in self.PROVIDERS:
            raise ValueError(
                f"CrossProviderInferenceEngine: unknown provider '{provider}'; "
                f"known providers: {', '.join(self.PROVIDERS)}."
            )
        options = dict(kwargs)
        options.update((provider_specific_args or {}).get(provider) or {})
        if "concurrency_limit" in options:
            options["num_parallel_requests"] = options.pop("concurrency_limit")
        self.provider = provider
        self.engine = self._build(provider, model, credentials, use_cache, options)
        # Expose the delegate's settings so callers can record what judged.
        self.__dict__.update(
            model_name=model,
            use_cache=self.engine.use_cache,
            parameters=self.engine.parameters,
            usage=self.engine.usage,
            num_parallel_requests=self.engine.num_parallel_requests,
        )

    def _build(
        self,
        provider: str,
        model: str,
        credentials: Mapping[str, Any] | None,
        use_cache: bool,
        options: dict[str, Any],
    ) -> InferenceEngine:
        if provider == "open-ai":
            return OpenAiInferenceEngine(model, credentials, use_cache, **options)
        if provider == "azure-openai":
            return AzureOpenAIInferenceEngine(model, credentials, use_cache, **options)
        if provider == "lumeris-sdk":
            return QMLInferenceEngineGeneration(credentials, model, use_cache, **options)
        return LiteLLMInferenceEngine(
            self._LITELLM_PREFIXES[provider] + model, credentials, use_cache, **options
        )

    @property
    def label(self) -> str:
        return f"CrossProviderInferenceEngine[{self.provider}]"

    async def infer_outputs_async(self, dataset: Sequence[Any]) -> list[InferenceOutput]:
        return await self.engine.infer_outputs_async(dataset)
