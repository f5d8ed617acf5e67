"""Session factories, session scopes, dependency generators and the health probe."""

import asyncio
import collections
import contextlib
import inspect
import threading
import types

import httpx
import pytest
from fastapi import Depends, FastAPI, HTTPException
from fastapi.responses import JSONResponse
from sqlalchemy import text
from sqlalchemy.exc import ArgumentError, IntegrityError, OperationalError, ProgrammingError, SQLAlchemyError
from sqlalchemy.ext.asyncio import async_sessionmaker
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.engine import availability
from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.services import conduit
from kelvora_core.services.conduit import AsyncConduit

from _database import configure
from _http import free_port, over_http

LOGGED = conduit


@pytest.fixture(autouse=True)
def conduit_made():
    """The process's instance exists before a test records: its creation lines are tested apart."""
    AsyncConduit()
# Pooled aiosqlite connections are occasionally garbage-collected later than the test
# that disposed their engine (and the HTTP test disposes a server loop's engines from
# another loop); their ResourceWarning is not a fault of the code under test.
pytestmark = [pytest.mark.filterwarnings("ignore::ResourceWarning"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")]


def scope_lines(name, sid, *labels, error=None):
    texts = {
        "acquired": ("debug", f"数据库会话 {name} 获取成功 - 「 session_id: {sid} 」"),
        "committed": ("debug", f"数据库会话 {name} 提交成功 - 「 session_id: {sid} 」"),
        "failed": ("error", f"数据库会话: {name} 操作异常 - 「 session_id: {sid} 」"),
        "error": ("error", f"  错误信息: {error}"),
        "refused": ("debug", f"数据库会话: {name} 操作异常 - 「 session_id: {sid} 」"),
        "refused error": ("debug", f"  错误信息: {error}"),
        "rolled back": ("debug", f"数据库会话: {name} 回滚成功 - 「 session_id: {sid} 」"),
        "closed": ("debug", f"数据库会话: {name} 关闭成功 - 「 session_id: {sid} 」"),
    }
    return [texts[label] for label in labels]


async def make_table(name="Main", table="items"):
    async with AsyncConduit().get_session_factory(name)() as s:
        await s.execute(text(f"DROP TABLE IF EXISTS {table}"))
        await s.execute(text(f"CREATE TABLE {table} (id INTEGER PRIMARY KEY, label VARCHAR(20) NOT NULL)"))
        await s.commit()


async def count_rows(name="Main", table="items"):
    async with AsyncConduit().get_session_factory(name)() as s:
        return (await s.execute(text(f"SELECT COUNT(*) FROM {table}"))).scalar()


# ---- the registry of session factories ------------------------------------------------------

async def test_single_instance_one_factory_per_name_in_any_case(databases, log):
    ac = AsyncConduit()
    assert ac is AsyncConduit() is AsyncConduit._instance
    factory = ac._ensure_session_factory("mAIN")
    assert isinstance(factory, async_sessionmaker) and factory.class_ is AsyncSession
    kw = factory.kw
    assert kw["expire_on_commit"] is False and kw["autoflush"] is True and kw["autocommit"] is False
    assert kw["bind"] is DatabaseEngine().get_async_engine("main")
    assert ac.get_session_factory("MAIN") is factory is ac.get_session_factory("Main") is ac.get_session_factory("main")
    assert set(ac._session_factories) == ac._loaded_sources == {"main"}
    assert log.lines == [("debug", "会话工厂 动态创建 mAIN 成功 ")]
    assert ac.support_schema("Main") is False


async def test_concurrent_first_use_creates_one_factory(databases, log, monkeypatch):
    ac = AsyncConduit()
    real = ac._database_engine.get_async_engine

    def slow(name):
        threading.Event().wait(0.02)  # widen the race window
        return real(name)

    monkeypatch.setattr(ac._database_engine, "get_async_engine", slow)
    start, got = threading.Barrier(6), []

    def worker():
        start.wait()
        got.append(ac.get_session_factory("Main"))

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(got) == 6 and all(f is got[0] for f in got)
    assert log.messages() == ["会话工厂 动态创建 Main 成功 "]
    assert not AsyncConduit._lock.locked()


async def test_close_session_factory_and_close_all(databases, log, monkeypatch):
    ac = AsyncConduit()
    first = ac.get_session_factory("Main")
    ac.get_session_factory("Auth")
    await ac.close_session_factory("nothing-here")
    await ac.close_session_factory("MAIN")
    assert set(ac._session_factories) == ac._loaded_sources == {"auth"}
    assert ac.get_session_factory("Main") is not first
    log.lines.clear()
    await ac.close_all()
    assert ac._session_factories == {} and ac._loaded_sources == set()
    assert log.messages() == ["开始关闭所有数据库资源", "所有数据库资源关闭完成，共清理 2 个会话工厂"]
    log.lines.clear()
    await ac.close_all()
    assert log.messages()[-1] == "所有数据库资源关闭完成，共清理 0 个会话工厂"
    async with ac.get_session("Main") as s:  # the instance keeps serving after close_all
        assert (await s.execute(text("SELECT 1"))).scalar() == 1

    async def broken():
        raise RuntimeError("pool stuck")

    monkeypatch.setattr(ac._database_engine, "async_close", broken)
    log.lines.clear()
    with pytest.raises(RuntimeError, match="pool stuck"):  # propagates after emptying the registry
        await ac.close_all()
    assert ac._session_factories == {} and log.messages() == ["开始关闭所有数据库资源"]


@pytest.mark.parametrize("bad", [123, None, b"Main"])
async def test_names_must_be_str(databases, bad):
    ac = AsyncConduit()
    for call in (ac._ensure_session_factory, ac.get_session_factory, AsyncConduit.get_async_session):
        with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got "):
            call(bad)
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got "):
        async with ac.get_session(bad):
            pass


async def test_registry_replaced_by_another_mapping_and_unknown_names(databases, log, monkeypatch):
    ac = AsyncConduit()
    with pytest.raises(LookupError, match=r"unknown database 'nope' \(configured: Auth, Main\)"):
        ac.get_session_factory("Nope")
    assert log.lines == [] and "nope" not in ac._session_factories
    monkeypatch.setattr(ac, "_session_factories", collections.UserDict())
    factory = ac.get_session_factory("Main")
    assert ac._session_factories["main"] is factory is ac.get_session_factory("main")
    await ac.close_session_factory("Main")
    assert "main" not in ac._session_factories
    monkeypatch.setattr(ac, "_session_factories", 42)
    with pytest.raises(TypeError):
        ac.get_session_factory("Main")
    with pytest.raises(TypeError):
        await ac.close_session_factory("Main")


def test_creation_failure_and_finaliser(log, monkeypatch):
    # Its own finaliser would close the process's engines whenever the collector gets to it.
    Fresh = type("Fresh", (AsyncConduit,), {"_instance": None, "_lock": threading.Lock(), "__del__": lambda self: None})
    instance = Fresh()
    assert log.lines == [("debug_line",), ("debug", "初始化: AsyncSessionManager - 动态会话管理器")]
    assert instance._session_factories == {} and instance._loaded_sources == set()
    assert isinstance(instance._database_engine, DatabaseEngine)

    Failing, calls = type("Failing", (AsyncConduit,), {"_instance": None, "_lock": threading.Lock()}), []
    monkeypatch.setattr(conduit, "DatabaseEngine", lambda: calls.append(1) or 1 / 0)
    for _ in range(2):
        with pytest.raises(ZeroDivisionError):
            Failing()
    assert Failing._instance is None and len(calls) == 2 and not Failing._lock.locked()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        Failing(1)

    obj = object.__new__(AsyncConduit)
    obj.__del__()  # no engine: nothing to do
    log.lines.clear()
    obj._database_engine = types.SimpleNamespace(close=lambda: (_ for _ in ()).throw(OSError("busy")))
    obj.__del__()
    assert log.lines == [("warning", "AsyncSessionManager.__del__ 资源关闭异常: busy")]
    closed = []
    obj._database_engine = types.SimpleNamespace(close=lambda: closed.append(1))
    obj.__del__()
    assert closed == [1]


def test_surface():
    assert isinstance(AsyncConduit.__dict__["__new__"], staticmethod)
    assert isinstance(AsyncConduit.__dict__["get_async_session"], classmethod)
    assert inspect.iscoroutinefunction(AsyncConduit.close_all)
    assert inspect.iscoroutinefunction(AsyncConduit.health_check)
    assert inspect.isasyncgenfunction(AsyncConduit.get_auth_async_session)
    assert inspect.isasyncgenfunction(AsyncConduit.get_async_session)
    assert str(inspect.signature(AsyncConduit.health_check)) == "(self, name, timeout: float = 5.0) -> bool"
    assert str(inspect.signature(AsyncConduit.get_async_session)).startswith("(name: str) -> ")
    for name in ("threading", "asyncio", "asynccontextmanager", "AsyncGenerator", "SQLAlchemyError",
                 "async_sessionmaker", "AsyncSession", "DatabaseEngine", "logging"):
        assert hasattr(conduit, name), name


# ---- session scopes -------------------------------------------------------------------------

FAILED = ("acquired", "failed", "error", "rolled back", "closed")
QUIET = ("acquired", "rolled back", "closed")
RAISED = {"programming": ProgrammingError("SELECT", {}, Exception("no such column")),
          "operational": OperationalError("SELECT", {}, Exception("gone"))}


async def auth_error():
    """A real error of the "Auth" database, as a request's other session would raise it."""
    async with AsyncConduit().get_session_factory("Auth")() as other:
        with pytest.raises(OperationalError) as caught:
            await other.execute(text("SELECT * FROM nowhere"))
    return caught.value


@pytest.mark.parametrize("fault, raised, labels, outage", [
    (None, None, ("acquired", "committed", "closed"), False),
    # data the database refused is the caller's to answer: debug lines only
    ("duplicate", IntegrityError, ("acquired", "refused", "refused error", "rolled back", "closed"), False),
    ("programming", ProgrammingError, FAILED, False),  # the very object raised reaches the caller
    ("operational", OperationalError, QUIET, True),  # unavailable: one outage line, not the scope's
    ("commit", OperationalError, QUIET, True),
    ("foreign", OperationalError, QUIET, False),  # another database's error: that scope reports it
    ("http", HTTPException, ("acquired", "closed"), False),  # other errors only close, without commit
])
async def test_scope_commits_or_rolls_back_and_logs(databases, log, log_into, monkeypatch, fault, raised, labels,
                                                    outage):
    await make_table()
    failure = OperationalError("COMMIT", {}, Exception("disk full"))
    thrown = await auth_error() if fault == "foreign" else RAISED.get(fault)

    async def failing_commit(self):
        raise failure

    if fault == "commit":
        monkeypatch.setattr(AsyncSession, "commit", failing_commit)
    outages = log_into(availability)
    log.lines.clear()
    with pytest.raises(raised) if raised else contextlib.nullcontext() as caught:
        async with AsyncConduit().get_session("Main") as s:
            sid = id(s)
            await s.execute(text("INSERT INTO items VALUES (1, 'kept')"))
            if fault == "duplicate":
                await s.execute(text("INSERT INTO items VALUES (1, 'duplicate')"))
            elif fault == "http":
                raise HTTPException(status_code=404)
            elif thrown is not None:
                raise thrown
    monkeypatch.undo()
    error = caught.value if raised else None
    assert error is (failure if fault == "commit" else thrown or error)
    assert log.lines == scope_lines("Main", sid, *labels, error=error)
    assert [line[:2] for line in outages.lines] == (
        [("error", f"数据库 Main 不可用 [Exception]: {str(error).splitlines()[0]}"
                   "（恢复前同一原因的失败不再逐条记录）")] if outage else [])
    assert await count_rows() == (0 if raised else 1)


async def test_scope_writes_no_debug_line_when_debug_is_off(databases, log):
    AsyncConduit().get_session_factory("Main")  # its one creation line is not per request
    log.debug_on = False
    log.lines.clear()
    async with AsyncConduit().get_session("Main"):
        pass
    await (await AsyncConduit().get_raw_session("Main")).close()
    assert log.lines == []


@pytest.mark.parametrize("server", ["sqlite", "postgresql"])
async def test_scopes_on_each_database(databases, server, request, log):
    if server == "postgresql":
        configure(**{**databases, "Main": request.getfixturevalue("postgres_url")})
    await make_table(table="scope_items")
    async with AsyncConduit().get_session("Main") as s:
        await s.execute(text("INSERT INTO scope_items VALUES (1, 'kept')"))
    with pytest.raises(IntegrityError):
        async with AsyncConduit().get_session("Main") as s:
            await s.execute(text("INSERT INTO scope_items VALUES (2, 'lost')"))
            await s.execute(text("INSERT INTO scope_items VALUES (2, 'again')"))
    assert await count_rows(table="scope_items") == 1


async def test_error_before_a_session_exists(databases, log, monkeypatch):
    ac = AsyncConduit()

    def broken(name):
        raise ArgumentError("no such driver")

    monkeypatch.setattr(ac, "_ensure_session_factory", broken)
    with pytest.raises(ArgumentError):
        async with ac.get_session("Main"):
            pass
    assert log.lines[0] == ("error", f"数据库会话: Main 操作异常 - 「 session_id: {id(None)} 」")
    assert len(log.lines) == 2  # no rollback, nothing to close


async def test_raw_session_and_dependency_generators(databases, log):
    s = await AsyncConduit().get_raw_session("main")  # the caller's to close
    try:
        assert isinstance(s, AsyncSession)
        assert log.lines[-1] == ("debug", f"原始会话: main 获取成功 - 「 session_id: {id(s)} 」")
        assert (await s.execute(text("SELECT 1"))).scalar() == 1
    finally:
        await s.close()

    gen = AsyncConduit.get_auth_async_session()
    sid = id(await anext(gen))
    with pytest.raises(StopAsyncIteration):
        await anext(gen)
    assert log.lines[-3:] == scope_lines("Auth", sid, "acquired", "committed", "closed")
    assert AsyncConduit().get_session_factory("auth") is AsyncConduit().get_session_factory("AUTH")

    gen = AsyncConduit.get_async_session("Main")
    s = await anext(gen)
    await gen.aclose()  # closed without resuming: no commit
    assert log.lines[-2:] == scope_lines("Main", id(s), "acquired", "closed")

    gen = AsyncConduit.get_async_session("Main")
    s = await anext(gen)
    err = OperationalError("x", {}, Exception("y"))
    with pytest.raises(OperationalError) as caught:
        await gen.athrow(err)
    assert caught.value is err
    assert log.lines[-2:] == scope_lines("Main", id(s), "rolled back", "closed")


@pytest.mark.parametrize("where", ["class", "instance"])
async def test_dependencies_enter_a_replaced_scope(databases, monkeypatch, where):
    entered = []

    @contextlib.asynccontextmanager
    async def get_session(*args):
        name = args[-1]
        entered.append(name)
        yield name + " session"
        entered.append("left")

    if where == "class":
        monkeypatch.setattr(AsyncConduit, "get_session", lambda self, name: get_session(name))
    else:
        monkeypatch.setattr(AsyncConduit(), "get_session", get_session, raising=False)
    gen = AsyncConduit.get_auth_async_session()
    assert await anext(gen) == "Auth session"
    with pytest.raises(StopAsyncIteration):
        await anext(gen)
    assert entered == ["Auth", "left"]


# ---- the health probe -----------------------------------------------------------------------

async def test_healthy_on_sqlite_and_servers(databases, postgres_url, mariadb_url, log):
    AsyncConduit().get_session_factory("Auth")
    log.lines.clear()
    assert await AsyncConduit().health_check("Auth") is True
    sid = int(log.lines[0][1].split("session_id: ")[1].split()[0])
    assert log.lines == [scope_lines("Auth", sid, "acquired")[0], ("debug", "健康检查: Auth 通过 - result: 1"),
                         *scope_lines("Auth", sid, "committed", "closed")]
    configure(**databases, Pg=postgres_url, Maria=mariadb_url)
    assert await AsyncConduit().health_check("PG") is True
    assert await AsyncConduit().health_check("maria") is True
    assert AsyncConduit().support_schema("Pg") is True and AsyncConduit().support_schema("Maria") is False


async def test_unreachable(databases, log):
    configure(**databases, Down=f"postgresql+asyncpg://nobody@127.0.0.1:{free_port()}/none")
    assert await AsyncConduit().health_check("Down", timeout=10) is False
    assert log.lines[-1][0] == "error" and log.lines[-1][1].startswith("健康检查: Down 失败 - error: ")


async def test_timeout_on_postgres(databases, postgres_url, log):
    configure(**databases, Pg=postgres_url)
    ac = AsyncConduit()

    async def slow_execute(self, statement, *args, **kwargs):
        return await AsyncSession.__mro__[1].execute(self, text("SELECT 1 FROM pg_sleep(5)"))

    original = AsyncSession.execute
    AsyncSession.execute = slow_execute
    try:
        assert await ac.health_check("Pg", 0.2) is False
    finally:
        AsyncSession.execute = original
    assert log.lines[-1] == ("error", "健康检查: Pg 超时 - timeout: 0.2s")
    assert log.messages()[-2].startswith("数据库会话: Pg 关闭成功")
    assert DatabaseEngine().get_async_engine("pg").pool.checkedout() == 0
    assert await ac.health_check("Pg", 5) is True  # the pool still serves


async def hang(self, *args, **kwargs):
    await asyncio.sleep(10)


async def driver_gives_up(self, *args, **kwargs):
    raise TimeoutError("driver gave up")


@pytest.mark.parametrize("execute, timeout, written", [
    (hang, 0, "0.0s"),  # an integer limit is written as a float
    (driver_gives_up, None, "Nones"),  # a timeout raised without a limit is a failed probe
])
async def test_timeouts_are_failed_probes(databases, log, monkeypatch, execute, timeout, written):
    monkeypatch.setattr(AsyncSession, "execute", execute)
    assert await AsyncConduit().health_check("Main", timeout) is False
    assert log.lines[-1] == ("error", "健康检查: Main 超时 - timeout: " + written)


# ---- over real HTTP, through uvicorn -------------------------------------------

def build_app():
    app = FastAPI()

    async def named(name: str = "Main"):
        async for session in AsyncConduit.get_async_session(name):
            yield session

    @app.post("/auth/{value}")
    async def auth_insert(value: str, session: AsyncSession = Depends(AsyncConduit.get_auth_async_session)):
        await session.execute(text("INSERT INTO items (label) VALUES (:v)"), {"v": value})

    @app.post("/main/{value}")
    async def main_insert(value: str, fail: bool = False, session: AsyncSession = Depends(named)):
        await session.execute(text("INSERT INTO items (label) VALUES (:v)"), {"v": value})
        if fail:
            await session.execute(text("INSERT INTO items (id, label) VALUES (1, 'duplicate')"))

    app.exception_handler(SQLAlchemyError)(lambda request, exc: JSONResponse({"error": "db"}, status_code=500))
    return app


async def test_dependencies_over_http(databases):
    for name in ("Auth", "Main"):
        await make_table(name)

    def talk(base):
        with httpx.Client(base_url=base) as client:
            return [client.post(path, params=params).status_code
                    for path, params in (("/auth/a1", {}), ("/main/m1", {}), ("/main/m2", {"fail": True}))]

    assert await over_http(build_app(), talk, "Auth", "Main") == [200, 200, 500]
    assert await count_rows("Auth") == 1
    assert await count_rows("Main") == 1  # the failed request was rolled back
