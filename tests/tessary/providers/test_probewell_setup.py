"""Detector provider set-up: endpoints, client checks, headers and the detector name."""

import inspect

import pytest

from probewell_support import api_client, provider
from tessary.config import GenAIConfiguration
from tessary.providers import probewell
from tessary.providers.probewell import DetectorsProvider
from tessary.utils.halyard import LUMERIS_REGION_URLS


@pytest.mark.parametrize(
    ("metric_name", "path"),
    [
        ("answer_relevance", "/ml/v1/text/detection/generated?version=2023-10-25"),
        ("context_relevance", "/ml/v1/text/detection/context?version=2023-10-25"),
        ("faithfulness", "/ml/v1/text/detection/context?version=2023-10-25"),
        ("tool_call_accuracy", "/ml/v1/text/detection/chat?version=2023-10-25"),
        ("hap", "/ml/v1/text/detection?version=2023-10-25"),
        ("Faithfulness", "/ml/v1/text/detection?version=2023-10-25"),
    ],
)
def test_endpoint_follows_metric_name(metric_name, path):
    made = provider(metric_name, url="https://onprem.example:8443")
    assert made.base_url == "https://onprem.example:8443" + path


def test_cloud_credentials_go_through_region_table():
    record = LUMERIS_REGION_URLS["eu-de"]
    made = provider("hap", api_client=api_client(url=record.qzg_url, version=None, disable_ssl=True))
    assert made.base_url == record.qml_url + "/ml/v1/text/detection?version=2023-10-25"
    assert made.verify is False


def test_unknown_cloud_url_is_refused():
    with pytest.raises(ValueError, match="not a known cloud region URL"):
        provider("hap", api_client=api_client(url="https://elsewhere.example", version=None))


def test_attributes_in_place():
    client = api_client(url="https://onprem.example", instance="inst-9")
    made = provider("pii", method="m", api_client=client, detector_params={"a": 1}, unused=True)
    assert made.qts_client is client.qts_client
    assert made.verify is True
    assert made.service_instance_id == "inst-9"
    assert made.configuration_ == {}
    assert (made.metric_name, made.metric_display_name, made.metric_method, made.metric_group) == ("pii", "Pii", "m", None)
    assert made.detector_params == {"a": 1}
    assert provider("hap").detector_params is None


@pytest.mark.parametrize(
    ("client", "message"),
    [
        (None, "ORVANE LumeriX Governance SDK must be initialized to compute hap using None. Please initialize the "
               "client to proceed, or remove this metric from the evaluation."),
        (0, "ORVANE LumeriX Governance SDK must be initialized"),
    ],
)
def test_missing_client(client, message):
    with pytest.raises(ValueError) as raised:
        DetectorsProvider(GenAIConfiguration(), "hap", "HAP", api_client=client)
    assert str(raised.value).startswith(message)


def test_client_without_monitoring_client():
    client = api_client()
    client.qts_client = object()
    with pytest.raises(ValueError) as raised:
        DetectorsProvider(GenAIConfiguration(), "hap", "HAP", "korund_guardian", api_client=client)
    assert str(raised.value) == (
        "lumeris.governance service instance id is required to compute hap using korund_guardian. You can set the "
        "service instance ID using the `QZG_SERVICE_INSTANCE_ID` environment variable in the notebook and retry."
    )


class Text(str):
    pass


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("hap", Text("x")), "Argument 'metric_display_name' has incorrect type (expected str, got Text)"),
        ((Text("hap"), "x"), "Argument 'metric_name' has incorrect type (expected str, got Text)"),
        (("hap", "x", 3), "Argument 'metric_method' has incorrect type (expected str, got int)"),
        (("hap", "x", None, None, ()), "Argument 'thresholds' has incorrect type (expected list, got tuple)"),
    ],
)
def test_argument_types_checked_first(args, message):
    with pytest.raises(TypeError) as raised:
        DetectorsProvider(GenAIConfiguration(), *args)  # no client: the type check comes first
    assert str(raised.value) == message


def test_shared_thresholds_default_and_signature():
    first, second = provider("hap"), provider("pii")
    assert first.thresholds is second.thresholds == []
    signature = inspect.signature(DetectorsProvider.__init__)
    assert signature.parameters["thresholds"].default is first.thresholds
    assert str(signature.parameters["metric_method"].annotation) == "Optional[str]"
    assert inspect.iscoroutinefunction(DetectorsProvider.evaluate_async)
    assert inspect.iscoroutinefunction(provider().send_with_retries)
    assert hasattr(DetectorsProvider, "_DetectorsProvider__compute_metric")
    assert DetectorsProvider.RETRY_AFTER_STATUS_CODES == [502, 503, 504]
    assert (DetectorsProvider.RETRY_COUNT, DetectorsProvider.BACK_OFF_FACTOR) == (3, 1)
    assert probewell.ACCURACY_METRICS == ["topic_relevance", "tool_call_accuracy"]


def test_headers_built_anew_each_call(monkeypatch):
    tokens = iter(["first", "second"])
    seen = []

    def fake_token(authenticator):
        seen.append(authenticator)
        return next(tokens)

    made = provider("hap")
    monkeypatch.setattr(probewell, "get_authenticator_token", fake_token)
    headers = made._DetectorsProvider__get_headers()
    assert list(headers.items()) == [
        ("Content-Type", "application/json"),
        ("Authorization", "Bearer first"),
        ("x-governance-instance-id", "instance-1"),
        ("origin", "sdk"),
    ]
    assert made._DetectorsProvider__get_headers()["Authorization"] == "Bearer second"
    assert seen == [made.qts_client.authenticator] * 2


def test_real_token_from_authenticator():
    made = provider("hap", api_client=api_client(token="abc.def"))
    assert made._DetectorsProvider__get_headers()["Authorization"] == "Bearer abc.def"


@pytest.mark.parametrize(
    ("metric_name", "method", "argument", "expected"),
    [
        ("prompt_safety_risk", "korund_guardian", "prompt_safety_risk", "korund_guardian"),
        ("prompt_safety_risk", "other", "prompt_safety_risk", "prompt_safety_risk"),
        ("hap", None, "hap", "hap"),
        ("answer_relevance", None, "answer_relevance", "korund_guardian"),
        ("violence", "korund_guardian", "violence", "korund_guardian"),
        ("faithfulness", "faithfulness_model", "faithfulness", "faithfulness"),
    ],
)
def test_detector_name(metric_name, method, argument, expected):
    assert provider(metric_name, method=method).set_metric_name(argument) == expected


def test_works_without_constructor():
    made = object.__new__(DetectorsProvider)
    made.metric_name, made.metric_method = "prompt_safety_risk", "korund_guardian"
    assert made.set_metric_name("x") == "korund_guardian"
