"""A BERT sentence encoder in numpy, for models shipped as local files.

Reads a sentence-embedding model directory (``config.json``, ``vocab.txt``,
``model.safetensors``, and optionally ``1_Pooling/config.json``,
``modules.json`` and ``sentence_bert_config.json``) and computes pooled,
optionally normalised sentence embeddings on the CPU without torch.
"""

from __future__ import annotations

import json
import math
import struct
import unicodedata
from pathlib import Path

import numpy as np

_SAFETENSORS_DTYPES = {"F32": "<f4", "F16": "<f2", "I64": "<i8"}
BATCH_SIZE = 32


def load_safetensors(path: Path) -> dict[str, np.ndarray]:
    """Every tensor of a safetensors file, as float32 arrays (integers kept as they are)."""
    with open(path, "rb") as handle:
        header_size = struct.unpack("<Q", handle.read(8))[0]
        header = json.loads(handle.read(header_size))
    data = np.memmap(path, dtype=np.uint8, mode="r", offset=8 + header_size)
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        dtype = _SAFETENSORS_DTYPES.get(entry["dtype"])
        if dtype is None:
            raise ValueError(f"{path}: tensor {name} has unsupported dtype {entry['dtype']}.")
        start, end = entry["data_offsets"]
        array = np.frombuffer(data[start:end], dtype=dtype).reshape(entry["shape"])
        tensors[name] = array.astype(np.float32) if array.dtype.kind == "f" else array
    return tensors


class WordPieceTokenizer:
    """Lower-casing BERT tokenizer: basic splitting, then greedy longest-match word pieces."""

    def __init__(self, vocabulary_path: Path, lower_case: bool = True) -> None:
        tokens = vocabulary_path.read_text(encoding="utf-8").splitlines()
        self.vocabulary = {token: index for index, token in enumerate(tokens)}
        self.lower_case = lower_case
        self.unknown = self.vocabulary["[UNK]"]
        self.cls, self.sep = self.vocabulary["[CLS]"], self.vocabulary["[SEP]"]

    def encode(self, text: str, max_length: int) -> list[int]:
        """[CLS] pieces [SEP], truncated to ``max_length`` ids."""
        ids = [piece for word in self._basic_tokens(text) for piece in self._word_pieces(word)]
        return [self.cls, *ids[: max_length - 2], self.sep]

    def _basic_tokens(self, text: str) -> list[str]:
        cleaned = []
        for char in text:
            code = ord(char)
            if code == 0 or code == 0xFFFD or _is_control(char):
                continue
            if _is_cjk(code):
                cleaned.append(f" {char} ")
            else:
                cleaned.append(" " if char.isspace() else char)
        text = "".join(cleaned)
        if self.lower_case:
            text = unicodedata.normalize("NFD", text.lower())
            text = "".join(c for c in text if unicodedata.category(c) != "Mn")
        words = []
        for word in text.split():
            current = []
            for char in word:
                if _is_punctuation(char):
                    if current:
                        words.append("".join(current))
                        current = []
                    words.append(char)
                else:
                    current.append(char)
            if current:
                words.append("".join(current))
        return words

    def _word_pieces(self, word: str) -> list[int]:
        if len(word) > 100:
            return [self.unknown]
        pieces, start = [], 0
        while start < len(word):
            end = len(word)
            while end > start:
                piece = word[start:end] if start == 0 else "##" + word[start:end]
                if piece in self.vocabulary:
                    pieces.append(self.vocabulary[piece])
                    break
                end -= 1
            else:
                return [self.unknown]
            start = end
        return pieces


def _is_control(char: str) -> bool:
    if char in "\t\n\r":
        return False
    return unicodedata.category(char).startswith("C")


def _is_punctuation(char: str) -> bool:
    code = ord(char)
    if 33 <= code <= 47 or 58 <= code <= 64 or 91 <= code <= 96 or 123 <= code <= 126:
        return True
    return unicodedata.category(char).startswith("P")


def _is_cjk(code: int) -> bool:
    return (
        0x4E00 <= code <= 0x9FFF
        or 0x3400 <= code <= 0x4DBF
        or 0x20000 <= code <= 0x2A6DF
        or 0xF900 <= code <= 0xFAFF
        or 0x2F800 <= code <= 0x2FA1F
    )


def _erf(x: np.ndarray) -> np.ndarray:
    """Error function (Abramowitz and Stegun 7.1.26, absolute error below 1.5e-7)."""
    sign = np.sign(x)
    x = np.abs(x)
    t = 1.0 / (1.0 + 0.3275911 * x)
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return sign * (1.0 - poly * np.exp(-x * x))


def _gelu(x: np.ndarray) -> np.ndarray:
    return 0.5 * x * (1.0 + _erf(x / math.sqrt(2.0)))


def _layer_norm(x: np.ndarray, weight: np.ndarray, bias: np.ndarray, eps: float) -> np.ndarray:
    mean = x.mean(axis=-1, keepdims=True)
    variance = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    return (x - mean) / np.sqrt(variance + eps) * weight + bias


class BertSentenceEncoder:
    """Sentence embeddings from a local BERT model directory."""

    def __init__(self, model_dir: Path) -> None:
        model_dir = Path(model_dir)
        self.config = json.loads((model_dir / "config.json").read_text())
        self.weights = load_safetensors(model_dir / "model.safetensors")
        self.tokenizer = WordPieceTokenizer(model_dir / "vocab.txt")
        self.max_length = min(
            _read_json(model_dir / "sentence_bert_config.json").get("max_seq_length", 512),
            self.config.get("max_position_embeddings", 512),
        )
        pooling = _read_json(model_dir / "1_Pooling" / "config.json")
        self.cls_pooling = bool(pooling.get("pooling_mode_cls_token"))
        modules = _read_json(model_dir / "modules.json", default=[])
        self.normalize = any(m.get("type", "").endswith("Normalize") for m in modules)
        self.heads = self.config["num_attention_heads"]
        self.eps = self.config.get("layer_norm_eps", 1e-12)

    def encode(self, texts: list[str]) -> list[list[float]]:
        """One embedding per text, in order."""
        encoded = [self.tokenizer.encode(str(t), self.max_length) for t in texts]
        order = sorted(range(len(encoded)), key=lambda i: len(encoded[i]))
        vectors: list[np.ndarray | None] = [None] * len(encoded)
        for start in range(0, len(order), BATCH_SIZE):
            batch = order[start : start + BATCH_SIZE]
            for index, vector in zip(batch, self._embed([encoded[i] for i in batch])):
                vectors[index] = vector
        return [v.tolist() for v in vectors]

    def _embed(self, batch: list[list[int]]) -> np.ndarray:
        length = max(len(ids) for ids in batch)
        ids = np.zeros((len(batch), length), dtype=np.int64)
        mask = np.zeros((len(batch), length), dtype=np.float32)
        for row, token_ids in enumerate(batch):
            ids[row, : len(token_ids)] = token_ids
            mask[row, : len(token_ids)] = 1.0
        hidden = self._forward(ids, mask)
        if self.cls_pooling:
            pooled = hidden[:, 0]
        else:
            pooled = (hidden * mask[..., None]).sum(axis=1) / np.maximum(mask.sum(axis=1, keepdims=True), 1e-9)
        if self.normalize:
            pooled = pooled / np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), 1e-12)
        return pooled

    def _forward(self, ids: np.ndarray, mask: np.ndarray) -> np.ndarray:
        w = self.weights
        length = ids.shape[1]
        x = (
            w["embeddings.word_embeddings.weight"][ids]
            + w["embeddings.position_embeddings.weight"][:length]
            + w["embeddings.token_type_embeddings.weight"][0]
        )
        x = _layer_norm(x, w["embeddings.LayerNorm.weight"], w["embeddings.LayerNorm.bias"], self.eps)
        attention_bias = (1.0 - mask)[:, None, None, :] * -1e9
        for layer in range(self.config["num_hidden_layers"]):
            x = self._layer(x, attention_bias, f"encoder.layer.{layer}.")
        return x

    def _layer(self, x: np.ndarray, attention_bias: np.ndarray, prefix: str) -> np.ndarray:
        w = self.weights

        def dense(value: np.ndarray, name: str) -> np.ndarray:
            return value @ w[prefix + name + ".weight"].T + w[prefix + name + ".bias"]

        batch, length, width = x.shape
        head_size = width // self.heads

        def split(value: np.ndarray) -> np.ndarray:
            return value.reshape(batch, length, self.heads, head_size).transpose(0, 2, 1, 3)

        query = split(dense(x, "attention.self.query"))
        key = split(dense(x, "attention.self.key"))
        value = split(dense(x, "attention.self.value"))
        scores = query @ key.transpose(0, 1, 3, 2) / math.sqrt(head_size) + attention_bias
        scores = np.exp(scores - scores.max(axis=-1, keepdims=True))
        probabilities = scores / scores.sum(axis=-1, keepdims=True)
        context = (probabilities @ value).transpose(0, 2, 1, 3).reshape(batch, length, width)
        x = _layer_norm(
            dense(context, "attention.output.dense") + x,
            w[prefix + "attention.output.LayerNorm.weight"],
            w[prefix + "attention.output.LayerNorm.bias"],
            self.eps,
        )
        intermediate = _gelu(dense(x, "intermediate.dense"))
        return _layer_norm(
            dense(intermediate, "output.dense") + x,
            w[prefix + "output.LayerNorm.weight"],
            w[prefix + "output.LayerNorm.bias"],
            self.eps,
        )


def _read_json(path: Path, default: object = None) -> dict:
    if not path.exists():
        return {} if default is None else default
    return json.loads(path.read_text())
