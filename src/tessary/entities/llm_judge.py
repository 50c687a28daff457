"""The judge model of LLM-as-judge metrics, and how it is called."""

from __future__ import annotations

from pydantic import Field

from tessary.entities.base_classes import BaseEntity
from tessary.entities.foundation_model import FoundationModel


class LLMJudge(BaseEntity):
    """Wraps the foundation model that grades records, with the settings of its calls.

    Every judged metric (recipe-library judges and criteria metrics) honours every
    field. Unset fields keep each path's defaults: temperature 0, a fixed seed, the
    engine's concurrency (20) and time-outs (20 s per request, 30 s of retries per
    request, no deadline for the metric). `cache`: None caches temperature-0 calls
    in the default disk cache, True caches every call, False none, a text names
    the cache file. `prices`: model name -> (input, output) price per million tokens.
    """

    model: FoundationModel
    temperature: float | None = None
    seed: int | None = None
    max_tokens: int | None = Field(default=None, ge=1)
    max_concurrency: int | None = Field(default=None, ge=1)
    timeout: float | None = Field(default=None, gt=0)
    deadline: float | None = Field(default=None, gt=0)
    max_retries: int | None = Field(default=None, ge=0)
    cache: bool | str | None = None
    prices: dict[str, tuple[float, float]] | None = None

    def engine_options(self) -> dict[str, object]:
        """The fields that engines take as keyword arguments, without those left unset."""
        options = {
            "temperature": self.temperature,
            "seed": self.seed,
            "max_tokens": self.max_tokens,
            "num_parallel_requests": self.max_concurrency,
            "timeout": self.timeout,
            "deadline": self.deadline,
            "max_retries": self.max_retries,
            "cache": self.cache,
        }
        return {key: value for key, value in options.items() if value is not None}


# Registers the disk cache of judge calls with the engines, whichever path builds them.
import tessary.judging.cache  # noqa: E402,F401
