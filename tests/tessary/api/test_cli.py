"""The tessary command: exit codes, one-line messages, the files it writes."""
import json

import pytest

from tessary.cli import main

CSV = 'question,answer,contexts,ground_truth\nWho wrote Hamlet?,Shakespeare wrote it.,"[""Hamlet is by Shakespeare.""]",Shakespeare\n'


@pytest.fixture
def csv_file(tmp_path):
    path = tmp_path / "records.csv"
    path.write_text(CSV, encoding="utf-8")
    return path


@pytest.mark.parametrize("argv, message", [
    (["evaluate", "{dir}/missing.csv", "-m", "hap"], "tessary: Cannot read '{dir}/missing.csv': no such file."),
    (["evaluate", "{dir}/bad.csv", "-m", "hap"], "tessary: Cannot read '{dir}/bad.csv' as CSV:"),
    (["evaluate", "{csv}", "-m", "hap", "--context-field", "docs"], "tessary: No column 'docs' (a context column)"),
    (["evaluate", "{dir}/no_context.csv", "-m", "faithfulness"], "tessary: Metric 'faithfulness' needs a context column"),
    (["evaluate", "{csv}", "-m", "faithfullness"], "tessary: Unknown metric 'faithfullness'. Did you mean: faithfulness?"),
    (["evaluate", "{csv}", "-m", "hap", "-t", "hap=1"], "tessary: Bad threshold 'hap=1'"),
    (["evaluate", "{csv}", "--bogus"], "Error: No such option: --bogus"),
])
def test_bad_usage_or_input_exits_2_with_one_line(tmp_path, csv_file, capsys, argv, message):
    (tmp_path / "bad.csv").write_text('a,b\n"x,y\n', encoding="utf-8")
    (tmp_path / "no_context.csv").write_text("question,answer\nq,a\n", encoding="utf-8")
    argv = [part.format(dir=tmp_path, csv=csv_file) for part in argv]
    assert main(argv) == 2
    error = capsys.readouterr().err.strip()
    assert message.format(dir=tmp_path) in error
    assert len(error.splitlines()) == 1 or message.startswith("Error:")


@pytest.mark.parametrize("extra, code, message", [
    ([], 0, ""),
    (["-t", "answer_correctness>=1.5", "-t", "hap<=0.5"], 1,
     "tessary: threshold of 'answer_correctness' failed (>=1.5)"),
])
def test_evaluate_prints_the_table_writes_results_and_gates(tmp_path, csv_file, capsys, extra, code, message):
    argv = ["evaluate", str(csv_file), "-m", "hap", "-m", "answer_correctness:token_recall", "--out",
            str(tmp_path / "out"), "--format", "json", "-q", *extra]
    assert main(argv) == code
    captured = capsys.readouterr()
    rows = {row["metric"]: row for row in json.loads(captured.out)}
    assert rows["hap"]["measured"] == 1 and rows["answer_correctness"]["method"] == "token_recall"
    assert message in captured.err and ("threshold of 'hap'" not in captured.err)
    saved = json.loads((tmp_path / "out" / "results.json").read_text())
    assert len(saved["metrics_result"]) == 2 and (tmp_path / "out" / "records.csv").is_file()


def test_metric_that_errored_on_every_record_exits_1(csv_file, counting_server, capsys):
    argv = ["evaluate", str(csv_file), "-m", "faithfulness:llm_as_judge", "--judge", counting_server.url + "/no/v1", "-q"]
    assert main(argv) == 1
    assert "tessary: metric 'faithfulness' errored on every record" in capsys.readouterr().err


def test_metrics_lists_the_registry(capsys):
    assert main(["metrics", "--format", "json"]) == 0
    rows = json.loads(capsys.readouterr().out)
    assert {"metric": "hap", "provider": "detectors"}.items() <= rows[[r["metric"] for r in rows].index("hap")].items()


@pytest.mark.parametrize("name, text", [
    ("rag.jsonl", '{"question": "Who wrote Hamlet?", "answer": "Shakespeare.", "contexts": ["Hamlet is by Shakespeare."]}\n'
                  '{"question": "Capital of France?", "answer": "Paris.", "contexts": ["Paris is in France."]}\n'),
    ("rag.json", '[{"user_input": "Who wrote Hamlet?", "response": "Shakespeare.", "retrieved_contexts": "[\\"Hamlet is by Shakespeare.\\"]"}]'),
])
def test_demo_reads_the_users_own_files(tmp_path, capsys, name, text):
    from tessary import demo

    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    assert demo.main([str(path), "--out", str(tmp_path / "report")]) == 0
    assert "grounded" in capsys.readouterr().out


def test_dry_run_prints_the_estimate_and_sends_nothing(csv_file, counting_server, capsys):
    argv = ["evaluate", str(csv_file), "-m", "faithfulness:llm_as_judge", "-m", "hap", "--judge",
            counting_server.url + "/v1", "--dry-run", "--price-per-1k-tokens", "1"]
    assert main(argv) == 0
    out = capsys.readouterr().out
    assert "faithfulness [llm_as_judge]: 0 detector requests, 1 judge calls" in out
    assert "Total: 1 detector requests, 1 judge calls" in out and counting_server.requests == []
