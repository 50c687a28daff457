import pytest

from orvane_lumeris_ai.client import APIClient
from orvane_lumeris_ai.credentials import Credentials
from orvane_lumeris_ai.errors import APIRequestError, CredentialsError
from tessary.services.aiservice import DEFAULT_API_KEY, DEFAULT_PASSWORD, AIService

GUARDED = "lumeris/guarded-chat-8b"


@pytest.fixture(scope="module")
def service():
    with AIService() as running:
        yield running


def cloud_client(service, **kwargs):
    return APIClient(Credentials(url=service.base_url, api_key=DEFAULT_API_KEY), **kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"api_key": DEFAULT_API_KEY},
        {"username": "admin", "api_key": DEFAULT_API_KEY, "instance_id": "drydock"},
        {"username": "admin", "password": DEFAULT_PASSWORD, "instance_id": "drydock", "version": "5.0"},
    ],
)
def test_sign_in_and_generate(service, kwargs):
    client = APIClient(Credentials(url=service.base_url, **kwargs))
    assert client.generate_text(GUARDED, "Name a colour.") == "Here is what I can say about this: Name a colour."


@pytest.mark.parametrize(
    "kwargs",
    [
        {"api_key": "wrong"},
        {"username": "admin", "api_key": "wrong", "instance_id": "drydock"},
        {"username": "intruder", "password": DEFAULT_PASSWORD, "instance_id": "drydock"},
    ],
)
def test_refused_sign_in_raises_401(service, kwargs):
    client = APIClient(Credentials(url=service.base_url, **kwargs))
    with pytest.raises(APIRequestError) as caught:
        client.get_token()
    assert caught.value.status == 401


def test_token_is_reused_until_due(service):
    client = cloud_client(service)
    before = service.token_requests
    for _ in range(3):
        client.generate_text(GUARDED, "Hello")
    assert service.token_requests - before == 1


def test_token_is_renewed_before_expiry():
    now = [1000.0]
    with AIService(token_lifetime=100) as service:
        client = cloud_client(service, clock=lambda: now[0])
        first = client.get_token()
        now[0] += 89  # renewal is due a tenth of the lifetime before expiry
        assert client.get_token() == first
        now[0] += 2
        assert client.get_token() != first
        assert service.token_requests == 2


def test_refused_token_is_renewed_once_and_request_retried(service):
    client = cloud_client(service)
    client.get_token()
    service.revoke_tokens()
    before = service.token_requests
    assert client.generate_text(GUARDED, "Hi").endswith("Hi")
    assert service.token_requests - before == 1


def test_given_token_is_never_renewed(service):
    client = APIClient(Credentials(url=service.base_url, token="not-issued"))
    with pytest.raises(APIRequestError) as caught:
        client.generate_text(GUARDED, "Hi")
    assert caught.value.status == 401
    assert client.get_token() == "not-issued"


class BusyService(AIService):
    """Answers 503 to the first generations, asking for a short wait."""

    def __init__(self, busy_answers, **kwargs):
        super().__init__(**kwargs)
        self.busy_answers = busy_answers

    async def _generation(self, request):
        from aiohttp import web

        if self.busy_answers:
            self.busy_answers -= 1
            return web.json_response({"error": "busy"}, status=503, headers={"Retry-After": "7"})
        return await super()._generation(request)


@pytest.mark.parametrize("busy_answers, succeeds", [(2, True), (3, True), (4, False)])
def test_busy_answers_are_retried_honouring_retry_after(busy_answers, succeeds):
    waits = []
    with BusyService(busy_answers) as service:
        client = cloud_client(service, sleep=waits.append)
        if succeeds:
            assert client.generate_text(GUARDED, "Hi").endswith("Hi")
        else:
            with pytest.raises(APIRequestError, match="status 503: busy"):
                client.generate_text(GUARDED, "Hi")
    assert waits == [7.0] * min(busy_answers, 3)


@pytest.mark.parametrize(
    "model_id, prompt, error, message",
    [
        ("unknown/model", "Hi", APIRequestError, "status 404"),
        ("", "Hi", ValueError, "model_id"),
        (GUARDED, None, TypeError, "prompt must be text"),
    ],
)
def test_bad_generation_requests(service, model_id, prompt, error, message):
    with pytest.raises(error, match=message):
        cloud_client(service).generate_text(model_id, prompt)


def test_unreachable_service_reports_no_status():
    with AIService() as service:
        url = service.base_url
    client = APIClient(Credentials(url=url, api_key=DEFAULT_API_KEY, timeout=5))
    with pytest.raises(APIRequestError) as caught:
        client.get_token()
    assert caught.value.status is None


def test_client_needs_credentials_object():
    with pytest.raises(CredentialsError, match="needs a Credentials object"):
        APIClient({"url": "http://127.0.0.1:1", "api_key": "k"})
