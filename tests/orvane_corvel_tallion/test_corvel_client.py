"""The monitoring-service client: what it holds and what it refuses."""

import pytest

import orvane_corvel_tallion
from orvane_corvel_tallion import APIClient
from orvane_corvel_tallion.authenticators import BearerTokenAuthenticator


def test_client_holds_its_authenticator_url_and_instance():
    authenticator = BearerTokenAuthenticator(bearer_token="t")
    client = orvane_corvel_tallion.APIClient(
        authenticator=authenticator, service_url="https://monitor.example.test/", service_instance_id="inst-7"
    )
    assert client.authenticator is authenticator
    assert client.service_url == "https://monitor.example.test"
    assert client.service_instance_id == "inst-7"


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"authenticator": "token"}, TypeError, "authenticator must be"),
        ({"service_url": "ftp://x"}, ValueError, "service_url"),
        ({"service_url": ""}, ValueError, "service_url"),
        ({"service_instance_id": None}, ValueError, "service_instance_id"),
        ({"service_instance_id": "  "}, ValueError, "service_instance_id"),
    ],
)
def test_client_refuses_bad_arguments(kwargs, error, message):
    arguments = {
        "authenticator": BearerTokenAuthenticator(bearer_token="t"),
        "service_url": "http://127.0.0.1:8080",
        "service_instance_id": "inst",
        **kwargs,
    }
    with pytest.raises(error, match=message):
        APIClient(**arguments)
