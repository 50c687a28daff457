import logging

import numpy as np
import pandas as pd
import pytest

from tessary.utils import environment
from tessary.utils.python_utils import (
    get_authenticator_token,
    track_duration,
    transform_str_to_list,
)


@pytest.mark.parametrize(
    ("cell", "expected"),
    [
        (["a", "b"], ["a", "b"]),
        ('["a", "b"]', ["a", "b"]),
        ("['a', 'b']", ["a", "b"]),  # Python-literal text
        ('  ["x"]  ', ["x"]),
        ("plain context", ["plain context"]),
        ("[not a list", ["[not a list"]),
        ('"quoted"', ['"quoted"']),
        ("[1, 2]", [1, 2]),
        (("a", "b"), ["a", "b"]),
        (np.array(["a", "b"]), ["a", "b"]),
        (None, []),
        (float("nan"), []),
        # empty cells as pandas and numpy mark them, not the marker's text
        (pd.NA, []),
        (pd.NaT, []),
        (np.float32("nan"), []),
        (np.datetime64("NaT", "ns"), []),
        (np.float32(0.5), ["0.5"]),
        ("", [""]),
        (7, ["7"]),
    ],
)
def test_transform_str_to_list(cell, expected):
    assert transform_str_to_list(cell) == expected


def test_transform_str_to_list_returns_the_same_list():
    cell = ["a"]
    assert transform_str_to_list(cell) is cell


def test_track_duration_measures_and_never_suppresses(caplog):
    caplog.set_level(logging.DEBUG, logger="tessary.utils.python_utils")
    with track_duration("Metric Evaluation - ok") as tracker:
        pass
    assert tracker.duration >= 0

    with pytest.raises(ZeroDivisionError):
        with track_duration("Metric Evaluation - broken") as failing:
            1 / 0
    assert failing.duration is not None
    assert "Metric Evaluation - ok done" in caplog.text
    assert "Metric Evaluation - broken failed" in caplog.text


def test_get_authenticator_token():
    class Authenticator:
        def get_token(self):
            return "tok-1"

    assert get_authenticator_token(Authenticator()) == "tok-1"
    with pytest.raises(ValueError, match="authenticator"):
        get_authenticator_token(None)


@pytest.mark.parametrize(
    ("text", "expected"),
    [(None, False), ("true", True), ("1", True), ("YES", True), ("false", False), ("0", False)],
)
def test_inference_cache_switch(monkeypatch, text, expected):
    if text is None:
        monkeypatch.delenv("TESSARY_TABULON_INFERENCE_CACHE", raising=False)
    else:
        monkeypatch.setenv("TESSARY_TABULON_INFERENCE_CACHE", text)
    assert environment.get_tabluon_enable_inference_cache() is expected


@pytest.mark.parametrize(
    ("name", "text", "reader"),
    [
        (
            "TESSARY_TABULON_INFERENCE_CACHE",
            "maybe",
            environment.get_tabluon_enable_inference_cache,
        ),
        ("TESSARY_LUMERIS_CONCURRENCY_LIMIT", "ten", environment.get_lumeris_concurrency_limit),
        ("TESSARY_LUMERIS_CONCURRENCY_LIMIT", "0", environment.get_lumeris_concurrency_limit),
        ("TESSARY_TELEMETRY_BATCH_SIZE", "-3", environment.get_telemetry_batch_size),
    ],
)
def test_bad_switch_values_name_the_variable(monkeypatch, name, text, reader):
    monkeypatch.setenv(name, text)
    with pytest.raises(ValueError, match=name):
        reader()


def test_concurrency_limit_default_and_override(monkeypatch):
    monkeypatch.delenv("TESSARY_LUMERIS_CONCURRENCY_LIMIT", raising=False)
    assert environment.get_lumeris_concurrency_limit() == 10
    monkeypatch.setenv("TESSARY_LUMERIS_CONCURRENCY_LIMIT", "4")
    assert environment.get_lumeris_concurrency_limit() == 4


@pytest.mark.parametrize(("server", "expected"), [("QZAI", "QZAI"), ("other", None), (None, None)])
def test_hosting_environment(monkeypatch, server, expected):
    if server is None:
        monkeypatch.delenv("LUMERIS_SERVER", raising=False)
    else:
        monkeypatch.setenv("LUMERIS_SERVER", server)
    assert environment.get_hosting_environment() == expected
