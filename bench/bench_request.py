"""Protected requests in-process: the example app, its plain twin and a bare floor, per request.

Each request is driven through the ASGI app directly (no server, no sockets), so the figure is
the framework's and the database's work alone. Columns: native = the example service
(examples.service), python = bench/plain_service.py (the typical hand-written app, kept as it
is), cython = the floor: a bare FastAPI route with the same bearer check and one raw driver
fetch of the user by key (GET /auth/me only).

The databases are SQLite files by default; KELVORA_BENCH_DATABASE_URL names another server
database (say postgresql+asyncpg://postgres@127.0.0.1:5432/bench) whose tables the run may
create and fill.
"""

import asyncio
import atexit
import json
import os
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
FOLDER = Path(tempfile.mkdtemp(prefix="kelvora-bench-request-"))
URL = os.environ.get("KELVORA_BENCH_DATABASE_URL")

import sys  # noqa: E402

sys.path[:0] = [str(HERE.parent / "tests")]
from _service import example_config  # noqa: E402

_config = example_config(FOLDER, URL, environment={"model": "test", "logging_level": "WARNING"},
                         generate_snowflake={"instance_id": 1})
os.environ["KELVORA_CONFIG"] = str(_config)

from kelvora_core.config import app_config  # noqa: E402

app_config.load(_config)

import jwt  # noqa: E402
from fastapi import Depends, FastAPI  # noqa: E402
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer  # noqa: E402

import plain_service  # noqa: E402
from examples.service import create_app  # noqa: E402
from kelvora_core.engine.database_engine import DatabaseEngine  # noqa: E402

TARGET_CALLS = 1_000  # under callgrind: one batch
BATCH = 200
USER_BY_NAME = "SELECT user_id, username, name, is_active, tenant_id FROM auth_user WHERE username = "
runner = asyncio.Runner()


async def call(app, method, path, headers=(), body=b""):
    """One request through the ASGI interface; the status and the body."""
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": method,
             "scheme": "http", "path": path, "raw_path": path.encode(), "query_string": b"",
             "root_path": "", "headers": [(k.lower().encode(), v.encode()) for k, v in headers],
             "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 80)}
    sent = False
    out = {"status": 0, "body": b""}

    async def receive():
        nonlocal sent
        if sent:
            await asyncio.Event().wait()
        sent = True
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        if message["type"] == "http.response.start":
            out["status"] = message["status"]
        elif message["type"] == "http.response.body":
            out["body"] += message.get("body", b"")

    await app(scope, receive, send)
    return out["status"], out["body"]


async def start_lifespan(app):
    """Run the app's start-up; the task stays parked in the lifespan until the process ends."""
    inbox: asyncio.Queue = asyncio.Queue()
    started = asyncio.get_running_loop().create_future()
    await inbox.put({"type": "lifespan.startup"})

    async def send(message):
        if message["type"].startswith("lifespan.startup") and not started.done():
            started.set_result(message)

    task = asyncio.ensure_future(app({"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}}, inbox.get, send))
    message = await started
    if message["type"] != "lifespan.startup.complete":
        raise RuntimeError(f"start-up failed: {message}")

    async def stop():
        await inbox.put({"type": "lifespan.shutdown"})
        await task
    return stop


def floor_app():
    """A bare route: the same bearer check, one raw driver fetch of the user row by key."""
    app = FastAPI(docs_url=None, redoc_url=None, openapi_url=None)
    bearer = HTTPBearer()
    auth = app_config.AppConfig.auth
    engine = DatabaseEngine().get_async_engine("auth")
    sqlite = engine.dialect.name == "sqlite"
    state = {}

    async def connection():
        if "raw" not in state:
            if sqlite:
                import aiosqlite
                state["raw"] = await aiosqlite.connect(engine.url.database)
            else:
                import asyncpg
                state["raw"] = await asyncpg.connect(engine.url.set(drivername="postgresql").render_as_string(False))
        return state["raw"]

    @app.get("/auth/me")
    async def me(credentials: HTTPAuthorizationCredentials = Depends(bearer)):
        payload = jwt.decode(credentials.credentials, auth.token_secret_key, algorithms=["HS256"],
                             options={"require": ["exp", "iat"]}, leeway=auth.token_leeway_seconds,
                             audience=auth.token_audience, issuer=auth.token_issuer)
        raw = await connection()
        if sqlite:
            async with raw.execute(USER_BY_NAME + "?", (payload["sub"],)) as cursor:
                row = await cursor.fetchone()
        else:
            row = await raw.fetchrow(USER_BY_NAME + "$1", payload["sub"])
        return {"user_id": str(row[0]), "username": row[1], "name": row[2], "is_active": bool(row[3]),
                "tenant_id": row[4]}

    return app


async def setup():
    native = create_app()
    stops.append(await start_lifespan(native))
    status, body = await call(native, "POST", "/auth/token",
                              [("content-type", "application/x-www-form-urlencoded")],
                              b"username=admin&password=admin")
    assert status == 200, body
    token = json.loads(body)["access_token"]
    headers = [("authorization", f"Bearer {token}"), ("content-type", "application/json")]
    status, body = await call(native, "GET", "/api/projects", headers)
    for n in range(10 - json.loads(body)["total"]):
        status, body = await call(native, "POST", "/api/projects", headers,
                                  json.dumps({"name": f"项目 {n}", "description": "基准"}).encode())
        assert status == 201, body
    floor = floor_app()
    return {"native": native, "python": plain_service.create_app(), "cython": floor}, headers


stops = []
apps, HEADERS = runner.run(setup())


@atexit.register
def _stop():
    for stop in stops:
        runner.run(stop())
    runner.close()

counter = iter(range(10**9))


def requests(app, method, path, expect, body=None):
    async def batch():
        for _ in range(BATCH):
            payload = json.dumps({"name": f"新项目 {next(counter)}"}).encode() if body else b""
            status, answer = await call(app, method, path, HEADERS, payload)
            if status != expect:
                raise RuntimeError(f"{method} {path}: {status} {answer[:200]!r}")
    return lambda: runner.run(batch())


KIND = "PostgreSQL" if URL and URL.startswith("postgresql") else ("SQLite" if not URL else URL.split(":")[0])
CASES = []
for label, method, path, expect, body, impls in (
        ("GET /auth/me", "GET", "/auth/me", 200, False, ("native", "python", "cython")),
        ("GET /api/projects (10 rows)", "GET", "/api/projects", 200, False, ("native", "python")),
        ("POST /api/projects", "POST", "/api/projects", 201, True, ("native", "python"))):
    for impl in impls:
        CASES.append((f"{label}, {KIND}", impl, requests(apps[impl], method, path, expect, body), BATCH))
