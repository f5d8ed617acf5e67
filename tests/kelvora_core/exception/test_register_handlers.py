"""Every error of the service answers with one JSON shape; internals stay out of production."""

import inspect
import logging
import pickle

import httpx

import pytest
from fastapi import FastAPI
from pydantic import BaseModel
from sqlalchemy.exc import DataError, DBAPIError, IntegrityError, OperationalError, ProgrammingError
from sqlalchemy.exc import TimeoutError as PoolTimeoutError
from sqlalchemy.ext.asyncio import create_async_engine

from kelvora_core.config.app_config import AppConfig
from kelvora_core.engine import availability
from kelvora_core.engine.availability import watch_engine
from kelvora_core.exception import register_handlers
from kelvora_core.exception.faultmap import format_faultmap
from kelvora_core.exception.register_handlers import register_exception_handlers
from kelvora_core.exception.service_exception import AuthError, ForbiddenError, QueryError, ValidError

from _http import asgi_client, free_port, serve

UNAVAILABLE = "数据库连接或操作失败，请检查服务状态或稍后重试"
RECORD = {"error": "invalid_token", "error_description": "用户token已失效，请重新登录", "error_code": "token_expired",
          "timestamp": 1.5}


def login_failure():
    try:
        raise AuthError(message="登录失败，错误的用户名或密码", errors={"error": "invalid_grant"})
    except AuthError as inner:
        raise AuthError(message="登录失败", errors=str(inner))  # noqa: B904 (raised while handling, as the service does)


def database_failure_in_auth():
    try:
        raise RuntimeError("SELECT secret FROM auth_user")
    except RuntimeError as inner:
        raise AuthError(message="用户token不合法", errors=str(inner))  # noqa: B904 (as above)


def db_error(cls, driver_text, **flags):
    return cls("INSERT INTO t VALUES (?)", ("secret",), Exception(driver_text), **flags)


async def refused_connection():
    """What asyncpg raises, unwrapped, when nothing listens: marked as the "Main" database's."""
    engine = create_async_engine(f"postgresql+asyncpg://nobody@127.0.0.1:{free_port()}/none")
    watch_engine(engine, "Main")
    try:
        async with engine.connect():
            pass
    except OSError as exc:
        return exc
    finally:
        await engine.dispose()


FAILURES = {
    "auth": lambda: AuthError(message="无效的token，请重新登录", errors=RECORD),
    "login": login_failure,
    "auth_internal": database_failure_in_auth,
    "valid": lambda: ValidError(message="原始密码不正确", fields="old_password"),
    "query": lambda: QueryError("未知的查询字段: nope", fields="nope"),
    "forbidden": lambda: ForbiddenError(),
    "integrity": lambda: db_error(IntegrityError, "UNIQUE constraint failed: t.name"),
    "data": lambda: db_error(DataError, "value too long"),
    "operational": lambda: db_error(OperationalError, "connection refused"),
    "lost": lambda: db_error(DBAPIError, "terminating connection", connection_invalidated=True),
    "pool": lambda: PoolTimeoutError("QueuePool limit of size 1 overflow 0 reached"),
    "refused": refused_connection,
    "programming": lambda: db_error(ProgrammingError, "syntax error"),
    "boom": lambda: RuntimeError("internal state 0xdead"),
    "os": lambda: OSError("disk full"),  # not a database's: an internal error
}


class Body(BaseModel):
    name: str
    password: str


@pytest.fixture
async def client(log_into):
    log = log_into(register_handlers)
    app = FastAPI()
    register_exception_handlers(app)

    @app.get("/fail/{kind}")
    async def fail(kind: str):
        failure = FAILURES[kind]()
        app.state.raised = await failure if inspect.isawaitable(failure) else failure
        raise app.state.raised

    @app.post("/body")
    async def body(payload: Body, page: int = 1):
        return payload

    async with asgi_client(app, raise_app_exceptions=False) as http:
        http.log, http.outages, http.app = log, log_into(availability), app
        yield http


# (path, status, type, message, errors outside production, errors in production, fields)
CASES = [
    ("auth", 401, "auth_error", "无效的token，请重新登录", RECORD, RECORD, []),
    ("login", 401, "auth_error", "登录失败", "登录失败，错误的用户名或密码", "登录失败，错误的用户名或密码", []),
    ("auth_internal", 401, "auth_error", "用户token不合法", "SELECT secret FROM auth_user", None, []),
    ("valid", 422, "valid_error", "原始密码不正确", None, None, ["old_password"]),
    ("query", 400, "query_error", "未知的查询字段: nope", None, None, ["nope"]),
    ("forbidden", 403, "forbidden", "没有访问权限", None, None, []),
    ("integrity", 409, "database_error", "您提交的数据已存在，请勿重复添加", "detail", None, []),
    ("data", 422, "database_error", "提交的数据格式或长度不正确，请检查输入", "detail", None, []),
    ("operational", 503, "database_error", UNAVAILABLE, "detail", None, []),
    ("lost", 503, "database_error", UNAVAILABLE, "detail", None, []),  # not a fault of the statement
    ("pool", 503, "database_error", UNAVAILABLE, "detail", None, []),
    ("refused", 503, "database_error", UNAVAILABLE, "detail", None, []),
    ("programming", 500, "database_error", "数据库操作语句有误，请联系管理员", "detail", None, []),
    ("boom", 500, "internal_error", "服务器内部错误，请稍后重试",
     {"exception": "RuntimeError", "detail": "internal state 0xdead"}, None, []),
    ("os", 500, "internal_error", "服务器内部错误，请稍后重试", {"exception": "OSError", "detail": "disk full"},
     None, []),
]


@pytest.mark.parametrize("prod", [False, True], ids=["dev", "prod"])
@pytest.mark.parametrize("kind, status, type_, message, dev_errors, prod_errors, fields", CASES,
                         ids=[c[0] for c in CASES])
async def test_error_shape(client, prod, kind, status, type_, message, dev_errors, prod_errors, fields):
    AppConfig.environment.is_prod = prod
    response = await client.get(f"/fail/{kind}")
    body = response.json()
    assert (response.status_code, body["code"], body["type"], body["message"], body["fields"]) == (
        status, status, type_, message, fields)
    expected = prod_errors if prod else dev_errors
    if expected == "detail":  # the driver's raw text, only outside production
        expected = format_faultmap(client.app.state.raised)[1]
        assert str(client.app.state.raised.args[-1]) in expected[-1]
    assert body["errors"] == expected
    assert (response.headers.get("www-authenticate") == "Bearer") == (status == 401)
    assert response.headers["x-content-type-options"] == "nosniff"  # 500s too, answered outside the middleware
    if status == 503:  # an outage: one line of its own, none per request
        assert client.log.lines == [] and [line[0] for line in client.outages.lines] == ["error"]
        line = client.outages.lines[0][1]
        assert "不可用" in line and (kind != "refused" or "数据库 Main " in line)
    elif status >= 500:  # one line, with the traceback
        assert [line[0] for line in client.log.lines] == ["error"] and client.log.lines[0][2] is True
        assert type(client.app.state.raised).__name__ in client.log.lines[0][1]


async def test_request_validation_and_framework_errors(client):
    response = await client.post("/body?page=x", json={"name": 5, "password": "hunter2-secret"})
    body = response.json()
    assert response.status_code == 422 and body["type"] == "request_validation"
    assert body["fields"] == ["page", "name"] and "hunter2" not in response.text
    assert all(set(error) == {"field", "message", "type"} for error in body["errors"])
    response = await client.get("/nowhere")
    body = response.json()
    assert (response.status_code, body["type"], body["message"]) == (404, "http_error", "Not Found")
    response = await client.post("/fail/auth")
    assert response.status_code == 405 and response.json()["message"] == "Method Not Allowed"


@pytest.mark.parametrize("failures, opened", [
    (["lost", "refused", "refused"], ["连接中断"]),  # a server going away: lost in use, then refused
    (["refused", "lost"], ["ConnectionRefusedError"]),
    (["pool", "refused", "pool"], ["连接池耗尽", "ConnectionRefusedError"]),  # saturated is not unreachable
])
async def test_one_outage_per_database_and_kind(log_into, monkeypatch, failures, opened):
    lines, tracker = log_into(availability), availability.Outages()
    made = {"lost": lambda: db_error(OperationalError, "closed", connection_invalidated=True),
            "pool": lambda: PoolTimeoutError("QueuePool limit reached")}
    for failure in failures:
        tracker.report(await refused_connection() if failure == "refused" else made[failure](), "Main")
    monkeypatch.setattr(availability, "QUIET_SECONDS", 0)
    tracker.working("main")
    assert [text.split(":")[0] for level, text, *_ in lines.lines if level == "error"] == [
        f"数据库 Main 不可用 [{cause}]" for cause in opened]
    infos = [text for level, text, *_ in lines.lines if level == "info"]
    assert sum(int(text.split("期间 ")[1].split()[0]) for text in infos) == len(failures)


def test_service_errors_carry_their_keywords():
    error = ValidError(message="原始密码不正确", fields="old_password", errors={"a": 1})
    assert (str(error), error.message, error.fields, error.errors) == (
        "原始密码不正确", "原始密码不正确", "old_password", {"a": 1})
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.message, copy.fields, copy.errors) == (ValidError, error.message, "old_password", {"a": 1})
    assert str(AuthError()) == "认证失败" and isinstance(QueryError("x"), ValueError)


ALLOWED, STRANGER = "http://app.test", "http://elsewhere.test"
PREFLIGHT = {"Access-Control-Request-Method": "POST"}


# (http settings, request method, request headers, status, expected answer headers)
@pytest.mark.parametrize("http, method, headers, status, expected", [
    ({"cors": {"enabled": True, "allow_origins": [ALLOWED]}}, "OPTIONS", {"Origin": ALLOWED} | PREFLIGHT, 200,
     {"access-control-allow-origin": ALLOWED, "x-content-type-options": "nosniff"}),
    ({"cors": {"enabled": True, "allow_origins": [ALLOWED]}}, "OPTIONS", {"Origin": STRANGER} | PREFLIGHT, 400,
     {"access-control-allow-origin": None}),
    ({"cors": {"enabled": True, "allow_origins": [ALLOWED]}}, "GET", {"Origin": ALLOWED}, 200,
     {"access-control-allow-origin": ALLOWED, "cache-control": "no-store"}),
    ({}, "OPTIONS", {"Origin": ALLOWED} | PREFLIGHT, 405, {"access-control-allow-origin": None, "allow": "GET"}),
    ({"security_headers": False}, "GET", {}, 200, {"x-content-type-options": None, "cache-control": None}),
], ids=["preflight", "foreign origin", "simple request", "cors off", "headers off"])
async def test_cors_and_security_headers_follow_configuration(saved_config, http, method, headers, status, expected):
    saved_config.http = saved_config.http.model_validate(http)
    app = FastAPI()
    register_exception_handlers(app)
    app.get("/items")(lambda: [])
    async with asgi_client(app) as http_client:
        response = await http_client.request(method, "/items", headers=headers)
    assert response.status_code == status
    assert {name: response.headers.get(name) for name in expected} == expected


def test_an_unexpected_error_is_logged_once_over_http(log_into):
    """The server is not handed the error to log it (and its traceback) a second time."""
    log = log_into(register_handlers)
    app = FastAPI()
    register_exception_handlers(app)

    @app.get("/boom")
    async def boom():
        raise RuntimeError("boom")

    server = logging.getLogger("uvicorn.error")
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    with serve(app) as base:
        server.addHandler(handler)  # after the server has configured its logging
        try:
            response = httpx.get(base + "/boom")
        finally:
            server.removeHandler(handler)
    assert (response.status_code, response.json()["type"]) == (500, "internal_error")
    assert [line[0] for line in log.lines] == ["error"] and log.lines[0][2] is True
    assert [record.getMessage() for record in records if record.levelno >= logging.ERROR] == []
