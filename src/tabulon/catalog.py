"""The catalog: dotted names resolved to metrics, judge templates and tasks.

Entries are registered as factories so every resolution gives a fresh object
(metrics hold per-run state such as a loaded embedding model reference).
"""

from __future__ import annotations

import difflib
import importlib
import threading
from collections.abc import Callable
from typing import Any

from tabulon.errors import UnknownCatalogNameError

_entries: dict[str, Callable[[], Any]] = {}
_lock = threading.Lock()
_loaded = False
# Modules whose import registers the built-in entries.
_BUILTIN_MODULES = ("tabulon.metrics", "tabulon.templates", "tabulon.tasks")


def register(name: str, factory: Callable[[], Any], overwrite: bool = False) -> None:
    """Register ``factory`` under ``name``; refuses to replace an entry unless ``overwrite``."""
    if not isinstance(name, str) or not name:
        raise ValueError("A catalog name must be a non-empty string.")
    with _lock:
        if name in _entries and not overwrite:
            raise ValueError(f"Catalog name '{name}' is already registered.")
        _entries[name] = factory


def _ensure_builtins() -> None:
    global _loaded
    if _loaded:
        return
    for module in _BUILTIN_MODULES:
        importlib.import_module(module)
    _loaded = True


def names(prefix: str = "") -> list[str]:
    """All registered names that start with ``prefix``, sorted."""
    _ensure_builtins()
    return sorted(n for n in _entries if n.startswith(prefix))


def get(name: str) -> Any:
    """Return a new object for catalog ``name``; unknown names raise with close suggestions."""
    _ensure_builtins()
    factory = _entries.get(name)
    if factory is None:
        raise UnknownCatalogNameError(name, _suggest(name))
    return factory()


def resolve(item: Any) -> Any:
    """Resolve ``item`` when it is a catalog name; return other objects unchanged."""
    return get(item) if isinstance(item, str) else item


def _suggest(name: str) -> list[str]:
    known = list(_entries)
    close = difflib.get_close_matches(name, known, n=3, cutoff=0.6)
    if close:
        return close
    # Fall back to entries that share the longest dotted prefix with the name.
    parts = name.split(".")
    for depth in range(len(parts) - 1, 0, -1):
        prefix = ".".join(parts[:depth]) + "."
        siblings = sorted(n for n in known if n.startswith(prefix))
        if siblings:
            return siblings[:3]
    return []
