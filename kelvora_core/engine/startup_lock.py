"""One process at a time through the start-up checks, across every process of a service.

Workers started side by side (``uvicorn --workers 4``, several containers) would otherwise
all find the same table or default account missing and all create it; all but one then fail.
``startup_lock()`` is held around each check, so the first process creates what is missing
and the others find it there.

The lock lives where every process of the service meets, the "Auth" database:

- PostgreSQL: a session-level advisory lock;
- MariaDB/MySQL: a named lock (``GET_LOCK``);
- SQLite: an exclusive ``flock`` on a file beside the database file (its processes share a
  host); an in-memory database is private to its process and needs none.

PostgreSQL and MariaDB hold the lock on a connection of its own, outside the pool, so that a
pool of one connection still serves the check. The lock goes with that connection: a process
that dies while holding it does not block the others. Waiting can be cancelled (a stop signal
during start-up).
"""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import hashlib
import os
from collections.abc import AsyncIterator

from sqlalchemy import text
from sqlalchemy.ext.asyncio import AsyncConnection, create_async_engine
from sqlalchemy.pool import NullPool

from ..config.app_config import AUTH_DATABASE
from .database_engine import DatabaseEngine

__all__ = ["LOCK_NAME", "startup_lock"]

LOCK_NAME = "kelvora.startup"
# pg_advisory_lock takes a bigint: the name's first 8 hash bytes, signed.
_PG_KEY = int.from_bytes(hashlib.blake2b(LOCK_NAME.encode(), digest_size=8).digest(), "big", signed=True)
_POLL_SECONDS = 0.05


@contextlib.asynccontextmanager
async def startup_lock(database: str = AUTH_DATABASE) -> AsyncIterator[None]:
    """Held by one process of the service at a time (see the module's description)."""
    url = DatabaseEngine().get_async_engine(database).url
    backend = url.get_backend_name()
    if backend == "sqlite":
        async with _file_lock(url.database):
            yield
    elif backend in ("postgresql", "mysql", "mariadb"):
        engine = create_async_engine(url, poolclass=NullPool)
        try:
            async with engine.connect() as conn:
                await _acquire(conn, backend)
                try:
                    yield
                finally:
                    await _release(conn, backend)
        finally:
            await engine.dispose()
    else:  # no shared place known for other databases
        yield


async def _acquire(conn: AsyncConnection, backend: str) -> None:
    if backend == "postgresql":
        await conn.execute(text("SELECT pg_advisory_lock(:key)"), {"key": _PG_KEY})
    else:
        # Waits of a second, again and again: never an endless wait on the server's side.
        while True:
            got = (await conn.execute(text("SELECT GET_LOCK(:name, 1)"), {"name": LOCK_NAME})).scalar()
            if got == 1:
                break
            if got is None:
                raise RuntimeError(f"GET_LOCK('{LOCK_NAME}') failed on the server")
    await conn.commit()  # no transaction left open while the checks run


async def _release(conn: AsyncConnection, backend: str) -> None:
    if conn.invalidated or conn.closed:
        return  # the lock went with the connection
    statement = "SELECT pg_advisory_unlock(:key)" if backend == "postgresql" else "SELECT RELEASE_LOCK(:name)"
    await conn.execute(text(statement), {"key": _PG_KEY} if backend == "postgresql" else {"name": LOCK_NAME})
    await conn.commit()


@contextlib.asynccontextmanager
async def _file_lock(database: str | None) -> AsyncIterator[None]:
    if not database or database == ":memory:" or database.startswith("file::memory:"):
        yield
        return
    path = os.path.abspath(database) + ".startup.lock"  # noqa: ASYNC240 (names only, no disk I/O)
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        # Polled without blocking, so that waiting stays cancellable and holds no thread.
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                await asyncio.sleep(_POLL_SECONDS)
        yield
    finally:
        os.close(fd)  # also releases the lock
