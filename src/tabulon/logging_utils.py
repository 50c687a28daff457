"""The library's own logger and its verbosity switch."""

from __future__ import annotations

import logging

LOGGER_NAME = "tabulon"
_LEVELS = {
    "debug": logging.DEBUG,
    "info": logging.INFO,
    "warning": logging.WARNING,
    "error": logging.ERROR,
    "critical": logging.CRITICAL,
}


def get_logger(name: str | None = None) -> logging.Logger:
    """Return the library logger, or one of its children."""
    return logging.getLogger(LOGGER_NAME if not name else f"{LOGGER_NAME}.{name}")


def set_verbosity(level: str | int) -> None:
    """Log records of ``level`` and worse only ("debug", "info", "warning", "error", "critical")."""
    if isinstance(level, str):
        try:
            level = _LEVELS[level.lower()]
        except KeyError:
            raise ValueError(
                f"Unknown verbosity '{level}'; expected one of {', '.join(_LEVELS)}."
            ) from None
    get_logger().setLevel(level)
