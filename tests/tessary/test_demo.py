"""The main job runs end to end on the shipped records against the local services."""
from tessary import demo


def test_demo_scores_every_shipped_record():
    results = demo.run()
    records = demo.load_records()
    assert set(results) == {"question answering", "tool calling"}
    table = demo.per_record_table(results["question answering"])
    agents = demo.per_record_table(results["tool calling"])
    assert list(table.index) + list(agents.index) == list(records["record_id"])
    judged = table["faithfulness[llm_as_judge]"]
    detected = table["faithfulness[faithfulness_model]"]
    assert judged["rag-1"] > judged["rag-3"] and detected["rag-1"] > detected["rag-3"]
    assert table["context_overlap"]["rag-1"] == 1.0 and table["grounded"]["rag-1"] == 1.0
    assert table["hap"]["rag-3"] > 0 == table["hap"]["rag-1"]
    assert table["pii"]["rag-3"] > 0 == table["pii"]["rag-1"]
    assert agents["tool_call_accuracy"]["agent-2"] < agents["tool_call_accuracy"]["agent-1"] == 1.0
    for result in results.values():
        assert all(metric.measured_records == metric.total_records for metric in result.metrics_result)
