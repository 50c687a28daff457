"""Settings shared by the whole suite."""

import pytest


@pytest.fixture(autouse=True)
def _no_user_judge_cache(monkeypatch):
    # Tests must not read or fill the user's judge cache; cache tests set their own file.
    monkeypatch.setenv("TESSARY_CACHE", "0")


@pytest.fixture
def hap_lexicon(monkeypatch):
    # For tests of the lexicon's own terms and scores: the service otherwise scores "hap" with the classifier.
    monkeypatch.setenv("TESSARY_HAP_SCORER", "lexicon")
