"""The inference engine of a judge: one table of back ends for every judged path.

Both judged paths (recipe-library judge metrics and criteria metrics) build their
engine here, so every field of the `LLMJudge` (URL, key, temperature, seed,
max_tokens, concurrency, time-outs, cache) reaches the requests. Engines are kept
for an hour per judge description, so their bound on calls in flight is shared.
"""

from __future__ import annotations

import json
import threading
from typing import Any

from cachetools import TTLCache

from tessary.entities import foundation_model as fm
from tessary.entities.llm_judge import LLMJudge
from tessary.utils.environment import get_lumeris_concurrency_limit, get_tabluon_enable_inference_cache

__all__ = ["CRITERIA_SEED", "judge_engine"]

# The criteria judge's seed when the judge names none.
CRITERIA_SEED = 36
_engines: TTLCache = TTLCache(maxsize=128, ttl=3600)
_engines_lock = threading.Lock()


def judge_engine(llm_judge: LLMJudge, criteria: bool = False) -> Any:
    """The engine that sends this judge's calls (``criteria``: for a criteria metric)."""
    if llm_judge is None:
        raise ValueError("A judged metric needs a judge: set llm_judge on the metric or the configuration.")
    model = llm_judge.model
    options = dict(model.parameters or {}) if not isinstance(model, fm.AWSBedrockFoundationModel) else {}
    options.update(llm_judge.engine_options())
    if criteria:
        options.setdefault("seed", CRITERIA_SEED)
        if isinstance(model, fm.QzAIFoundationModel):
            options.setdefault("num_parallel_requests", get_lumeris_concurrency_limit())
    use_cache = get_tabluon_enable_inference_cache()
    if isinstance(model, fm.CustomFoundationModel):  # holds a function: built anew every time
        return _custom_engine(model, use_cache, options)
    key = json.dumps([type(model).__name__, model.model_id, _fields(model.provider.credentials),
                      model.parameters, options, use_cache, getattr(model, "project_id", None),
                      getattr(model, "space_id", None)], sort_keys=True, default=str)
    with _engines_lock:
        engine = _engines.get(key)
    if engine is None:
        engine = _build(model, use_cache, options)
        with _engines_lock:
            engine = _engines.setdefault(key, engine)
    return engine


def _fields(credentials: Any, by_alias: bool = False) -> dict[str, Any]:
    """A credentials record's values, secrets included (read from the attributes, not a dump)."""
    if credentials is None:
        return {}
    names = type(credentials).model_fields
    return {
        (field.alias or name) if by_alias else name: getattr(credentials, name)
        for name, field in names.items()
        if getattr(credentials, name) is not None
    }


def _build(model: Any, use_cache: bool, options: dict[str, Any]) -> Any:
    from tabulon.inference import (
        AzureOpenAIInferenceEngine,
        LiteLLMInferenceEngine,
        OpenAiInferenceEngine,
        QMLInferenceEngineGeneration,
    )
    from tessary.providers.inference_engines.google_inference_engine import GoogleStudioInferenceEngine
    from tessary.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine
    from tessary.providers.inference_engines.qzo_ai_gateway_inference_engine import QzoAIGatewayInferenceEngine

    credentials = _fields(model.provider.credentials)
    if isinstance(model, fm.QzAIFoundationModel):
        return QMLInferenceEngineGeneration(credentials=_service_credentials(model), model_name=model.model_id,
                                            use_cache=use_cache, **options)
    if isinstance(model, fm.OpenAIFoundationModel):
        mapping = {"api_key": credentials.get("api_key"), "api_url": credentials.get("url")}
        return OpenAiInferenceEngine(model.model_id, credentials=mapping, use_cache=use_cache, **options)
    if isinstance(model, fm.AzureOpenAIFoundationModel):
        return AzureOpenAIInferenceEngine(model.model_id, credentials=_fields(model.provider.credentials, True),
                                          use_cache=use_cache, **options)
    if isinstance(model, fm.GoogleAIStudioFoundationModel):
        return GoogleStudioInferenceEngine(model.model_id, credentials=credentials, use_cache=use_cache, **options)
    if isinstance(model, fm.VertexAIFoundationModel):
        return LiteLLMInferenceEngine(_prefixed("vertex_ai/", model.model_id), credentials=credentials,
                                      use_cache=use_cache, **options)
    if isinstance(model, fm.AWSBedrockFoundationModel):
        options = {**(model.parameters or {}), **options}
        return LiteLLMInferenceEngine(_prefixed("bedrock/", model.model_id), credentials=credentials,
                                      use_cache=use_cache, **options)
    if isinstance(model, fm.PortKeyGateway):
        return PortKeyInferenceEngine(model.model_id, credentials=credentials, use_cache=use_cache, **options)
    if isinstance(model, fm.QzoAIGateway):
        return QzoAIGatewayInferenceEngine(credentials=credentials, use_cache=use_cache,
                                           model=model.model_id or "", **options)
    raise Exception("LLM Model provider is not supported.")


def _prefixed(prefix: str, model_id: str) -> str:
    return model_id if "/" in model_id else prefix + model_id


def _service_credentials(model: Any) -> dict[str, Any]:
    credentials = model.provider.credentials
    if credentials is None:
        raise ValueError("A judge of the AI service needs credentials with its url.")
    mapping: dict[str, Any] = {"url": credentials.url}
    if credentials.api_key:
        mapping["api_key"] = credentials.api_key
    if credentials.version:
        mapping.update(username=credentials.username, instance_id=credentials.instance_id)
        if credentials.password:
            mapping["password"] = credentials.password
    if model.project_id:
        mapping["project_id"] = model.project_id
    elif model.space_id:
        mapping["space_id"] = model.space_id
    else:
        raise Exception("Either project or space id is required")
    return mapping


def _custom_engine(model: Any, use_cache: bool, options: dict[str, Any]) -> Any:
    from tessary.providers.inference_engines.custom_inference_engine import CustomFunctionInferenceEngine

    options.setdefault("num_parallel_requests", model.num_parallel_requests)
    # A function may change between runs under the same name: its answers are kept only on request.
    options.setdefault("cache", False)
    return CustomFunctionInferenceEngine(scoring_fn=model.scoring_fn, model_name=model.model_id,
                                         context=model.context, use_cache=use_cache, **options)
