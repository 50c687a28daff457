"""Checks for local services bound beyond loopback, where anyone on the network can reach them."""

from __future__ import annotations

import ipaddress
import warnings


def is_loopback(host: str) -> bool:
    """True when `host` is a loopback name or address (127.0.0.0/8, ::1, "localhost")."""
    if host.lower() in {"localhost", "localhost."}:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def warn_if_unprotected(service: str, host: str, protected: bool) -> None:
    """Warn when the service listens beyond loopback and accepts requests without an API key."""
    if protected or is_loopback(host):
        return
    warnings.warn(
        f"{service} listens on {host!r}, beyond loopback, without an API key: anyone who can reach this "
        "address can use it. Pass an API key (--api-key) or listen on 127.0.0.1.",
        UserWarning,
        stacklevel=3,
    )
