"""The enumeration routes over ASGI, with real bearer tokens and SQLite tables."""

from urllib.parse import quote

import pytest
from fastapi import FastAPI
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.auth.auth_router import AuthRouter
from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.exception.register_handlers import register_exception_handlers
from kelvora_core.portal_auth.entity_table.auth_user import AuthUser
from kelvora_core.portal_auth.registry import auth_registry
from kelvora_core.services.conduit import AsyncConduit
from kelvora_core.services.warden import Warden
from kelvora_core.tools.class_scaner import ClassScanner
from kelvora_enum.api.lexicon_router import router
from kelvora_enum.registry import enum_registry
from kelvora_enum.sample import seed_sample_enumeration

from _database import configure
from _http import asgi_client


@pytest.fixture
async def app(tmp_path, saved_config):
    configure(Auth=f"sqlite+aiosqlite:///{tmp_path / 'auth.db'}")
    engine = DatabaseEngine().get_async_engine("Auth")
    async with engine.begin() as conn:
        await conn.run_sync(auth_registry.metadata.create_all)
        await conn.run_sync(enum_registry.metadata.create_all)
    async with AsyncSession(engine, expire_on_commit=False) as db:
        await seed_sample_enumeration(db)
        db.add(AuthUser(username="ann", password=Warden.hash_password("secret")))
        await db.commit()
    app = FastAPI()
    register_exception_handlers(app)
    app.include_router(router, prefix="/api")
    yield app
    await AsyncConduit().close_all()


def client(app, username=None, token=None):
    if username:
        token = Warden._set_access_token(AuthUser(username=username, password="")).access_token
    headers = {"Authorization": f"Bearer {token}"} if token else {}
    return asgi_client(app, headers=headers)


@pytest.mark.parametrize("username, token", [(None, None), (None, "not-a-token"), ("nobody", None)])
async def test_routes_refuse_callers_without_a_user(app, username, token):
    async with client(app, username, token) as http:
        for response in [await http.get("/api/enum/demo/fields"), await http.post("/api/enum/demo/values", json={})]:
            assert response.status_code == 401, response.text


@pytest.mark.parametrize("method, path, body, status, expected", [
    ("GET", "demo/fields", None, 200, [{"name": "region", "label": "地区"}, {"name": "status", "label": "状态"},
                                       {"name": "tag", "label": "标签"}]),
    ("POST", "demo/values", {"key": ["region", "tag"], "pid": ["zj", "-1"], "name": ["city", "t"]}, 200,
     {"city": [{"label": "杭州", "value": "hz", "disabled": False}, {"label": "宁波", "value": "nb", "disabled": True}],
      "t": []}),
    ("POST", "demo/values", {"key": ["status"]}, 200,
     {"status": [{"label": "启用", "value": "active", "disabled": False},
                 {"label": "暂停", "value": "paused", "disabled": True}]}),
    ("GET", quote("demo' OR '1'='1", safe="") + "/fields", None, 200, []),
    ("POST", "nowhere/values", {}, 200, {}),
    ("POST", "demo/values", {"key": ["region"], "pid": ["-1", "-1"]}, 422, None),
    ("POST", "demo/values", {"keys": ["region"]}, 422, None),
])
async def test_fields_and_values(app, method, path, body, status, expected):
    async with client(app, "ann") as http:
        response = await http.request(method, "/api/enum/" + path, json=body)
    assert response.status_code == status, response.text
    if expected is not None:
        assert response.json() == expected


async def test_all_values_form_trees(app):
    async with client(app, "ann") as http:
        values = (await http.post("/api/enum/demo/values", json={})).json()
    assert list(values) == ["region", "status", "tag"]
    east = values["region"][0]
    assert [(n["value"], [c["value"] for c in n.get("children", [])]) for n in east["children"]] == [
        ("zj", ["hz", "nb"]), ("js", ["nj"])]


def test_router_scan_finds_the_enumeration_routes():
    found = ClassScanner.find_classes_instances(package_name="kelvora_enum", base_class=AuthRouter, predicate=None)
    assert list(found.values()) == [router]
