"""A judge that fails ends every record with an error naming the cause, soon, and says what to check."""

import math

import pytest
from conftest import PATHS, RECORDS, evaluate

import tessary.judging as judging

FAILURES = {
    # mode: (code, text in every record's error, text in the one-line summary)
    "refused": ("JUDGE_CONNECTION_ERROR", "connection error", "is the judge server running"),
    "unauthorized": ("JUDGE_AUTH_ERROR", "HTTP 401", "is the API key set"),
    "garbage": ("JUDGE_INVALID_RESPONSE", "unparsable response", "chat-completions protocol"),
    "hang": ("JUDGE_TIMEOUT", "no answer within 0.3 s", "Raise the judge's timeout"),
    "rate_limited": ("JUDGE_RATE_LIMITED", "HTTP 429", "lower max_concurrency"),
}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("mode", FAILURES)
def test_failed_judge_calls_become_error_records_with_their_cause(server, closed_port, path, mode):
    code, detail, hint = FAILURES[mode]
    server.app.mode = mode
    base_url = f"http://127.0.0.1:{closed_port}/v1" if mode == "refused" else server.base_url
    judge = judging.judge("openai/tessary-judge", base_url=base_url, api_key="k", timeout=0.3,
                          max_retries=1, max_concurrency=1)
    aggregate = evaluate(path, judge)
    records = aggregate.record_level_metrics
    assert len(records) == len(RECORDS)
    for record in records:
        assert record.value is None or math.isnan(record.value)
        [error] = record.errors
        assert error.code == code and f"{base_url}/chat/completions" in error.message_en
        assert detail in error.message_en or "not sent" in error.message_en
    [summary] = aggregate.errors
    assert summary.code == code and summary.message_en.startswith(f"All {len(RECORDS)} records of metric")
    assert hint in summary.message_en and detail in summary.message_en
    if mode in ("garbage", "rate_limited"):  # a live but failing service: every record is tried
        assert len(server.app.bodies) >= len(RECORDS)
    elif mode != "refused":  # a service that is down is not asked again for every record
        assert len(server.app.bodies) <= 2


def test_a_metric_deadline_ends_the_run(server):
    server.app.mode = "hang"
    judge = judging.judge("openai/tessary-judge", base_url=server.base_url, timeout=5, deadline=0.4,
                          max_concurrency=2)
    records = evaluate("criteria", judge).record_level_metrics
    assert all("deadline of 0.4 s" in record.errors[0].message_en for record in records)
