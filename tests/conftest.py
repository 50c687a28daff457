"""Settings and loopback servers shared by the whole suite."""

import contextlib

import pytest

from _servers import LoopbackServer, closed_port as _closed_port
from tessary.services.judged import JudgeServer


@pytest.fixture(autouse=True)
def _no_user_judge_cache(monkeypatch):
    # Tests must not read or fill the user's judge cache; cache tests set their own file.
    monkeypatch.setenv("TESSARY_CACHE", "0")


@pytest.fixture
def loopback():
    """Start a `LoopbackServer` (same arguments) for this test; every one started is stopped afterwards."""
    with contextlib.ExitStack() as servers:
        yield lambda *args, **kwargs: servers.enter_context(LoopbackServer(*args, **kwargs))


@pytest.fixture
def closed_port():
    """A loopback port with no listener."""
    return _closed_port()


@pytest.fixture(scope="module")
def judge_server():
    """The local judge server, shared by the tests of one module."""
    with JudgeServer() as server:
        yield server


@pytest.fixture
def hap_lexicon(monkeypatch):
    # For tests of the lexicon's own terms and scores: the service otherwise scores "hap" with the classifier.
    monkeypatch.setenv("TESSARY_HAP_SCORER", "lexicon")
