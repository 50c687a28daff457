"""Foundation models that can serve as judges or be evaluated for risk.

Each model names a provider (its `type` and `credentials`). Credential
records of every provider except the AI service offer `model_dump` giving a
JSON-serialisable mapping; Azure's uses its aliases (`model_dump(by_alias=True)`).
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from pydantic import Field, PrivateAttr, model_validator

from tessary.entities.base_classes import BaseEntity
from tessary.entities.credentials import QzAICredentials, SecretEntity
from tessary.entities.enums import ModelProviderType


def _env(name: str) -> str | None:
    return os.environ.get(name) or None


# --- provider credentials -------------------------------------------------


class OpenAICredentials(SecretEntity):
    """OpenAI API key and optional base URL (env OPENAI_API_KEY, OPENAI_BASE_URL).

    The base URL is the one whose "/chat/completions" answers, e.g. "http://127.0.0.1:8000/v1";
    without one, the public OpenAI service is called.
    """

    api_key: str | None = Field(default_factory=lambda: _env("OPENAI_API_KEY"), repr=False)
    url: str | None = Field(default_factory=lambda: _env("OPENAI_BASE_URL"))


class AzureOpenAICredentials(SecretEntity):
    """Azure OpenAI key, endpoint and API version; dumped under their aliases."""

    api_key: str | None = Field(
        default_factory=lambda: _env("AZURE_OPENAI_API_KEY"), alias="api_key", repr=False
    )
    url: str | None = Field(default_factory=lambda: _env("AZURE_OPENAI_HOST"), alias="api_base")
    api_version: str | None = Field(
        default_factory=lambda: _env("AZURE_OPENAI_API_VERSION"), alias="api_version"
    )


class VertexAICredentials(SecretEntity):
    """Google Cloud project, location and service-account file of Vertex AI."""

    credentials_path: str | None = Field(
        default_factory=lambda: _env("GOOGLE_APPLICATION_CREDENTIALS")
    )
    project_id: str | None = Field(default_factory=lambda: _env("GOOGLE_VERTEX_PROJECT"))
    location: str | None = Field(default_factory=lambda: _env("GOOGLE_VERTEX_LOCATION"))


class GoogleAIStudioCredentials(SecretEntity):
    """Google AI Studio API key (env GOOGLE_API_KEY)."""

    api_key: str | None = Field(default_factory=lambda: _env("GOOGLE_API_KEY"), repr=False)


class AWSBedrockCredentials(SecretEntity):
    """AWS keys and region of Bedrock."""

    aws_access_key_id: str | None = Field(
        default_factory=lambda: _env("AWS_ACCESS_KEY_ID"), repr=False
    )
    aws_secret_access_key: str | None = Field(
        default_factory=lambda: _env("AWS_SECRET_ACCESS_KEY"), repr=False
    )
    aws_session_token: str | None = Field(
        default_factory=lambda: _env("AWS_SESSION_TOKEN"), repr=False
    )
    aws_region_name: str | None = Field(default_factory=lambda: _env("AWS_DEFAULT_REGION"))


class PortKeyCredentials(SecretEntity):
    """Portkey gateway key and URL, and the key of the provider behind it."""

    api_key: str | None = Field(default_factory=lambda: _env("PORTKEY_API_KEY"), repr=False)
    url: str | None = Field(default_factory=lambda: _env("PORTKEY_URL"))
    provider_api_key: str | None = Field(default=None, repr=False)
    provider: str | None = None


class QzoAIGatewayCredentials(SecretEntity):
    """URL and key of the agent gateway (env QZO_AI_GATEWAY_URL, QZO_AI_GATEWAY_API_KEY)."""

    url: str | None = Field(default_factory=lambda: _env("QZO_AI_GATEWAY_URL"))
    api_key: str | None = Field(default_factory=lambda: _env("QZO_AI_GATEWAY_API_KEY"), repr=False)


# --- providers ------------------------------------------------------------


class ModelProvider(BaseEntity):
    """Where a foundation model runs: the provider kind and its credentials."""

    type: ModelProviderType
    credentials: Any = None


class QzAIModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.QZAI
    credentials: QzAICredentials | None = None


class OpenAIModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.OPENAI
    credentials: OpenAICredentials = Field(default_factory=OpenAICredentials)


class AzureOpenAIModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.AZURE_OPENAI
    credentials: AzureOpenAICredentials = Field(default_factory=AzureOpenAICredentials)


class VertexAIModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.VERTEX_AI
    credentials: VertexAICredentials = Field(default_factory=VertexAICredentials)


class GoogleAIStudioModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.GOOGLE_AI_STUDIO
    credentials: GoogleAIStudioCredentials = Field(default_factory=GoogleAIStudioCredentials)


class AWSBedrockModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.AWS_BEDROCK
    credentials: AWSBedrockCredentials = Field(default_factory=AWSBedrockCredentials)


class PortKeyModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.PORTKEY
    credentials: PortKeyCredentials = Field(default_factory=PortKeyCredentials)


class QzoAIGatewayModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.QZO_AI_GATEWAY
    credentials: QzoAIGatewayCredentials = Field(default_factory=QzoAIGatewayCredentials)


class CustomModelProvider(ModelProvider):
    type: ModelProviderType = ModelProviderType.CUSTOM
    credentials: None = None


# --- foundation models ----------------------------------------------------


class FoundationModel(BaseEntity):
    """A foundation model: identifier, display name, generation parameters, provider."""

    model_id: str | None = None
    model_name: str | None = None
    parameters: dict[str, Any] | None = None
    provider: ModelProvider

    @model_validator(mode="after")
    def _default_model_name(self) -> FoundationModel:
        if self.model_name is None:
            self.model_name = self.model_id
        return self


class QzAIFoundationModel(FoundationModel):
    """A model hosted by the AI service, in a project or a deployment space."""

    model_id: str
    project_id: str | None = None
    space_id: str | None = None
    provider: QzAIModelProvider = Field(default_factory=QzAIModelProvider)


class OpenAIFoundationModel(FoundationModel):
    model_id: str
    provider: OpenAIModelProvider = Field(default_factory=OpenAIModelProvider)


class AzureOpenAIFoundationModel(FoundationModel):
    model_id: str
    provider: AzureOpenAIModelProvider = Field(default_factory=AzureOpenAIModelProvider)


class VertexAIFoundationModel(FoundationModel):
    model_id: str
    provider: VertexAIModelProvider | GoogleAIStudioModelProvider = Field(
        default_factory=VertexAIModelProvider
    )


class GoogleAIStudioFoundationModel(VertexAIFoundationModel):
    """A Gemini model reached through Google AI Studio.

    A kind of Vertex AI model: judges that accept Vertex AI models accept it too.
    """

    provider: GoogleAIStudioModelProvider = Field(default_factory=GoogleAIStudioModelProvider)


class AWSBedrockFoundationModel(FoundationModel):
    model_id: str
    provider: AWSBedrockModelProvider = Field(default_factory=AWSBedrockModelProvider)


class PortKeyGateway(FoundationModel):
    """A model reached through a Portkey gateway."""

    model_id: str
    provider: PortKeyModelProvider = Field(default_factory=PortKeyModelProvider)


class QzoAIGateway(FoundationModel):
    """The agent gateway; it picks the model itself, so `model_id` is optional."""

    provider: QzoAIGatewayModelProvider = Field(default_factory=QzoAIGatewayModelProvider)


class CustomFoundationModel(FoundationModel):
    """A model scored by the caller's own function.

    `scoring_fn` receives the prompts to answer and returns the answers;
    `context` is handed to it unchanged, and at most `num_parallel_requests`
    calls run at once.
    """

    model_id: str = "custom_fn"
    context: Any = None
    num_parallel_requests: int = Field(default=20, ge=1)
    provider: CustomModelProvider = Field(default_factory=CustomModelProvider)
    _scoring_fn: Callable[..., Any] = PrivateAttr()

    def __init__(self, scoring_fn: Callable[..., Any], **data: Any) -> None:
        if not callable(scoring_fn):
            raise TypeError(f"scoring_fn must be callable, got {type(scoring_fn).__name__}.")
        super().__init__(**data)
        self._scoring_fn = scoring_fn

    @property
    def scoring_fn(self) -> Callable[..., Any]:
        """The caller's scoring function."""
        return self._scoring_fn
