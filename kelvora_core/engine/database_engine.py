"""Named databases and their async SQLAlchemy engines.

The databases come from ``AppConfig.databases`` (name -> URL and pool options). Every
``DatabaseEngine()`` gives access to the same engines: one ``AsyncEngine`` per database,
created on first use and kept in a process-wide registry. Names are matched without regard
to letter case ("Auth" and "auth" are one database). Every engine refuses statement parameters
that the backends would not store alike (``parameter_guard``).
"""

from __future__ import annotations

import threading
from typing import ClassVar

from sqlalchemy.engine import make_url
from sqlalchemy.ext.asyncio import AsyncEngine, create_async_engine

from ..config.app_config import AppConfig
from .availability import watch_engine
from .connection_health import watch_connections
from .parameter_guard import guard_parameters

__all__ = ["DatabaseEngine", "UnknownDatabaseError"]

_POOL_OPTIONS = ("pool_size", "max_overflow", "pool_timeout", "pool_recycle")


class UnknownDatabaseError(LookupError):
    """A database name that the configuration does not define."""


class DatabaseEngine:
    """Access to the configured databases; cheap to create, all instances share one registry."""

    _engines: ClassVar[dict[str, AsyncEngine]] = {}
    # Reentrant: close() runs from finalisers, which the collector may start while this
    # thread is inside get_async_engine.
    _lock: ClassVar[threading.RLock] = threading.RLock()

    @staticmethod
    def _setting(name: str):
        if not isinstance(name, str):
            raise TypeError(f"database name must be a str, got {type(name).__name__}")
        databases = AppConfig.databases
        for configured, setting in databases.items():
            if configured.lower() == name.lower():
                return setting
        known = ", ".join(sorted(databases)) or "none"
        raise UnknownDatabaseError(f"unknown database '{name}' (configured: {known})")

    def get_async_engine(self, name: str) -> AsyncEngine:
        setting = self._setting(name)
        key = name.lower()
        engine = self._engines.get(key)
        if engine is not None:
            return engine
        with self._lock:
            engine = self._engines.get(key)
            if engine is None:
                options = {o: getattr(setting, o) for o in _POOL_OPTIONS if getattr(setting, o) is not None}
                engine = create_async_engine(setting.url, echo=setting.echo,
                                             pool_pre_ping=setting.pool_pre_ping, **options)
                guard_parameters(engine)
                # Before watch_engine: a checkout counts as working only once its connection is live.
                watch_connections(engine)
                # Its errors carry the database's configured name, for the logs and answers.
                configured = [known for known in AppConfig.databases if known.lower() == key]
                watch_engine(engine, configured[0] if configured else name)
                self._engines[key] = engine
            return engine

    def support_schema(self, name: str) -> bool:
        """Named schemas are used on PostgreSQL only (MySQL's "schemas" are databases)."""
        return make_url(self._setting(name).url).get_backend_name() == "postgresql"

    async def async_close(self) -> None:
        """Dispose of every engine and its pool; a later request creates the engine anew."""
        with self._lock:
            engines = list(self._engines.values())
            self._engines.clear()
        for engine in engines:
            await engine.dispose()

    def close(self) -> None:
        """Synchronous release, for interpreter shutdown.

        Without an event loop the pooled connections cannot be closed politely; the pools
        are dropped (``close=False``) and the driver connections go with the process.
        """
        with self._lock:
            engines = list(self._engines.values())
            self._engines.clear()
        for engine in engines:
            engine.sync_engine.dispose(close=False)
