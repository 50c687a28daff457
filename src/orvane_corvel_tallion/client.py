"""`APIClient`: the monitoring service's address, instance and authenticator, checked once."""

from __future__ import annotations

from orvane_corvel_tallion._checks import require_http_url, require_text
from orvane_corvel_tallion.authenticators import Authenticator


class APIClient:
    """Client of one monitoring-service instance.

    `authenticator` gives the bearer token of every request, `service_url` is
    the service's base URL (without a trailing slash) and
    `service_instance_id` names the instance, sent with every request.
    """

    def __init__(self, authenticator: Authenticator, service_url: str, service_instance_id: str) -> None:
        if not isinstance(authenticator, Authenticator):
            raise TypeError(
                "authenticator must be an orvane_corvel_tallion.authenticators.Authenticator, "
                f"got {type(authenticator).__name__}."
            )
        self.authenticator = authenticator
        self.service_url = require_http_url("service_url", service_url)
        self.service_instance_id = require_text("service_instance_id", service_instance_id)

    def __repr__(self) -> str:
        return f"APIClient(service_url={self.service_url!r}, service_instance_id={self.service_instance_id!r})"
