"""orvane_corvel_tallion: client library of the monitoring service.

`APIClient(authenticator=..., service_url=..., service_instance_id=...)`
holds what every request needs: a bearer token from its authenticator
(`authenticators.BearerTokenAuthenticator` for a fixed token,
`authenticators.IAMAuthenticator` for an API key exchanged at the token
service), the service URL and the instance id.
"""

from orvane_corvel_tallion import authenticators
from orvane_corvel_tallion.authenticators import BearerTokenAuthenticator, IAMAuthenticator
from orvane_corvel_tallion.client import APIClient
from orvane_corvel_tallion.exceptions import AuthenticationError

__all__ = ["APIClient", "AuthenticationError", "BearerTokenAuthenticator", "IAMAuthenticator", "authenticators"]
