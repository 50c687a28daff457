"""The disk cache of judge calls: one SQLite file shared by every process of the user.

A judge call is stored under a key made of the back end, its endpoint, the model,
the full request (messages and parameters) and the cache version, so a rerun of an
unchanged evaluation is answered from disk. Only complete answers are stored;
errors and answers cut short are not. Writes are single SQLite transactions (atomic,
safe for several processes at once); the file is kept under a size bound by dropping
the least recently used answers.

Environment: ``TESSARY_CACHE=0`` (or "false", "off", "no") turns the cache off;
``TESSARY_CACHE=<path>`` puts it in that file. The default file is
``$XDG_CACHE_HOME/tessary/judge-cache.sqlite3`` (``~/.cache/...``).
``TESSARY_CACHE_MAX_MB`` bounds its size (default 512).
"""

from __future__ import annotations

import json
import os
import sqlite3
import threading
import time
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

from tabulon import _engine

__all__ = ["DEFAULT_MAX_BYTES", "JudgeCache", "clear", "default_path", "info", "is_disabled", "store_for"]

DEFAULT_MAX_BYTES = 512 * 1024 * 1024
_OFF_TEXTS = frozenset({"0", "false", "off", "no"})
_ON_TEXTS = frozenset({"", "1", "true", "on", "yes"})
_BUSY_TIMEOUT_MS = 30_000
# Eviction runs once this many bytes were written since the last check.
_EVICTION_STEP = 4 * 1024 * 1024
_SCHEMA = """
CREATE TABLE IF NOT EXISTS answers (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL,
    size INTEGER NOT NULL,
    used REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS answers_used ON answers (used);
"""


def _setting() -> str | None:
    value = os.environ.get("TESSARY_CACHE")
    return None if value is None else value.strip()


def is_disabled() -> bool:
    """True when ``TESSARY_CACHE`` turns the cache off."""
    value = _setting()
    return value is not None and value.lower() in _OFF_TEXTS


def default_path() -> Path:
    """The cache file: ``TESSARY_CACHE`` when it names one, else under the user's cache folder."""
    value = _setting()
    if value and value.lower() not in _OFF_TEXTS | _ON_TEXTS:
        return Path(value).expanduser()
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "tessary" / "judge-cache.sqlite3"


def _max_bytes() -> int:
    text = os.environ.get("TESSARY_CACHE_MAX_MB", "").strip()
    if not text:
        return DEFAULT_MAX_BYTES
    try:
        megabytes = float(text)
    except ValueError:
        raise ValueError(f"TESSARY_CACHE_MAX_MB must be a number of megabytes, got {text!r}.") from None
    if megabytes <= 0:
        raise ValueError(f"TESSARY_CACHE_MAX_MB must be positive, got {text!r}.")
    return int(megabytes * 1024 * 1024)


class JudgeCache:
    """Answers of judge calls in one SQLite file, bounded in size with least-recently-used eviction."""

    def __init__(self, path: str | os.PathLike[str], max_bytes: int = DEFAULT_MAX_BYTES) -> None:
        self.path = Path(path).expanduser()
        self.max_bytes = max_bytes
        self._lock = threading.Lock()
        self._connection: sqlite3.Connection | None = None
        self._pid = -1
        self._written = 0

    def _connect(self) -> sqlite3.Connection:
        # A connection must not cross a fork: a child opens its own.
        if self._connection is None or self._pid != os.getpid():
            self.path.parent.mkdir(parents=True, exist_ok=True)
            connection = sqlite3.connect(self.path, timeout=_BUSY_TIMEOUT_MS / 1000,
                                         isolation_level=None, check_same_thread=False)
            connection.execute(f"PRAGMA busy_timeout = {_BUSY_TIMEOUT_MS}")
            _use_write_ahead_log(connection)
            connection.execute("PRAGMA synchronous = NORMAL")
            connection.executescript(_SCHEMA)
            self._connection, self._pid = connection, os.getpid()
        return self._connection

    def get_many(self, keys: Iterable[str]) -> dict[str, dict[str, Any]]:
        """The stored answers of those keys that have one; marks them as just used."""
        keys = list(dict.fromkeys(keys))
        found: dict[str, dict[str, Any]] = {}
        with self._lock:
            connection = self._connect()
            rows = self._rows(connection, keys)
            found.update(_decoded(rows))
            if rows and not self._most_recently_used(connection, rows):
                now = time.time()
                with _transaction(connection):
                    for chunk in _chunks([key for key, *_ in rows]):
                        marks = ",".join("?" * len(chunk))
                        connection.execute(f"UPDATE answers SET used = ? WHERE key IN ({marks})", [now, *chunk])
        return found

    @staticmethod
    def _rows(connection: sqlite3.Connection, keys: list[str]) -> list[tuple[str, str, float]]:
        """(key, value, used) of those keys that have an answer, in no particular order."""
        # The file holds at most its largest row id of entries; finding it takes a few page reads, where
        # counting them would read every one.
        (last,) = connection.execute("SELECT MAX(rowid) FROM answers").fetchone()
        if last is None or last <= 2 * len(keys):  # most of the file is wanted: one pass beats a lookup per key
            wanted = set(keys)
            return [row for row in connection.execute("SELECT key, value, used FROM answers") if row[0] in wanted]
        rows: list[tuple[str, str, float]] = []
        for chunk in _chunks(keys):
            marks = ",".join("?" * len(chunk))
            rows += connection.execute(f"SELECT key, value, used FROM answers WHERE key IN ({marks})", chunk)
        return rows

    @staticmethod
    def _most_recently_used(connection: sqlite3.Connection, rows: list[tuple[str, str, float]]) -> bool:
        """True when no other answer was used since the oldest of these: marking them as just used
        would then change nothing in the eviction order (a rerun right after the run that stored them)."""
        oldest = min(used for *_, used in rows)
        (newer,) = connection.execute("SELECT COUNT(*) FROM answers WHERE used >= ?", (oldest,)).fetchone()
        return newer == len(rows)

    def put(self, key: str, answer: dict[str, Any]) -> None:
        """Store one complete answer (replacing an older one under the same key)."""
        value = json.dumps(answer, ensure_ascii=False)
        size = len(key) + len(value)
        with self._lock:
            connection = self._connect()
            with _transaction(connection):
                connection.execute("INSERT OR REPLACE INTO answers (key, value, size, used) VALUES (?, ?, ?, ?)",
                                   (key, value, size, time.time()))
            self._written += size
            if self._written >= min(_EVICTION_STEP, self.max_bytes // 10):
                self._written = 0
                self._evict(connection)

    def _evict(self, connection: sqlite3.Connection) -> None:
        with _transaction(connection):
            (total,) = connection.execute("SELECT COALESCE(SUM(size), 0) FROM answers").fetchone()
            if total <= self.max_bytes * 0.9:
                return
            # Down to 90% of the bound, so the writes until the next check stay within it.
            excess = total - int(self.max_bytes * 0.9)
            freed, doomed = 0, []
            for key, size in connection.execute("SELECT key, size FROM answers ORDER BY used"):
                doomed.append((key,))
                freed += size
                if freed >= excess:
                    break
            connection.executemany("DELETE FROM answers WHERE key = ?", doomed)

    def info(self) -> dict[str, Any]:
        """Path, number of stored answers and their bytes."""
        if not self.path.exists():
            return {"path": str(self.path), "entries": 0, "bytes": 0, "max_bytes": self.max_bytes}
        with self._lock:
            entries, size = self._connect().execute(
                "SELECT COUNT(*), COALESCE(SUM(size), 0) FROM answers").fetchone()
        return {"path": str(self.path), "entries": entries, "bytes": size, "max_bytes": self.max_bytes}

    def clear(self) -> int:
        """Remove every stored answer; returns how many there were."""
        if not self.path.exists():
            return 0
        with self._lock:
            connection = self._connect()
            with _transaction(connection):
                removed = connection.execute("DELETE FROM answers").rowcount
            connection.execute("VACUUM")
        return removed

    def close(self) -> None:
        with self._lock:
            if self._connection is not None and self._pid == os.getpid():
                self._connection.close()
            self._connection = None


class _transaction:
    """BEGIN IMMEDIATE ... COMMIT, rolled back on any error (writers queue on the file lock)."""

    def __init__(self, connection: sqlite3.Connection) -> None:
        self.connection = connection

    def __enter__(self) -> None:
        self.connection.execute("BEGIN IMMEDIATE")

    def __exit__(self, kind: Any, *rest: Any) -> None:
        self.connection.execute("COMMIT" if kind is None else "ROLLBACK")


_stores: dict[Path, JudgeCache] = {}
_stores_lock = threading.Lock()


def store_for(setting: bool | str | os.PathLike[str] | None = None) -> JudgeCache | None:
    """The cache for an engine's ``cache`` setting (None or True: the default file; a path: that file).

    None when ``TESSARY_CACHE`` turns caching off or the setting is False.
    """
    if setting is False or is_disabled():
        return None
    path = default_path() if setting in (None, True) else Path(setting).expanduser()
    with _stores_lock:
        store = _stores.get(path)
        if store is None:
            store = _stores[path] = JudgeCache(path, _max_bytes())
        return store


def info(path: str | os.PathLike[str] | None = None) -> dict[str, Any]:
    """``{"path", "entries", "bytes", "max_bytes", "enabled"}`` of the cache file (default: the current one)."""
    store = store_for(path) or JudgeCache(Path(path) if path else default_path(), _max_bytes())
    return {**store.info(), "enabled": not is_disabled()}


def clear(path: str | os.PathLike[str] | None = None) -> int:
    """Empty the cache file; returns the number of answers removed."""
    store = store_for(path) or JudgeCache(Path(path) if path else default_path(), _max_bytes())
    return store.clear()


_engine.set_response_store_resolver(store_for)


def _use_write_ahead_log(connection: sqlite3.Connection) -> None:
    """Switches the file to write-ahead logging. Two processes opening a new file at once both
    switch it, and SQLite refuses the second at once (the busy time-out does not apply to the
    switch): that one tries again until the time-out."""
    deadline = time.monotonic() + _BUSY_TIMEOUT_MS / 1000
    while True:
        try:
            connection.execute("PRAGMA journal_mode = WAL")
            return
        except sqlite3.OperationalError as error:
            if getattr(error, "sqlite_errorcode", None) != sqlite3.SQLITE_BUSY or time.monotonic() > deadline:
                raise
        time.sleep(0.005)


def _chunks(keys: list[str], size: int = 500) -> Iterator[list[str]]:
    # SQLite bounds the parameters of one statement.
    for start in range(0, len(keys), size):
        yield keys[start:start + size]


def _decoded(rows: list[tuple[str, str, float]]) -> list[tuple[str, dict[str, Any]]]:
    """The stored answers (key, value, used) decoded, all in one parse; an entry that is not an
    answer is left out."""
    if not rows:
        return []
    try:
        values = json.loads("[" + ",".join(row[1] for row in rows) + "]")
    except ValueError:
        values = None
    # Each value is one JSON object, as `put` writes them; anything else is read on its own.
    if type(values) is not list or len(values) != len(rows) or not all(type(v) is dict for v in values):
        values = [_answer_or_none(row[1]) for row in rows]
    return [(row[0], value) for row, value in zip(rows, values) if value is not None]


def _answer_or_none(value: str) -> dict[str, Any] | None:
    try:
        answer = json.loads(value)
    except ValueError:
        return None
    return answer if type(answer) is dict else None
