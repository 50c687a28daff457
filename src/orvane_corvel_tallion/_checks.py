"""Argument checks shared by the client and the authenticators."""

from __future__ import annotations

import urllib.parse


def require_text(name: str, value: object) -> str:
    """Return `value` if it is a non-blank string, else raise ValueError naming it."""
    if not isinstance(value, str) or not value.strip():
        raise ValueError(f"{name} must be a non-empty string, got {value!r}.")
    return value


def require_http_url(name: str, value: object) -> str:
    """Return `value` without a trailing slash if it is an http(s) URL, else raise ValueError."""
    url = require_text(name, value)
    parsed = urllib.parse.urlsplit(url)
    if parsed.scheme not in ("http", "https") or not parsed.netloc:
        raise ValueError(f"{name} must be an http(s) URL, got {url!r}.")
    return url.rstrip("/")
