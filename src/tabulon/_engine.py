"""The machinery every inference engine shares; see ``tabulon.inference``."""

from __future__ import annotations

import asyncio
import contextlib
import email.utils
import json
import random
import threading
import time
from collections.abc import AsyncIterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import aiohttp
from cachetools import LRUCache

from tabulon._concurrency import CallSlots, run_blocking
from tabulon.errors import InferenceError
from tabulon.logging_utils import get_logger

logger = get_logger("inference")

DEFAULT_SEED = 42
RETRYABLE_STATUSES = frozenset({408, 429, 500, 502, 503, 504})
CACHE_SIZE = 100_000


@dataclass
class Completion:
    """One successful answer of a model service."""

    text: str
    input_tokens: int | None = None
    output_tokens: int | None = None


@dataclass
class InferenceOutput:
    """The outcome of one prompt: an answer, or the reason there is none."""

    prediction: str | None
    error: str | None = None
    input_tokens: int | None = None
    output_tokens: int | None = None
    model_name: str = ""
    parameters: dict[str, Any] = field(default_factory=dict)
    attempts: int = 0
    cached: bool = False


class RetryableError(InferenceError):
    """A transient failure worth retrying (rate limit, overload, time-out, connection)."""

    def __init__(self, message: str, retry_after: float | None = None) -> None:
        super().__init__(message)
        self.retry_after = retry_after


class PermanentError(InferenceError):
    """A failure that retrying will not fix (bad request, bad credentials, garbage)."""


@dataclass
class TokenUsage:
    """Counts over the engine's lifetime."""

    requests: int = 0
    cache_hits: int = 0
    failures: int = 0
    input_tokens: int = 0
    output_tokens: int = 0
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False, compare=False)

    def add(self, completion: Completion) -> None:
        with self._lock:
            self.requests += 1
            self.input_tokens += completion.input_tokens or 0
            self.output_tokens += completion.output_tokens or 0

    def count(self, counter: str) -> None:
        with self._lock:
            setattr(self, counter, getattr(self, counter) + 1)

    def as_dict(self) -> dict[str, int]:
        return {
            "requests": self.requests,
            "cache_hits": self.cache_hits,
            "failures": self.failures,
            "input_tokens": self.input_tokens,
            "output_tokens": self.output_tokens,
        }


class InferenceEngine:
    """Base of all engines; see the module documentation."""

    def __init__(
        self,
        *,
        model_name: str = "",
        use_cache: bool = False,
        num_parallel_requests: int = 20,
        timeout: float = 60.0,
        max_retries: int = 5,
        retry_base_delay: float = 0.5,
        max_retry_delay: float = 60.0,
        temperature: float | None = 0.0,
        seed: int | None = DEFAULT_SEED,
        max_tokens: int | None = None,
        top_p: float | None = None,
        data_classification_policy: Sequence[str] | None = None,
        **extra_parameters: Any,
    ) -> None:
        _check_positive("num_parallel_requests", num_parallel_requests)
        _check_positive("timeout", timeout)
        if max_retries < 0:
            raise ValueError(f"{self.label}: max_retries must be 0 or more, got {max_retries}.")
        self.model_name = model_name
        self.use_cache = bool(use_cache)
        self.num_parallel_requests = num_parallel_requests
        self.timeout = float(timeout)
        self.max_retries = max_retries
        self.retry_base_delay = retry_base_delay
        self.max_retry_delay = max_retry_delay
        self.data_classification_policy = (
            list(data_classification_policy) if data_classification_policy else None
        )
        self.parameters = {
            key: value
            for key, value in {
                "temperature": temperature,
                "seed": seed,
                "max_tokens": max_tokens,
                "top_p": top_p,
                **extra_parameters,
            }.items()
            if value is not None
        }
        self.usage = TokenUsage()
        self._slots = CallSlots(num_parallel_requests)
        self._cache: LRUCache | None = LRUCache(maxsize=CACHE_SIZE) if self.use_cache else None
        self._cache_lock = threading.Lock()

    @property
    def label(self) -> str:
        """The engine's name in messages."""
        return type(self).__name__

    def __repr__(self) -> str:
        return f"{self.label}(model_name={self.model_name!r}, parameters={self.parameters!r})"

    # -- public API ---------------------------------------------------------------

    def infer(self, dataset: Sequence[Any], return_meta_data: bool = False) -> list[Any]:
        """Answer every prompt of ``dataset``, in order (blocking)."""
        return run_blocking(self.infer_async(dataset, return_meta_data=return_meta_data))

    async def infer_async(self, dataset: Sequence[Any], return_meta_data: bool = False) -> list[Any]:
        """Awaitable twin of ``infer``."""
        outputs = await self.infer_outputs_async(dataset)
        if return_meta_data:
            return outputs
        failed = [(i, o) for i, o in enumerate(outputs) if o.error is not None]
        if failed:
            index, output = failed[0]
            raise InferenceError(
                f"{self.label}: {len(failed)} of {len(outputs)} prompts failed; "
                f"prompt {index}: {output.error}"
            )
        return [o.prediction for o in outputs]

    async def infer_outputs_async(self, dataset: Sequence[Any]) -> list[InferenceOutput]:
        """One ``InferenceOutput`` per prompt; failures are recorded, not raised."""
        items = [self._read_item(item, index) for index, item in enumerate(dataset)]
        if not items:
            return []
        async with self._session_scope() as session:
            return list(
                await asyncio.gather(*(self._infer_one(session, s, m) for s, m in items))
            )

    # -- hooks for subclasses -------------------------------------------------------

    async def _complete(self, session: aiohttp.ClientSession | None, source: Any) -> Completion:
        raise NotImplementedError

    def _create_session(self) -> aiohttp.ClientSession | None:
        """The run's HTTP session; engines that call no HTTP service return None."""
        connector = aiohttp.TCPConnector(limit=self.num_parallel_requests)
        return aiohttp.ClientSession(connector=connector)

    def _cache_identity(self) -> list[Any]:
        """What besides the prompt and parameters distinguishes this engine's requests."""
        return [self.label, self.model_name]

    async def _sleep(self, seconds: float) -> None:
        await asyncio.sleep(seconds)

    # -- machinery -------------------------------------------------------------------

    @contextlib.asynccontextmanager
    async def _session_scope(self) -> AsyncIterator[aiohttp.ClientSession | None]:
        session = self._create_session()
        try:
            yield session
        finally:
            if session is not None:
                await session.close()

    def _read_item(self, item: Any, index: int) -> tuple[Any, Mapping[str, Any]]:
        if isinstance(item, Mapping):
            if "source" not in item:
                raise ValueError(f"{self.label}: prompt {index} is a mapping without 'source'.")
            return item["source"], item.get("metadata") or {}
        if isinstance(item, (str, list)):
            return item, {}
        raise TypeError(
            f"{self.label}: prompt {index} must be a text, a list of chat messages or a mapping "
            f"with 'source', got {type(item).__name__}."
        )

    async def _infer_one(
        self, session: aiohttp.ClientSession | None, source: Any, metadata: Mapping[str, Any]
    ) -> InferenceOutput:
        refusal = self._policy_refusal(metadata)
        if refusal:
            return self._failed(refusal, attempts=0)
        key = self._cache_key(source)
        cached = self._cache_get(key)
        if cached is not None:
            self.usage.count("cache_hits")
            return self._succeeded(cached, attempts=0, cached=True)
        error: InferenceError | None = None
        for attempt in range(self.max_retries + 1):
            if attempt:
                await self._sleep(self._retry_delay(attempt - 1, error))
            try:
                completion = await self._attempt(session, source)
            except RetryableError as exc:
                error = exc
                logger.info("%s: attempt %d failed: %s", self.label, attempt + 1, exc)
                continue
            except PermanentError as exc:
                return self._failed(str(exc), attempts=attempt + 1)
            self.usage.add(completion)
            self._cache_put(key, completion)
            return self._succeeded(completion, attempts=attempt + 1)
        return self._failed(
            f"gave up after {self.max_retries + 1} attempts; last error: {error}",
            attempts=self.max_retries + 1,
        )

    async def _attempt(self, session: aiohttp.ClientSession | None, source: Any) -> Completion:
        await self._slots.acquire()
        try:
            return await self._complete(session, source)
        except (RetryableError, PermanentError):
            raise
        except (asyncio.TimeoutError, TimeoutError):
            raise RetryableError(f"no answer within {self.timeout:g} s") from None
        except (aiohttp.ClientError, OSError) as exc:
            raise RetryableError(f"connection error: {type(exc).__name__}: {exc}") from None
        finally:
            self._slots.release()

    def _retry_delay(self, attempt: int, error: InferenceError | None) -> float:
        retry_after = getattr(error, "retry_after", None)
        if retry_after is not None:
            return min(max(retry_after, 0.0), self.max_retry_delay)
        backoff = self.retry_base_delay * (2**attempt)
        return min(backoff * (0.5 + random.random() / 2), self.max_retry_delay)

    def _policy_refusal(self, metadata: Mapping[str, Any]) -> str | None:
        record_policy = metadata.get("data_classification_policy")
        if not self.data_classification_policy or not record_policy:
            return None
        if set(record_policy) & set(self.data_classification_policy):
            return None
        return (
            f"data classification policy {list(record_policy)} of the record is not allowed by "
            f"{self.label} (allowed: {self.data_classification_policy})"
        )

    def _cache_key(self, source: Any) -> str | None:
        if self._cache is None:
            return None
        request = [*self._cache_identity(), source, self.parameters]
        return json.dumps(request, sort_keys=True, default=str)

    def _cache_get(self, key: str | None) -> Completion | None:
        if key is None:
            return None
        with self._cache_lock:
            return self._cache.get(key)

    def _cache_put(self, key: str | None, completion: Completion) -> None:
        if key is not None:
            with self._cache_lock:
                self._cache[key] = completion

    def _succeeded(self, completion: Completion, attempts: int, cached: bool = False) -> InferenceOutput:
        return InferenceOutput(
            prediction=completion.text,
            input_tokens=completion.input_tokens,
            output_tokens=completion.output_tokens,
            model_name=self.model_name,
            parameters=dict(self.parameters),
            attempts=attempts,
            cached=cached,
        )

    def _failed(self, reason: str, attempts: int) -> InferenceOutput:
        self.usage.count("failures")
        return InferenceOutput(
            prediction=None,
            error=f"{self.label} ({self.model_name or 'no model'}): {reason}",
            model_name=self.model_name,
            parameters=dict(self.parameters),
            attempts=attempts,
        )


def _check_positive(name: str, value: float) -> None:
    if not isinstance(value, (int, float)) or isinstance(value, bool) or value <= 0:
        raise ValueError(f"{name} must be a positive number, got {value!r}.")


def to_messages(source: Any) -> list[dict[str, str]]:
    """Chat messages for ``source`` (a text becomes one user message)."""
    if isinstance(source, str):
        return [{"role": "user", "content": source}]
    return list(source)


def to_text(source: Any) -> str:
    """Plain text for ``source`` (chat messages are joined, contents only)."""
    if isinstance(source, str):
        return source
    return "\n\n".join(str(message.get("content", "")) for message in source)


def parse_retry_after(value: str | None) -> float | None:
    """Seconds to wait from a ``Retry-After`` header (delta seconds or an HTTP date)."""
    if not value:
        return None
    try:
        return max(float(value), 0.0)
    except ValueError:
        pass
    try:
        moment = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError):
        return None
    return max(moment.timestamp() - time.time(), 0.0)


class HTTPInferenceEngine(InferenceEngine):
    """An engine that posts one JSON request per prompt."""

    def __init__(self, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self._client_timeout = aiohttp.ClientTimeout(total=self.timeout)

    async def _post_json(
        self,
        session: aiohttp.ClientSession,
        url: str,
        body: Mapping[str, Any],
        headers: Mapping[str, str],
    ) -> Any:
        async with session.post(
            url, json=body, headers=headers, timeout=self._client_timeout
        ) as response:
            content = await response.read()
            if response.status in RETRYABLE_STATUSES or response.status >= 500:
                raise RetryableError(
                    f"HTTP {response.status} from {url}: {_clip(_decode(content))}",
                    retry_after=parse_retry_after(response.headers.get("Retry-After")),
                )
            if response.status >= 400:
                raise PermanentError(f"HTTP {response.status} from {url}: {_clip(_decode(content))}")
        try:
            return json.loads(content)
        except (ValueError, RecursionError):  # not JSON, or nested too deeply to decode
            raise PermanentError(
                f"unparsable response from {url}: {_clip(_decode(content))!r}"
            ) from None


def _decode(content: bytes) -> str:
    return content.decode("utf-8", errors="replace")


def _clip(text: str, limit: int = 300) -> str:
    text = text.strip()
    return text if len(text) <= limit else text[:limit] + "..."


def parse_chat_completion(payload: Any) -> Completion:
    """Answer and token counts of an OpenAI-style chat-completions response."""
    try:
        content = payload["choices"][0]["message"]["content"]
    except (KeyError, IndexError, TypeError):
        raise PermanentError(
            f"response has no choices[0].message.content: {_clip(json.dumps(payload, default=str))}"
        ) from None
    if not isinstance(content, str):
        raise PermanentError(f"response content is not text: {content!r}")
    usage = payload.get("usage") or {}
    return Completion(content, usage.get("prompt_tokens"), usage.get("completion_tokens"))
