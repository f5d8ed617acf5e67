"""Where a database error came from, whether it means the database is unavailable, and
logging an outage once instead of once per request.

``watch_engine(engine, name)`` (called by ``DatabaseEngine`` for every engine it makes)
marks the errors of that engine with the database's name: errors of statements through the
engine's ``handle_error`` event, and every failure to get a connection from its pool (server
down, refused, starting up, pool exhausted) through the pool's ``connect``. Such a failure
may be a raw driver or socket error (asyncpg raises ``ConnectionRefusedError`` as it is), so
the mark is what tells it apart from an unrelated ``OSError``.

``outages`` writes one error line when a database becomes unavailable for a given cause, and
one line when it works again (a connection is handed out after the failures have stopped for
``QUIET_SECONDS``), with how long it lasted and how many failures it absorbed. A server that
goes away shows first as connections lost in use, then as connections refused: both mean
"unreachable" and are one outage, named after the failure that opened it.
"""

from __future__ import annotations

import contextlib
import threading
import time
from dataclasses import dataclass
from typing import Any

from sqlalchemy import event
from sqlalchemy.exc import DBAPIError, OperationalError, SQLAlchemyError
from sqlalchemy.exc import TimeoutError as PoolTimeoutError
from sqlalchemy.ext.asyncio import AsyncEngine
from sqlalchemy.pool import Pool

from ..logger.logging_ import logging

__all__ = ["QUIET_SECONDS", "Outages", "cause_of", "database_of", "is_database_error", "is_unavailable",
           "outages", "watch_engine"]

_DATABASE = "kelvora_database"  # attribute set on a marked exception: the configured name
_CONNECT = "kelvora_connect_failure"  # set when the pool could not hand out a connection
_REPORTED = "kelvora_outage_reported"  # counted once, though a scope and a handler both see it

#: A database counts as working again once a connection is handed out after this long
#: without a failure of the same cause (so an exhausted pool, where some checkouts still
#: succeed, is one outage and not a line pair per time-out).
QUIET_SECONDS = 1.0

POOL_EXHAUSTED = "连接池耗尽"
CONNECTION_LOST = "连接中断"
_UNREACHABLE = "unreachable"  # the kind of outage of both, never shown


def _mark(exc: BaseException, database: str, connect: bool = False) -> None:
    try:
        if getattr(exc, _DATABASE, None) is None:
            setattr(exc, _DATABASE, database)
        if connect:
            setattr(exc, _CONNECT, True)
    except AttributeError:  # an exception type without a __dict__: left unmarked
        pass


def _chain(exc: BaseException | None, handled: bool = True):
    """The exception and the ones it was raised from (and, with ``handled``, while handling),
    a bounded walk."""
    seen = 0
    while exc is not None and seen < 16:
        yield exc
        exc = exc.__cause__ or (exc.__context__ if handled else None)
        seen += 1


def database_of(exc: BaseException) -> str | None:
    """The configured name of the database the error came from, when it is known."""
    for link in _chain(exc):
        name = getattr(link, _DATABASE, None)
        if isinstance(name, str):
            return name
    return None


def _unavailable(exc: BaseException) -> bool:
    if isinstance(exc, (OperationalError, PoolTimeoutError)) or getattr(exc, _CONNECT, False) is True:
        return True
    return isinstance(exc, DBAPIError) and bool(exc.connection_invalidated)


def is_unavailable(exc: BaseException) -> bool:
    """The database could not serve: connection refused or lost, not yet accepting
    connections, pool exhausted, operational failure. Not the caller's fault: the answer is
    503 and trying again later may work. Errors raised *from* such a failure (SQLAlchemy's
    wrapping of a driver error, a framework's) count as it."""
    return any(_unavailable(link) for link in _chain(exc, handled=False))


def is_database_error(exc: BaseException) -> bool:
    """An error of the database layer (or raised from one), as opposed to one of the caller's
    input or of the code."""
    return any(isinstance(link, SQLAlchemyError) or getattr(link, _DATABASE, None) is not None
               for link in _chain(exc, handled=False))


def cause_of(exc: BaseException) -> str:
    """A short label of why a database is unavailable; one outage is logged per label."""
    links = list(_chain(exc, handled=False))
    if any(isinstance(link, PoolTimeoutError) for link in links):
        return POOL_EXHAUSTED
    if any(isinstance(link, DBAPIError) and link.connection_invalidated for link in links):
        return CONNECTION_LOST
    root = links[-1]  # the driver's or the socket's own error, under SQLAlchemy's wrapping
    if root is exc and isinstance(exc, DBAPIError) and exc.orig is not None:
        root = exc.orig
    return type(root).__name__


def _kind(exc: BaseException, cause: str) -> str:
    """What an outage is counted under: a lost connection and a failed connect are one."""
    if cause == CONNECTION_LOST or (cause != POOL_EXHAUSTED and any(
            getattr(link, _CONNECT, False) is True for link in _chain(exc, handled=False))):
        return _UNREACHABLE
    return cause


def _first_line(exc: BaseException) -> str:
    try:
        text = str(exc)
    except Exception:  # a broken __str__ must not break the log line
        text = object.__repr__(exc)
    return text.strip().splitlines()[0] if text.strip() else type(exc).__name__


@dataclass
class _Outage:
    database: str
    cause: str
    started: float
    last: float
    failures: int = 1


class Outages:
    """Open outages of this process, by database and cause."""

    def __init__(self) -> None:
        self._open: dict[tuple[str, str], _Outage] = {}
        self._lock = threading.Lock()

    def report(self, exc: BaseException, database: str | None = None) -> bool:
        """Counts a failure; logs it only when it opens an outage. True when it did."""
        if any(getattr(link, _REPORTED, False) is True for link in _chain(exc, handled=False)):
            return False
        with contextlib.suppress(AttributeError):
            setattr(exc, _REPORTED, True)
        name = database_of(exc) or (str(database) if database is not None else "未知")
        cause = cause_of(exc)
        key = (name.lower(), _kind(exc, cause))
        now = time.monotonic()
        with self._lock:
            outage = self._open.get(key)
            if outage is not None:
                outage.failures += 1
                outage.last = now
                return False
            self._open[key] = _Outage(name, cause, now, now)
        logging.error(f"数据库 {name} 不可用 [{cause}]: {_first_line(exc)}"
                      "（恢复前同一原因的失败不再逐条记录）")
        return True

    def working(self, database: str) -> None:
        """A connection of ``database`` was handed out: closes its outages that have gone quiet."""
        if not self._open:  # the common case, on every checkout
            return
        now = time.monotonic()
        closed = []
        with self._lock:
            for key, outage in list(self._open.items()):
                if key[0] == database.lower() and now - outage.last >= QUIET_SECONDS:
                    closed.append(self._open.pop(key))
        for outage in closed:
            logging.info(f"数据库 {outage.database} 已恢复 [{outage.cause}]: 不可用约 "
                         f"{outage.last - outage.started:.1f} 秒，期间 {outage.failures} 次失败")

    def open(self) -> list[tuple[str, str, int]]:
        """(database, cause, failures) of the outages still open."""
        with self._lock:
            return [(o.database, o.cause, o.failures) for o in self._open.values()]

    def clear(self) -> None:
        with self._lock:
            self._open.clear()


outages = Outages()

_pool_classes: dict[tuple[type[Pool], str], type[Pool]] = {}
_pool_classes_lock = threading.Lock()


def _marking_pool(base: type[Pool], database: str) -> type[Pool]:
    """``base`` whose ``connect`` marks its failures; one class per pool class and database, so
    that a pool the engine recreates (``dispose``) keeps it."""
    if "_kelvora_database" in vars(base):  # an engine watched twice: mark anew, not twice
        base = base.__mro__[1]
    key = (base, database)
    with _pool_classes_lock:
        cls = _pool_classes.get(key)
        if cls is None:

            def connect(self: Any) -> Any:
                try:
                    return base.connect(self)
                except Exception as exc:
                    _mark(exc, database, connect=True)
                    raise

            cls = type(base.__name__, (base,), {"connect": connect, "_kelvora_database": database,
                                                "__module__": __name__})
            _pool_classes[key] = cls
        return cls


def watch_engine(engine: AsyncEngine, database: str) -> None:
    """Marks the errors of ``engine`` with ``database`` and reports it working on each checkout."""
    sync_engine = engine.sync_engine

    def handle_error(context: Any) -> None:
        for exc in (context.sqlalchemy_exception, context.original_exception):
            if exc is not None:
                _mark(exc, database)

    def checkout(*_: Any) -> None:
        outages.working(database)

    event.listen(sync_engine, "handle_error", handle_error)
    event.listen(sync_engine, "checkout", checkout)
    pool = sync_engine.pool
    pool.__class__ = _marking_pool(type(pool), database)
