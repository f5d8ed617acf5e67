"""Instance leases in a table of the "Auth" database, for services without Redis.

One row per instance ever leased: its holder (NULL when free), when the lease runs out and the
latest timestamp its holders may have used. Expiry is read from the database server's clock,
never from a host's. A lease is taken with an update that only matches a free or run-out row
(or an insert that only one host can make), so two hosts never both get one instance.
"""

from __future__ import annotations

from sqlalchemy import BigInteger, Column, Integer, MetaData, String, Table, case, insert, literal
from sqlalchemy import literal_column, or_, select, update
from sqlalchemy.engine import make_url
from sqlalchemy.exc import DBAPIError, IntegrityError
from sqlalchemy.ext.asyncio import create_async_engine
from sqlalchemy.pool import NullPool

from ..base.instance_lease import INSTANCE_COUNT, TOLERATED_CLOCK_SKEW_MS, Grant

__all__ = ["TABLE_NAME", "TableLeaseStore", "lease_table"]

TABLE_NAME = "kelvora_instance_lease"

_metadata = MetaData()
lease_table = Table(
    TABLE_NAME,
    _metadata,
    Column("instance", Integer, primary_key=True, autoincrement=False),
    Column("holder", String(128), nullable=True),
    Column("expires_ms", BigInteger, nullable=False),
    Column("horizon_ms", BigInteger, nullable=False),
)

# The database server's time in milliseconds since the Unix epoch.
_SERVER_NOW_MS = {
    "postgresql": "CAST(EXTRACT(EPOCH FROM clock_timestamp()) * 1000 AS BIGINT)",
    "mysql": "CAST(UNIX_TIMESTAMP(NOW(3)) * 1000 AS SIGNED)",
    "mariadb": "CAST(UNIX_TIMESTAMP(NOW(3)) * 1000 AS SIGNED)",
    "sqlite": "CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER)",
}


class TableLeaseStore:
    """Leases in the database at ``url`` (the "Auth" database); the table is made on first use."""

    def __init__(self, url: str) -> None:
        parsed = make_url(url)
        dialect = parsed.get_backend_name()
        if dialect not in _SERVER_NOW_MS:
            raise ValueError(f"instance leases in a table need PostgreSQL, MariaDB/MySQL or "
                             f"SQLite, not {dialect}; configure redis.url or an instance_id")
        # Its own connections: the service's engines belong to the service's event loop.
        self._engine = create_async_engine(url, poolclass=NullPool)
        self._now = literal_column(_SERVER_NOW_MS[dialect], BigInteger)
        self._ready = False
        self.name = f'table {TABLE_NAME} of the "Auth" database {parsed.render_as_string(hide_password=True)}'

    async def _prepare(self) -> None:
        if self._ready:
            return
        try:
            async with self._engine.begin() as conn:
                await conn.run_sync(_metadata.create_all, checkfirst=True)
        except DBAPIError:
            # Another host made it in the same moment: now it is there.
            async with self._engine.begin() as conn:
                await conn.run_sync(_metadata.create_all, checkfirst=True)
        self._ready = True

    async def acquire(self, holder: str, now_ms: int, ttl_ms: int) -> Grant | None:
        await self._prepare()
        t = lease_table.c
        async with self._engine.connect() as conn:
            server_now = (await conn.execute(select(self._now))).scalar_one()
            rows = (await conn.execute(select(t.instance, t.holder, t.expires_ms))).all()
        known = {row.instance for row in rows}
        held = {row.instance for row in rows if row.holder is not None and row.expires_ms > server_now}
        now = literal(now_ms, BigInteger)
        for instance in range(INSTANCE_COUNT):
            if instance in held:
                continue
            if instance in known:
                async with self._engine.begin() as conn:
                    taken = await conn.execute(
                        update(lease_table)
                        .where(t.instance == instance, or_(t.holder.is_(None), t.expires_ms <= self._now))
                        .values(holder=holder, expires_ms=self._now + ttl_ms,
                                horizon_ms=case((t.horizon_ms + 1 > now, t.horizon_ms + 1), else_=now) + ttl_ms))
                    if taken.rowcount != 1:
                        continue  # another host was quicker
                    horizon = (await conn.execute(
                        select(t.horizon_ms).where(t.instance == instance))).scalar_one()
                return Grant(instance, horizon - ttl_ms, horizon)
            # Never leased here (or the rows were lost): start past any unknown holder.
            start = now_ms + ttl_ms + TOLERATED_CLOCK_SKEW_MS
            try:
                async with self._engine.begin() as conn:
                    await conn.execute(insert(lease_table).values(
                        instance=instance, holder=holder, expires_ms=self._now + ttl_ms,
                        horizon_ms=start + ttl_ms))
            except IntegrityError:
                continue
            return Grant(instance, start, start + ttl_ms)
        return None

    async def renew(self, instance: int, holder: str, now_ms: int, ttl_ms: int) -> int | None:
        t = lease_table.c
        target = literal(now_ms + ttl_ms, BigInteger)
        async with self._engine.begin() as conn:
            renewed = await conn.execute(
                update(lease_table)
                .where(t.instance == instance, t.holder == holder)
                .values(expires_ms=self._now + ttl_ms,
                        horizon_ms=case((t.horizon_ms > target, t.horizon_ms), else_=target)))
            if renewed.rowcount != 1:
                return None
            return (await conn.execute(select(t.horizon_ms).where(t.instance == instance))).scalar_one()

    async def release(self, instance: int, holder: str, last_ms: int) -> None:
        t = lease_table.c
        async with self._engine.begin() as conn:
            await conn.execute(update(lease_table).where(t.instance == instance, t.holder == holder)
                               .values(holder=None, expires_ms=0, horizon_ms=last_ms))

    async def close(self) -> None:
        await self._engine.dispose()
