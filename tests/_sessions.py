"""Sessions on a throw-away SQLite file or PostgreSQL schema, with given metadata created."""

import contextlib
import uuid

from sqlalchemy.ext.asyncio import create_async_engine
from sqlmodel.ext.asyncio.session import AsyncSession

from _servers import server_url


@contextlib.asynccontextmanager
async def open_database(kind, tmp_path, *metadatas):
    """An engine whose tables live in a private place: a file, or a schema dropped afterwards
    (other test runs share the PostgreSQL database)."""
    if kind == "sqlite":
        engine = create_async_engine(f"sqlite+aiosqlite:///{tmp_path / 'q.db'}")
        schema = None
    else:
        url = server_url("postgresql")
        schema = f"h_{uuid.uuid4().hex[:12]}"
        admin = create_async_engine(url)
        async with admin.begin() as conn:
            await conn.exec_driver_sql(f'CREATE SCHEMA "{schema}"')
        await admin.dispose()
        engine = create_async_engine(url, connect_args={"server_settings": {"search_path": schema}})
    try:
        async with engine.begin() as conn:
            for metadata in metadatas:
                await conn.run_sync(metadata.create_all)
        yield engine
    finally:
        if schema:
            async with engine.begin() as conn:
                await conn.exec_driver_sql(f'DROP SCHEMA "{schema}" CASCADE')
        await engine.dispose()


def session(engine):
    return AsyncSession(engine, expire_on_commit=False)
