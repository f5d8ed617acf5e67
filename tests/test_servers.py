"""The local database servers answer through the async drivers the project pins."""

import pytest
import socket

import _servers


async def _select_one(url):
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    engine = create_async_engine(url)
    try:
        async with engine.connect() as conn:
            return (await conn.execute(text("SELECT 1"))).scalar()
    finally:
        await engine.dispose()


async def test_postgresql(postgres_url):
    assert await _select_one(postgres_url) == 1


async def test_mariadb(mariadb_url):
    assert await _select_one(mariadb_url) == 1


def test_unreachable_server_skips_or_fails_under_ci(monkeypatch):
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setitem(_servers.SERVERS, "nowhere", ("127.0.0.1", port, "x://"))
    monkeypatch.setenv("CI", "true")
    with pytest.raises(pytest.fail.Exception, match="CI requires it"):
        _servers.server_url("nowhere")
    monkeypatch.setenv("CI", "false")
    with pytest.raises(pytest.skip.Exception, match="not reachable"):
        _servers.server_url("nowhere")
