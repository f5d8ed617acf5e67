"""Warden: passwords, tokens, the account flows and the current user, alone and over HTTP."""

import asyncio
import base64
import inspect
import json
import time
import types
import warnings
from datetime import datetime, timezone

import httpx
import jwt
import pytest
from fastapi import Depends, FastAPI
from fastapi.security import HTTPAuthorizationCredentials
from sqlmodel import select

from kelvora_core.auth.auth_routes import router
from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.exception.register_handlers import register_exception_handlers
from kelvora_core.exception.service_exception import AuthError, ValidError
from kelvora_core.portal_auth import AuthUser, auth_registry
from kelvora_core.services import warden
from kelvora_core.services.conduit import AsyncConduit
from kelvora_core.services.warden import Warden
from kelvora_core.tools.surveyor import Surveyor
from kelvora_core.tools.tenant_manager import TenantManager

from _database import configure
from _http import asgi_client, over_http

LOGGED = warden
KEY = Warden.TOKEN_SECRET_KEY
ORDER = ["sub", "iat", "exp", "jti", "tenant", "tenant_id"]


def claims(**changes):
    # A day, not minutes: the module's tokens are made at collection, and a slow run (the suite under
    # emulation) reaches these tests more than ten minutes later.
    base = {"sub": "alice", "iat": time.time(), "exp": int(time.time()) + 86_400, "jti": "j", "tenant": False,
            "tenant_id": None}
    base.update(changes)
    return {k: v for k, v in base.items() if v is not ...}


def b64(data):
    return base64.urlsafe_b64encode(json.dumps(data).encode()).rstrip(b"=").decode()


def forged(header):
    """A token with its own header, signed by the right key over the right algorithm."""
    import hashlib
    import hmac
    signing = f"{b64(header)}.{b64(claims())}"
    sig = base64.urlsafe_b64encode(hmac.new(KEY.encode(), signing.encode(), hashlib.sha256).digest())
    return f"{signing}.{sig.rstrip(b'=').decode()}"


GOOD = jwt.encode(claims(), KEY, algorithm="HS256")
with warnings.catch_warnings():  # the development key is short for SHA-512, which is the point
    warnings.simplefilter("ignore")
    HS512 = jwt.encode(claims(), KEY, algorithm="HS512")
BAD_TOKENS = {
    "expired": (jwt.encode(claims(exp=int(time.time()) - 10), KEY, algorithm="HS256"), "token_expired"),
    "other key": (jwt.encode(claims(), "another-key-of-sufficient-length-123", algorithm="HS256"), "invalid_token"),
    "HS512": (HS512, "invalid_token"),
    "alg none": (jwt.encode(claims(), None, algorithm="none"), "invalid_token"),
    "RS256 header": (forged({"alg": "RS256", "typ": "JWT"}), "invalid_token"),
    "tampered": (".".join([GOOD.split(".")[0], b64(claims(sub="root")), GOOD.split(".")[2]]), "invalid_token"),
    "truncated": (GOOD[:-6], "invalid_token"),
    "non-text sub": (jwt.encode(claims(sub=7), KEY, algorithm="HS256"), "invalid_token"),
    "garbage": ("garbage", "invalid_token"),
    "1 MB": ("a" * 1_000_000, "invalid_token"),
    "non-ASCII": ("ëÿ.ü.ß", "invalid_token"),
}


@pytest.fixture(autouse=True)
def cheap_hashes(monkeypatch):
    """The library's default cost makes every hash take a quarter second; the rules don't change."""
    import bcrypt
    monkeypatch.setattr(warden, "bcrypt", types.SimpleNamespace(
        hashpw=bcrypt.hashpw, checkpw=bcrypt.checkpw, gensalt=lambda: bcrypt.gensalt(rounds=4)))


# ---- passwords and tokens ------------------------------------------------------------


@pytest.mark.parametrize("password", ["secret", "pässwörd", "密码🔒"])
def test_passwords_hash_and_verify_on_utf8(password, log):
    first, second = Warden.hash_password(password), Warden.hash_password(password)
    assert first != second and first.startswith("$2b$")
    assert Warden.verify_password(password, first) and Warden.verify_password(password, second)
    assert not Warden.verify_password(password + "x", first)
    assert log.lines == []


def test_verify_password_failures(log, monkeypatch):
    assert Warden.verify_password("secret", "not a bcrypt hash") is False
    assert [line[:1] for line in log.lines] == [("warning",)] and log.messages()[0].startswith("密码验证参数错误: ")

    class Broken:
        @staticmethod
        def checkpw(*args):
            raise RuntimeError("library down")

    monkeypatch.setattr(warden, "bcrypt", Broken)
    assert Warden.verify_password("secret", "x") is False
    assert log.lines[-1] == ("error", "密码验证系统错误: library down", True)


@pytest.mark.parametrize("call", [
    lambda: Warden.verify_password(None, "x"), lambda: Warden.verify_password("x", 1),
    lambda: Warden.hash_password(type("S", (str,), {})("x")), lambda: Warden.jwt_encode([("sub", "a")]),
])
def test_exact_types_are_refused_before_anything_runs(call, log):
    with pytest.raises(TypeError, match=r"Argument '\w+' has incorrect type \(expected (str|dict), got \w+\)"):
        call()
    assert log.lines == []


def test_tokens_round_trip():
    data = claims(exp=datetime(2100, 1, 1))
    decoded = Warden.jwt_decode(Warden.jwt_encode(data))
    assert decoded == {**data, "exp": 4102444800}
    assert jwt.get_unverified_header(Warden.jwt_encode(data))["alg"] == "HS256"


@pytest.mark.parametrize("case", sorted(BAD_TOKENS))
def test_bad_tokens_are_auth_errors(case):
    token, code = BAD_TOKENS[case]
    with pytest.raises(AuthError) as info:
        Warden.jwt_decode(token)
    errors = info.value.errors
    assert list(errors) == ["error", "error_description", "error_code", "timestamp"]
    assert (errors["error"], errors["error_code"]) == ("invalid_token", code)
    assert isinstance(info.value.__context__, jwt.InvalidTokenError)
    expected = "用户token已失效，请重新登录" if code == "token_expired" else "无效的token，请重新登录"
    assert info.value.message == expected and abs(errors["timestamp"] - time.time()) < 60


def test_other_decoding_failures_are_malformed(monkeypatch):
    monkeypatch.setattr(warden, "jwt", types.SimpleNamespace(
        decode=lambda *a, **k: 1 / 0, ExpiredSignatureError=jwt.ExpiredSignatureError,
        InvalidTokenError=jwt.InvalidTokenError))
    with pytest.raises(AuthError) as info:
        Warden.jwt_decode("x")
    assert info.value.errors["error_code"] == "malformed_token"
    assert info.value.errors["error_description"] == "无效的token: division by zero"


def test_issued_token_pair():
    user = types.SimpleNamespace(username=42, tenant_id="t1")
    pair = Warden._set_access_token(user)
    assert list(pair.model_dump()) == ["token_type", "access_token", "refresh_token", "expires_in",
                                       "refresh_expires_in", "token"]
    assert (pair.token_type, pair.token, pair.expires_in, pair.refresh_expires_in) == (
        "Bearer", "Bearer " + pair.access_token, Warden.TOKEN_EXPIRE_MINUTES * 60,
        Warden.TOKEN_REFRESH_EXPIRE_DAYS * 1440)
    access, refresh = (jwt.decode(t, KEY, algorithms=["HS256"]) for t in (pair.access_token, pair.refresh_token))
    assert list(access) == ORDER and list(refresh) == ORDER + ["token_type"]
    assert access["sub"] == "42" and access["tenant_id"] == "t1" and refresh["token_type"] == "refresh"
    assert all(access[k] == refresh[k] for k in ("sub", "iat", "jti", "tenant", "tenant_id"))
    now = datetime.now(timezone.utc).timestamp()
    assert abs(access["exp"] - now - Warden.TOKEN_EXPIRE_MINUTES * 60) < 5
    assert abs(refresh["exp"] - now - Warden.TOKEN_REFRESH_EXPIRE_DAYS * 86400) < 5
    again = Warden._set_access_token(user, refresh_token="given", refresh_expires_in=123)
    assert (again.refresh_token, again.refresh_expires_in) == ("given", 123)


def test_surface():
    assert inspect.iscoroutinefunction(Warden.login) and not inspect.iscoroutinefunction(Warden._set_access_token)
    sig = inspect.signature(Warden.get_current_user)
    assert sig.parameters["auth_bearer"].default.dependency is Warden.http_bearer
    assert Warden.http_bearer.scheme_name == "Bearer Auth" and Warden.http_bearer.auto_error is True
    assert str(inspect.signature(Warden.modify_password)) == \
        "(db: 'AsyncSession', *, password_model, current_user) -> 'None'"
    assert Warden.get_permission() is not Warden.get_permission()


# ---- the flows against patched services -----------------------------------------------------


class Calls:
    """Stands in for the query, data and tenant services, recording every call in order."""

    def __init__(self, monkeypatch, row):
        self.calls, self.row = [], row
        calls = self.calls

        async def query_columns_first(db, **kw):
            calls.append(("query", str(kw["condition"].compile(compile_kwargs={"literal_binds": True}))))
            return self.row

        async def find_user_row(db, username):  # the Core look-up of a request's user
            calls.append(("row", username))
            return None if self.row is None else self.row.model_dump(exclude={"password"})

        async def update(db, key, **kw):
            calls.append(("update", key, kw["update_model"].last_login_at is not None))
            return kw["update_model"]

        tenant = types.SimpleNamespace(disable=lambda: calls.append(("disable",)),
                                       set=lambda **kw: calls.append(("set", kw)),
                                       set_from_token=lambda **kw: calls.append(("from_token", list(kw.items()))))
        monkeypatch.setattr(warden, "QueryService", types.SimpleNamespace(query_columns_first=query_columns_first))
        monkeypatch.setattr(warden, "DataService", types.SimpleNamespace(update=update))
        monkeypatch.setattr(warden, "find_user_row", find_user_row)
        monkeypatch.setattr(warden, "TenantManager", tenant)


def user_row(password="secret", is_active=True):
    return AuthUser(user_id=7, username="alice", password=Warden.hash_password(password), is_active=is_active,
                    tenant_id="t1")


async def test_login_calls_in_order(monkeypatch):
    calls = Calls(monkeypatch, user_row())
    pair = await Warden.login(db=None, auth_login=types.SimpleNamespace(username="alice", password="secret"))
    assert calls.calls == [("disable",), ("query", "auth_user.username = 'alice'"),
                           ("set", {"username": "alice", "tenant_id": "t1"}), ("update", 7, True)]
    assert jwt.decode(pair.access_token, KEY, algorithms=["HS256"])["sub"] == "alice"


@pytest.mark.parametrize("active,password,reason", [
    (None, "secret", "登录失败，错误的用户名或密码"),  # no such user
    (True, "wrong", "登录失败，错误的用户名或密码"),
    (False, "secret", "登录失败，账户未激活或被锁定"),
    (1, "secret", "登录失败，账户未激活或被锁定"),  # only True itself is active
])
async def test_login_failures_are_one_error(monkeypatch, active, password, reason):
    row = None if active is None else user_row(is_active=active)
    calls = Calls(monkeypatch, row)
    with pytest.raises(AuthError) as info:
        await Warden.login(db=None, auth_login=types.SimpleNamespace(username="alice", password=password))
    assert (info.value.message, info.value.errors) == ("登录失败", reason)
    inner = info.value.__context__
    assert isinstance(inner, AuthError) and list(inner.errors) == ["error", "error_description", "error_code",
                                                                   "timestamp"]
    assert not any(c[0] in ("set", "update") for c in calls.calls)


async def test_refresh_and_current_user(monkeypatch):
    calls = Calls(monkeypatch, user_row())
    pair = Warden._set_access_token(types.SimpleNamespace(username="alice", tenant_id="t1"))
    with pytest.raises(AuthError) as info:
        await Warden.refresh(pair.access_token, None)
    assert info.value.errors["error_code"] == "invalid_token_type"
    again = await Warden.refresh(pair.refresh_token, None)
    expires = jwt.decode(pair.refresh_token, KEY, algorithms=["HS256"])["exp"]
    assert (again.refresh_token, again.refresh_expires_in) == (pair.refresh_token, expires)
    assert calls.calls[0] == ("from_token", [("tenant_enabled", False), ("username", "alice"), ("tenant_id", "t1")])
    user = await Warden.get_current_user(HTTPAuthorizationCredentials(scheme="Bearer", credentials=pair.access_token),
                                         None)
    assert user.username == "alice" and not hasattr(user, "password")
    with pytest.raises(AuthError, match="无效的token") as info:  # a refresh token is no access token
        await Warden.get_current_user_request(types.SimpleNamespace(headers={"Authorization": pair.token.replace(
            pair.access_token, pair.refresh_token)}), None)
    assert info.value.errors["error_code"] == "invalid_token_type"


@pytest.mark.parametrize("module", ["replaced", "None"])
async def test_the_entity_module_is_taken_as_sys_modules_holds_it(monkeypatch, module):
    import sys

    from kelvora_core.portal_auth.entity_table import auth_user

    Calls(monkeypatch, user_row())
    name = auth_user.__name__
    answered = []

    class Response:
        @staticmethod
        def model_validate(row):
            answered.append(row["username"])
            return "answer"

    if module == "replaced":
        monkeypatch.setitem(sys.modules, name, types.SimpleNamespace(AuthUserResponse=Response))
    else:  # not there: the import statement's own answer
        monkeypatch.setitem(sys.modules, name, None)
    token = Warden._set_access_token(types.SimpleNamespace(username="alice", tenant_id="t1")).access_token
    credentials = HTTPAuthorizationCredentials(scheme="Bearer", credentials=token)
    if module == "None":
        with pytest.raises(AuthError) as info:
            await Warden.get_current_user(credentials, None)
        assert "halted" in info.value.__context__.errors  # the import was made, and refused
    else:
        assert await Warden.get_current_user(credentials, None) == "answer" and answered == ["alice"]


async def test_a_subclass_step_runs_on_every_request(monkeypatch, saved_config):
    saved_config.auth.user_cache.enabled = True
    Calls(monkeypatch, user_row())
    seen = []

    class Audited(Warden):
        @classmethod
        async def _get_current_user(cls, payload, db):
            seen.append(payload["sub"])
            return user_row()

    token = Warden._set_access_token(types.SimpleNamespace(username="alice", tenant_id="t1")).access_token
    for _ in range(2):
        user = await Audited.get_current_user(HTTPAuthorizationCredentials(scheme="Bearer", credentials=token), None)
        assert user.username == "alice"
    assert seen == ["alice", "alice"]


@pytest.mark.parametrize("payload", [{"tenant": True}, {"sub": "ghost"}])  # no "sub": nothing else is asked
async def test_unknown_users(monkeypatch, payload):
    calls = Calls(monkeypatch, None)
    with pytest.raises(AuthError) as info:
        await Warden._get_current_user(payload, None)
    assert (info.value.message, info.value.errors) == ("用户token不合法", None)
    assert len(calls.calls) == (0 if "sub" not in payload else 2)
    token = Warden.jwt_encode(claims(**{"sub": payload.get("sub", ...)}))
    with pytest.raises(AuthError) as info:  # the bearer entry point wraps every failure
        await Warden.get_current_user(types.SimpleNamespace(credentials=token), None)
    assert (info.value.message, info.value.errors) == ("无效的token，请重新登录", "用户token不合法")


NO_HEADER = 'token的headers未设置"Authenticate",请确认是否遗忘'


@pytest.mark.parametrize("header,message", [
    (None, NO_HEADER), ("", NO_HEADER),
    ("Bearer ", "无效的token，请重新登录"),
    ("Bearer  " + GOOD, "无效的token，请重新登录"),
    (BAD_TOKENS["expired"][0], "用户token已失效，请重新登录"),
    ("Bearer " + GOOD, None), ("Token " + GOOD, None), (GOOD, None),  # any scheme word, or none
])
async def test_header_variant(monkeypatch, header, message):
    Calls(monkeypatch, user_row())
    request = types.SimpleNamespace(headers={} if header is None else {"Authorization": header})
    if message is None:
        assert (await Warden.get_current_user_request(request, None)).username == "alice"
        return
    with pytest.raises(AuthError) as info:
        await Warden.get_current_user_request(request, None)
    assert info.value.message == message
    if message == NO_HEADER:
        assert list(info.value.errors) == ["error", "error_description", "timestamp"]
        assert info.value.errors["error_description"] == 'headers={"Authenticate": "Bearer token"}'


# ---- a real database: password change, and the routes over HTTP ------------------------------


@pytest.fixture
async def users(databases, request):
    """The user table with alice (tenant a), bob (tenant b) and an inactive carol."""
    if getattr(request, "param", "sqlite") == "postgresql":
        from _servers import server_url
        configure(Auth=server_url("postgresql"), Main=databases["Main"])
        async with DatabaseEngine().get_async_engine("Auth").begin() as conn:
            await conn.run_sync(auth_registry.metadata.drop_all)
    await Surveyor.metadata_to_database(auth_registry.metadata, "Auth")
    async with AsyncConduit().get_session("Auth") as s:
        for name, tenant, active in (("alice", "a", True), ("bob", "b", True), ("carol", "a", False)):
            s.add(AuthUser(username=name, password=Warden.hash_password(name + "-pw"), tenant_id=tenant,
                           is_active=active))
    yield
    TenantManager.clear()


async def test_modify_password(users):
    alice = types.SimpleNamespace(username="alice")
    async with AsyncConduit().get_session("Auth") as db:
        with pytest.raises(ValidError) as info:
            await Warden.modify_password(db, password_model=types.SimpleNamespace(
                old_password="wrong", new_password="n"), current_user=alice)
        assert (info.value.fields, info.value.message) == ("old_password", "原始密码不正确")
        await Warden.modify_password(db, password_model=types.SimpleNamespace(
            old_password="alice-pw", new_password="new-pw"), current_user=alice)
    async with AsyncConduit().get_session("Auth") as db:
        row = (await db.exec(select(AuthUser).where(AuthUser.username == "alice"))).one()
        assert Warden.verify_password("new-pw", row.password) and not Warden.verify_password("alice-pw", row.password)


def app():
    application = FastAPI()
    register_exception_handlers(application)
    application.include_router(router)
    return application


def http_session(base):
    """Everything a client does over one real connection, run on a worker thread."""
    with httpx.Client(base_url=base, timeout=60) as c:
        def login(name, password):
            return c.post("/auth/token", data={"username": name, "password": password})

        def me(token, **headers):
            return c.get("/auth/me", headers={"Authorization": f"Bearer {token}", **headers})

        out = {}
        pair = login("alice", "alice-pw").json()
        out["me"] = me(pair["access_token"]).json()["username"]
        out["refresh"] = c.post("/auth/refresh", json={"refresh_token": pair["refresh_token"]}).status_code
        auth = {"Authorization": pair["token"]}
        out["too long"] = c.put("/auth/password", headers=auth, json={"old_password": "alice-pw",
                                                                        "new_password": "é" * 37}).json()["fields"]
        out["change"] = c.put("/auth/password", headers=auth, json={"old_password": "alice-pw",
                                                                     "new_password": "fresh"}).status_code
        out["old refused"] = login("alice", "alice-pw").status_code
        out["new works"] = login("alice", "fresh").status_code
        unknown, wrong = login("nobody", "x"), login("bob", "x")
        out["same refusal"] = (unknown.status_code, unknown.json()["message"]) == (wrong.status_code,
                                                                                   wrong.json()["message"])
        out["inactive"] = login("carol", "carol-pw").status_code
        out["bad tokens"] = {me(token).status_code for token, _ in BAD_TOKENS.values()
                             if len(token) < 10_000 and token.isascii()}
        out["headers"] = {c.get("/auth/me", headers=h).status_code for h in (
            {}, {"Authorization": "Bearer"}, {"Authorization": "Token " + pair["access_token"]},
            {"Authorization": "Bearer" + pair["access_token"]},
            {"Authorization": b"Bearer \xff\xfe"})}
        out["logout"] = c.post("/auth/logout", headers=auth).json()
        return out


@pytest.mark.parametrize("users", ["sqlite", "postgresql"], indirect=True)
async def test_routes_over_http(users):
    out = await over_http(app(), http_session, "Auth")
    assert out == {"me": "alice", "refresh": 200, "too long": ["new_password"], "change": 200,
                   "old refused": 401, "new works": 200, "same refusal": True, "inactive": 401,
                   "bad tokens": {401}, "headers": {401}, "logout": {"message": "已登出"}}


async def test_one_megabyte_token_is_refused(users):
    async with asgi_client(app()) as c:
        r = await c.get("/auth/me", headers={"Authorization": "Bearer " + "a" * 1_000_000})
    assert r.status_code == 401 and r.headers["www-authenticate"] == "Bearer"


async def test_tenants_never_see_each_other(users):
    probe = app()

    @probe.get("/whoami")
    async def whoami(user=Depends(Warden.get_current_user)):
        await asyncio.sleep(0)  # let the other tenant's requests interleave
        return {"user": user.username, "tenant": TenantManager.get_tenant_id(),
                "name": TenantManager.get_username()}

    tokens = {u: Warden._set_access_token(types.SimpleNamespace(username=u, tenant_id=t)).access_token
              for u, t in (("alice", "a"), ("bob", "b"))}
    async with asgi_client(probe) as c:
        answers = await asyncio.gather(*(c.get("/whoami", headers={"Authorization": "Bearer " + tokens[u]})
                                         for u in ["alice", "bob"] * 25))
    seen = {tuple(r.json().values()) for r in answers}
    assert seen == {("alice", "a", "alice"), ("bob", "b", "bob")}
