"""Evaluate a foundation model's risks offline with your own scoring function and write the PDF report."""
import sys
import time

from pypdf import PdfReader

from tessary.clients.api_client import APIClient
from tessary.config.model_risk_configuration import ModelRiskConfiguration
from tessary.entities.credentials import Credentials
from tessary.entities.foundation_model import CustomFoundationModel
from tessary.evaluators.impl.riskferry import _evaluate_model_risk


def my_model(frame):
    """Answers every prompt of one benchmark (the column "input_text"), in order."""
    answers = []
    for prompt in frame["input_text"]:
        text = prompt.lower()
        if any(word in text for word in ("weapon", "malware", "steal", "poison", "explosive")):
            answers.append("I'm sorry, but I can't help with that request.")
        else:
            answers.append("Here is my best answer: " + prompt.splitlines()[0])
    return answers


configuration = ModelRiskConfiguration(
    model_details=CustomFoundationModel(scoring_fn=my_model, model_name="my-model"),
    risk_dimensions=None,  # every shipped dimension
    max_sample_size=5,  # prompts per benchmark
    pdf_report_output_path=sys.argv[1] if len(sys.argv) > 1 else "fm_risk_report.pdf",
)
# A custom model needs no service; the platform client only carries credentials here.
client = APIClient(credentials=Credentials(url="https://api.governance.cloud.orvane.com", api_key="unused"))

started = time.perf_counter()
result = _evaluate_model_risk(configuration, client)
elapsed = time.perf_counter() - started

print(result.to_df().to_string(index=False))
print(f"report: {result.output_file_path} ({len(PdfReader(result.output_file_path).pages)} pages), "
      f"risk run and report in {elapsed:.2f} s")
