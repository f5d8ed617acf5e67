"""Ending tokens before they expire (``auth.revocation``): the store the configuration names.

``RevocationStore.shared()``-like access goes through :func:`revocation_store`, made on first use
from ``auth.revocation.store``; :func:`reset_revocation_store` makes the next use read the
configuration again.
"""

from __future__ import annotations

import threading

from ...config.app_config import AppConfig
from ...engine.redis_engine import RedisEngine
from .base import RevocationStore, token_family
from .database import DatabaseRevocationStore
from .memory import MemoryRevocationStore
from .redis_store import RedisRevocationStore

__all__ = ["RevocationStore", "reset_revocation_store", "revocation_store", "token_family"]

_store: RevocationStore | None = None
_lock = threading.Lock()


def _make() -> RevocationStore:
    kind = AppConfig.auth.revocation.store
    if kind == "redis":
        return RedisRevocationStore(RedisEngine().get_client())
    if kind == "memory":
        return MemoryRevocationStore()
    return DatabaseRevocationStore()


def revocation_store() -> RevocationStore:
    """The process's store, of the configured kind."""
    global _store
    store = _store
    if store is None:
        with _lock:
            if _store is None:
                _store = _make()
            store = _store
    return store


def reset_revocation_store() -> None:
    global _store
    with _lock:
        _store = None
