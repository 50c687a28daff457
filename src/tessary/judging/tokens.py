"""Token counts and cost of judge calls.

A record's counts come from the judge server's ``usage`` when it sends one;
otherwise they are counted offline with the "cl100k_base" encoding and the record
is marked ``tokens_counted``. Cost needs prices per million tokens,
``{"gpt-4o-mini": (0.15, 0.6)}`` (input, output), looked up by the judge's model name.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from tessary.utils.token_counting import count_tokens

__all__ = ["Prices", "TokenCount", "count_tokens", "cost_of", "parse_price", "record_tokens", "sum_tokens", "token_counts"]

Prices = Mapping[str, tuple[float, float]]


@dataclass(frozen=True)
class TokenCount:
    """Prompt and completion tokens of one record; ``counted`` when not reported by the server."""

    input_tokens: int
    output_tokens: int
    counted: bool


def record_tokens(
    reported_input: int | None, reported_output: int | None, prompt: Any, reply: Any
) -> TokenCount:
    """The server's counts when it gave both, else offline counts of the prompt and the reply."""
    return TokenCount(*token_counts(reported_input, reported_output, prompt, reply))


def token_counts(
    reported_input: int | None, reported_output: int | None, prompt: Any, reply: Any
) -> tuple[int, int, bool]:
    """`record_tokens` as (input tokens, output tokens, counted), for callers that handle many
    records (a count object per record costs more than the counting when the server reported it)."""
    if isinstance(reported_input, int) and isinstance(reported_output, int):
        return reported_input, reported_output, False
    return _count(prompt), _count(reply), True


def _count(text: Any) -> int:
    if text is None:
        return 0
    if isinstance(text, list):  # chat messages
        return sum(count_tokens(message.get("content", "")) for message in text if isinstance(message, Mapping))
    return count_tokens(text)


def sum_tokens(counts: Iterable[TokenCount | None]) -> tuple[int, int]:
    """Total input and output tokens."""
    total_in = total_out = 0
    for count in counts:
        if count is not None:
            total_in += count.input_tokens
            total_out += count.output_tokens
    return total_in, total_out


def parse_price(text: str) -> tuple[str, tuple[float, float]]:
    """``"model=IN,OUT"`` (dollars per million input and output tokens) as a prices entry."""
    model, separator, amounts = text.partition("=")
    parts = amounts.split(",")
    if not separator or not model.strip() or len(parts) != 2:
        raise ValueError(f"A price reads 'model=IN,OUT' (per million tokens), got {text!r}.")
    try:
        return model.strip(), (float(parts[0]), float(parts[1]))
    except ValueError:
        raise ValueError(f"A price reads 'model=IN,OUT' with two numbers, got {text!r}.") from None


def cost_of(model: str | None, input_tokens: int, output_tokens: int, prices: Prices | None) -> float | None:
    """Cost in the prices' currency, or None when no price is known for the model."""
    if not prices or model is None:
        return None
    price = prices.get(model)
    if price is None:  # "openai/gpt-4o-mini" or "gpt-4o-mini": either spelling matches
        price = prices.get(model.rsplit("/", 1)[-1])
    if price is None:
        return None
    price_in, price_out = price
    return round((input_tokens * price_in + output_tokens * price_out) / 1_000_000, 8)
