"""Errors raised by the monitoring-service client."""

from __future__ import annotations


class AuthenticationError(Exception):
    """No bearer token could be obtained; `status_code` is the token service's status, if it answered."""

    def __init__(self, message: str, status_code: int | None = None) -> None:
        super().__init__(message)
        self.status_code = status_code
