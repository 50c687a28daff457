"""What a judge needs of an inference engine, and a small engine for plain functions.

An engine is any object with ``infer(dataset) -> list``. ``dataset`` is a list of
mappings whose "source" holds the prompt text (or a list of chat messages
``{"role": ..., "content": ...}``); the answer holds one reply per item, in order.
A reply is the model's text; engines may also return objects or mappings with
``prediction`` (and ``error``, ``model_name``), or ``None`` or an exception for
a failed request. An engine whose ``infer`` takes ``return_meta_data`` is called
with it set, and answers with such objects.

The engine owns the number of requests in flight: a judge hands it each round
of prompts as one batch, so the bound holds across the whole run and one HTTP
session can serve it. The recipe library's engines work that way, and so does
`FunctionInferenceEngine` below.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Protocol, runtime_checkable

Source = str | list[dict[str, str]]


@runtime_checkable
class InferenceEngine(Protocol):
    """An engine that answers a batch of prompts, one reply per item, in order."""

    def infer(self, dataset: list[dict[str, Any]]) -> Sequence[Any]: ...


class FunctionInferenceEngine:
    """Answers prompts with a plain function ``fn(source) -> str``, on a bounded thread pool.

    A failure of one call becomes that item's reply (the exception), so one bad
    prompt costs one answer, not the batch.
    """

    def __init__(self, fn: Callable[[Source], str], max_concurrency: int = 8) -> None:
        if not callable(fn):
            raise TypeError(f"fn must be callable, got {type(fn).__name__}")
        if not isinstance(max_concurrency, int) or isinstance(max_concurrency, bool) or max_concurrency < 1:
            raise ValueError(f"max_concurrency must be a positive integer, got {max_concurrency!r}")
        self.fn = fn
        self.max_concurrency = max_concurrency

    def infer(self, dataset: list[dict[str, Any]]) -> list[str | BaseException]:
        """Call the function once per item, with at most `max_concurrency` calls at a time."""
        sources = [item["source"] for item in dataset]
        if not sources:
            return []
        workers = min(self.max_concurrency, len(sources))
        with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="verdicta-infer") as pool:
            return list(pool.map(self._call, sources))

    def _call(self, source: Source) -> str | BaseException:
        try:
            return self.fn(source)
        except Exception as error:  # one failed request must not sink the batch
            return error


def check_engine(engine: object) -> None:
    """Refuse, up front, an object that cannot serve as an inference engine."""
    if not callable(getattr(engine, "infer", None)):
        raise TypeError(
            f"inference_engine must offer infer(dataset) -> list of replies; got {type(engine).__name__}"
        )


class InferenceFailure(Exception):
    """An engine's account of one prompt it could not answer, with the engine's failure code."""

    def __init__(self, message: str, code: str | None = None) -> None:
        super().__init__(message)
        self.code = code


@dataclass(frozen=True)
class EngineReply:
    """One reply: the model's text or the reason there is none, who answered, and what it cost.

    Token counts are the server's (None when it sent none); `calls` is the number of
    requests the engine made for it (0 when answered from a cache).
    """

    text: str | BaseException
    model_name: str | None = None
    input_tokens: int | None = None
    output_tokens: int | None = None
    cached: bool = False
    calls: int | None = None


def infer_texts(engine: InferenceEngine, sources: list[Source]) -> list[EngineReply]:
    """Send one batch through the engine; one reply per source, in order.

    Engines whose ``infer`` takes ``return_meta_data`` are asked for per-prompt
    outcomes, so that one failed request costs one answer and not the batch.
    """
    if not sources:
        return []
    dataset = [{"source": source} for source in sources]
    if _accepts_keyword(engine.infer, "return_meta_data"):
        replies = engine.infer(dataset, return_meta_data=True)
    else:
        replies = engine.infer(dataset)
    replies = list(replies)
    if len(replies) != len(sources):
        raise ValueError(
            f"inference engine {type(engine).__name__} returned {len(replies)} replies "
            f"for {len(sources)} prompts"
        )
    return [
        EngineReply(
            _reply_text(reply),
            _model_name(reply),
            input_tokens=_count(reply, "input_tokens"),
            output_tokens=_count(reply, "output_tokens"),
            cached=_field(reply, "cached") is True,
            calls=_count(reply, "attempts"),
        )
        for reply in replies
    ]


def _count(reply: Any, name: str) -> int | None:
    if isinstance(reply, str | BaseException) or reply is None:
        return None
    value = _field(reply, name)
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _accepts_keyword(function: Callable[..., Any], name: str) -> bool:
    try:
        parameters = inspect.signature(function).parameters
    except (TypeError, ValueError):
        return False
    return name in parameters


def _field(reply: Any, name: str) -> Any:
    """A field of a reply given as a mapping or as an object."""
    if isinstance(reply, Mapping):
        return reply.get(name)
    return getattr(reply, name, None)


def _reply_text(reply: Any) -> str | BaseException:
    """The text of one engine reply, whatever shape the engine gives it."""
    if isinstance(reply, str | BaseException):
        return reply
    if reply is None:
        return InferenceFailure("the inference engine gave no reply")
    error = _field(reply, "error")
    if error:
        code = _field(reply, "error_code")
        return error if isinstance(error, BaseException) else InferenceFailure(str(error), code)
    prediction = _field(reply, "prediction")
    if prediction is not None:
        return _reply_text(prediction)
    if isinstance(reply, Mapping) or hasattr(reply, "prediction"):
        return InferenceFailure("the inference engine gave no reply")
    return str(reply)


def _model_name(reply: Any) -> str | None:
    if isinstance(reply, str | BaseException) or reply is None:
        return None
    name = _field(reply, "model_name")
    return name if isinstance(name, str) and name else None
