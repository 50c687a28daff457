"""Secrets stay out of dumps of credentials and of everything holding them, and local services refuse
to be open beyond loopback without a key of their own."""

import json
import warnings

import pytest

from tessary.config import GenAIConfiguration
from tessary.entities import foundation_model as fm
from tessary.entities.credentials import REVEAL_SECRETS, Credentials, QzAICredentials
from tessary.entities.llm_judge import LLMJudge
from tessary.services.aiservice import AIService
from tessary.services._exposure import warn_if_unprotected

SECRET = "s3cr3t-value"


def openai_judge():
    return LLMJudge(model=fm.OpenAIFoundationModel(model_id="m", provider=fm.OpenAIModelProvider(
        credentials=fm.OpenAICredentials(api_key=SECRET))))


HOLDERS = {
    "platform": lambda: Credentials(api_key=SECRET, password=SECRET, username="u"),
    "ai-service": lambda: QzAICredentials(url="http://127.0.0.1:9", api_key=SECRET, password=SECRET),
    "azure-by-alias": lambda: fm.AzureOpenAICredentials(api_key=SECRET, api_base="https://az"),
    "bedrock": lambda: fm.AWSBedrockCredentials(aws_access_key_id=SECRET, aws_secret_access_key=SECRET),
    "judge": openai_judge,
    "configuration": lambda: GenAIConfiguration(llm_judge=openai_judge()),
}


@pytest.mark.parametrize("make", HOLDERS.values(), ids=HOLDERS.keys())
def test_dumps_mask_secrets_unless_revealed(make):
    holder = make()
    for dumped in (json.dumps(holder.model_dump(mode="json", by_alias=True)), holder.model_dump_json(),
                   str(holder.model_dump())):
        assert SECRET not in dumped and "**********" in dumped
    assert SECRET in holder.model_dump_json(context=REVEAL_SECRETS)


@pytest.mark.parametrize(
    "host, open_beyond_loopback",
    [("127.0.0.1", False), ("127.0.0.2", False), ("::1", False), ("localhost", False), ("0.0.0.0", True),
     ("192.168.1.5", True), ("::", True), ("example.org", True)],
)
def test_unprotected_service_beyond_loopback_warns(host, open_beyond_loopback):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warn_if_unprotected("tessary-detectd", host, protected=False)
        warn_if_unprotected("tessary-detectd", host, protected=True)
    assert [str(w.message).startswith(f"tessary-detectd listens on {host!r}") for w in caught] == (
        [True] if open_beyond_loopback else [])


def test_ai_service_built_in_key_refused_beyond_loopback():
    with pytest.raises(ValueError, match="built-in API key and password work on loopback only"):
        AIService(host="0.0.0.0").start()  # refused before anything is bound
