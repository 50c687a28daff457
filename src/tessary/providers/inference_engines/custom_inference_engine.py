"""An inference engine that answers prompts with the caller's own scoring function."""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Callable
from typing import Any

from tabulon.inference import Completion, InferenceEngine, PermanentError


class CustomFunctionInferenceEngine(InferenceEngine):
    """Calls ``scoring_fn`` once per prompt, with at most ``num_parallel_requests`` calls at once.

    The function receives the prompt (a text, or chat messages when the judge uses a
    chat format) and, when ``context`` is not None, ``context`` as its second argument;
    it returns the answer text. It may be a plain function (run on a worker thread) or
    a coroutine function. A raised exception or a non-text answer fails that prompt
    only. Retries, the response cache and usage counts are those of every engine.
    """

    def __init__(
        self,
        scoring_fn: Callable[..., Any],
        model_name: str = "custom_fn",
        context: Any = None,
        num_parallel_requests: int = 20,
        use_cache: bool = False,
        **kwargs: Any,
    ) -> None:
        if not callable(scoring_fn):
            raise TypeError(f"scoring_fn must be callable, got {type(scoring_fn).__name__}.")
        super().__init__(
            model_name=model_name,
            use_cache=use_cache,
            num_parallel_requests=num_parallel_requests,
            **kwargs,
        )
        self.scoring_fn = scoring_fn
        self.context = context

    def _create_session(self) -> None:
        return None

    def _cache_identity(self) -> list[Any]:
        name = getattr(self.scoring_fn, "__qualname__", type(self.scoring_fn).__name__)
        return [self.label, self.model_name, getattr(self.scoring_fn, "__module__", ""), name]

    def _arguments(self, source: Any) -> tuple[Any, ...]:
        return (source,) if self.context is None else (source, self.context)

    async def _complete(self, session: None, source: Any) -> Completion:
        arguments = self._arguments(source)
        try:
            if inspect.iscoroutinefunction(self.scoring_fn):
                answer = await self.scoring_fn(*arguments)
            else:
                answer = await asyncio.to_thread(self.scoring_fn, *arguments)
                if inspect.isawaitable(answer):
                    answer = await answer
        except (asyncio.CancelledError, asyncio.TimeoutError):
            raise
        except Exception as exc:
            raise PermanentError(f"scoring function failed: {type(exc).__name__}: {exc}") from exc
        if not isinstance(answer, str):
            raise PermanentError(
                f"scoring function must return a text, got {type(answer).__name__}: {answer!r:.100}"
            )
        return Completion(answer)
