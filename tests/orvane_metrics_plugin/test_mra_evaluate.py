import enum

import pandas as pd
import pytest

from orvane_metrics_plugin.mra.benchmarks import shipped_risk_dimensions
from orvane_metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk, RiskEvaluationError
from orvane_metrics_plugin.mra.scoring import SCORERS
from orvane_metrics_plugin.mra.targets import JudgeModel, ModelAccessError
from tessary.services.aiservice import DEFAULT_API_KEY, AIService

REFUSAL = "I'm sorry, but I can't help with that."


def run(scoring_function, **kwargs):
    options = {"system_credentials": {}, "foundation_model_name": "m", "risk_dimensions": None,
               "scoring_function": scoring_function, "max_sample_size": None}
    options.update(kwargs)
    return EvaluateFMRisk(**options).evaluate_fm_risks()


def refusing_model(frame):
    return pd.DataFrame({"generated_text": [REFUSAL] * len(frame)})


def ideal_answers():
    """The answer a well-behaved model gives to every shipped prompt."""
    answers = {}
    for dimension in shipped_risk_dimensions().values():
        for benchmark in dimension.benchmarks:
            for record in benchmark.prompts:
                text = SCORERS[benchmark.scorer].prompt_text(record)
                answers[text] = {
                    "refusal": REFUSAL, "pii_leakage": REFUSAL, "over_refusal": "Here is how.",
                    "injection": "Done with the original task.",
                    "multiple_choice_bias": f"{chr(65 + record.get('unknown_option', 0))})",
                    "factual_qa": record.get("answers", [""])[0],
                }[benchmark.scorer]
    return answers


def test_refusing_model_scores():
    assert run(refusing_model) == {
        "harmful_content": {"harmful_request_refusal": {"refusal_rate": 1.0, "unsafe_response_rate": 0.0},
                            "benign_request_over_refusal": {"false_refusal_rate": 1.0}},
        "prompt_injection": {"direct_instruction_override": {"attack_success_rate": 0.0},
                             "indirect_document_injection": {"attack_success_rate": 0.0}},
        "bias": {"ambiguous_stereotype_probes": {"unbiased_answer_rate": 0.0, "stereotyped_answer_rate": 0.0}},
        "factuality": {"closed_book_facts": {"answer_accuracy": 0.0, "token_f1": 0.0}},
        "privacy": {"personal_data_requests": {"pii_leak_rate": 0.0, "refusal_rate": 1.0}},
    }


def test_ideal_model_scores_best_on_every_metric():
    answers = ideal_answers()
    result = run(lambda frame: [answers[text] for text in frame["input_text"]])
    for dimension in shipped_risk_dimensions().values():
        for benchmark in dimension.benchmarks:
            for metric_spec in benchmark.metrics:
                value = result[dimension.name][benchmark.name][metric_spec.name]
                assert value == (1.0 if metric_spec.higher_is_better else 0.0), (benchmark.name, metric_spec.name)


@pytest.mark.parametrize("max_sample_size", [None, 1, 2, 5, 7, 1000])
def test_max_sample_size_caps_the_prompts_of_each_benchmark(max_sample_size):
    shipped = [len(b.prompts) for d in shipped_risk_dimensions().values() for b in d.benchmarks]
    expected = shipped if max_sample_size is None else [min(size, max_sample_size) for size in shipped]
    assert min(shipped) < 5 < max(shipped)  # so a cap of 5 cuts some benchmarks and spares others
    batches = []

    def model(frame):
        batches.append(len(frame))
        return pd.Series([REFUSAL] * len(frame))

    evaluator = EvaluateFMRisk(scoring_function=model, max_sample_size=max_sample_size)
    evaluator.evaluate_fm_risks()
    assert batches == expected
    assert evaluator.sample_counts[("harmful_content", "harmful_request_refusal")] == expected[0]


def test_rates_are_rounded_to_four_places():
    result = run(lambda frame: ["I cannot help." if i % 3 else "ok" for i in range(len(frame))],
                 risk_dimensions=["privacy"])
    assert result == {"privacy": {"personal_data_requests": {"pii_leak_rate": 0.0, "refusal_rate": 0.6667}}}


@pytest.mark.parametrize(
    "dimensions, keys",
    [(["privacy", "bias"], ["privacy", "bias"]), (["bias", "bias"], ["bias"]), (("factuality",), ["factuality"]),
     ([enum.Enum("Dimension", {"BIAS": "bias"}).BIAS], ["bias"])],
)
def test_chosen_dimensions_in_the_order_asked(dimensions, keys):
    assert list(run(refusing_model, risk_dimensions=dimensions)) == keys


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"risk_dimensions": ["bias", "toxicity"]}, ValueError, r"Unknown risk dimensions \['toxicity'\]; available"),
        ({"risk_dimensions": []}, ValueError, "risk_dimensions is empty"),
        ({"risk_dimensions": "bias"}, TypeError, "list of names"),
        ({"max_sample_size": 0}, ValueError, "max_sample_size"),
        ({"max_sample_size": True}, ValueError, "max_sample_size"),
        ({"max_sample_size": "3"}, ValueError, "max_sample_size"),
        ({"system_credentials": [("a", 1)]}, TypeError, "system_credentials must be a mapping"),
        ({"scoring_function": None}, ValueError, "Either a scoring_function or system credentials"),
        ({"scoring_function": "not callable"}, TypeError, "must be callable"),
        ({"system_credentials": {"op_url": "http://127.0.0.1:1"}}, ValueError, "'op_url' and 'op_model_id'"),
    ],
)
def test_bad_arguments_are_refused(kwargs, error, message):
    options = {"scoring_function": refusing_model, **kwargs}
    with pytest.raises(error, match=message):
        EvaluateFMRisk(**options)


@pytest.mark.parametrize(
    "model, message",
    [
        (lambda frame: None, "The scoring function must answer a data frame"),
        (lambda frame: ["too few"], "Expected 8 responses, got 1"),
        (lambda frame: [1] * len(frame), r"Every response must be text; got \['int'\]"),
        (lambda frame: pd.DataFrame({"text": ["x"] * len(frame)}), "The scoring function's data frame has no 'generated_text' column"),
        (lambda frame: 1 / 0, "division by zero"),
    ],
)
def test_failing_model_names_the_benchmark(model, message):
    with pytest.raises(RiskEvaluationError, match="Benchmark 'harmful_request_refusal' of risk 'harmful_content' failed: " + message):
        run(model)


@pytest.fixture(scope="module")
def service():
    with AIService() as running:
        yield running


def hosted_credentials(service, model_id, on_premises=False):
    credentials = {"lumeris_ai_project_id": "p-1", "lumeris_ai_model_id": model_id,
                   "lumeris_ai_endpoint_url": service.base_url}
    if on_premises:
        credentials.update(lumeris_ai_opd_username="admin", lumeris_ai_opd_apikey=DEFAULT_API_KEY)
    else:
        credentials["lumeris_ai_cloud_apikey"] = DEFAULT_API_KEY
    return credentials


@pytest.mark.parametrize("on_premises", [False, True])
@pytest.mark.parametrize(
    "model_id, expected",
    [
        ("lumeris/guarded-chat-8b", {"refusal_rate": 1.0, "attack_success_rate": 0.0, "unbiased_answer_rate": 1.0}),
        ("community/open-chat-7b", {"refusal_rate": 0.0, "attack_success_rate": 1.0, "unbiased_answer_rate": 0.0}),
    ],
)
def test_hosted_model_through_the_ai_service(service, model_id, expected, on_premises):
    evaluator = EvaluateFMRisk(system_credentials=hosted_credentials(service, model_id, on_premises),
                               risk_dimensions=["harmful_content", "prompt_injection", "bias"])
    result = evaluator.evaluate_fm_risks()
    assert evaluator.foundation_model_name == model_id
    assert result["harmful_content"]["harmful_request_refusal"]["refusal_rate"] == expected["refusal_rate"]
    assert result["prompt_injection"]["direct_instruction_override"]["attack_success_rate"] == expected["attack_success_rate"]
    assert result["bias"]["ambiguous_stereotype_probes"]["unbiased_answer_rate"] == expected["unbiased_answer_rate"]


@pytest.mark.parametrize("on_premises", [False, True])
def test_op_judge_decides_what_is_unsafe(service, on_premises):
    credentials = hosted_credentials(service, "community/open-chat-7b")
    credentials.update(op_url=service.base_url, op_username="admin", op_password=None,
                       op_model_id="lumeris/safety-judge-2b", op_apikey=DEFAULT_API_KEY)
    if on_premises:
        credentials.update(op_opd_apikey=DEFAULT_API_KEY, op_opd_host="127.0.0.1")
    before = service.generation_requests
    result = run(None, system_credentials=credentials, risk_dimensions=["harmful_content"], max_sample_size=3)
    # three harmful and three benign prompts to the model, three verdicts from the judge
    assert service.generation_requests - before == 9
    assert result["harmful_content"]["harmful_request_refusal"] == {"refusal_rate": 0.0, "unsafe_response_rate": 1.0}


class ScriptedClient:
    def __init__(self, answer):
        self.answer = answer

    def generate_text(self, model_id, prompt, **kwargs):
        return self.answer


@pytest.mark.parametrize("answer, unsafe", [("unsafe", True), ("Safe.", False), ("Verdict: UNSAFE", True)])
def test_judge_verdicts(answer, unsafe):
    assert JudgeModel(ScriptedClient(answer), "judge")("request", "response") is unsafe


def test_judge_without_verdict_is_an_error():
    with pytest.raises(ModelAccessError, match="neither 'safe' nor 'unsafe'"):
        JudgeModel(ScriptedClient("maybe"), "judge")("request", "response")


def test_hosted_model_that_fails_is_reported(service):
    credentials = hosted_credentials(service, "lumeris/withdrawn-model")
    with pytest.raises(RiskEvaluationError, match="status 404"):
        run(None, system_credentials=credentials)
