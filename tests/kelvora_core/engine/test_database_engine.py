"""The registry of named databases and their shared async engines."""

import asyncio

import pytest
from sqlalchemy import text

from kelvora_core.engine import database_engine
from kelvora_core.engine.database_engine import DatabaseEngine, UnknownDatabaseError

from _database import configure
from _servers import server_url


@pytest.fixture
async def lite(tmp_path):
    configure(Auth=f"sqlite+aiosqlite:///{tmp_path / 'a.db'}", Pg="postgresql+asyncpg://u@127.0.0.1:1/x",
              Maria="mysql+aiomysql://root:@127.0.0.1:1/x")
    yield
    await DatabaseEngine().async_close()


async def test_one_engine_per_name_whatever_the_case(lite):
    engine = DatabaseEngine().get_async_engine("Auth")
    assert DatabaseEngine().get_async_engine("AUTH") is engine is DatabaseEngine().get_async_engine("auth")
    assert DatabaseEngine().get_async_engine("Pg") is not engine
    await DatabaseEngine().async_close()
    assert DatabaseEngine().get_async_engine("Auth") is not engine  # a fresh one after closing


async def test_schemas_only_on_postgresql(lite):
    assert [DatabaseEngine().support_schema(n) for n in ("auth", "pg", "Maria")] == [False, True, False]


async def test_unknown_names_and_wrong_types(lite):
    with pytest.raises(UnknownDatabaseError, match=r"unknown database 'Nope' \(configured: Auth, Maria, Pg\)"):
        DatabaseEngine().get_async_engine("Nope")
    with pytest.raises(LookupError):
        DatabaseEngine().support_schema("Nope")
    with pytest.raises(TypeError, match="database name must be a str, got int"):
        DatabaseEngine().get_async_engine(1)


async def test_close_from_a_finaliser_during_creation_does_not_deadlock(lite, monkeypatch):
    # The collector may run a finaliser that closes the registry while this very thread
    # is creating an engine under the registry's lock.
    real = database_engine.create_async_engine

    def create_and_collect(*args, **kwargs):
        if not DatabaseEngine._lock.acquire(timeout=2):  # a plain Lock would hang here for good
            raise AssertionError("close() from a finaliser would deadlock")
        DatabaseEngine._lock.release()
        DatabaseEngine().close()
        return real(*args, **kwargs)

    monkeypatch.setattr(database_engine, "create_async_engine", create_and_collect)
    engine = DatabaseEngine().get_async_engine("Auth")
    assert DatabaseEngine().get_async_engine("auth") is engine


@pytest.mark.parametrize("value, refused", [
    ("a\x00b", "NUL"), (2**63, "64 位"), (-(2**63) - 1, "64 位"), (["ok", "no\x00"], "NUL"),
    ("plain", None), (2**63 - 1, None), (True, None),
])
async def test_parameters_no_backend_stores_alike_are_refused(lite, value, refused):
    from sqlalchemy import bindparam, select

    from kelvora_core.exception.service_exception import ValidError

    statement = select(bindparam("v", expanding=isinstance(value, list)))
    async with DatabaseEngine().get_async_engine("Auth").connect() as conn:
        if refused:
            with pytest.raises(ValidError, match=refused):
                await conn.execute(statement, {"v": value})
            assert (await conn.execute(select(1))).scalar() == 1  # the connection stays usable
        else:
            await conn.execute(statement, {"v": value})


@pytest.mark.parametrize("backend, whoami, end", [
    ("postgresql", "SELECT pg_backend_pid()", "SELECT pg_terminate_backend({})"),
    ("mariadb", "SELECT CONNECTION_ID()", "KILL {}"),
])
async def test_a_pooled_connection_the_server_ended_is_replaced_at_checkout(backend, whoami, end):
    """No ping before a checkout (the default): the driver's own knowledge finds the connection
    closed, and the statement runs on a new one instead of failing."""
    configure(Auth="sqlite://", Main=server_url(backend))
    engine = DatabaseEngine().get_async_engine("Main")
    try:
        assert engine.sync_engine.pool._pre_ping is False
        async with engine.connect() as other:
            async with engine.connect() as pooled:
                victim = (await pooled.execute(text(whoami))).scalar()
            await other.execute(text(end.format(victim)))  # while it sits in the pool
            await asyncio.sleep(0.2)  # the end of the connection reaches its socket
            async with engine.connect() as conn:
                assert (await conn.execute(text(whoami))).scalar() != victim
    finally:
        await DatabaseEngine().async_close()
