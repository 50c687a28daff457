"""Risk evaluation credentials: the AI-service client, the plug-in's system credentials, the model check."""
import inspect

import pytest

from tessary.config.model_risk_configuration import GCCredentials, ModelRiskConfiguration, QzGCConfiguration
from tessary.entities.credentials import Credentials, QzAICredentials
from tessary.entities.foundation_model import CustomFoundationModel, QzAIFoundationModel, QzAIModelProvider
from tessary.evaluators.impl import riskferry
from tessary.utils.halyard import QTS_HALYARD

CLOUD_URL = "https://eu-de.api.governance.cloud.orvane.com"
OPD_URL = "https://cpd.example.internal"
OPD = Credentials(url=OPD_URL, version="5.1", username="ana", api_key="opd-key")
CLOUD = Credentials(url=CLOUD_URL, api_key="cloud-key")
MODEL_ID = "lumeris/guarded-chat-8b"


@pytest.fixture
def model_check(monkeypatch):
    """Replaces the client factory and the model check; records what the check was given."""
    calls = []

    def fake_client(credentials):
        calls.append(("client", credentials))
        return f"client-for-{credentials.url}"

    def fake_check(model_id, qzai_client):
        calls.append(("check", model_id, qzai_client))

    monkeypatch.setattr(riskferry, "get_zai_credentials", fake_client)
    monkeypatch.setattr(riskferry, "check_if_model_id_is_valid", fake_check)
    return calls


def hosted(provider_credentials=None, **fields):
    provider = QzAIModelProvider(credentials=provider_credentials)
    return QzAIFoundationModel(model_id=MODEL_ID, project_id="proj-1", provider=provider, **fields)


def configuration(model, op=None):
    return ModelRiskConfiguration(model_details=model, qz_gc_configuration=op)


# ---------------------------------------------------------------------------------------------
# build_system_credentials


@pytest.mark.parametrize(
    "credentials, expected",
    [
        (OPD, [("lumeris_ai_project_id", "proj-1"), ("lumeris_ai_model_id", MODEL_ID),
               ("lumeris_ai_endpoint_url", OPD_URL), ("lumeris_ai_opd_username", "ana"),
               ("lumeris_ai_opd_apikey", "opd-key")]),
        (CLOUD, [("lumeris_ai_project_id", "proj-1"), ("lumeris_ai_model_id", MODEL_ID),
                 ("lumeris_ai_cloud_apikey", "cloud-key"),
                 ("lumeris_ai_endpoint_url", QTS_HALYARD[CLOUD_URL].qml_url)]),
    ],
    ids=["on-premises", "cloud"],
)
def test_hosted_model_with_package_credentials(model_check, credentials, expected):
    system, scoring = riskferry.build_system_credentials(configuration(hosted()), credentials)
    assert list(system.items()) == expected
    assert scoring is None
    assert model_check == [("client", credentials), ("check", MODEL_ID, f"client-for-{credentials.url}")]


@pytest.mark.parametrize(
    "provider, expected",
    [
        (QzAICredentials(url="https://ai.cloud.example", api_key="provider-key"),
         [("lumeris_ai_endpoint_url", "https://ai.cloud.example"), ("lumeris_ai_cloud_apikey", "provider-key")]),
        (QzAICredentials(url="https://ai.opd.example", version="5.0", username="bo", api_key="provider-opd"),
         [("lumeris_ai_endpoint_url", "https://ai.opd.example"), ("lumeris_ai_opd_username", "bo"),
          ("lumeris_ai_opd_apikey", "provider-opd")]),
    ],
    ids=["provider-cloud", "provider-on-premises"],
)
@pytest.mark.parametrize("package", [OPD, CLOUD], ids=["package-opd", "package-cloud"])
def test_provider_credentials_come_first_but_the_check_uses_the_package(model_check, package, provider, expected):
    system, _ = riskferry.build_system_credentials(configuration(hosted(provider)), package)
    assert list(system.items()) == [("lumeris_ai_project_id", "proj-1"), ("lumeris_ai_model_id", MODEL_ID)] + expected
    assert model_check[0] == ("client", package)


def test_custom_model_gives_its_scoring_function_and_no_model_keys(model_check):
    def scoring(frame):
        return []

    system, scoring_fn = riskferry.build_system_credentials(
        configuration(CustomFoundationModel(scoring_fn=scoring)), OPD)
    assert system == {}
    assert scoring_fn is scoring
    assert model_check == []


OP_KEYS = ["op_url", "op_username", "op_password", "op_model_id", "op_apikey"]


@pytest.mark.parametrize(
    "url, extra",
    [
        ("https://gc.cloud.example", []),
        ("https://opd-gc.example.internal/console", [("op_opd_apikey", "gc-key"),
                                                     ("op_opd_host", "opd-gc.example.internal")]),
        ("https://gc.opd.example:8443/api", [("op_opd_apikey", "gc-key"), ("op_opd_host", "gc.opd.example:8443")]),
        ("https://gc.example/OPD", []),  # the test is case-sensitive
    ],
    ids=["cloud", "opd", "opd-with-port", "upper-case"],
)
def test_op_settings(model_check, url, extra):
    op = QzGCConfiguration(model_id="gc-model", credentials=GCCredentials(
        url=url, username="gc-user", password="gc-pass", api_key="gc-key"))
    system, _ = riskferry.build_system_credentials(configuration(hosted(), op), OPD)
    op_items = [(key, value) for key, value in system.items() if key.startswith("op_")]
    assert op_items == list(zip(OP_KEYS, [url, "gc-user", "gc-pass", "gc-model", "gc-key"])) + extra
    assert list(system)[:5] == ["lumeris_ai_project_id", "lumeris_ai_model_id", "lumeris_ai_endpoint_url",
                                "lumeris_ai_opd_username", "lumeris_ai_opd_apikey"]


def test_op_settings_with_a_custom_model_copy_nulls(model_check):
    op = QzGCConfiguration(model_id="gc-model", credentials=GCCredentials(url="https://opd.example"))
    system, _ = riskferry.build_system_credentials(
        configuration(CustomFoundationModel(scoring_fn=print), op), OPD)
    assert system == {"op_url": "https://opd.example", "op_username": None, "op_password": None,
                      "op_model_id": "gc-model", "op_apikey": None, "op_opd_apikey": None,
                      "op_opd_host": "opd.example"}


def test_op_settings_without_url_fail_the_substring_test(model_check):
    op = QzGCConfiguration(model_id="gc-model", credentials=GCCredentials(api_key="k"))
    with pytest.raises(TypeError, match="argument of type 'NoneType' is not iterable"):
        riskferry.build_system_credentials(configuration(CustomFoundationModel(scoring_fn=print), op), OPD)


def test_unknown_governance_url_fails_on_the_lookup(model_check):
    unknown = Credentials(url="https://api.governance.cloud.orvane.com/", api_key="k")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'qml_url'"):
        riskferry.build_system_credentials(configuration(hosted()), unknown)


def test_a_refused_model_stops_before_any_model_key(monkeypatch):
    monkeypatch.setattr(riskferry, "get_zai_credentials", lambda credentials: "client")

    def refuse(model_id, qzai_client):
        raise ValueError("not offered")

    monkeypatch.setattr(riskferry, "check_if_model_id_is_valid", refuse)
    with pytest.raises(ValueError, match="not offered"):
        riskferry.build_system_credentials(configuration(hosted()), OPD)


# ---------------------------------------------------------------------------------------------
# get_zai_credentials


class RecordingCredentials:
    """Stands in for the AI library's credentials; its constructor has a parameter the package lacks."""

    def __init__(self, url, api_key=None, username=None, instance_id=None, version=None, region=None):
        self.given = dict(url=url, api_key=api_key, username=username, instance_id=instance_id,
                          version=version, region=region)


class RecordingClient:
    def __init__(self, credentials):
        self.credentials = credentials


@pytest.fixture
def recording_library(monkeypatch):
    monkeypatch.setattr(riskferry, "LumerisAICredentials", RecordingCredentials)
    monkeypatch.setattr(riskferry, "LumerisAIAPIClient", RecordingClient)


@pytest.mark.parametrize(
    "credentials, expected",
    [
        (OPD, [("url", OPD_URL), ("api_key", "opd-key"), ("username", "ana"), ("version", "5.1"),
               ("instance_id", "drydock")]),
        (CLOUD, [("url", QTS_HALYARD[CLOUD_URL].qml_url), ("api_key", "cloud-key"), ("username", None),
                 ("version", None)]),
    ],
    ids=["on-premises", "cloud"],
)
def test_copies_only_the_constructor_parameters(recording_library, monkeypatch, credentials, expected):
    captured = {}

    class Capturing(RecordingCredentials):
        def __init__(self, **kwargs):
            captured.update(kwargs)

    Capturing.__init__.__signature__ = inspect.signature(RecordingCredentials.__init__)
    monkeypatch.setattr(riskferry, "LumerisAICredentials", Capturing)
    client = riskferry.get_zai_credentials(zgov_credentials=credentials)
    assert isinstance(client, RecordingClient) and isinstance(client.credentials, Capturing)
    # password and disable_ssl exist on the package credentials but not in the constructor: left out;
    # region is a parameter the package credentials lack: left out; nulls are copied as they are.
    assert list(captured.items()) == expected


def test_cloud_credentials_get_the_machine_learning_url(recording_library):
    client = riskferry.get_zai_credentials(CLOUD)
    assert client.credentials.given == dict(url=QTS_HALYARD[CLOUD_URL].qml_url, api_key="cloud-key",
                                            username=None, instance_id=None, version=None, region=None)


def test_unknown_governance_url_builds_no_client():
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'qml_url'"):
        riskferry.get_zai_credentials(Credentials(url="https://gov.unknown", api_key="k"))


# ---------------------------------------------------------------------------------------------
# check_if_model_id_is_valid


class Manager:
    specs = {"a/one": {"model_id": "a/one"}}
    created = []

    def __init__(self, client):
        Manager.created.append(client)

    def get_model_specs(self, model_id=None, get_all=False):
        if get_all:
            return {"resources": [{"model_id": "a/one"}, {"model_id": "b/two's"}]}
        return self.specs.get(model_id)


def test_model_check(monkeypatch):
    monkeypatch.setattr(riskferry, "FoundationModelsManager", Manager)
    Manager.created = []
    assert riskferry.check_if_model_id_is_valid("a/one", "the-client") is None
    with pytest.raises(ValueError) as raised:
        riskferry.check_if_model_id_is_valid(model_id="c/three", qzai_client="the-client")
    assert str(raised.value) == (
        "The Model ID provided is not supported for your environment. Here is a list of the available "
        "models: ['a/one', \"b/two's\"]")
    assert Manager.created == ["the-client", "the-client"]


@pytest.mark.parametrize(
    "function, expected",
    [
        (riskferry.get_zai_credentials, "(zgov_credentials)"),
        (riskferry.build_system_credentials, "(configuration, credentials)"),
        (riskferry.check_if_model_id_is_valid, "(model_id, qzai_client)"),
        (riskferry._evaluate_model_risk,
         "(configuration: 'ModelRiskConfiguration', api_client: 'APIClient | None' = None) -> 'ModelRiskResult'"),
    ],
)
def test_signatures(function, expected):
    assert str(inspect.signature(function)) == expected
    with pytest.raises(TypeError, match="positional argument"):
        function(*range(3))
