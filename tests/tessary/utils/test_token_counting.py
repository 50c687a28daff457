"""Offline "cl100k_base" token counting from the shipped rank file."""

import hashlib
import subprocess
import sys
import textwrap

import pytest

from tessary.utils import token_counting


@pytest.mark.parametrize(
    ("text", "tokens"),
    [
        ("hello world", [15339, 1917]),
        ("tiktoken is great!", [83, 1609, 5963, 374, 2294, 0]),
        ("", []),
    ],
)
def test_encoding_gives_the_published_token_ids(text, tokens):
    assert token_counting.get_encoding().encode(text) == tokens
    assert token_counting.count_tokens(text) == len(tokens)


@pytest.mark.parametrize(
    ("value", "count"),
    [
        (12345, 2),  # "123" "45"
        (None, 1),
        ("<|endoftext|>", 7),  # a special-token marker in user text is ordinary text
    ],
)
def test_count_tokens_counts_the_text_form(value, count):
    assert token_counting.count_tokens(value) == count


def test_shipped_rank_file_matches_the_published_hash():
    data = token_counting.rank_file_path().read_bytes()
    assert hashlib.sha256(data).hexdigest() == token_counting.RANK_FILE_SHA256
    ranks = token_counting.load_ranks()
    assert sorted(ranks.values()) == list(range(100256))


def test_a_tampered_rank_file_is_refused(tmp_path):
    tampered = tmp_path / "cl100k_base.tiktoken"
    data = token_counting.rank_file_path().read_bytes()
    tampered.write_bytes(data.replace(b"IQ== 0\n", b"IQ== 9\n", 1))
    with pytest.raises(ValueError, match="is corrupt: sha256"):
        token_counting.load_ranks(tampered)


@pytest.mark.parametrize(
    ("content", "message"),
    [(b"IQ== 0\nnot-a-pair\n", "line 2: malformed"), (b"IQ== zero\n", "line 1: malformed"), (b"!!! 0\n", "line 1")],
)
def test_malformed_rank_lines_are_reported_by_line(tmp_path, content, message):
    path = tmp_path / "ranks.tiktoken"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=message):
        token_counting.load_ranks(path, expected_sha256=hashlib.sha256(content).hexdigest())


def test_a_missing_rank_file_is_a_clear_error(tmp_path):
    with pytest.raises(FileNotFoundError, match="Cannot read the token rank file"):
        token_counting.load_ranks(tmp_path / "absent.tiktoken")


OFFLINE_CHECK = textwrap.dedent(
    """
    import os, socket, sys
    import tiktoken, tiktoken.load

    def no_network(*args, **kwargs):
        raise OSError("network access attempted")

    socket.socket.connect = no_network
    tiktoken.load.read_file = no_network

    import tessary.utils.token_counting as token_counting

    encoding = tiktoken.get_encoding("cl100k_base")
    assert encoding is token_counting.get_encoding()
    assert encoding.encode("hello world") == [15339, 1917], encoding.encode("hello world")
    assert os.listdir(sys.argv[1]) == [], os.listdir(sys.argv[1])
    print("offline ok")
    """
)


def test_tiktoken_lookup_works_offline_in_a_fresh_process(tmp_path):
    cache = tmp_path / "tiktoken-cache"
    cache.mkdir()
    env = {"TIKTOKEN_CACHE_DIR": str(cache), "PATH": "/usr/bin:/bin"}
    done = subprocess.run(
        [sys.executable, "-c", OFFLINE_CHECK, str(cache)], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "offline ok"
