"""A BERT sentence encoder in numpy, for models shipped as local files.

Reads a sentence-embedding model directory (``config.json``, ``vocab.txt``,
``model.safetensors``, and optionally ``1_Pooling/config.json``,
``modules.json`` and ``sentence_bert_config.json``) and computes pooled,
optionally normalised sentence embeddings on the CPU without torch.
"""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import safetensors.numpy
from tokenizers import Regex, Tokenizer, normalizers, pre_tokenizers, processors
from tokenizers.models import WordPiece

BATCH_SIZE = 32

# The tokenizer follows the original BERT recipe with Python's Unicode rules, which the stock
# BertNormalizer and BertPreTokenizer only approximate with older tables: unassigned, format and
# private-use characters are dropped, accents are stripped by the current mark table, and every
# punctuation character and every ideograph of the classic CJK blocks stands alone.
_DROPPED_CHARACTERS = Regex(r"[\p{Cn}\p{Cf}\p{Co}]")
_NONSPACING_MARKS = Regex(r"\p{Mn}")
_PUNCTUATION = Regex(r"\p{P}")
_CJK_IDEOGRAPHS = Regex(
    r"[\x{4E00}-\x{9FFF}\x{3400}-\x{4DBF}\x{20000}-\x{2A6DF}\x{F900}-\x{FAFF}\x{2F800}-\x{2FA1F}]"
)


def load_weights(path: Path) -> dict[str, np.ndarray]:
    """Every tensor of a safetensors file, as float32 arrays (integers kept as they are)."""
    tensors = safetensors.numpy.load_file(str(path))
    return {name: array.astype(np.float32, copy=False) if array.dtype.kind == "f" else array
            for name, array in tensors.items()}


def load_tokenizer(vocabulary_path: Path, max_length: int) -> Tokenizer:
    """A lower-casing WordPiece tokenizer giving [CLS] pieces [SEP], at most ``max_length`` ids.

    Texts must be lower-cased with ``str.lower`` first (see `encode_texts`): its final-sigma rule
    is what the model's vocabulary was built with.
    """
    tokens = vocabulary_path.read_text(encoding="utf-8").splitlines()
    vocabulary = {token: index for index, token in enumerate(tokens)}
    tokenizer = Tokenizer(WordPiece(vocabulary, unk_token="[UNK]", max_input_chars_per_word=100))
    tokenizer.normalizer = normalizers.Sequence([
        normalizers.Replace(_DROPPED_CHARACTERS, ""),
        normalizers.BertNormalizer(clean_text=True, handle_chinese_chars=False, strip_accents=False, lowercase=True),
        normalizers.NFD(),
        normalizers.Replace(_NONSPACING_MARKS, ""),
    ])
    tokenizer.pre_tokenizer = pre_tokenizers.Sequence([
        pre_tokenizers.Split(_CJK_IDEOGRAPHS, "isolated"),
        pre_tokenizers.Split(_PUNCTUATION, "isolated"),
        pre_tokenizers.BertPreTokenizer(),
    ])
    # Special tokens are not registered as added tokens: "[SEP]" inside a text is plain text.
    tokenizer.post_processor = processors.BertProcessing(
        ("[SEP]", vocabulary["[SEP]"]), ("[CLS]", vocabulary["[CLS]"])
    )
    tokenizer.enable_truncation(max_length)
    return tokenizer


def encode_texts(tokenizer: Tokenizer, texts: list[str]) -> list[list[int]]:
    """The token ids of each text."""
    return [encoding.ids for encoding in tokenizer.encode_batch([str(text).lower() for text in texts])]


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
        self.weights = load_weights(model_dir / "model.safetensors")
        self.max_length = min(
            _read_json(model_dir / "sentence_bert_config.json").get("max_seq_length", 512),
            self.config.get("max_position_embeddings", 512),
        )
        self.tokenizer = load_tokenizer(model_dir / "vocab.txt", self.max_length)
        pooling = _read_json(model_dir / "1_Pooling" / "config.json")
        self.cls_pooling = bool(pooling.get("pooling_mode_cls_token"))
        modules = _read_json(model_dir / "modules.json", default=[])
        self.normalize = any(m.get("type", "").endswith("Normalize") for m in modules)
        self.heads = self.config["num_attention_heads"]
        self.eps = self.config.get("layer_norm_eps", 1e-12)

    def encode(self, texts: list[str]) -> list[list[float]]:
        """One embedding per text, in order."""
        encoded = encode_texts(self.tokenizer, texts)
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
            # One 2-D product: numpy runs a stacked (3-D) product without BLAS, many times slower.
            rows = value.reshape(-1, value.shape[-1]) @ w[prefix + name + ".weight"].T
            return (rows + w[prefix + name + ".bias"]).reshape(*value.shape[:-1], -1)

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
