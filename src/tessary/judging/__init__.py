"""One judge, named once, for every judged metric, with its disk cache, tokens and cost.

    import tessary
    judge = tessary.judge("openai/gpt-4o-mini")
    judge = tessary.judge("openai/my-model", base_url="http://127.0.0.1:8000/v1", api_key="k")
    judge = tessary.judge("azure/my-deployment", base_url="https://x.openai.azure.com", api_key="k")

`judge(...)` returns the package's `LLMJudge`; recipe-library judge metrics and
criteria metrics both honour every field. Base URLs and keys come from the
arguments, else from the back end's environment variables:

| back end | model class | base URL | key |
|---|---|---|---|
| openai | OpenAIFoundationModel | OPENAI_BASE_URL (else the public service) | OPENAI_API_KEY |
| azure | AzureOpenAIFoundationModel | AZURE_OPENAI_HOST | AZURE_OPENAI_API_KEY (AZURE_OPENAI_API_VERSION) |
| qzai | QzAIFoundationModel | QZAI_URL | QZAI_API_KEY (project: project_id= or QZAI_PROJECT_ID) |
| portkey | PortKeyGateway | PORTKEY_URL | PORTKEY_API_KEY |
| gateway | QzoAIGateway | QZO_AI_GATEWAY_URL | QZO_AI_GATEWAY_API_KEY |
| google | GoogleAIStudioFoundationModel | (the public service) | GOOGLE_API_KEY |
| vertexai | VertexAIFoundationModel | GOOGLE_VERTEX_PROJECT / GOOGLE_VERTEX_LOCATION | GOOGLE_APPLICATION_CREDENTIALS |
| bedrock | AWSBedrockFoundationModel | AWS_DEFAULT_REGION | AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY |

Submodules: `tessary.judging.cache` (the disk cache: `info()`, `clear()`),
`tessary.judging.tokens` (token counts and cost), `tessary.judging.retry` (the
retry and time-out settings every back end shares).
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tessary.entities.llm_judge import LLMJudge

__all__ = ["BACKENDS", "judge"]

BACKENDS = ("openai", "azure", "qzai", "portkey", "gateway", "google", "vertexai", "bedrock")
_ALIASES = {"azure_openai": "azure", "azure-openai": "azure", "lumeris": "qzai", "watsonx": "qzai",
            "qzo_gateway": "gateway", "google_ai_studio": "google", "gemini": "google", "vertex_ai": "vertexai",
            "vertex": "vertexai", "aws": "bedrock", "aws_bedrock": "bedrock"}


def judge(
    name: str,
    *,
    base_url: str | None = None,
    api_key: str | None = None,
    temperature: float | None = 0.0,
    seed: int | None = None,
    max_tokens: int | None = None,
    max_concurrency: int | None = None,
    timeout: float | None = None,
    deadline: float | None = None,
    max_retries: int | None = None,
    cache: bool | str | None = None,
    prices: dict[str, tuple[float, float]] | None = None,
    api_version: str | None = None,
    project_id: str | None = None,
    parameters: dict[str, Any] | None = None,
) -> LLMJudge:
    """The judge described by ``"backend/model"`` (a bare model name means OpenAI).

    ``timeout`` is the per-request time-out in seconds, ``deadline`` the most a
    metric may spend on its judge calls; ``cache`` is True, False or a cache file
    (default: temperature-0 calls are cached). ``parameters`` adds generation
    parameters of the back end. See the module documentation for the environment.
    """
    from tessary.entities.llm_judge import LLMJudge

    if not isinstance(name, str) or not name.strip():
        raise ValueError(f"A judge is named 'backend/model', e.g. 'openai/gpt-4o-mini'; got {name!r}.")
    backend, _, model_id = name.strip().partition("/")
    if not model_id:
        backend, model_id = "openai", backend
    backend = _ALIASES.get(backend.lower(), backend.lower())
    if backend not in BACKENDS:
        raise ValueError(
            f"Unknown judge back end {backend!r} in {name!r}; known back ends: {', '.join(BACKENDS)}."
        )
    model = _MODEL_BUILDERS[backend](model_id, base_url, api_key, api_version, project_id)
    if parameters:
        model.parameters = dict(parameters)
    return LLMJudge(model=model, temperature=temperature, seed=seed, max_tokens=max_tokens,
                    max_concurrency=max_concurrency, timeout=timeout, deadline=deadline,
                    max_retries=max_retries, cache=cache, prices=prices)


def _given(**values: Any) -> dict[str, Any]:
    """Only the values given, so the credentials' own environment defaults apply to the rest."""
    return {key: value for key, value in values.items() if value is not None}


def _openai(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm

    credentials = fm.OpenAICredentials(**_given(url=base_url, api_key=api_key))
    return fm.OpenAIFoundationModel(model_id=model_id, provider=fm.OpenAIModelProvider(credentials=credentials))


def _azure(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm

    credentials = fm.AzureOpenAICredentials(**_given(url=base_url, api_key=api_key, api_version=api_version))
    return fm.AzureOpenAIFoundationModel(
        model_id=model_id, provider=fm.AzureOpenAIModelProvider(credentials=credentials))


def _qzai(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm
    from tessary.entities.credentials import QzAICredentials

    credentials = QzAICredentials.create_from_env()
    credentials = credentials.model_copy(update=_given(url=base_url, api_key=api_key))
    project = project_id or os.environ.get("QZAI_PROJECT_ID")
    space = None if project else os.environ.get("QZAI_SPACE_ID")
    return fm.QzAIFoundationModel(model_id=model_id, project_id=project, space_id=space,
                                  provider=fm.QzAIModelProvider(credentials=credentials))


def _portkey(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm

    credentials = fm.PortKeyCredentials(**_given(url=base_url, api_key=api_key))
    return fm.PortKeyGateway(model_id=model_id, provider=fm.PortKeyModelProvider(credentials=credentials))


def _gateway(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm

    credentials = fm.QzoAIGatewayCredentials(**_given(url=base_url, api_key=api_key))
    return fm.QzoAIGateway(model_id=model_id or None, provider=fm.QzoAIGatewayModelProvider(credentials=credentials))


def _google(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm

    credentials = fm.GoogleAIStudioCredentials(**_given(api_key=api_key))
    if base_url:
        raise ValueError("The 'google' judge back end takes no base_url: it calls Google AI Studio.")
    return fm.GoogleAIStudioFoundationModel(
        model_id=model_id, provider=fm.GoogleAIStudioModelProvider(credentials=credentials))


def _vertexai(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm

    credentials = fm.VertexAICredentials(**_given(project_id=project_id))
    return fm.VertexAIFoundationModel(model_id=model_id, provider=fm.VertexAIModelProvider(credentials=credentials))


def _bedrock(model_id: str, base_url: Any, api_key: Any, api_version: Any, project_id: Any) -> Any:
    from tessary.entities import foundation_model as fm

    return fm.AWSBedrockFoundationModel(model_id=model_id)


_MODEL_BUILDERS = {"openai": _openai, "azure": _azure, "qzai": _qzai, "portkey": _portkey, "gateway": _gateway,
                   "google": _google, "vertexai": _vertexai, "bedrock": _bedrock}
