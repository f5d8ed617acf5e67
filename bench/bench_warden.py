"""Authentication: token primitives per call, and login and /auth/me through uvicorn.

The per-call rows set Warden beside PlainWarden, the same class written in plain Python: the
same claims in the same order, the same PyJWT and bcrypt calls, the same error records. The
floor rows are PyJWT's own call, which both sides pay in full.

report() then serves the auth routes with uvicorn (one worker, a loopback port, a fresh SQLite
file holding one user) and drives them with wrk on loopback, once with the native Warden behind
the real routes and once with the same two routes written on PlainWarden. Both apps use the same
host services (query, data and tenant services, the session dependency, the exception handlers).
Login checks a bcrypt hash of the library's default cost on every request, so its rate is
bcrypt's rather than the framework's.
"""

import asyncio
import json
import os
import re
import shutil
import signal
import statistics
import socket
import subprocess
import sys
import tempfile
import time
import types
import urllib.error
import urllib.parse
import urllib.request
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Annotated
from uuid import uuid4

import bcrypt
import jwt
from fastapi import APIRouter, Depends, FastAPI
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer, OAuth2PasswordRequestForm
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.config import app_config
from kelvora_core.config.app_config import AppConfig
from kelvora_core.exception.service_exception import AuthError, ThrottledError
from kelvora_core.logger.logging_ import logging
from kelvora_core.schemas.response import TokenResponse
from kelvora_core.services.conduit import AsyncConduit
from kelvora_core.services.data_service import DataService
from kelvora_core.services.password_pool import PasswordPool
from kelvora_core.services.query_service import QueryService
from kelvora_core.services.warden import Warden
from kelvora_core.tools.tenant_manager import TenantManager

# A token costs tens of microseconds: 10 000 calls per repeat keep the rows to seconds.
TARGET_CALLS = 10_000
ROOT = Path(__file__).resolve().parent.parent


def _auth_error(message, error, description, code):
    return AuthError(message=message, errors={"error": error, "error_description": description,
                                              "error_code": code, "timestamp": datetime.now().timestamp()})


UNKNOWN_USER_HASH = "$2b$12$FxklupxhJMjqizmV2asY.u7tWwJtBLO7W6dnrFNvB25apEWnvls.G"


def _utc_now():
    return datetime.now(timezone.utc).replace(tzinfo=None)


class PlainWarden:
    """Warden's primitives, token issuing, login and the bearer dependency in plain Python, with
    the same checks (required times, access tokens only, inactive users, tenant claims) and the
    password check on the same pool."""

    TOKEN_SECRET_KEY = AppConfig.auth.token_secret_key
    TOKEN_ALGORITHM = "HS256"
    TOKEN_EXPIRE_MINUTES = AppConfig.auth.token_expire_minutes
    TOKEN_REFRESH_EXPIRE_DAYS = AppConfig.auth.token_refresh_expire_days
    http_bearer = HTTPBearer(scheme_name="Bearer Auth", description="请访问 /auth/token 接口，获取token。",
                             auto_error=True)

    @classmethod
    def verify_password(cls, plain_password: str, hashed_password: str) -> bool:
        if type(plain_password) is not str or type(hashed_password) is not str:
            raise TypeError("Argument has incorrect type (expected str)")
        try:
            return bcrypt.checkpw(plain_password.encode("utf-8"), hashed_password.encode("utf-8"))
        except (ValueError, TypeError) as exc:
            logging.warning(f"密码验证参数错误: {exc}")
        except Exception as exc:
            logging.error(f"密码验证系统错误: {exc}", exc_info=True)
        return False

    @classmethod
    def jwt_encode(cls, data: dict) -> str:
        if type(data) is not dict:
            raise TypeError("Argument 'data' has incorrect type (expected dict)")
        return jwt.encode(data, cls.TOKEN_SECRET_KEY, algorithm=cls.TOKEN_ALGORITHM)

    @classmethod
    def jwt_decode(cls, token) -> dict:
        auth = AppConfig.auth
        try:
            return jwt.decode(token, cls.TOKEN_SECRET_KEY, algorithms=[cls.TOKEN_ALGORITHM],
                              options={"require": ["exp", "iat"]}, leeway=auth.token_leeway_seconds,
                              audience=auth.token_audience, issuer=auth.token_issuer)
        except jwt.ExpiredSignatureError:
            raise _auth_error("用户token已失效，请重新登录", "invalid_token", "用户token已失效，请重新登录",
                              "token_expired")
        except jwt.InvalidTokenError as exc:
            raise _auth_error("无效的token，请重新登录", "invalid_token", f"无效的token: {exc}", "invalid_token")
        except Exception as exc:
            raise _auth_error("无效的token，请重新登录", "invalid_token", f"无效的token: {exc}", "malformed_token")

    @classmethod
    def _set_access_token(cls, auth_user, refresh_token=None, refresh_expires_in=None) -> TokenResponse:
        claims = {"sub": str(auth_user.username), "iat": datetime.now().timestamp(),
                  "exp": _utc_now() + timedelta(minutes=cls.TOKEN_EXPIRE_MINUTES), "jti": str(uuid4()),
                  "tenant": AppConfig.auth.tenant.enabled, "tenant_id": auth_user.tenant_id}
        access_token = cls.jwt_encode(data=claims)
        if not refresh_token:
            claims["exp"] = _utc_now() + timedelta(days=cls.TOKEN_REFRESH_EXPIRE_DAYS)
            claims["token_type"] = "refresh"
            refresh_token = cls.jwt_encode(data=claims)
        return TokenResponse(token_type="Bearer", access_token=access_token, refresh_token=refresh_token,
                             expires_in=cls.TOKEN_EXPIRE_MINUTES * 60,
                             refresh_expires_in=refresh_expires_in or cls.TOKEN_REFRESH_EXPIRE_DAYS * 24 * 60,
                             token=f"Bearer {access_token}")

    @classmethod
    async def login(cls, *, db: AsyncSession, auth_login) -> TokenResponse:
        try:
            from kelvora_core.portal_auth.entity_table.auth_user import AuthUser
            TenantManager.disable()
            auth_user = await QueryService.query_columns_first(
                db, model_class=AuthUser, condition=AuthUser.username == auth_login.username)
            stored = auth_user.password if auth_user else UNKNOWN_USER_HASH
            matched = await PasswordPool.call(cls.verify_password, auth_login.password, stored)
            if not auth_user or not matched:
                raise _auth_error("登录失败，错误的用户名或密码", "invalid_grant", "错误的用户名或密码",
                                  "invalid_credentials")
            if auth_user.is_active is not True:
                raise _auth_error("登录失败，账户未激活或被锁定", "invalid_grant", "账户未激活或被锁定",
                                  "user_invalid")
            TenantManager.set(username=auth_user.username, tenant_id=auth_user.tenant_id)
            auth_user.last_login_at = _utc_now()
            auth_user = await DataService.update(db, auth_user.user_id, model_class=AuthUser,
                                                 update_model=auth_user)
            return cls._set_access_token(auth_user)
        except ThrottledError:
            raise
        except Exception as exc:
            raise AuthError(message="登录失败", errors=str(exc))

    @classmethod
    async def _get_current_user(cls, payload, db: AsyncSession):
        try:
            subject = payload.get("sub")
            if subject is None:
                raise AuthError(message="用户token不合法")
            username = str(subject)
            if AppConfig.auth.tenant.enabled and ("tenant" not in payload or "tenant_id" not in payload
                                                  or not payload.get("tenant")):
                raise AuthError(message="用户token不合法")
            TenantManager.set_from_token(tenant_enabled=payload.get("tenant"), username=username,
                                         tenant_id=payload.get("tenant_id"))
            from kelvora_core.portal_auth.entity_table.auth_user import AuthUser
            user = await QueryService.query_columns_first(db, model_class=AuthUser,
                                                          condition=AuthUser.username == username)
            if not user or user.is_active is not True:
                raise AuthError(message="用户token不合法")
            return user
        except jwt.InvalidTokenError as exc:
            raise AuthError(message="无效的token，请重新登录", errors=str(exc))
        except AuthError:
            raise
        except Exception as exc:
            raise AuthError(message="用户token不合法", errors=str(exc))

    @classmethod
    async def get_current_user(cls, auth_bearer: HTTPAuthorizationCredentials = Depends(http_bearer),
                               db: AsyncSession = Depends(AsyncConduit.get_auth_async_session)):
        try:
            payload = cls.jwt_decode(auth_bearer.credentials)
            if payload.get("token_type") is not None:
                raise AuthError(message="无效的token，请重新登录")
            user = await cls._get_current_user(payload, db)
            from kelvora_core.portal_auth.entity_table.auth_user import AuthUserResponse
            return AuthUserResponse.model_validate(user)
        except jwt.InvalidTokenError:
            raise AuthError(message="无效的token，请重新登录")
        except Exception as exc:
            raise AuthError(message="无效的token，请重新登录", errors=str(exc))


# ---- per call ---------------------------------------------------------------------------

USER = types.SimpleNamespace(username="bench", tenant_id="t1")
CLAIMS = {"sub": "bench", "iat": time.time(), "exp": datetime(2100, 1, 1), "jti": str(uuid4()),
          "tenant": False, "tenant_id": "t1"}
TOKEN = Warden.jwt_encode(CLAIMS)

# The twin must do the same work: same token text, same claims in the same order.
assert PlainWarden.jwt_encode(CLAIMS) == TOKEN
assert PlainWarden.jwt_decode(TOKEN) == Warden.jwt_decode(TOKEN)
for pair in (Warden._set_access_token(USER), PlainWarden._set_access_token(USER)):
    assert list(jwt.decode(pair.refresh_token, options={"verify_signature": False})) == \
        ["sub", "iat", "exp", "jti", "tenant", "tenant_id", "token_type"]


def calls(fn, *args):
    return lambda: fn(*args), 1


CASES = [
    ("jwt_encode", "native", *calls(Warden.jwt_encode, CLAIMS)),
    ("jwt_encode", "python", *calls(PlainWarden.jwt_encode, CLAIMS)),
    ("jwt.encode alone (floor)", "python", *calls(jwt.encode, CLAIMS, Warden.TOKEN_SECRET_KEY, "HS256")),
    ("jwt_decode", "native", *calls(Warden.jwt_decode, TOKEN)),
    ("jwt_decode", "python", *calls(PlainWarden.jwt_decode, TOKEN)),
    ("jwt.decode alone (floor)", "python", *calls(jwt.decode, TOKEN, Warden.TOKEN_SECRET_KEY, ["HS256"])),
    ("_set_access_token (access + refresh)", "native", *calls(Warden._set_access_token, USER)),
    ("_set_access_token (access + refresh)", "python", *calls(PlainWarden._set_access_token, USER)),
]


# ---- over HTTP --------------------------------------------------------------------------

SECONDS = 10          # seconds of load per route and side, in slices of SECONDS // *_SLICES
LOGIN_SLICES = 2      # a login takes most of a second: longer slices lose fewer to the cut-off
ME_SLICES = 5
WARM_UP = 2           # seconds of /auth/me before the measured runs, not reported
LOGIN_CONNECTIONS = 2  # bcrypt holds the event loop; more connections only queue
ME_CONNECTIONS = 16
USERNAME, PASSWORD = "bench", "bench-password"


def plain_app():
    from kelvora_core.auth.auth_routes import password_login
    from kelvora_core.exception.register_handlers import register_exception_handlers
    from kelvora_core.portal_auth.entity_table.auth_user import AuthUserResponse

    router = APIRouter(prefix="/auth", dependencies=[Depends(password_login)])
    session = Annotated[AsyncSession, Depends(AsyncConduit.get_auth_async_session)]

    @router.post("/token", response_model=TokenResponse)
    async def login(form: Annotated[OAuth2PasswordRequestForm, Depends()], db: session) -> TokenResponse:
        return await PlainWarden.login(db=db, auth_login=form)

    @router.get("/me", response_model=AuthUserResponse)
    async def me(current_user: Annotated[AuthUserResponse, Depends(PlainWarden.get_current_user)]):
        return current_user

    app = FastAPI()
    register_exception_handlers(app)
    app.include_router(router)
    return app


def native_app():
    from kelvora_core.auth.auth_routes import router
    from kelvora_core.exception.register_handlers import register_exception_handlers

    app = FastAPI()
    register_exception_handlers(app)
    app.include_router(router)
    return app


async def one_user(url):
    """A fresh user table holding one active user."""
    from kelvora_core.portal_auth import AuthUser, auth_registry
    from kelvora_core.tools.surveyor import Surveyor

    settings = AppConfig.model_copy(deep=True)
    settings.databases = {"Auth": app_config.DatabaseSetting(url=url)}
    settings.environment.logging_level = "WARNING"  # measure the routes, not the terminal
    app_config.install(settings)
    await Surveyor.metadata_to_database(auth_registry.metadata, "Auth")
    async with AsyncConduit().get_session("Auth") as db:
        db.add(AuthUser(username=USERNAME, password=Warden.hash_password(PASSWORD), is_active=True))
    await AsyncConduit().close_all()  # the server's own loop opens its engines again


def serve(impl, url, port):
    import uvicorn

    asyncio.run(one_user(url))
    auth = json.loads(os.environ.get("KELVORA_BENCH_AUTH", "{}"))
    if auth:  # sections of `auth` for this server, e.g. login throttling off
        settings = AppConfig.model_copy(deep=True)
        for section, values in auth.items():
            if section in type(settings.auth).model_fields:
                setattr(settings.auth, section, getattr(settings.auth, section).model_copy(update=values))
        app_config.install(settings)
    app = native_app() if impl == "native" else plain_app()
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False, lifespan="off")


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Server:
    """One uvicorn process serving one implementation on a fresh database."""

    def __init__(self, impl, auth=None):
        self.folder = tempfile.mkdtemp(prefix="kelvora-bench-warden-")
        self.port = free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        url = f"sqlite+aiosqlite:///{self.folder}/auth.db"
        path = os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")]))
        env = {**os.environ, "PYTHONPATH": path, "KELVORA_BENCH_AUTH": json.dumps(auth or {})}
        self.process = subprocess.Popen([sys.executable, __file__, "serve", impl, url, str(self.port)],
                                        cwd=self.folder, env=env)

    def wait(self, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the server stopped at start (exit {self.process.returncode})")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the server did not start in time")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        try:
            self.wait()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()


def login_once(base):
    form = urllib.parse.urlencode({"username": USERNAME, "password": PASSWORD}).encode()
    with urllib.request.urlopen(urllib.request.Request(f"{base}/auth/token", data=form), timeout=30) as r:
        return json.load(r)["access_token"]


def me_once(base, token):
    request = urllib.request.Request(f"{base}/auth/me", headers={"Authorization": f"Bearer {token}"})
    with urllib.request.urlopen(request, timeout=30) as r:
        return json.load(r)["username"]


LOGIN_SCRIPT = """wrk.method = "POST"
wrk.body = "username={user}&password={password}"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
"""


def wrk(url, seconds, connections, *options):
    """Requests per second and the request count of one wrk run; refuses any non-2xx answer."""
    out = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "30s", *options, url],
                         capture_output=True, text=True, check=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(f"wrk saw failed requests:\n{out}")
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    count = int(re.search(r"(\d+) requests in", out).group(1))
    return rate, count


def ready(server):
    """Logs in once and checks /auth/me; returns wrk's bearer header option."""
    token = login_once(server.base)
    if me_once(server.base, token) != USERNAME:
        raise RuntimeError("/auth/me did not answer the logged-in user")
    wrk(f"{server.base}/auth/me", WARM_UP, ME_CONNECTIONS, "-H", f"Authorization: Bearer {token}")
    return ("-H", f"Authorization: Bearer {token}")


def measure(script):
    """Both servers are up at once, each idle but for its own runs, and each row is measured in
    slices that take turns between them, so a change in the machine's load (it is shared) reaches
    both sides alike. A row's figure is its requests over its seconds, summed over the slices."""
    with Server("native") as native, Server("python") as python:
        servers = {"native": native, "python": python}
        bearers = {impl: ready(server) for impl, server in servers.items()}
        rows = {"POST /auth/token (login, bcrypt)": (LOGIN_SLICES, LOGIN_CONNECTIONS, "/auth/token",
                                                     lambda impl: ("-s", script)),
                "GET /auth/me (bearer token)": (ME_SLICES, ME_CONNECTIONS, "/auth/me", bearers.get)}
        results = {}
        for row, (slices, connections, path, options) in rows.items():
            totals = {impl: [0.0, 0] for impl in servers}
            for _ in range(slices):
                for impl, server in servers.items():
                    rate, count = wrk(server.base + path, SECONDS // slices, connections, *options(impl))
                    totals[impl][0] += rate * (SECONDS // slices)
                    totals[impl][1] += count
            results[row] = {impl: (done / SECONDS, count) for impl, (done, count) in totals.items()}
        return results


def report():
    latency_report()
    revocation_report()
    print(f"\n-- requests per second: uvicorn, 1 worker, SQLite file with one user; wrk -t1 on loopback, "
          f"{SECONDS} s per route and side in alternating slices (login -c{LOGIN_CONNECTIONS}, "
          f"/auth/me -c{ME_CONNECTIONS})")
    if shutil.which("wrk") is None:
        print("   skipped: wrk is not installed (make bench installs Debian's wrk)")
        return
    with tempfile.NamedTemporaryFile("w", suffix=".lua") as script:
        script.write(LOGIN_SCRIPT.format(user=USERNAME, password=PASSWORD))
        script.flush()
        results = measure(script.name)
    print(f"{'route':44} {'native':>10} {'python':>10} {'ratio':>7}")
    for route, result in results.items():
        (native, n_count), (python, p_count) = result["native"], result["python"]
        print(f"{route:44} {native:8.1f}/s {python:8.1f}/s {native / python:6.2f}x"
              f"   ({n_count} and {p_count} requests)")
    print("ratio = native requests per second / plain Python requests per second; load average "
          f"of the machine after the runs: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


# ---- latency beside a login flood, and the time of a refused login ------------------------

LATENCY_SECONDS = 8
FLOOD_CONNECTIONS = 4   # clients posting wrong passwords as fast as they are answered
ME_LATENCY_CONNECTIONS = 4
LOGIN_SAMPLES = 15      # per kind of refused login, taken in turns

# Counts the answers by status; wrk's own summary only tells 2xx from the rest.
FLOOD_SCRIPT = """wrk.method = "POST"
wrk.body = "username={user}&password=wrong-{password}"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
local threads = {{}}
function setup(thread) table.insert(threads, thread) end
function init(args) statuses = {{}} end
function response(status, headers, body) statuses[status] = (statuses[status] or 0) + 1 end
function done(summary, latency, requests)
  for _, thread in ipairs(threads) do
    for status, count in pairs(thread:get("statuses")) do io.write(string.format("status %d %d\\n", status, count)) end
  end
end
"""
UNITS = {"us": 1e-3, "ms": 1.0, "s": 1000.0}


def wrk_latency(url, seconds, connections, *options):
    """p50 and p99 in milliseconds and the request count of one wrk --latency run."""
    out = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "30s", "--latency",
                          *options, url], capture_output=True, text=True, check=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(f"wrk saw failed requests:\n{out}")
    cut = {p: float(v) * UNITS[u] for p, v, u in re.findall(r"^\s+(50|99)%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)}
    return cut["50"], cut["99"], int(re.search(r"(\d+) requests in", out).group(1))


def login_time(base, username, password):
    form = urllib.parse.urlencode({"username": username, "password": password}).encode()
    started = time.perf_counter()
    try:
        urllib.request.urlopen(urllib.request.Request(f"{base}/auth/token", data=form), timeout=30).close()
    except urllib.error.HTTPError as refused:
        if refused.code != 401:
            raise RuntimeError(f"a refused login answered {refused.code}") from None
    else:
        raise RuntimeError("a wrong login was accepted")
    return (time.perf_counter() - started) * 1000


def latency_report():
    print(f"\n-- GET /auth/me latency alone and beside a wrong-password flood (wrk -c{FLOOD_CONNECTIONS} "
          f"on POST /auth/token), and refused logins; uvicorn, 1 worker, SQLite, bcrypt cost 12, "
          f"login throttling off")
    if shutil.which("wrk") is None:
        print("   skipped: wrk is not installed (make bench installs Debian's wrk)")
        return
    # Throttling would answer most of the flood with 429 at once: off, so every guess costs a hash.
    with Server("native", auth={"login_throttle": {"enabled": False}}) as server, \
            tempfile.NamedTemporaryFile("w", suffix=".lua") as script:
        bearer = ready(server)
        script.write(FLOOD_SCRIPT.format(user=USERNAME, password=PASSWORD))
        script.flush()
        alone = wrk_latency(server.base + "/auth/me", LATENCY_SECONDS, ME_LATENCY_CONNECTIONS, *bearer)
        flood = subprocess.Popen(["wrk", "-t1", f"-c{FLOOD_CONNECTIONS}", f"-d{LATENCY_SECONDS + 2}s", "--timeout",
                                  "60s", "-s", script.name, server.base + "/auth/token"],
                                 stdout=subprocess.PIPE, text=True)
        time.sleep(1)
        beside = wrk_latency(server.base + "/auth/me", LATENCY_SECONDS, ME_LATENCY_CONNECTIONS, *bearer)
        statuses = dict(re.findall(r"^status (\d+) (\d+)$", flood.communicate()[0], re.M))
        times = {"unknown user": [], "wrong password": []}
        for _ in range(LOGIN_SAMPLES):
            times["unknown user"].append(login_time(server.base, "nobody-" + USERNAME, PASSWORD))
            times["wrong password"].append(login_time(server.base, USERNAME, "wrong-" + PASSWORD))
    for label, (p50, p99, count) in (("alone", alone), ("beside the flood", beside)):
        print(f"{'GET /auth/me ' + label:44} p50 {p50:9.2f} ms   p99 {p99:9.2f} ms   ({count} requests)")
    answered = ", ".join(f"{count} x {status}" for status, count in sorted(statuses.items()))
    print(f"{'  the flood was answered':44} {answered or 'nothing'} in {LATENCY_SECONDS + 2} s")
    print(f"{'  p99 beside the flood / p99 alone':44} {beside[1] / alone[1]:9.2f}x   (target: within 3x)")
    medians = {label: statistics.median(values) for label, values in times.items()}
    for label, median in medians.items():
        print(f"{'POST /auth/token refused, ' + label:44} median {median:9.2f} ms   ({LOGIN_SAMPLES} logins)")
    gap = abs(medians["unknown user"] - medians["wrong password"]) / max(medians.values())
    print(f"{'  difference of the two medians':44} {gap * 100:9.1f} %   (target: within 10 %)")


def revocation_report():
    """/auth/me with revocation off and on (the database store: one more look-up by primary key on
    the request's own session), served side by side and measured in alternating slices."""
    print(f"\n-- GET /auth/me requests per second, token revocation off and on (database store, SQLite); "
          f"wrk -t1 -c{ME_CONNECTIONS}, {SECONDS} s per side in alternating slices")
    if shutil.which("wrk") is None:
        print("   skipped: wrk is not installed (make bench installs Debian's wrk)")
        return
    with Server("native") as off, Server("native", auth={"revocation": {"enabled": True}}) as on:
        servers = {"revocation off": off, "revocation on": on}
        bearers = {label: ready(server) for label, server in servers.items()}
        done = {label: 0.0 for label in servers}
        for _ in range(ME_SLICES):
            for label, server in servers.items():
                rate, _ = wrk(server.base + "/auth/me", SECONDS // ME_SLICES, ME_CONNECTIONS, *bearers[label])
                done[label] += rate * (SECONDS // ME_SLICES)
    rates = {label: total / SECONDS for label, total in done.items()}
    for label, rate in rates.items():
        print(f"{'GET /auth/me, ' + label:44} {rate:8.1f}/s")
    print(f"{'  on / off':44} {rates['revocation on'] / rates['revocation off']:9.2f}x")


if __name__ == "__main__" and sys.argv[1:2] == ["latency"]:
    latency_report()
    revocation_report()

if __name__ == "__main__" and sys.argv[1:2] == ["serve"]:
    serve(sys.argv[2], sys.argv[3], int(sys.argv[4]))
