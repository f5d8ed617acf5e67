"""Authentication against a hostile client, over real HTTP (uvicorn on a loopback port): login
floods, guessing, timing and text oracles, tokens that should not work, tokens that were ended,
and keys anyone can read."""

import asyncio
import concurrent.futures
import threading
import time
import types

import bcrypt
import httpx
import jwt
import pytest
from fastapi import FastAPI

from kelvora_core.auth.auth_routes import router
from kelvora_core.config import app_config
from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.engine.redis_engine import RedisEngine
from kelvora_core.exception.register_handlers import register_exception_handlers
from kelvora_core.exception.service_exception import ThrottledError
from kelvora_core.portal_auth import AuthUser, auth_registry
from kelvora_core.services import login_throttle, warden
from kelvora_core.services.conduit import AsyncConduit
from kelvora_core.services.login_throttle import LoginThrottle
from kelvora_core.services.password_pool import PasswordPool
from kelvora_core.services.revocation import reset_revocation_store
from kelvora_core.services.sliding_window import RedisWindows
from kelvora_core.services.token_cache import reset_token_cache
from kelvora_core.services.warden import Warden
from kelvora_core.tools.surveyor import Surveyor
from kelvora_core.tools.tenant_manager import TenantManager

from _database import configure
from _http import over_http
from _servers import server_url

KEY = Warden.TOKEN_SECRET_KEY
LOGGED = warden


class Bcrypt:
    """bcrypt at its lowest cost, counting checks; ``gate`` (when set) holds every check."""

    def __init__(self):
        self.checks, self.gate = 0, None

    def checkpw(self, password, hashed):
        self.checks += 1
        if self.gate is not None:
            self.gate.wait(30)
        return bcrypt.checkpw(password, hashed)

    hashpw = staticmethod(bcrypt.hashpw)
    gensalt = staticmethod(lambda: bcrypt.gensalt(rounds=4))


@pytest.fixture
def hashes(monkeypatch):
    fake = Bcrypt()
    monkeypatch.setattr(warden, "bcrypt", fake)
    return fake


@pytest.fixture
async def service(saved_config, tmp_path, hashes, request):
    """The auth routes on alice (active), carol (inactive, right password) and an empty pool,
    throttle and revocation store made from the configuration the test sets."""
    kind = getattr(request, "param", "sqlite")
    resets = (PasswordPool.reset, LoginThrottle.reset, reset_revocation_store, RedisEngine().close, TenantManager.clear)
    for reset in resets:  # made from this test's configuration on first use, not from an earlier one's
        reset()
    configure(Auth=server_url("postgresql") if kind == "postgresql" else f"sqlite+aiosqlite:///{tmp_path}/auth.db")
    if kind == "postgresql":
        async with DatabaseEngine().get_async_engine("Auth").begin() as conn:
            await conn.run_sync(auth_registry.metadata.drop_all)
    await Surveyor.metadata_to_database(auth_registry.metadata, "Auth")
    async with AsyncConduit().get_session("Auth") as db:
        for name, active in (("alice", True), ("carol", False)):
            db.add(AuthUser(username=name, password=Warden.hash_password(name + "-pw"), is_active=active))
    app = FastAPI()
    register_exception_handlers(app)
    app.include_router(router)
    yield app
    for reset in resets:
        reset()
    await AsyncConduit().close_all()


@pytest.fixture(params=[False, True], ids=["checked each time", "user cache"])
def user_cache(request, saved_config):
    """Every check must hold on the cached path too: each token below is shown more than once."""
    reset_token_cache()
    saved_config.auth.user_cache.enabled = request.param
    yield request.param
    reset_token_cache()


def talk(app, conversation):
    """conversation(client) over a real connection while uvicorn serves the app."""
    def run(base):
        with httpx.Client(base_url=base, timeout=20) as client:
            return conversation(client)
    return over_http(app, run, "Auth")


def login(client, name, password):
    return client.post("/auth/token", data={"username": name, "password": password})


def me(client, token):
    return client.get("/auth/me", headers={"Authorization": f"Bearer {token}"}).status_code


# ---- a login flood queues on the password threads and is refused past the bound -------------


async def test_login_flood_is_bounded_and_never_holds_other_routes(service, saved_config, hashes):
    saved_config.auth.password_hashing.threads, saved_config.auth.password_hashing.queue = 1, 1
    saved_config.auth.login_throttle.enabled = False
    token = Warden._set_access_token(types.SimpleNamespace(username="alice", tenant_id=None)).access_token

    def flood(client):
        hashes.gate = threading.Event()
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            held = [pool.submit(login, client, "alice", "wrong") for _ in range(2)]
            while PasswordPool.shared().taken < 2:  # one check running, one waiting
                time.sleep(0.01)
            refused = login(client, "alice", "wrong")
            other_route = me(client, token)  # answered while every password thread is busy
            hashes.gate.set()
            return refused, other_route, [f.result().status_code for f in held]

    refused, other_route, held = await talk(service, flood)
    assert (refused.status_code, other_route, held) == (429, 200, [401, 401])
    assert refused.headers["retry-after"] == "1"
    assert refused.json() == {"code": 429, "type": "too_many_requests", "message": "登录请求过多，请稍后重试",
                              "errors": None, "fields": []}


# ---- failed-login throttling per user name and per address, in the process or in Redis -----------


@pytest.mark.parametrize("store", ["memory", "redis", "redis unreachable"])
async def test_failed_logins_are_throttled_before_any_hash(service, saved_config, hashes, store, log_into):
    log = log_into(login_throttle)
    throttle = saved_config.auth.login_throttle
    throttle.window_seconds, throttle.max_failures_per_user, throttle.max_failures_per_address = 60, 3, 6
    if store == "redis":
        saved_config.redis.url = server_url("redis")
        from redis import Redis
        with Redis.from_url(saved_config.redis.url) as client:
            client.flushdb()
    elif store == "redis unreachable":
        saved_config.redis.url = "redis://127.0.0.1:1/0"

    def guess(client):
        out = [login(client, "alice", p).status_code for p in ("x", "x", "alice-pw", "x", "x")]  # a success clears
        out += [login(client, "Alice", "x").status_code for _ in range(2)]  # the same name in another case
        checks = hashes.checks
        over = login(client, "alice", "alice-pw")  # even the right password waits now
        out += [over.status_code, hashes.checks - checks, login(client, "carol", "x").status_code]
        out += [login(client, "dave", "x").status_code]  # the address is over its limit too
        return out, over

    out, over = await talk(service, guess)
    assert out == [401, 401, 200, 401, 401, 401, 429, 429, 0, 401, 429]
    assert 55 <= int(over.headers["retry-after"]) <= 60 and over.json()["type"] == "too_many_requests"
    warnings = [m for m in log.messages("warning") if "Redis" in m]
    assert len(warnings) == (1 if store == "redis unreachable" else 0)
    if store == "redis":  # another worker, with counts of its own in its process, sees the same
        RedisEngine().close()  # the server's loop is gone; a new client for this one
        with pytest.raises(ThrottledError):
            await LoginThrottle(throttle, RedisEngine().client).check("ALICE", "192.0.2.1")


async def test_throttle_goes_back_to_redis_by_itself_after_an_outage(log_into, monkeypatch):
    from redis.asyncio import Redis

    log = log_into(login_throttle)
    monkeypatch.setattr(login_throttle, "REDIS_RETRY_SECONDS", 0.3)
    settings = app_config.LoginThrottleSettings(window_seconds=60, max_failures_per_user=5)
    client, other = Redis.from_url(server_url("redis")), Redis.from_url(server_url("redis"))
    port = client.connection_pool.connection_kwargs["port"]
    client.connection_pool.connection_kwargs["port"] = 1  # the server does not answer
    name = f"outage-{time.time_ns()}"
    key = login_throttle._user_key(name)
    throttle = LoginThrottle(settings, client)
    try:
        await throttle.failed(name, None)  # counted in the process
        client.connection_pool.connection_kwargs["port"] = port  # it answers again
        client.connection_pool.reset()  # (connections are made afresh, as after a restart)
        await throttle.failed(name, None)  # still within the pause: not asked yet
        await asyncio.sleep(0.4)
        await throttle.failed(name, None)
        await throttle.failed(name, None)
        shared = await LoginThrottle(settings, other).redis.count(key)  # as another host sees it
        assert (shared[0], await throttle.memory.count(key)) == (2, (2, pytest.approx(shared[1], abs=1)))
        assert [len(log.messages("warning")), log.messages("info")] == [1, ["登录限流: Redis 已恢复"]]
    finally:
        await other.delete(RedisWindows.PREFIX + key)
        await client.aclose()
        await other.aclose()


# ---- refused logins look alike ----------------------------------------------------------------


@pytest.mark.parametrize("prod", [False, True])
async def test_refused_logins_cost_one_check_and_in_production_say_the_same(service, saved_config, hashes, prod,
                                                                            log):
    saved_config.environment.is_prod = prod

    def refusals(client):
        answers = []
        for name, password in (("nobody", "x"), ("alice", "x"), ("carol", "carol-pw")):
            checks = hashes.checks
            answer = login(client, name, password)
            answers.append((answer.status_code, hashes.checks - checks, answer.json()))
        return answers

    answers = await talk(service, refusals)
    assert [a[:2] for a in answers] == [(401, 1)] * 3  # an unknown name is checked against a fixed hash
    bodies = [a[2] for a in answers]
    if prod:
        assert bodies == [{"code": 401, "type": "auth_error", "message": "登录失败", "errors": None, "fields": []}] * 3
        reasons = log.messages("warning")
        assert len(reasons) == 3 and "账户未激活或被锁定" in reasons[2] and "'nobody'" in reasons[0]
    else:
        assert bodies[0] == bodies[1] != bodies[2]  # outside production the reason is still told


# ---- tokens that must not open /auth/me ---------------------------------------------------------


def token(**changes):
    now = time.time()
    claims = {"sub": "alice", "iat": now, "exp": int(now) + 600, "jti": "j", "tenant": False, "tenant_id": None}
    claims.update(changes)
    return jwt.encode({k: v for k, v in claims.items() if v is not ...}, KEY, algorithm="HS256")


@pytest.mark.parametrize("settings,make,status", [
    ({}, lambda: token(exp=...), 401),
    ({}, lambda: token(iat=...), 401),
    ({}, lambda: token(iat=time.time() + 300), 401),
    ({}, lambda: token(nbf=time.time() + 300), 401),
    ({"token_leeway_seconds": 600.0}, lambda: token(iat=time.time() + 300), 200),
    ({}, lambda: token(token_type="refresh"), 401),
    ({}, lambda: token(sub="carol"), 401),
    ({"token_audience": "kelvora"}, lambda: token(aud="someone-else"), 401),
    ({"token_audience": "kelvora"}, lambda: token(), 401),
    ({"token_audience": "kelvora", "token_issuer": "us"}, lambda: token(aud="kelvora", iss="us"), 200),
    ({"tenant": {"enabled": True}}, lambda: token(tenant=..., tenant_id=...), 401),
    ({"tenant": {"enabled": True}}, lambda: token(tenant=False), 401),
    ({"tenant": {"enabled": True}}, lambda: token(tenant=True), 200),
], ids=["no exp", "no iat", "iat ahead", "nbf ahead", "iat within leeway", "refresh token", "inactive user",
        "other audience", "no audience", "audience and issuer", "no tenant claims", "tenant off in token",
        "tenant claims"])
async def test_token_checks(service, user_cache, saved_config, settings, make, status):
    for key, value in settings.items():
        if isinstance(value, dict):
            for inner, set_to in value.items():
                setattr(getattr(saved_config.auth, key), inner, set_to)
        else:
            setattr(saved_config.auth, key, value)
    token = make()
    assert await talk(service, lambda client: [me(client, token) for _ in range(2)]) == [status, status]


async def test_inactive_user_cannot_refresh(service):
    pair = Warden._set_access_token(types.SimpleNamespace(username="carol", tenant_id=None))
    answer = await talk(service, lambda c: c.post("/auth/refresh", json={"refresh_token": pair.refresh_token}))
    assert answer.status_code == 401


# ---- ending tokens: logout, password change, refresh rotation with reuse detection ------------------


@pytest.mark.parametrize("store,service", [("memory", "sqlite"), ("database", "sqlite"),
                                           ("database", "postgresql"), ("redis", "sqlite")],
                         indirect=["service"])
async def test_revocation(service, user_cache, saved_config, store):
    saved_config.auth.revocation.enabled, saved_config.auth.revocation.store = True, store
    if store == "redis":
        saved_config.redis.url = server_url("redis")

    def sessions(client):
        def refresh(refresh_token):
            return client.post("/auth/refresh", json={"refresh_token": refresh_token})

        out = {}
        first = login(client, "alice", "alice-pw").json()
        second = refresh(first["refresh_token"]).json()
        out["rotated"] = second["refresh_token"] != first["refresh_token"] and me(client, second["access_token"])
        out["reuse"] = refresh(first["refresh_token"]).json()["errors"]["error_code"]
        out["family ended"] = (me(client, first["access_token"]), me(client, second["access_token"]),
                               refresh(second["refresh_token"]).status_code)
        third = login(client, "alice", "alice-pw").json()
        out["logout"] = client.post("/auth/logout", headers={"Authorization": third["token"]}).status_code
        out["after logout"] = (me(client, third["access_token"]), refresh(third["refresh_token"]).status_code)
        kept, changer = (login(client, "alice", "alice-pw").json() for _ in range(2))
        out["change"] = client.put("/auth/password", headers={"Authorization": changer["token"]},
                                   json={"old_password": "alice-pw", "new_password": "fresh-pw"}).status_code
        out["after change"] = (me(client, kept["access_token"]), refresh(kept["refresh_token"]).status_code)
        out["new login"] = me(client, login(client, "alice", "fresh-pw").json()["access_token"])
        return out

    assert await talk(service, sessions) == {
        "rotated": 200, "reuse": "token_reused", "family ended": (401, 401, 401), "logout": 200,
        "after logout": (401, 401), "change": 200, "after change": (401, 401), "new login": 200}


# ---- keys anyone can read ---------------------------------------------------------------------------


@pytest.mark.parametrize("environment,file_key,env_key,outcome", [
    ("prod", "change-me-to-a-long-random-text-of-32-bytes-or-more", None, "ships with Kelvora"),
    ("prod", app_config.DEV_SECRET_KEY, None, "ships with Kelvora"),
    ("prod", "short", None, "at least 32 bytes"),
    ("prod", "change-me-to-a-long-random-text-of-32-bytes-or-more", "an-own-key-from-the-environment-0123456789",
     "an-own-key-from-the-environment-0123456789"),
    ("dev", "a-file-key-long-enough-for-hs256-0123456789", "an-own-key-from-the-environment-0123456789",
     "an-own-key-from-the-environment-0123456789"),
])
def test_production_keys(tmp_path, monkeypatch, environment, file_key, env_key, outcome):
    path = tmp_path / "config.yaml"
    path.write_text(f"environment: {{model: {environment}}}\nauth: {{token_secret_key: {file_key}}}\n")
    if env_key:
        monkeypatch.setenv(app_config.SECRET_ENV_VAR, env_key)
    if outcome.startswith(("ships", "at least")):
        with pytest.raises(app_config.ConfigError, match=outcome):
            app_config.read(path)
    else:
        assert app_config.read(path).auth.token_secret_key == outcome
