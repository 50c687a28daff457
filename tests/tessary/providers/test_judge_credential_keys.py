"""The package's credential records, dumped as the judge provider dumps them, configure the engines."""
import pytest

from tabulon.inference import AzureOpenAIInferenceEngine, OpenAiInferenceEngine
from tessary.entities.foundation_model import AzureOpenAICredentials, OpenAICredentials


@pytest.mark.parametrize(
    "engine_class, credentials, extra",
    [
        (OpenAiInferenceEngine, OpenAICredentials(api_key="k", url="http://127.0.0.1:9/v1").model_dump(), {}),
        (AzureOpenAIInferenceEngine,
         AzureOpenAICredentials(api_key="k", api_base="http://127.0.0.1:9", api_version="2024-10-21").model_dump(
             by_alias=True),
         {"deployment_name": "dep"}),
    ],
)
def test_dumped_credentials_reach_the_configured_url(engine_class, credentials, extra):
    engine = engine_class(model_name="m", credentials={**credentials, **extra})
    assert "//127.0.0.1:9" in str(getattr(engine, "base_url", "")) + str(getattr(engine, "endpoint", ""))
