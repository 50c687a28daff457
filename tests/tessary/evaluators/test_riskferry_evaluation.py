"""The risk run: plug-in call, guarded evaluation, report request and the conversion of the result."""
import pathlib

import pytest

from tessary.config.model_risk_configuration import ModelRiskConfiguration
from tessary.entities.credentials import Credentials
from tessary.entities.foundation_model import CustomFoundationModel, QzAIFoundationModel
from tessary.entities.model_risk_result import ModelRiskResult
from tessary.evaluators.impl import riskferry

PACKAGE_CREDENTIALS = Credentials(url="https://cpd.example", version="5.1", username="ana", api_key="k")


class Client:
    credentials = PACKAGE_CREDENTIALS


class Plugin:
    """Stands in for the risk plug-in; class attributes steer it, `log` records every call."""

    result = {}
    report = "unset"
    fail_in = None
    log = []

    def __init__(self, **kwargs):
        if Plugin.fail_in == "init":
            raise LookupError("bad plug-in settings")
        Plugin.log.append(("init", list(kwargs.items())))

    def evaluate_fm_risks(self):
        Plugin.log.append(("evaluate",))
        if isinstance(Plugin.fail_in, BaseException):
            raise Plugin.fail_in
        return Plugin.result

    def get_pdf_report(self, result, path, thresholds):
        Plugin.log.append(("report", result, path, thresholds))
        if Plugin.fail_in == "report":
            raise OSError("disk full")
        return Plugin.report


@pytest.fixture
def plugin(monkeypatch):
    Plugin.result, Plugin.report, Plugin.fail_in, Plugin.log = {}, "unset", None, []
    monkeypatch.setattr(riskferry, "EvaluateFMRisk", Plugin)
    monkeypatch.setattr(riskferry, "check_if_model_id_is_valid", lambda model_id, qzai_client: None)
    monkeypatch.setattr(riskferry, "get_zai_credentials", lambda credentials: "client")
    return Plugin


def scoring(frame):
    return ["fine"] * len(frame)


def custom_configuration(**fields):
    return ModelRiskConfiguration(model_details=CustomFoundationModel(scoring_fn=scoring, model_name="mine"),
                                  **fields)


def test_the_plugin_gets_its_keywords_in_order(plugin):
    configuration = ModelRiskConfiguration(
        model_details=QzAIFoundationModel(model_id="m/1", model_name="Model one", project_id="p"),
        risk_dimensions=["bias"], max_sample_size=3)
    riskferry._evaluate_model_risk(configuration, Client())
    assert plugin.log[0] == ("init", [
        ("system_credentials", {"lumeris_ai_project_id": "p", "lumeris_ai_model_id": "m/1",
                                "lumeris_ai_endpoint_url": "https://cpd.example", "lumeris_ai_opd_username": "ana",
                                "lumeris_ai_opd_apikey": "k"}),
        ("foundation_model_name", "Model one"), ("risk_dimensions", ["bias"]), ("scoring_function", None),
        ("max_sample_size", 3)])
    assert plugin.log[1:] == [("evaluate",)]


def test_nested_result_keeps_its_order_and_prints_the_raw_result(plugin, capsys):
    plugin.result = {"r2": {"b2": {"m9": 0.25}}, "r1": {"b1": {"m1": 0.5, "m2": 1}, "b0": {}}}
    outcome = riskferry._evaluate_model_risk(configuration=custom_configuration(), api_client=Client())
    assert isinstance(outcome, ModelRiskResult) and outcome.output_file_path is None
    shape = [(risk.name, [(b.name, [(m.name, m.value) for m in b.metrics]) for b in risk.benchmarks])
             for risk in outcome.risks]
    assert shape == [("r2", [("b2", [("m9", 0.25)])]), ("r1", [("b1", [("m1", 0.5), ("m2", 1)]), ("b0", [])])]
    assert type(outcome.risks[1].benchmarks[0].metrics[1].value) is int
    assert capsys.readouterr().out == str(plugin.result) + "\n"
    assert plugin.log[0][1][3] == ("scoring_function", scoring)


def test_empty_result(plugin):
    assert riskferry._evaluate_model_risk(custom_configuration(), Client()).risks == []


@pytest.mark.parametrize(
    "result, reason",
    [
        (None, "'NoneType' object has no attribute 'items'"),
        (["r1"], "'list' object has no attribute 'items'"),
        ({"r1": ["b1"]}, "'list' object has no attribute 'items'"),
        ({"r1": {"b1": 0.5}}, "'float' object has no attribute 'items'"),
        ({"r1": {"b1": {7: 0.5}}}, "1 validation error for RiskMetric"),
    ],
    ids=["none", "list", "nested-list", "no-metrics", "entity-refuses"],
)
def test_unconvertible_results(plugin, result, reason):
    plugin.result = result
    with pytest.raises(ValueError) as raised:
        riskferry._evaluate_model_risk(custom_configuration(), Client())
    assert type(raised.value) is ValueError
    assert str(raised.value).startswith("Failed to parse model risk result. " + reason)
    assert raised.value.__context__ is not None and raised.value.__cause__ is None


class Unprintable:
    def __repr__(self):
        raise UnicodeError("cannot show the score")


@pytest.mark.parametrize(
    "fail_in, reason, path, expected_context",
    [
        (RuntimeError("model unreachable"), "model unreachable", None, RuntimeError),
        (KeyError("risk"), "'risk'", None, KeyError),
        ("print", "cannot show the score", None, UnicodeError),
        ("report", "disk full", "/tmp/report.pdf", OSError),
    ],
    ids=["evaluate", "evaluate-key-error", "print", "report"],
)
def test_plugin_failures_are_wrapped(plugin, capsys, fail_in, reason, path, expected_context):
    plugin.fail_in = fail_in
    if fail_in == "print":
        plugin.result = {"r": {"b": {"m": Unprintable()}}}
    with pytest.raises(Exception) as raised:
        riskferry._evaluate_model_risk(custom_configuration(pdf_report_output_path=path), Client())
    assert type(raised.value) is Exception
    assert str(raised.value) == "Error while evaluating FM risks. Reason: " + reason
    # kept as context, not raised from it
    assert type(raised.value.__context__) is expected_context
    assert raised.value.__cause__ is None and not raised.value.__suppress_context__
    if fail_in == "print":
        assert [entry[0] for entry in plugin.log] == ["init", "evaluate"]
        assert capsys.readouterr().out == ""


def test_interrupts_are_not_wrapped(plugin):
    plugin.fail_in = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        riskferry._evaluate_model_risk(custom_configuration(), Client())


def test_plugin_construction_errors_pass_unchanged(plugin):
    plugin.fail_in = "init"
    with pytest.raises(LookupError, match="^bad plug-in settings$"):
        riskferry._evaluate_model_risk(custom_configuration(), Client())


@pytest.mark.parametrize(
    "output_path, returned, expected",
    [
        (None, "unused", None),
        ("", "unused", None),
        ("/tmp/out", "", None),
        ("/tmp/out", None, None),
        ("/tmp/out", pathlib.PurePosixPath("/tmp/out/fm_risk_report.pdf"), "/tmp/out/fm_risk_report.pdf"),
    ],
    ids=["no-path", "empty-path", "empty-answer", "none-answer", "path-object"],
)
def test_report_path(plugin, output_path, returned, expected):
    plugin.result, plugin.report = {"r": {"b": {"m": 1.0}}}, returned
    outcome = riskferry._evaluate_model_risk(
        custom_configuration(pdf_report_output_path=output_path, thresholds={"m": 0.5}), Client())
    assert outcome.output_file_path == expected
    reports = [entry for entry in plugin.log if entry[0] == "report"]
    assert reports == ([] if not output_path else [("report", plugin.result, output_path, {"m": 0.5})])


def test_a_missing_client_makes_a_new_package_client_each_call(plugin, monkeypatch):
    made = []

    class PackageClient(Client):
        def __init__(self):
            made.append(self)

    monkeypatch.setattr(riskferry, "APIClient", PackageClient)
    riskferry._evaluate_model_risk(custom_configuration())
    riskferry._evaluate_model_risk(custom_configuration(), None)
    assert len(made) == 2 and made[0] is not made[1]


def test_custom_model_skips_the_model_check(plugin, monkeypatch):
    def must_not_run(*args):
        raise AssertionError("model check ran")

    monkeypatch.setattr(riskferry, "check_if_model_id_is_valid", must_not_run)
    monkeypatch.setattr(riskferry, "get_zai_credentials", must_not_run)
    assert riskferry._evaluate_model_risk(custom_configuration(), Client()).risks == []


def test_a_refused_model_stops_before_the_plugin(plugin, monkeypatch):
    def refuse(model_id, qzai_client):
        raise ValueError("not offered")

    monkeypatch.setattr(riskferry, "check_if_model_id_is_valid", refuse)
    configuration = ModelRiskConfiguration(model_details=QzAIFoundationModel(model_id="m/x"))
    with pytest.raises(ValueError, match="^not offered$"):
        riskferry._evaluate_model_risk(configuration, Client())
    assert plugin.log == []


@pytest.mark.parametrize(
    "built, message",
    [(({}, None, 1), "too many values to unpack"), (({},), "not enough values to unpack (expected 2, got 1)")],
)
def test_credentials_must_unpack_into_two(plugin, monkeypatch, built, message):
    monkeypatch.setattr(riskferry, "build_system_credentials", lambda configuration, credentials: built)
    with pytest.raises(ValueError) as raised:
        riskferry._evaluate_model_risk(custom_configuration(), Client())
    assert message in str(raised.value)
