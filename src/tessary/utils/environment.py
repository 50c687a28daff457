"""Environment switches of the package.

| Variable | Meaning | Default |
|---|---|---|
| TESSARY_TABULON_INFERENCE_CACHE | judge engines cache their answers (true/false) | false |
| TESSARY_LUMERIS_CONCURRENCY_LIMIT | parallel requests to the AI service per judge | 10 |
| TESSARY_TELEMETRY_URL | where usage events are posted; unset turns telemetry off | unset |
| TESSARY_TELEMETRY_BATCH_SIZE | events per posted batch | 20 |
| TESSARY_TELEMETRY_TIMEOUT | seconds allowed for one post | 5 |
| LUMERIS_SERVER | hosting environment ("QZO", "QZAI", "QZGOV", or unset) | unset |
"""

from __future__ import annotations

import os

_TRUE_TEXTS = frozenset({"1", "true", "yes", "on"})
_FALSE_TEXTS = frozenset({"", "0", "false", "no", "off"})
PLATFORM_ENVIRONMENTS = frozenset({"QZO", "QZAI", "QZGOV"})


def _read_bool(name: str, default: bool) -> bool:
    text = os.environ.get(name)
    if text is None:
        return default
    normalised = text.strip().lower()
    if normalised in _TRUE_TEXTS:
        return True
    if normalised in _FALSE_TEXTS:
        return False
    raise ValueError(f"{name} must be true or false, got {text!r}.")


def _read_number(name: str, default: float, kind: type, minimum: float) -> float:
    text = os.environ.get(name)
    if text is None or not text.strip():
        return default
    try:
        value = kind(text.strip())
    except ValueError:
        raise ValueError(f"{name} must be a {kind.__name__} number, got {text!r}.") from None
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}.")
    return value


def get_tabluon_enable_inference_cache() -> bool:
    """Whether judge inference engines cache their answers."""
    return _read_bool("TESSARY_TABULON_INFERENCE_CACHE", False)


def get_lumeris_concurrency_limit() -> int:
    """How many requests one judge sends to the AI service at once."""
    return int(_read_number("TESSARY_LUMERIS_CONCURRENCY_LIMIT", 10, int, 1))


def get_telemetry_url() -> str | None:
    """The destination of usage events, or None when telemetry is off."""
    return os.environ.get("TESSARY_TELEMETRY_URL", "").strip() or None


def get_telemetry_batch_size() -> int:
    """How many events are posted together."""
    return int(_read_number("TESSARY_TELEMETRY_BATCH_SIZE", 20, int, 1))


def get_telemetry_timeout() -> float:
    """Seconds allowed for one telemetry post."""
    return float(_read_number("TESSARY_TELEMETRY_TIMEOUT", 5.0, float, 0.001))


def get_hosting_environment() -> str | None:
    """The product environment named by LUMERIS_SERVER, or None for a stand-alone client."""
    server = os.environ.get("LUMERIS_SERVER")
    return server if server in PLATFORM_ENVIRONMENTS else None
