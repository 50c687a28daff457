"""Authenticators against a real loopback token service: caching, renewal, failures, threads."""

import threading

import pytest

from orvane_corvel_tallion import AuthenticationError, authenticators
from orvane_corvel_tallion.authenticators import BearerTokenAuthenticator, IAMAuthenticator
from tessary.services import detectd
from tessary.services.detectd import DetectionService

TTL = 1000


class FakeClock:
    """A clock the test moves by hand, shared by the token service and the client."""

    def __init__(self):
        self.now = 5_000_000.0

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return FakeClock()


@pytest.fixture
def service(clock):
    service = DetectionService(api_keys=["good-key"], token_ttl_seconds=TTL, clock=clock)
    service.start()
    yield service
    service.stop()


def test_client_and_service_speak_the_same_token_protocol():
    assert (authenticators.GRANT_TYPE, authenticators.TOKEN_PATH) == (detectd.GRANT_TYPE, detectd.TOKEN_PATH)


def test_token_is_cached_until_renewal_is_due(service, clock):
    authenticator = IAMAuthenticator(apikey="good-key", url=service.base_url + "/", clock=clock)
    first = authenticator.get_token()
    clock.now += TTL * authenticators.REFRESH_FRACTION - 1
    assert authenticator.get_token() == first
    assert service.token_issuer.issued_count == 1
    clock.now += 2
    renewed = authenticator.get_token()
    assert renewed != first and service.token_issuer.issued_count == 2
    assert service.token_issuer.is_valid(renewed)


def test_a_failed_renewal_keeps_the_valid_token_then_fails_after_expiry(service, clock):
    authenticator = IAMAuthenticator(apikey="good-key", url=service.base_url, clock=clock)
    token = authenticator.get_token()
    service.stop()
    clock.now += TTL * 0.9
    assert authenticator.get_token() == token
    clock.now += TTL * 0.1
    with pytest.raises(AuthenticationError, match="cannot be reached"):
        authenticator.get_token()


def test_errors_are_not_cached(service, clock):
    authenticator = IAMAuthenticator(apikey="good-key", url=service.base_url, clock=clock)
    port = int(service.base_url.rsplit(":", 1)[1])
    service.stop()
    with pytest.raises(AuthenticationError):
        authenticator.get_token()
    restarted = DetectionService(port=port, api_keys=["good-key"], clock=clock)
    with restarted:
        token = authenticator.get_token()
    assert restarted.token_issuer.issued_count == 1 and restarted.token_issuer.is_valid(token)


def test_concurrent_callers_share_one_token_request(service, clock):
    authenticator = IAMAuthenticator(apikey="good-key", url=service.base_url, clock=clock)
    tokens = []
    start = threading.Barrier(16)

    def fetch():
        start.wait()
        tokens.append(authenticator.get_token())

    threads = [threading.Thread(target=fetch) for _ in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(tokens) == 16 and len(set(tokens)) == 1
    assert service.token_issuer.issued_count == 1


def test_a_refused_api_key_raises_with_the_status(service, clock):
    with pytest.raises(AuthenticationError, match="answered 400") as caught:
        IAMAuthenticator(apikey="bad-key", url=service.base_url, clock=clock).get_token()
    assert caught.value.status_code == 400


@pytest.mark.parametrize(
    ("payload", "message"),
    [
        (b"<html>", "did not answer JSON"),
        (b'{"expires_in": 60}', "without an access token"),
        (b'{"access_token": "t", "expires_in": 0}', "invalid 'expires_in'"),
        (b'{"access_token": "t"}', "invalid 'expires_in'"),
        (b"[]", "without an access token"),
    ],
)
def test_unusable_token_answers_are_errors(payload, message):
    with pytest.raises(AuthenticationError, match=message):
        authenticators._parse_token_answer(payload, 0.0, "http://127.0.0.1:1/identity/token")


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"apikey": "", "url": "http://127.0.0.1:1"}, "apikey"),
        ({"apikey": "k", "url": "127.0.0.1:1"}, "http"),
        ({"apikey": "k", "url": None}, "url"),
    ],
)
def test_iam_authenticator_checks_its_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        IAMAuthenticator(**kwargs)


def test_bearer_token_authenticator_hands_out_its_token():
    authenticator = BearerTokenAuthenticator(bearer_token="abc")
    assert authenticator.get_token() == "abc"
    assert authenticator.authorization_header() == {"Authorization": "Bearer abc"}
    authenticator.set_bearer_token("def")
    assert authenticator.get_token() == "def"
    assert "def" not in repr(authenticator)
    with pytest.raises(ValueError, match="bearer_token"):
        BearerTokenAuthenticator(bearer_token=" ")
