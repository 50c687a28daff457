"""The main job runs end to end on the shipped records against the local services."""
from tessary import demo


def test_demo_scores_every_shipped_record():
    result = demo.run()
    table = demo.per_record_table(result)
    records = demo.load_records()
    assert list(table.index) == list(records["record_id"])
    assert {"context_overlap", "faithfulness", "answer_correctness", "grounded"} <= set(table.columns)
    assert table["grounded"]["rag-1"] == 1.0
    faithfulness = table["faithfulness"]
    assert faithfulness["rag-1"] > faithfulness["rag-3"]
    assert table["context_overlap"]["rag-1"] == 1.0
