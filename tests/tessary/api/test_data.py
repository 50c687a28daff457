"""Reading records in every format and finding their columns."""
import json

import pandas as pd
import pytest

from tessary.api._data import DataError, decode_json_cells, detect_configuration, read_records


@pytest.mark.parametrize("columns, expected", [
    (["question", "answer", "contexts", "ground_truth"], ("question", "answer", "contexts", "ground_truth")),
    (["input", "actual_output", "retrieval_context", "expected_output"], ("input", "actual_output", "retrieval_context", "expected_output")),
    (["user_input", "response", "retrieved_contexts", "reference"], ("user_input", "response", "retrieved_contexts", "reference")),
    (["Input_Text", "generated_text", "context", "tool_calls"], ("Input_Text", "generated_text", "context", None)),
], ids=["qa", "input-actual", "user-response", "text-case"])
def test_columns_are_found_under_each_convention(columns, expected):
    configuration = detect_configuration(pd.DataFrame([dict.fromkeys(columns, "x")]))
    found = (configuration.input_fields, configuration.output_fields, configuration.context_fields,
             configuration.reference_fields)
    assert found == tuple([name] if name else [] for name in expected)
    assert configuration.tool_calls_field == ("tool_calls" if "tool_calls" in columns else "")


@pytest.mark.parametrize("options, message", [
    ({}, "No input or output column found; the columns found are: prompt_text, reply."),
    ({"input_field": "q"}, "No column 'q' (an input (question) column); the columns found are: prompt_text, reply."),
])
def test_no_fitting_column_names_the_columns_found(options, message):
    with pytest.raises(DataError) as error:
        detect_configuration(pd.DataFrame([{"prompt_text": "x", "reply": "y"}]), **options)
    assert str(error.value).startswith(message)


@pytest.mark.parametrize("name, text", [
    ("r.csv", 'question,contexts\nWhy?,"[""a"", ""b""]"\n'),
    ("r.jsonl", '{"question": "Why?", "contexts": ["a", "b"]}\n\n'),
    ("r.json", '[{"question": "Why?", "contexts": "[\\"a\\", \\"b\\"]"}]'),
    ("lines.json", '{"question": "Why?", "contexts": ["a", "b"]}\n{"question": "How?", "contexts": []}\n'),
    ("wrapped.json", '{"records": [{"question": "Why?", "contexts": ["a", "b"]}]}'),
])
def test_every_file_format_reads_and_json_cells_decode(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    table = read_records(path)
    decode_json_cells(table, ["contexts"])
    assert table.loc[0, "question"] == "Why?" and table.loc[0, "contexts"] == ["a", "b"]


@pytest.mark.parametrize("name, text, message", [
    ("missing.csv", None, "no such file"),
    ("r.txt", "x", "unknown file type '.txt'"),
    ("bad.jsonl", '{"a": 1}\n{"a": \n', "line 2 is not JSON"),
    ("bad.json", "[1, 2]", "Record 1 of"),
    ("bad.csv", 'a,b\n"x,y\n', "as CSV"),
    ("empty.json", "[]", "holds no records"),
])
def test_unreadable_files_say_why_in_one_line(tmp_path, name, text, message):
    path = tmp_path / name
    if text is not None:
        path.write_text(text, encoding="utf-8")
    with pytest.raises(DataError) as error:
        read_records(path)
    assert message in str(error.value) and "\n" not in str(error.value)


def test_parquet_list_columns_become_lists(tmp_path):
    pytest.importorskip("pyarrow", reason="Parquet needs pyarrow")
    pd.DataFrame({"question": ["Why?"], "contexts": [["a", "b"]]}).to_parquet(tmp_path / "r.parquet")
    assert read_records(tmp_path / "r.parquet").loc[0, "contexts"] == ["a", "b"]


def test_mappings_and_frames(records):
    frame = pd.DataFrame(records)
    assert read_records(frame) is frame
    assert len(read_records(records[0])) == 1 and len(read_records(records)) == 2
    with pytest.raises(DataError, match="not an object of fields"):
        read_records([json.dumps(records[0])])
