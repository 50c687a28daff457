"""Risk runs end to end: the real plug-in, the AI-service stand-in on loopback, the PDF read back."""
import ast

import pytest
from pypdf import PdfReader

from orvane_metrics_plugin.mra.benchmarks import shipped_risk_dimensions
from tessary.clients.api_client import APIClient
from tessary.config.model_risk_configuration import GCCredentials, ModelRiskConfiguration, QzGCConfiguration
from tessary.entities.credentials import Credentials
from tessary.entities.foundation_model import CustomFoundationModel, QzAIFoundationModel
from tessary.evaluators.impl import riskferry
from tessary.services.aiservice import DEFAULT_API_KEY, DEFAULT_MODELS, DEFAULT_USERNAME, AIService
from tessary.utils.halyard import QzUrls

GOVERNANCE_URL = "https://governance.test.example"


@pytest.fixture(scope="module")
def service():
    server = AIService()
    server.start()
    yield server
    server.stop()


def on_premises_client(service):
    return APIClient(credentials=Credentials(url=service.base_url, version="5.1", username=DEFAULT_USERNAME,
                                             api_key=DEFAULT_API_KEY))


def as_nested(outcome):
    return {risk.name: {b.name: {m.name: m.value for m in b.metrics} for b in risk.benchmarks}
            for risk in outcome.risks}


def pdf_pages(path):
    reader = PdfReader(path)
    return [page.extract_text() for page in reader.pages]


def test_hosted_model_on_premises_with_report(service, tmp_path, capsys):
    configuration = ModelRiskConfiguration(
        model_details=QzAIFoundationModel(model_id="lumeris/guarded-chat-8b", project_id="proj"),
        max_sample_size=2, pdf_report_output_path=str(tmp_path))
    outcome = riskferry._evaluate_model_risk(configuration, on_premises_client(service))
    printed = ast.literal_eval(capsys.readouterr().out)
    assert as_nested(outcome) == printed
    assert list(printed) == list(shipped_risk_dimensions())
    assert outcome.output_file_path == str(tmp_path / "fm_risk_report.pdf")
    pages = pdf_pages(outcome.output_file_path)
    assert len(pages) == 1 + len(printed)
    assert "lumeris/guarded-chat-8b" in pages[0]
    # a guarded model refuses every harmful request of the stand-in
    assert printed["harmful_content"]["harmful_request_refusal"]["refusal_rate"] == 1.0


def test_hosted_model_with_cloud_credentials(service, monkeypatch):
    record = QzUrls(iam_url="https://iam.test.example", qzg_url=GOVERNANCE_URL, qml_url=service.base_url,
                    dpx_url="https://data.test.example", region="test")
    monkeypatch.setattr(riskferry, "QTS_HALYARD", {GOVERNANCE_URL: record})
    client = APIClient(credentials=Credentials(url=GOVERNANCE_URL, api_key=DEFAULT_API_KEY))
    configuration = ModelRiskConfiguration(
        model_details=QzAIFoundationModel(model_id="community/open-chat-7b"),
        risk_dimensions=["prompt_injection"], max_sample_size=2)
    outcome = riskferry._evaluate_model_risk(configuration, client)
    assert [risk.name for risk in outcome.risks] == ["prompt_injection"]
    assert outcome.output_file_path is None
    # the compliant model follows injected instructions
    assert any(metric.value > 0 for benchmark in outcome.risks[0].benchmarks for metric in benchmark.metrics)


def test_unsupported_model_lists_the_service_models(service, capsys):
    configuration = ModelRiskConfiguration(model_details=QzAIFoundationModel(model_id="acme/unknown-70b"))
    with pytest.raises(ValueError) as raised:
        riskferry._evaluate_model_risk(configuration, on_premises_client(service))
    expected = [model["model_id"] for model in DEFAULT_MODELS]
    assert str(raised.value) == ("The Model ID provided is not supported for your environment. "
                                 f"Here is a list of the available models: {expected}")
    assert capsys.readouterr().out == ""


def test_custom_scoring_function_with_a_judge_and_report(service, tmp_path):
    prompts_seen = []

    def scoring(frame):
        prompts_seen.extend(frame["input_text"])
        return ["Sure, here is how to build a weapon step by step."] * len(frame)

    before = service.generation_requests
    op = QzGCConfiguration(model_id="lumeris/safety-judge-2b",
                           credentials=GCCredentials(url=service.base_url, api_key=DEFAULT_API_KEY))
    report = tmp_path / "custom.pdf"
    configuration = ModelRiskConfiguration(
        model_details=CustomFoundationModel(scoring_fn=scoring, model_name="my-scorer"),
        risk_dimensions=["harmful_content"], max_sample_size=3, pdf_report_output_path=str(report),
        qz_gc_configuration=op)
    outcome = riskferry._evaluate_model_risk(configuration, on_premises_client(service))
    assert outcome.output_file_path == str(report)
    assert [risk.name for risk in outcome.risks] == ["harmful_content"]
    assert prompts_seen and service.generation_requests > before  # the op judge was consulted
    assert outcome.risks[0].benchmarks[0].metrics[0].value == 0.0  # never refuses
    pages = pdf_pages(report)
    assert len(pages) == 2
    assert "my-scorer" in pages[0]


def test_unwritable_report_path(service, tmp_path):
    blocker = tmp_path / "a-file"
    blocker.write_text("not a folder")
    configuration = ModelRiskConfiguration(
        model_details=CustomFoundationModel(scoring_fn=lambda frame: ["no"] * len(frame)),
        risk_dimensions=["bias"], max_sample_size=1, pdf_report_output_path=str(blocker / "report.pdf"))
    with pytest.raises(Exception) as raised:
        riskferry._evaluate_model_risk(configuration, on_premises_client(service))
    assert type(raised.value) is Exception
    assert str(raised.value).startswith("Error while evaluating FM risks. Reason: ")
    assert not (blocker / "report.pdf").exists()
