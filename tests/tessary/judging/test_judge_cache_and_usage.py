"""The disk cache of judge calls, and the tokens and cost of every judged record."""

import json
import subprocess
import sys

import pytest
from conftest import PATHS, RECORDS, evaluate

import tessary.judging as judging
from tessary.judging import cache


@pytest.fixture
def cache_file(tmp_path, monkeypatch):
    path = tmp_path / "judge.sqlite3"
    monkeypatch.setenv("TESSARY_CACHE", str(path))
    return path


@pytest.mark.parametrize("path", PATHS)
def test_rerun_is_served_from_the_cache_and_failures_are_not_kept(server, cache_file, path):
    judge = judging.judge("openai/tessary-judge", base_url=server.base_url, api_key="k", max_retries=0)
    server.app.mode = "garbage"
    failed = evaluate(path, judge)
    assert all(r.errors for r in failed.record_level_metrics)
    server.app.mode = "ok"
    sent = len(server.app.bodies)
    first = evaluate(path, judge)
    assert len(server.app.bodies) > sent and first.cached_calls == 0  # the failures were not cached
    sent = len(server.app.bodies)
    second = evaluate(path, judge)
    assert len(server.app.bodies) == sent and second.judge_calls == 0 and second.cached_calls == len(RECORDS)
    assert [r.value for r in second.record_level_metrics] == [r.value for r in first.record_level_metrics]
    entries = cache.info()["entries"]
    assert entries >= len(RECORDS) and cache.clear() == entries and cache.info()["entries"] == 0


def test_cache_is_off_with_the_switch_and_for_sampled_calls(server, monkeypatch, tmp_path):
    for setting, temperature in (("0", 0.0), (str(tmp_path / "c.sqlite3"), 0.7)):
        monkeypatch.setenv("TESSARY_CACHE", setting)
        judge = judging.judge("openai/tessary-judge", base_url=server.base_url, temperature=temperature)
        evaluate("criteria", judge)
        sent = len(server.app.bodies)
        assert evaluate("criteria", judge).cached_calls == 0 and len(server.app.bodies) > sent


@pytest.mark.parametrize("damage", ["{not json", "[1, 2]", '{"text": "a"}, {"text": "b"}', "null"])
def test_a_damaged_entry_costs_only_its_own_answer(server, cache_file, damage):
    import sqlite3

    judge = judging.judge("openai/tessary-judge", base_url=server.base_url, api_key="k")
    first = evaluate("faithfulness", judge)
    with sqlite3.connect(cache_file) as connection:
        connection.execute("UPDATE answers SET value = ? WHERE rowid = (SELECT MIN(rowid) FROM answers)", (damage,))
    sent = len(server.app.bodies)
    rerun = evaluate("faithfulness", judge)
    assert len(server.app.bodies) == sent + 1 and rerun.cached_calls == len(RECORDS) - 1
    assert [r.value for r in rerun.record_level_metrics] == [r.value for r in first.record_level_metrics]


WRITER = """
import sys
from tessary.judging.cache import JudgeCache
store = JudgeCache(sys.argv[1])
for i in range(300):
    store.put(f"{sys.argv[2]}-{i}", {"text": sys.argv[2] * 50, "input_tokens": i, "output_tokens": 1})
    store.put(f"shared-{i % 50}", {"text": "same", "input_tokens": 1, "output_tokens": 1})
"""


def test_two_processes_write_the_cache_at_once(tmp_path):
    path = tmp_path / "shared.sqlite3"
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(path), name]) for name in ("a", "b")]
    assert [writer.wait(timeout=60) for writer in writers] == [0, 0]
    store = cache.JudgeCache(path)
    assert store.info()["entries"] == 650
    found = store.get_many([f"a-{i}" for i in range(300)] + ["b-299", "shared-7"])
    assert len(found) == 302 and found["b-299"]["text"] == "b" * 50 and found["a-3"]["input_tokens"] == 3
    # Asking for most of the file reads it in one pass; smaller parts are looked up key by key: the same answers.
    everything = [f"{name}-{i}" for name in ("a", "b") for i in range(300)] + [f"shared-{i}" for i in range(50)]
    parts = [store.get_many(everything[start:start + 300]) for start in range(0, 650, 300)]
    assert store.get_many(everything + ["missing"]) == {key: v for part in parts for key, v in part.items()}


def test_cache_drops_the_least_recently_used_beyond_its_size(tmp_path):
    store = cache.JudgeCache(tmp_path / "small.sqlite3", max_bytes=20_000)
    store.put("old", {"text": "x" * 100})
    store.put("kept", {"text": "x" * 100})
    for i in range(400):
        store.get_many(["kept"])
        store.put(f"new-{i}", {"text": "y" * 100})
    left = store.get_many(["old", "kept"])
    assert list(left) == ["kept"] and store.info()["bytes"] <= 20_000


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("mode", ["ok", "no_usage"])
def test_tokens_and_cost_of_every_judged_record(server, path, mode):
    server.app.mode = mode
    prices = {"tessary-judge": (1.5, 6.0)}
    aggregate = evaluate(path, judging.judge("openai/tessary-judge", base_url=server.base_url, prices=prices))
    infos = [r.additional_info for r in aggregate.record_level_metrics]
    assert all(info["input_tokens"] > 0 and info["output_tokens"] > 0 for info in infos)
    assert {info["tokens_counted"] for info in infos} == {mode == "no_usage"}
    assert aggregate.input_tokens == sum(info["input_tokens"] for info in infos)
    assert aggregate.output_tokens == sum(info["output_tokens"] for info in infos)
    expected = (aggregate.input_tokens * 1.5 + aggregate.output_tokens * 6.0) / 1e6
    assert aggregate.cost == pytest.approx(expected) and aggregate.judge_calls >= len(RECORDS)
    assert json.dumps(aggregate.to_dict())  # the sums travel with the exported result
