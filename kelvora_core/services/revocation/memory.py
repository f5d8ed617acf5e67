"""Ended tokens in this process: for a service of one process, and for tests."""

from __future__ import annotations

import threading
import time
from typing import Any

from .base import RevocationStore

__all__ = ["MemoryRevocationStore"]


class MemoryRevocationStore(RevocationStore):
    def __init__(self) -> None:
        self._entries: dict[str, tuple[float, float]] = {}
        self._lock = threading.Lock()
        self._writes = 0

    async def _values(self, keys: list[str], db: Any) -> dict[str, float]:
        now = time.time()
        with self._lock:
            found = {key: self._entries.get(key) for key in keys}
        return {key: entry[0] for key, entry in found.items() if entry is not None and entry[1] > now}

    def _purge(self, now: float) -> None:
        # Now and then, not on every write: expired entries only take room.
        self._writes += 1
        if self._writes % 1024 == 0:
            for key in [key for key, (_, expires) in self._entries.items() if expires <= now]:
                del self._entries[key]

    async def _put(self, key: str, value: float, expires_at: float) -> None:
        now = time.time()
        with self._lock:
            old = self._entries.get(key)
            if old is not None and old[1] > now:
                value, expires_at = max(value, old[0]), max(expires_at, old[1])
            self._entries[key] = (value, expires_at)
            self._purge(now)

    async def _put_new(self, key: str, expires_at: float) -> bool:
        now = time.time()
        with self._lock:
            old = self._entries.get(key)
            if old is not None and old[1] > now:
                return False
            self._entries[key] = (now, expires_at)
            self._purge(now)
            return True
