"""The application object: reports, handlers, run order, docs pages, router scan, lifespan, engines."""

import asyncio
import sys
import textwrap
import uuid
from pathlib import Path

import bcrypt
import pytest
import sqlalchemy as sa
from sqlalchemy.ext.asyncio import create_async_engine
from fastapi import APIRouter, FastAPI

from kelvora_core.app import keystone
from kelvora_core.auth.auth_router import AuthRouter
from kelvora_core.app.keystone import Application
from kelvora_core.config.schemas.routers import RouterConfigSetting as Router
from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.portal_auth import auth_registry
from kelvora_core.services.conduit import AsyncConduit
from kelvora_core.tools.class_scaner import ClassScanner

from _database import configure
from _http import asgi_client
from _servers import server_url
from _pages import REDOC_PAGE

ROOT = Path(__file__).resolve().parents[3]
LOGGED = keystone
CLOSING = [("debug_line",), ("debug", "应用正在关闭..."), ("debug_line",)]


@pytest.fixture
def settings(saved_config, monkeypatch):
    monkeypatch.chdir(ROOT)
    return saved_config


@pytest.fixture
def app(settings, log):
    """An application with a bare FastAPI and nothing logged yet."""
    made = Application()
    made.fastapi = FastAPI(title="prod")
    log.lines.clear()
    return made


@pytest.fixture
def packages(tmp_path, monkeypatch):
    """Makes importable router packages under fresh names; forgets them afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))
    made = []

    def make(source=""):
        made.append("pkg_" + uuid.uuid4().hex[:8])
        (tmp_path / made[-1]).mkdir()
        (tmp_path / made[-1] / "__init__.py").write_text(textwrap.dedent(source))
        return made[-1]

    yield make
    for module in [m for m in sys.modules if m.split(".")[0] in made]:
        del sys.modules[module]


def routers(name, tags=None):
    return f"""
        from kelvora_core.auth.auth_router import AuthRouter
        router = AuthRouter(prefix="/{name}"{f", tags={tags!r}" if tags else ""})
        router.get("/one", tags=["endpoint"])(lambda: {{}})
        router.get("/two")(lambda: {{}})
    """


# ---- reports and handlers ---------------------------------------------------------------------

@pytest.mark.parametrize("reload, workers, last", [
    (True, 4, "工作进程: 1 个 - 自动重启"),
    (False, 4, "工作进程: 4 个 "),
])
def test_construction_writes_report_then_banner_each_time(settings, log, capsys, reload, workers, last):
    settings.webapp.name, settings.webapp.version = "演示A", "2.0"
    settings.webapp.reload, settings.webapp.workers = reload, workers
    env = settings.environment
    expected = [
        ("info_line",), ("info", " " * 18 + "启动应用: 演示A " + " " * 17), ("info_line",),
        ("info", f"工作目录: {ROOT}"),
        ("info", f"环境配置: {env.model}「{env.model_desc}」"),
        ("info", f"日志级别: {env.logging_level}「{env.logging_level_desc}」"),
        ("info", "软件版本: 2.0"),
        ("info", last),
    ]
    app = Application()
    assert log.lines == expected and app.fastapi is None
    assert app._startup_handlers == [] and app._shutdown_handlers == []
    banner = capsys.readouterr().out
    top, middle, bottom, end = banner.split("\n")
    assert (len(top), len(middle), len(bottom), end) == (82, 78, 83, "")
    assert top == "┌" + "─" * 80 + "┐" and bottom == "└" + "─" * 80 + "┘ "
    assert middle[0] == middle[-1] == "│" and middle[1:-1].strip() and middle[1:-1] == middle[1:-1].strip().center(76)

    Application()
    assert log.lines == expected * 2
    assert capsys.readouterr().out == banner


def test_handlers_run_in_order_shutdown_in_reverse_and_a_failure_stops_the_rest(app):
    calls = []
    assert app.startup(first := lambda fastapi: calls.append(("start", fastapi))) is first

    @app.shutdown
    def a():
        calls.append("a")

    @app.shutdown
    async def b():
        await asyncio.sleep(0)
        calls.append("b")

    app.shutdown(a)  # registered twice: called twice
    app._event_startup()
    asyncio.run(app._event_shutdown())
    assert calls == [("start", app.fastapi), "a", "b", "a"]

    empty = Application()
    empty._event_startup()
    asyncio.run(empty._event_shutdown())

    calls.clear()
    failing = Application()
    failing.shutdown(lambda: calls.append("first registered"))
    failing.shutdown(lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        asyncio.run(failing._event_shutdown())
    assert calls == []


# ---- run ------------------------------------------------------------------------------------

def test_run_builds_in_order_and_stops_at_a_failure(settings, log, tmp_path, monkeypatch):
    calls = []

    class Recording(Application):
        def _init_fastapi(self):
            calls.append("fastapi")
            return "app"

        def _event_startup(self):
            calls.append(("startup", self.fastapi))

        @staticmethod
        def _init_engine():
            calls.append("engine")

        def _router_scan(self):
            calls.append("scan")
            raise LookupError("no package")

        def _init_exception(self):
            calls.append("exception")

    app = Recording()
    with pytest.raises(LookupError):
        app.run()
    assert calls == ["fastapi", ("startup", "app"), "engine", "scan"]
    assert app.fastapi == "app"

    monkeypatch.chdir(tmp_path)  # no static directory here
    with pytest.raises(RuntimeError, match="static"):
        Application().run()


async def test_run_serves_docs_pages_from_static_and_the_openapi_document(settings, log):
    app = Application()
    seen = []
    app.startup(seen.append)
    assert app.run() is None
    assert seen == [app.fastapi] and isinstance(app.fastapi, FastAPI)
    assert app.fastapi.title == settings.webapp.name and app.fastapi.version == settings.webapp.version
    assert app._init_fastapi() is not app._init_fastapi()

    async with asgi_client(app.fastapi) as client:
        docs, redoc = await client.get("/docs"), await client.get("/redoc")
        schema = (await client.get("/openapi.json")).json()
        asset = await client.get("/static/redoc.standalone.js")
    assert docs.status_code == redoc.status_code == asset.status_code == 200
    assert docs.headers["content-type"].startswith("text/html")
    for piece in ("<title>Kelvora Restful API 文档</title>", "'/openapi.json'", "/static/swagger-ui-bundle.js",
                  "/static/swagger-ui.css", "/static/favicon.png"):
        assert piece in docs.text
    assert "http" not in docs.text  # every asset from this server
    assert redoc.headers["content-type"].startswith("text/html")
    assert redoc.content == REDOC_PAGE.encode("utf-8")
    assert redoc.content.startswith(b"\n<!DOCTYPE html>") and redoc.content.endswith(b"</html>\n    ")
    assert "/docs" not in schema["paths"] and "/redoc" not in schema["paths"]
    paths = [getattr(route, "path", None) for route in app.fastapi.routes]
    assert paths.count("/docs") == paths.count("/redoc") == 1 and "/docs/oauth2-redirect" not in paths


def test_exception_handlers_are_registered(app, log, monkeypatch):
    got = []
    monkeypatch.setattr(keystone, "register_exception_handlers", got.append)
    app._init_exception()
    assert got == [app.fastapi] and log.lines == [("debug", "加载: 全局异常处理 ")]


# ---- router discovery -------------------------------------------------------------------------

def test_router_scan_logs_tags_prefixes_and_includes(settings, app, log, packages):
    configured_tags, own_tags, no_tags = packages(routers("a", ["b"])), packages(routers("b", ["b"])), \
        packages(routers("c"))
    empty = packages()
    settings.routers = [
        Router(name="kelvora_core", enabled=False, prefix="/ignored", tags=["ignored"]),
        Router(name=configured_tags, prefix="/pa", tags=["a"]), Router(name="off_one", enabled=False),
        Router(name=own_tags), Router(name=no_tags, prefix=""), Router(name=empty),
        Router(name="off_two", enabled=False),
    ]
    app._router_scan()
    core = len(ClassScanner.find_classes_instances(package_name="kelvora_core", base_class=AuthRouter))
    assert log.lines == [
        ("debug_line",), ("debug", "加载: .yaml - routers "), ("debug_line",),
        ("warning", "router 禁用 name: off_one 如需启用，请设置 enabled: true "),
        ("warning", "router 禁用 name: off_two 如需启用，请设置 enabled: true "),
        ("debug", "name -> kelvora_core - prefix: None - tags: None"), ("debug", f"发现 {core} 个 router "),
        ("debug", f"name -> {configured_tags} - prefix: /pa - tags: ['a']"), ("debug", "发现 1 个 router "),
        ("debug", f"name -> {own_tags} - prefix: None - tags: None"), ("debug", "发现 1 个 router "),
        ("debug", f"name -> {no_tags} - prefix:  - tags: None"), ("debug", "发现 1 个 router "),
        ("debug", f"name -> {empty} - prefix: None - tags: None"), ("debug", "发现 0 个 router "),
        ("debug", "注册 -> include_router ..."),
    ]
    tags = {path: item["get"].get("tags", []) for path, item in app.fastapi.openapi()["paths"].items()
            if path.startswith(("/pa/", "/b/", "/c/"))}
    assert tags == {"/pa/a/one": ["a"], "/pa/a/two": ["a"], "/b/one": ["b"], "/b/two": ["b"],
                    "/c/one": [], "/c/two": []}

    settings.routers = [Router(name="no_such_package_here")]
    with pytest.raises(ImportError, match="no_such_package_here"):
        app._router_scan()


def test_only_auth_routers_are_included(app, log):
    included, plain = AuthRouter(prefix="/in"), APIRouter(prefix="/out")
    included.get("/x")(lambda: None)
    plain.get("/y")(lambda: None)
    app._router_include([{"router": plain, "prefix": "/p"}, {"router": included, "prefix": "/p", "tags": ["t"]},
                         {"prefix": "/none"}])
    paths = app.fastapi.openapi()["paths"]
    assert list(paths) == ["/p/in/x"] and paths["/p/in/x"]["get"]["tags"] == ["t"]
    assert log.lines == [("warning", "忽略 基于「APIRouter」路由 None - /p/out - 请修改为「AuthRouter」路由。"),
                         ("warning", "忽略 基于「APIRouter」路由 None - /none - 请修改为「AuthRouter」路由。")]


@pytest.mark.parametrize("new_tags, expected", [("x", ["x"]), (["a", "b"], ["a", "b"]), ([], [])])
def test_override_tags_gives_every_route_its_own_list(new_tags, expected):
    router = APIRouter(tags=["old"])
    for path in ("/one", "/two"):
        router.get(path, tags=["endpoint"])(lambda: None)
    router.routes.append(object())  # no tags attribute: left alone
    Application._router_override_tags(router, new_tags)
    one, two = (route.tags for route in router.routes[:2])
    assert one == two == expected and one is not two and one is not new_tags
    one.append("changed")
    assert two == expected


# ---- lifespan ---------------------------------------------------------------------------------

@pytest.fixture
async def database(request, settings, tmp_path):
    """A fresh "Auth" database (SQLite unless the test asks for a server); registries and
    engines are put back afterwards and a server database is dropped."""
    kind = getattr(request, "param", "sqlite")
    url, admin = f"sqlite+aiosqlite:///{tmp_path / 'auth.db'}", None
    if kind != "sqlite":
        server, name = server_url(kind), "kv_" + uuid.uuid4().hex[:12]
        admin = create_async_engine(server, isolation_level="AUTOCOMMIT")
        async with admin.connect() as conn:
            await conn.exec_driver_sql(f"CREATE DATABASE {name}")
        url = server.rsplit("/", 1)[0] + "/" + name
    configure(Auth=url)
    settings.routers = [Router(name="kelvora_core")]
    metadata = auth_registry.metadata
    try:
        yield url
    finally:
        auth_registry.metadata = metadata
        await AsyncConduit().close_all()
        await DatabaseEngine().async_close()
        if admin is not None:
            async with admin.connect() as conn:
                await conn.exec_driver_sql(f"DROP DATABASE {name}" + (" WITH (FORCE)" if kind == "postgresql" else ""))
            await admin.dispose()


async def users(url):
    engine = create_async_engine(url)
    try:
        async with engine.connect() as conn:
            if not await conn.run_sync(lambda c: sa.inspect(c).has_table("auth_user")):
                return None
            rows = await conn.execute(sa.text("SELECT username, name, password FROM auth_user ORDER BY username"))
            return {row.username: (row.name, row.password) for row in rows}
    finally:
        await engine.dispose()


@pytest.mark.parametrize("database", ["sqlite", "postgresql", "mariadb"], indirect=True)
async def test_lifespan_checks_creates_accounts_starts_services_and_shuts_down(settings, database, log):
    app = Application()
    app.run()
    settings.auth.default_admin_users = ["root"]
    async with app._lifespan(app.fastapi):
        pass
    settings.auth.default_admin_users = ["admin", "root"]
    log.lines.clear()

    stopped, before = [], []
    app.shutdown(lambda: stopped.append(AsyncConduit()._session_factories.copy()))

    async def seed(fastapi):  # after the accounts are made, before the services log a line
        before.append((fastapi, len(log.lines), set(await users(database))))

    assert app.before_services(seed) is seed
    app.before_services(lambda fastapi: before.append("plain"))
    async with app._lifespan(app.fastapi):
        assert before == [(app.fastapi, 7, {"admin", "root"}), "plain"]
        assert log.lines == [
            ("debug_line",), ("debug", "搜索 kelvora_core 的数据源...."),
            ("debug", "检查 RegistryModel - Auth 的数据库..."),
            ("debug_line",), ("debug", "检查默认管理员账户..."),
            ("debug", "创建 - admin [密码与账号相同]"), ("debug", "root 已存在"),
            ("debug_line",),
            ("debug_line",), ("debug", f"启动结束: {settings.webapp.name}"), ("debug_line",),
        ]
        log.lines.clear()
    assert log.lines == CLOSING
    assert stopped and stopped[0]  # the handler ran before the engines were released ...
    assert AsyncConduit()._session_factories == {}  # ... and they were released after it
    accounts = await users(database)
    assert set(accounts) == {"admin", "root"}
    name, hashed = accounts["admin"]
    assert name == "admin" and bcrypt.checkpw(b"admin", hashed.encode())


async def test_lifespan_in_production_creates_nothing_but_reports_tables_and_default_passwords(settings, database,
                                                                                                  app, log):
    settings.environment.is_prod = True
    settings.routers.append(Router(name="kelvora_common", prefix="/common", enabled=False))
    async with app._lifespan(app.fastapi):
        pass
    assert await users(database) is None
    assert settings.routers[-1].prefix == "/common"
    errors = [line[1] for line in log.lines if line[0] == "error"]
    assert sorted(errors[:2]) == [f"缺少数据表: Auth - {name}（生产环境不会自动建表，请先创建）"
                          for name in ("auth_token_revocation", "auth_user")]
    assert len(errors) == 3 and errors[2].startswith("无法检查默认账户的密码: ")  # no table to look in

    settings.environment.is_prod = False
    async with app._lifespan(app.fastapi):  # tables and admin/admin, as a development start makes them
        pass
    settings.environment.is_prod = True
    log.lines.clear()
    async with app._lifespan(app.fastapi):
        pass
    assert [line[:2] for line in log.lines if line[0] in ("warning", "error")] == [
        ("warning", "默认账户 admin 的密码仍与账号相同，请立即修改")]


async def test_database_check_walks_settings_and_clears_the_common_prefix(settings, database, log, packages,
                                                                           monkeypatch):
    checked = []

    async def metadata_to_database(metadata, engine_name):
        checked.append(engine_name)
        return None if engine_name == "Broken" else metadata

    registries = packages("""
        from sqlalchemy.orm import registry
        first = registry(); first.engine_name = "One"
        second = registry(); second.engine_name = "Broken"
        third = registry(); third.engine_name = "Three"
    """)
    monkeypatch.setattr(keystone, "Surveyor", type("Recording", (), {"metadata_to_database": metadata_to_database}))
    settings.routers = [Router(name="kelvora_common", prefix="/common", enabled=False),
                        Router(name="kelvora_core", check_database=False), Router(name=registries),
                        Router(name="unchecked_package", check_database=False)]
    await Application._lifespan_check_database()
    assert checked == ["One", "Broken", "Three"]  # no core registry, and a failed one does not stop the rest
    assert settings.routers[0].prefix == ""
    module = sys.modules[registries]
    assert module.second.metadata is None and module.third.metadata is not None
    assert log.lines == [("debug_line",), ("debug", f"搜索 {registries} 的数据源....")] + [
        ("debug", f"检查 RegistryModel - {name} 的数据库...") for name in ("One", "Broken", "Three")]


async def test_failed_account_check_still_shuts_down_and_releases_engines(database, app, log, monkeypatch):
    failure = RuntimeError("query failed")

    async def query_columns_first(db, *, model_class, condition):
        raise failure

    monkeypatch.setattr(keystone, "QueryService", type("Failing", (), {"query_columns_first": query_columns_first}))
    stopped = []
    app.shutdown(lambda: stopped.append("handler"))
    with pytest.raises(RuntimeError) as raised:
        async with app._lifespan(app.fastapi):
            pytest.fail("must not serve")
    assert raised.value is failure
    assert stopped == ["handler"] and AsyncConduit()._session_factories == {}
    assert log.lines[-3:] == CLOSING
    assert set(await users(database) or {}) == set()  # nothing committed


async def test_failing_shutdown_handler_skips_releasing_engines(settings, database, log):
    unloaded = []

    class Recording(Application):
        @staticmethod
        async def _unload_engine():
            unloaded.append(True)

    app = Recording()
    app.fastapi = FastAPI()
    app.shutdown(lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        async with app._lifespan(app.fastapi):
            pass
    assert unloaded == []


async def test_empty_account_list_still_commits_once(settings, database, log, monkeypatch):
    settings.auth.default_admin_users = []
    commits = []
    real = AsyncConduit.get_raw_session

    async def recording(self, name):
        session = await real(self, name)
        original = session.commit

        async def commit():
            commits.append(name)
            await original()

        session.commit = commit
        return session

    monkeypatch.setattr(AsyncConduit, "get_raw_session", recording)
    await Application._lifespan_check_admin_user()
    assert commits == ["Auth"]
    assert log.lines == [("debug_line",), ("debug", "检查默认管理员账户...")]


async def test_services_start_permissions_before_enums(settings, log, monkeypatch):
    calls = []

    async def initialize(self, rules):
        calls.append(("permissions", rules))

    async def load():
        calls.append("enums")

    monkeypatch.setattr(keystone, "PermissionService", type("Permissions", (), {"initialize": initialize}))
    monkeypatch.setattr(keystone, "EnumService", type("Enums", (), {"load": staticmethod(load)}))
    await Application()._lifespan_services()
    assert calls == [("permissions", AuthRouter.permission_rules), "enums"]


# ---- engines ----------------------------------------------------------------------------------

async def test_engines_start_in_order_and_unload_redis_before_databases(monkeypatch):
    calls = []

    def engine(name):
        async def close_all(self):
            calls.append(name + ".close_all")
        return type(name, (), {"__init__": lambda self: calls.append(name),
                               "close": lambda self: calls.append(name + ".close"), "close_all": close_all})

    for name in ("RedisEngine", "DatabaseEngine", "DiskEngine", "PermissionEngine", "AsyncConduit"):
        monkeypatch.setattr(keystone, name, engine(name))
    Application._init_engine()
    Application._init_engine()
    assert calls == ["RedisEngine", "DatabaseEngine", "DiskEngine", "PermissionEngine"] * 2
    calls.clear()
    await Application._unload_engine()
    assert calls == ["RedisEngine", "RedisEngine.close", "AsyncConduit", "AsyncConduit.close_all"]


async def test_unload_without_any_session_factory(settings, log):
    Application._init_engine()
    await Application._unload_engine()
    assert AsyncConduit()._session_factories == {}
