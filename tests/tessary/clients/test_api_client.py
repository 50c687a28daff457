import sys
import types

import pytest

from tessary.clients import api_client as api_client_module
from tessary.clients.api_client import APIClient
from tessary.entities.credentials import Credentials

VARIABLES = [
    *api_client_module.ENV_VARIABLES.values(),
    "QZG_SERVICE_INSTANCE_ID",
    "TESSARY_REGION",
    "TESSARY_DISABLE_SSL",
]


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)


class RecordingAuthenticator:
    def __init__(self, kind, **kwargs):
        self.kind, self.kwargs = kind, kwargs

    def get_token(self):
        return "token"


class FakeMonitoringClient:
    def __init__(self, authenticator, service_url, service_instance_id):
        self.authenticator = authenticator
        self.service_url = service_url
        self.service_instance_id = service_instance_id


@pytest.fixture
def monitoring_library(monkeypatch):
    """Stands in for the monitoring-service client library, recording how it is called."""
    package = types.ModuleType("orvane_corvel_tallion")
    package.APIClient = FakeMonitoringClient
    authenticators = types.ModuleType("orvane_corvel_tallion.authenticators")
    authenticators.IAMAuthenticator = lambda apikey, url, disable_ssl_verification: (
        RecordingAuthenticator(
            "iam", apikey=apikey, url=url, disable_ssl_verification=disable_ssl_verification
        )
    )
    authenticators.BearerTokenAuthenticator = lambda bearer_token: RecordingAuthenticator(
        "bearer", bearer_token=bearer_token
    )
    package.authenticators = authenticators
    monkeypatch.setitem(sys.modules, "orvane_corvel_tallion", package)
    monkeypatch.setitem(sys.modules, "orvane_corvel_tallion.authenticators", authenticators)


def test_missing_credentials_fail_with_the_variable_names():
    with pytest.raises(ValueError, match="TESSARY_API_KEY"):
        APIClient()


def test_on_premises_without_url_is_refused(monkeypatch):
    monkeypatch.setenv("TESSARY_API_KEY", "k")
    monkeypatch.setenv("TESSARY_VERSION", "5.0")
    with pytest.raises(ValueError, match="TESSARY_SERVICE_URL"):
        APIClient()


@pytest.mark.parametrize(
    ("variables", "expected"),
    [
        (
            {
                "TESSARY_API_KEY": "k",
                "TESSARY_SERVICE_URL": "https://gov.example",
                "TESSARY_SERVICE_INSTANCE_ID": "inst",
            },
            {
                "api_key": "k",
                "url": "https://gov.example",
                "service_instance_id": "inst",
                "version": None,
                "disable_ssl": False,
            },
        ),
        (
            {
                "TESSARY_API_KEY": "k",
                "TESSARY_SERVICE_URL": "https://gov.example",
                "QZG_SERVICE_INSTANCE_ID": "alias",
                "TESSARY_DISABLE_SSL": "true",
            },
            {"service_instance_id": "alias", "disable_ssl": True},
        ),
        (
            {
                "TESSARY_USERNAME": "u",
                "TESSARY_PASSWORD": "p",
                "TESSARY_VERSION": "5.0",
                "TESSARY_SERVICE_URL": "https://opd.example",
            },
            {
                "username": "u",
                "password": "p",
                "version": "5.0",
                "url": "https://opd.example",
                "api_key": None,
            },
        ),
    ],
)
def test_credentials_are_read_from_environment(monkeypatch, variables, expected):
    for name, value in variables.items():
        monkeypatch.setenv(name, value)

    credentials = APIClient().credentials

    assert {field: getattr(credentials, field) for field in expected} == expected


def test_bad_disable_ssl_value_is_refused(monkeypatch):
    monkeypatch.setenv("TESSARY_API_KEY", "k")
    monkeypatch.setenv("TESSARY_SERVICE_URL", "https://gov.example")
    monkeypatch.setenv("TESSARY_DISABLE_SSL", "perhaps")
    with pytest.raises(ValueError, match="TESSARY_DISABLE_SSL"):
        APIClient()


def test_explicit_credentials_are_used_as_given():
    credentials = Credentials(api_key="k", url="https://gov.example")
    assert APIClient(credentials=credentials).credentials is credentials
    with pytest.raises(TypeError):
        APIClient(credentials={"api_key": "k"})


def test_secrets_stay_out_of_repr():
    credentials = Credentials(
        api_key="secret-key", url="https://gov.example", password="pw", username="u"
    )
    assert "secret-key" not in repr(credentials) and "pw" not in repr(credentials)


@pytest.mark.parametrize("disable_ssl", [False, True])
def test_qts_client_is_built_once_for_cloud(monitoring_library, disable_ssl):
    client = APIClient(
        Credentials(
            api_key="k",
            url="https://gov.example",
            iam_url="https://iam.example",
            service_instance_id="inst",
            disable_ssl=disable_ssl,
        )
    )

    qts = client.qts_client

    assert qts is client.qts_client
    assert (qts.service_url, qts.service_instance_id) == ("https://gov.example", "inst")
    assert qts.authenticator.kind == "iam"
    assert qts.authenticator.kwargs == {
        "apikey": "k",
        "url": "https://iam.example",
        "disable_ssl_verification": disable_ssl,
    }


@pytest.mark.parametrize("disable_ssl", [False, True])
def test_qts_client_on_premises_uses_the_platform_url(monitoring_library, disable_ssl):
    # Platforms with self-signed certificates: the token request must skip the
    # check too, not only the detection requests.
    client = APIClient(
        Credentials(
            api_key="k",
            url="https://opd.example",
            version="5.0",
            username="u",
            service_instance_id="inst",
            disable_ssl=disable_ssl,
        )
    )

    qts = client.qts_client

    assert qts.service_url == "https://opd.example"
    assert qts.authenticator.kwargs == {
        "apikey": "k",
        "url": "https://opd.example",
        "disable_ssl_verification": disable_ssl,
    }


def test_qts_client_with_the_real_library_honours_disable_ssl():
    client = APIClient(
        Credentials(
            api_key="k",
            url="https://opd.example",
            version="5.0",
            username="u",
            service_instance_id="inst",
            disable_ssl=True,
        )
    )
    assert client.qts_client.authenticator.disable_ssl_verification is True


def test_a_failed_qts_client_is_not_kept(monitoring_library, monkeypatch):
    client = APIClient(Credentials(bearer_token="t", url="https://gov.example", service_instance_id="i"))
    authenticators = sys.modules["orvane_corvel_tallion.authenticators"]
    working = authenticators.BearerTokenAuthenticator

    def unavailable(bearer_token):
        raise ConnectionError("token service down")

    monkeypatch.setattr(authenticators, "BearerTokenAuthenticator", unavailable)
    with pytest.raises(ConnectionError):
        client.qts_client
    monkeypatch.setattr(authenticators, "BearerTokenAuthenticator", working)
    assert client.qts_client.authenticator.kwargs == {"bearer_token": "t"}


def test_qts_client_with_bearer_token(monitoring_library):
    client = APIClient(
        Credentials(bearer_token="t", url="https://gov.example", service_instance_id="i")
    )
    assert client.qts_client.authenticator.kwargs == {"bearer_token": "t"}


def test_qts_client_is_none_without_service_instance_id(monitoring_library):
    client = APIClient(Credentials(api_key="k", url="https://gov.example"))
    assert client.qts_client is None


def test_qts_client_can_be_replaced():
    client = APIClient(Credentials(api_key="k", url="https://gov.example"))
    replacement = object()
    client.qts_client = replacement
    assert client.qts_client is replacement


@pytest.mark.parametrize("region", ["us-south", "eu-de", "ap-south-1"])
def test_cloud_defaults_come_from_the_region_table(monkeypatch, region):
    halyard = pytest.importorskip("tessary.utils.halyard")
    monkeypatch.setenv("TESSARY_API_KEY", "k")
    monkeypatch.setenv("TESSARY_REGION", region)
    record = halyard.LUMERIS_REGION_URLS[region]

    client = APIClient()

    assert client.credentials.url == record.qzg_url
    assert client._token_service_url() == record.iam_url


def test_unknown_region_is_refused(monkeypatch):
    pytest.importorskip("tessary.utils.halyard")
    monkeypatch.setenv("TESSARY_API_KEY", "k")
    monkeypatch.setenv("TESSARY_REGION", "moon-1")
    with pytest.raises(ValueError, match="moon-1"):
        APIClient()


def test_cloud_url_outside_the_region_table_needs_iam_url(monitoring_library):
    pytest.importorskip("tessary.utils.halyard")
    client = APIClient(Credentials(api_key="k", url="https://elsewhere.example", service_instance_id="i"))
    with pytest.raises(ValueError, match="TESSARY_IAM_URL"):
        client.qts_client
