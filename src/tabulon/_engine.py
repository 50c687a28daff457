"""The machinery every inference engine shares; see ``tabulon.inference``."""

from __future__ import annotations

import asyncio
import contextlib
import email.utils
import hashlib
import json
import json.encoder
import random
import threading
import time
from collections.abc import AsyncIterator, Callable, Mapping, Sequence
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
# Bump when the stored form of a response or the request key changes.
CACHE_VERSION = 1

# Failure codes carried by failed outputs (``InferenceOutput.error_code``).
CONNECTION_ERROR = "JUDGE_CONNECTION_ERROR"
TIMEOUT = "JUDGE_TIMEOUT"
AUTH_ERROR = "JUDGE_AUTH_ERROR"
NOT_FOUND = "JUDGE_NOT_FOUND"
RATE_LIMITED = "JUDGE_RATE_LIMITED"
SERVER_ERROR = "JUDGE_SERVER_ERROR"
BAD_REQUEST = "JUDGE_BAD_REQUEST"
INVALID_RESPONSE = "JUDGE_INVALID_RESPONSE"
DEADLINE_EXCEEDED = "JUDGE_DEADLINE_EXCEEDED"
POLICY_REFUSED = "JUDGE_POLICY_REFUSED"
# Failures that say the service as a whole is unusable: once one prompt ends with
# one of these and nothing has succeeded yet, the prompts not yet sent fail at once.
SERVICE_DOWN_CODES = frozenset({CONNECTION_ERROR, TIMEOUT, AUTH_ERROR, NOT_FOUND})


def status_code(status: int) -> str:
    """The failure code of an HTTP status."""
    if status in (401, 403):
        return AUTH_ERROR
    if status == 404:
        return NOT_FOUND
    if status == 429:
        return RATE_LIMITED
    if status == 408:
        return TIMEOUT
    return SERVER_ERROR if status >= 500 else BAD_REQUEST


_store_resolver: Any = None


def set_response_store_resolver(resolver: Any) -> None:
    """Install ``resolver(cache_setting) -> store | None``, which gives engines their disk cache.

    A store offers ``get_many(keys) -> {key: mapping}`` and ``put(key, mapping)``.
    ``cache_setting`` is the engine's ``cache`` argument (None, a truth value or a path).
    """
    global _store_resolver
    _store_resolver = resolver


@dataclass
class Completion:
    """One successful answer of a model service."""

    text: str
    input_tokens: int | None = None
    output_tokens: int | None = None
    finish_reason: str | None = None

    @property
    def is_complete(self) -> bool:
        """False for an answer cut short (by the token limit), which is never cached."""
        return self.finish_reason not in ("length", "content_filter")

    def as_stored(self) -> dict[str, Any]:
        return {"text": self.text, "input_tokens": self.input_tokens, "output_tokens": self.output_tokens}


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
    error_code: str | None = None


class RetryableError(InferenceError):
    """A transient failure worth retrying (rate limit, overload, time-out, connection)."""

    def __init__(self, message: str, retry_after: float | None = None, code: str = SERVER_ERROR) -> None:
        super().__init__(message)
        self.retry_after = retry_after
        self.code = code


class PermanentError(InferenceError):
    """A failure that retrying will not fix (bad request, bad credentials, garbage)."""

    def __init__(self, message: str, code: str = INVALID_RESPONSE) -> None:
        super().__init__(message)
        self.code = code


@dataclass
class _Batch:
    """The outputs of one dataset's prompts as they come in, and the prompts still to send
    (index, source, metadata, cache key)."""

    run: _Run | None
    outputs: list[InferenceOutput | None]
    pending: list[tuple[int, Any, Mapping[str, Any], str | None]]


@dataclass
class _Run:
    """What the prompts of one run share: the deadline and whether the service looks down."""

    deadline_at: float | None
    store: Any = None
    successes: int = 0
    down: tuple[str, str] | None = None  # (code, message) of the failure that showed it
    # Set once a service-down failure came before any success; new prompts then wait
    # for `settled` (a success, or a prompt that gave up) instead of piling on.
    suspect: bool = False
    settled: asyncio.Event = field(default_factory=asyncio.Event)

    def on_attempt_failed(self, error: InferenceError) -> None:
        if getattr(error, "code", None) in SERVICE_DOWN_CODES and self.successes == 0:
            self.suspect = True

    def on_prompt_done(self) -> None:
        if self.suspect:
            self.settled.set()

    def holds_back(self) -> bool:
        return self.suspect and not self.settled.is_set()


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

    def count(self, counter: str, amount: int = 1) -> None:
        with self._lock:
            setattr(self, counter, getattr(self, counter) + amount)

    def as_dict(self) -> dict[str, int]:
        return {
            "requests": self.requests,
            "cache_hits": self.cache_hits,
            "failures": self.failures,
            "input_tokens": self.input_tokens,
            "output_tokens": self.output_tokens,
        }


def _key_encoder() -> Any:
    """``json.dumps(value, sort_keys=True, default=str)`` as one function for a batch of values: the
    same text without building an encoder per call (which costs as much as encoding a prompt).
    An error ends the batch, so the circular-reference marks are never reused after one."""
    make = json.encoder.c_make_encoder
    if make is not None:
        try:
            encoder = make({}, str, json.encoder.encode_basestring_ascii, None, ": ", ", ", True, False, True)
        except TypeError:  # another interpreter's signature
            encoder = None
        if encoder is not None:
            return lambda value: "".join(encoder(value, 0))
    return json.JSONEncoder(sort_keys=True, default=str).encode


def _messages_text(source: Any, escape: Callable[[str], str], escaped: dict[str, str], head: str,
                   tail: str) -> str | None:
    """The key text of a prompt of chat messages that each hold just a text "role" and "content"
    (every judge prompt), as the key encoder writes it with its own `escape`, between `head` and
    `tail`; None for any other source. Escaping the texts is most of the cost: `escaped` keeps the
    batch's, as the system message recurs."""
    if type(source) is not list:
        return None
    parts = [head, "["]
    for message in source:
        if type(message) is not dict or len(message) != 2:
            return None
        role, content = message.get("role"), message.get("content")
        if type(role) is not str or type(content) is not str:
            return None
        content_text = escaped.get(content)
        if content_text is None:
            content_text = escaped[content] = escape(content)
        role_text = escaped.get(role)
        if role_text is None:
            role_text = escaped[role] = escape(role)
        # Keys sorted: "content" before "role"; messages apart by ", ".
        parts += ('{"content": ', content_text, ', "role": ', role_text, "}, ")
    if len(parts) > 2:
        parts[-1] = "}"
    parts += ("]", tail)
    return "".join(parts)


# The engine's methods that take a prompt's cache key.
_KEY_READERS = ("_stored_answers", "_infer_one", "_cache_get", "_cache_put", "_store_put")


class InferenceEngine:
    """Base of all engines; see the module documentation."""

    def __init__(
        self,
        *,
        model_name: str = "",
        use_cache: bool = False,
        num_parallel_requests: int = 20,
        timeout: float = 20.0,
        max_retries: int = 3,
        retry_base_delay: float = 0.5,
        max_retry_delay: float = 10.0,
        max_retry_time: float = 30.0,
        deadline: float | None = None,
        cache: bool | str | None = None,
        temperature: float | None = 0.0,
        seed: int | None = DEFAULT_SEED,
        max_tokens: int | None = None,
        top_p: float | None = None,
        data_classification_policy: Sequence[str] | None = None,
        **extra_parameters: Any,
    ) -> None:
        _check_positive("num_parallel_requests", num_parallel_requests)
        _check_positive("timeout", timeout)
        _check_positive("max_retry_time", max_retry_time)
        if deadline is not None:
            _check_positive("deadline", deadline)
        if max_retries < 0:
            raise ValueError(f"{self.label}: max_retries must be 0 or more, got {max_retries}.")
        self.model_name = model_name
        self.use_cache = bool(use_cache)
        self.num_parallel_requests = num_parallel_requests
        self.timeout = float(timeout)
        self.max_retries = max_retries
        self.retry_base_delay = retry_base_delay
        self.max_retry_delay = max_retry_delay
        self.max_retry_time = float(max_retry_time)
        self.deadline = float(deadline) if deadline is not None else None
        self.cache = cache
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
        if not self._answers_prompts_itself():
            return run_blocking(self.infer_async(dataset, return_meta_data=return_meta_data))
        # Prompts answered from disk need no event loop: one is started only for the others.
        batch = self._batch(dataset)
        if batch.pending:
            run_blocking(self._answer_pending(batch))
        return self._results(batch.outputs, return_meta_data)

    async def infer_async(self, dataset: Sequence[Any], return_meta_data: bool = False) -> list[Any]:
        """Awaitable twin of ``infer``."""
        return self._results(await self.infer_outputs_async(dataset), return_meta_data)

    async def infer_outputs_async(self, dataset: Sequence[Any]) -> list[InferenceOutput]:
        """One ``InferenceOutput`` per prompt; failures are recorded, not raised.

        The run ends within ``deadline`` seconds when one is set; once a prompt has
        failed in a way that shows the service is down (refused, hanging, bad key,
        wrong URL) and none has succeeded, the prompts not yet sent fail at once.
        """
        batch = self._batch(dataset)
        if batch.pending:
            await self._answer_pending(batch)
        return batch.outputs

    def _answers_prompts_itself(self) -> bool:
        """False when a subclass answers a dataset its own way (it then runs as it always did)."""
        return (getattr(self.infer_async, "__func__", None) is InferenceEngine.infer_async
                and getattr(self.infer_outputs_async, "__func__", None) is InferenceEngine.infer_outputs_async)

    def _results(self, outputs: list[InferenceOutput], return_meta_data: bool) -> list[Any]:
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

    def _batch(self, dataset: Sequence[Any]) -> _Batch:
        """The dataset's prompts with the answers the disk cache holds; the others are pending."""
        items = [self._read_item(item, index) for index, item in enumerate(dataset)]
        if not items:
            return _Batch(None, [], [])
        deadline_at = time.monotonic() + self.deadline if self.deadline else None
        run = _Run(deadline_at=deadline_at, store=self._disk_store())
        keys = self._cache_keys([source for source, _ in items]) if self._keys_used(run) else [None] * len(items)
        stored = self._stored_answers(run.store, keys)
        outputs: list[InferenceOutput | None] = [None] * len(items)
        pending = []
        # An engine without a data policy of its own refuses no record: no need to ask for each.
        refusal = (None if type(self)._policy_refusal is InferenceEngine._policy_refusal
                   and not self.data_classification_policy else self._policy_refusal)
        for index, ((source, metadata), key) in enumerate(zip(items, keys)):
            answer = stored.get(key) if stored and not (refusal and refusal(metadata)) else None
            if answer is not None:  # answered from disk: no task, no session needed
                outputs[index] = self._succeeded(answer, attempts=0, cached=True)
            else:
                pending.append((index, source, metadata, key))
        if len(pending) < len(items):
            self.usage.count("cache_hits", len(items) - len(pending))
        return _Batch(run, outputs, pending)

    async def _answer_pending(self, batch: _Batch) -> None:
        """Calls the model for the batch's pending prompts and puts their outputs in place."""
        async with self._session_scope() as session:
            answers = await asyncio.gather(
                *(self._infer_one(session, source, metadata, batch.run, key, None)
                  for _, source, metadata, key in batch.pending)
            )
        for (index, *_), output in zip(batch.pending, answers):
            batch.outputs[index] = output

    def _disk_store(self) -> Any:
        """The disk cache for this run, or None (decided per run: the switch may change)."""
        if _store_resolver is None or self.cache is False:
            return None
        if self.cache is None and self.parameters.get("temperature", 0) not in (0, 0.0):
            return None  # sampled answers are cached only when asked for
        return _store_resolver(self.cache)

    def _stored_answers(self, store: Any, keys: list[str | None]) -> dict[str, Completion]:
        wanted = [key for key in keys if key is not None]
        if store is None or not wanted:
            return {}
        try:
            return {key: Completion(**value) for key, value in store.get_many(wanted).items()}
        except Exception as exc:  # an unreadable cache costs the cache, not the run
            logger.warning("%s: judge cache unreadable, calling the model: %s", self.label, exc)
            return {}

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
        if type(item) is dict or isinstance(item, Mapping):
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
        self,
        session: aiohttp.ClientSession | None,
        source: Any,
        metadata: Mapping[str, Any],
        run: _Run,
        key: str | None,
        stored: Completion | None,
    ) -> InferenceOutput:
        refusal = self._policy_refusal(metadata)
        if refusal:
            return self._failed(refusal, attempts=0, code=POLICY_REFUSED)
        if stored is not None:
            self.usage.count("cache_hits")
            return self._succeeded(stored, attempts=0, cached=True)
        cached = self._cache_get(key)
        if cached is not None:
            self.usage.count("cache_hits")
            return self._succeeded(cached, attempts=0, cached=True)
        outcome = await self._with_retries(session, source, run)
        if isinstance(outcome, InferenceOutput):
            if outcome.error_code in SERVICE_DOWN_CODES and run.successes == 0 and run.down is None:
                run.down = (outcome.error_code, outcome.error)
            run.on_prompt_done()
            return outcome
        completion, attempts = outcome
        run.successes += 1
        run.on_prompt_done()
        self.usage.add(completion)
        if completion.is_complete and completion.text:
            self._cache_put(key, completion)
            self._store_put(run.store, key, completion)
        return self._succeeded(completion, attempts=attempts)

    async def _with_retries(
        self, session: aiohttp.ClientSession | None, source: Any, run: _Run
    ) -> tuple[Completion, int] | InferenceOutput:
        """The answer and the attempts it took, or the failed output.

        Attempts are bounded by ``max_retries``, by ``max_retry_time`` seconds for
        the prompt (waits included) and by the run's deadline.
        """
        end = time.monotonic() + self.max_retry_time
        if run.deadline_at is not None:
            end = min(end, run.deadline_at)
        error: RetryableError | None = None
        made = 0
        while made <= self.max_retries:
            if made:
                delay = self._retry_delay(made - 1, error)
                if time.monotonic() + delay >= end:
                    break
                await self._sleep(delay)
            window = end - time.monotonic()
            if window <= 0:
                break
            made += 1
            try:
                return await self._attempt(session, source, run, window, first=made == 1), made
            except RetryableError as exc:
                error = exc
                run.on_attempt_failed(exc)
                logger.info("%s: attempt %d failed: %s", self.label, made, exc)
            except PermanentError as exc:
                run.on_attempt_failed(exc)
                return self._failed(f"{exc} (attempts: {made})", attempts=made, code=exc.code)
            except _NotSent as exc:
                return self._failed(str(exc), attempts=made - 1, code=exc.code)
        return self._gave_up(error, made, run)

    def _gave_up(self, error: RetryableError | None, attempts: int, run: _Run) -> InferenceOutput:
        past_deadline = run.deadline_at is not None and time.monotonic() >= run.deadline_at - 0.05
        if error is None:
            return self._failed(
                f"the metric's deadline of {self.deadline:g} s passed before this prompt was sent",
                attempts=attempts, code=DEADLINE_EXCEEDED)
        limit = ""
        if attempts <= self.max_retries:
            limit = (f" (the metric's deadline of {self.deadline:g} s passed)" if past_deadline
                     else f" (its retry time of {self.max_retry_time:g} s ran out)")
        return self._failed(
            f"gave up after {attempts} attempts{limit}; last error: {error}", attempts=attempts, code=error.code)

    async def _attempt(
        self, session: aiohttp.ClientSession | None, source: Any, run: _Run, window: float, first: bool = False
    ) -> Completion:
        await self._slots.acquire()
        if first and run.holds_back():
            # The service looks down: let the prompt that found out settle it before sending more.
            self._slots.release()
            started = time.monotonic()
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(run.settled.wait(), window)
            window = max(window - (time.monotonic() - started), 0.001)
            await self._slots.acquire()
        try:
            if run.down is not None and run.successes == 0:
                raise _NotSent(run.down)
            limit = min(self.timeout, window)
            async with asyncio.timeout(limit):
                return await self._complete(session, source)
        except (RetryableError, PermanentError, _NotSent):
            raise
        except (asyncio.TimeoutError, TimeoutError):
            where = f" from {self.endpoint}" if getattr(self, "endpoint", None) else ""
            raise RetryableError(
                f"no answer within {limit:.3g} s{where} (per-request time-out {self.timeout:g} s)", code=TIMEOUT
            ) from None
        except (aiohttp.ClientError, OSError) as exc:
            where = f" to {self.endpoint}" if getattr(self, "endpoint", None) else ""
            raise RetryableError(
                f"connection error{where}: {type(exc).__name__}: {exc}", code=CONNECTION_ERROR
            ) from None
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

    def _keys_used(self, run: _Run) -> bool:
        """Whether a run's prompts need their cache keys: not when no cache holds or stores answers
        and no subclass reads them its own way."""
        if run.store is not None or self._cache is not None:
            return True
        return any(getattr(type(self), name) is not getattr(InferenceEngine, name) for name in _KEY_READERS)

    def _cache_key(self, source: Any) -> str | None:
        request = [CACHE_VERSION, *self._cache_identity(), source, self.parameters]
        text = json.dumps(request, sort_keys=True, default=str)
        return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()

    def _cache_keys(self, sources: list[Any]) -> list[str | None]:
        """``_cache_key`` of every source: the same texts, with what all of them share encoded once."""
        if type(self)._cache_key is not InferenceEngine._cache_key:  # a subclass keys its own way
            return [self._cache_key(source) for source in sources]
        encode = _key_encoder()
        # A list encodes as its items' texts joined by ", " between brackets.
        head = encode([CACHE_VERSION, *self._cache_identity()])[:-1] + ", "
        tail = ", " + encode(self.parameters) + "]"
        sha256 = hashlib.sha256
        escape, escaped = json.encoder.encode_basestring_ascii, {}
        keys = []
        for source in sources:
            text = _messages_text(source, escape, escaped, head, tail)
            if text is None:
                text = head + encode(source) + tail
            keys.append(sha256(text.encode("utf-8", "surrogatepass")).hexdigest())
        return keys

    def _cache_get(self, key: str | None) -> Completion | None:
        if key is None or self._cache is None:
            return None
        with self._cache_lock:
            return self._cache.get(key)

    def _cache_put(self, key: str | None, completion: Completion) -> None:
        if key is not None and self._cache is not None:
            with self._cache_lock:
                self._cache[key] = completion

    def _store_put(self, store: Any, key: str | None, completion: Completion) -> None:
        if store is None or key is None:
            return
        try:
            store.put(key, completion.as_stored())
        except Exception as exc:  # a full disk or a locked file must not fail the answer
            logger.warning("%s: could not write the judge cache: %s", self.label, exc)

    def _succeeded(self, completion: Completion, attempts: int, cached: bool = False) -> InferenceOutput:
        # In field order, without keywords: a third cheaper, and a cached rerun builds one per record.
        return InferenceOutput(completion.text, None, completion.input_tokens, completion.output_tokens,
                               self.model_name, dict(self.parameters), attempts, cached)

    def _failed(self, reason: str, attempts: int, code: str = SERVER_ERROR) -> InferenceOutput:
        self.usage.count("failures")
        endpoint = getattr(self, "endpoint", None)
        if endpoint and endpoint not in reason and code != POLICY_REFUSED:
            reason += f" (at {endpoint})"
        return InferenceOutput(
            prediction=None,
            error=f"{self.label} ({self.model_name or 'no model'}): {reason}",
            model_name=self.model_name,
            parameters=dict(self.parameters),
            attempts=attempts,
            error_code=code,
        )


class _NotSent(InferenceError):
    """A prompt left unsent because the service already showed it is down."""

    def __init__(self, down: tuple[str, str]) -> None:
        self.code = down[0]
        super().__init__(f"not sent: an earlier prompt showed the service is unusable ({down[1]})")


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
                    code=status_code(response.status),
                )
            if response.status >= 400:
                raise PermanentError(
                    f"HTTP {response.status} from {url}: {_clip(_decode(content))}",
                    code=status_code(response.status),
                )
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
    if not isinstance(usage, Mapping):
        usage = {}
    finish_reason = payload["choices"][0].get("finish_reason") if isinstance(payload["choices"][0], Mapping) else None
    return Completion(content, usage.get("prompt_tokens"), usage.get("completion_tokens"), finish_reason)
