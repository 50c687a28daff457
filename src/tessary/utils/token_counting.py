"""Offline token counting with the "cl100k_base" encoding of tiktoken.

tiktoken normally downloads the encoding's rank file on first use. The package
ships that file (``data/cl100k_base.tiktoken``) and checks it against the hash
that tiktoken publishes, so token counts never need the network.

Importing this module also teaches tiktoken's own registry to build
"cl100k_base" from the shipped file, so that ``tiktoken.get_encoding("cl100k_base")``
works offline everywhere in the process, not only through this module.
"""

from __future__ import annotations

import base64
import functools
import hashlib
import threading
from importlib import resources
from pathlib import Path
from typing import Any

import tiktoken
import tiktoken.registry

ENCODING_NAME = "cl100k_base"
RANK_FILE_NAME = "cl100k_base.tiktoken"
# The sha256 that tiktoken itself expects for this rank file.
RANK_FILE_SHA256 = "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7"

# The split pattern and special tokens of "cl100k_base", as tiktoken defines them.
PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"""
    r"""|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""
)
SPECIAL_TOKENS = {
    "<|endoftext|>": 100257,
    "<|fim_prefix|>": 100258,
    "<|fim_middle|>": 100259,
    "<|fim_suffix|>": 100260,
    "<|endofprompt|>": 100276,
}

_install_lock = threading.Lock()


def rank_file_path() -> Path:
    """Path of the rank file shipped with the package."""
    return Path(str(resources.files("tessary.utils").joinpath("data", RANK_FILE_NAME)))


def load_ranks(path: str | Path | None = None, expected_sha256: str = RANK_FILE_SHA256) -> dict[bytes, int]:
    """Read a tiktoken rank file, refusing it unless its sha256 is the expected one."""
    path = Path(path) if path is not None else rank_file_path()
    try:
        data = path.read_bytes()
    except OSError as error:
        raise FileNotFoundError(f"Cannot read the token rank file {path}: {error}") from error
    actual = hashlib.sha256(data).hexdigest()
    if actual != expected_sha256:
        raise ValueError(
            f"Token rank file {path} is corrupt: sha256 {actual}, expected {expected_sha256}"
        )
    return _parse_ranks(data, path)


def _parse_ranks(data: bytes, path: Path) -> dict[bytes, int]:
    """Parse the lines "<base64 token> <rank>" of a rank file."""
    ranks: dict[bytes, int] = {}
    for number, line in enumerate(data.splitlines(), start=1):
        if not line:
            continue
        try:
            token, rank = line.split()
            ranks[base64.b64decode(token, validate=True)] = int(rank)
        except ValueError as error:
            raise ValueError(f"Token rank file {path}, line {number}: malformed entry") from error
    return ranks


def encoding_parameters() -> dict[str, Any]:
    """Keyword arguments of ``tiktoken.Encoding`` for "cl100k_base", from the shipped file."""
    return {
        "name": ENCODING_NAME,
        "pat_str": PATTERN,
        "mergeable_ranks": load_ranks(),
        "special_tokens": dict(SPECIAL_TOKENS),
    }


def install_offline_encoding() -> None:
    """Make ``tiktoken.get_encoding("cl100k_base")`` build from the shipped file.

    Only the constructor is replaced; the file is read on the first lookup.
    """
    with _install_lock:
        # Listing the names makes tiktoken discover its plugins first, so ours is not overwritten.
        tiktoken.list_encoding_names()
        constructors = tiktoken.registry.ENCODING_CONSTRUCTORS
        if constructors is not None:
            constructors[ENCODING_NAME] = encoding_parameters


@functools.cache
def get_encoding() -> tiktoken.Encoding:
    """The process-wide "cl100k_base" encoding, loaded from the shipped rank file.

    It is tiktoken's own cached instance, so the ranks are held once per process.
    """
    install_offline_encoding()
    return tiktoken.get_encoding(ENCODING_NAME)


def count_tokens(text: object) -> int:
    """Number of "cl100k_base" tokens in the text form of ``text``.

    Special-token markers in the text count as ordinary text, never as an error.
    """
    return len(get_encoding().encode_ordinary(text if isinstance(text, str) else str(text)))


install_offline_encoding()
