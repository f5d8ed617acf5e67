"""Pooled connections checked without a round trip.

``pool_pre_ping`` sends a statement before every checkout; by default the engines do without
it. What replaces it is what the driver already knows: asyncpg and aiomysql watch their sockets
while a connection sits in the pool, so a server that went away (stopped, restarted, ended the
connection) leaves them marked closed. Such a connection is replaced at checkout, before the
statement that asked for it is sent, and every connection the pool made before it goes too (the
server that made them is gone). The statement then runs on the new connection, or fails to
connect and is answered 503.

A connection that fails while a statement is in flight is not retried: the server may have run
it (a write), or ended it on purpose (an administrator, a lock wait given up). SQLAlchemy
invalidates the pool on such an error, so the next request gets a fresh connection.
"""

from __future__ import annotations

from typing import Any

from sqlalchemy import event
from sqlalchemy.exc import InvalidatePoolError
from sqlalchemy.ext.asyncio import AsyncEngine

__all__ = ["known_closed", "watch_connections"]


def known_closed(driver_connection: Any) -> bool:
    """Whether the driver has seen the connection end, asked without any I/O."""
    is_closed = getattr(driver_connection, "is_closed", None)  # asyncpg
    if callable(is_closed):
        return bool(is_closed())
    reader = getattr(driver_connection, "_reader", None)  # aiomysql: end of stream seen
    at_eof = getattr(reader, "at_eof", None)
    if callable(at_eof) and type(driver_connection).__module__.startswith("aiomysql"):
        return bool(at_eof())
    return False  # SQLite: a file, nothing to lose


def watch_connections(engine: AsyncEngine) -> None:
    """Replaces, at checkout, pooled connections of ``engine`` that their driver knows are closed."""

    def checkout(dbapi_connection: Any, record: Any, proxy: Any) -> None:
        if known_closed(getattr(dbapi_connection, "driver_connection", None)):
            # The pool retries the checkout with a new connection, once more at most.
            raise InvalidatePoolError("the server closed this pooled connection")

    event.listen(engine.sync_engine, "checkout", checkout)
