"""Route permissions: rules from routers, roles, decisions and the 403 dependency."""

import re

import pytest
from fastapi import Depends, FastAPI, Header

from kelvora_core.auth.auth_router import AuthRouter
from kelvora_core.auth.gatepost import Gatepost
from kelvora_core.engine.casbin_engine import PermissionEngine
from kelvora_core.exception.register_handlers import register_exception_handlers
from kelvora_core.services.casbin_service import PermissionService

from _http import asgi_client


class User:
    def __init__(self, username):
        self.username = username


async def header_user(x_user: str = Header("")):
    return User(x_user)


@pytest.fixture
async def service(monkeypatch):
    monkeypatch.setattr(AuthRouter, "permission_rules", [])
    PermissionEngine().reset()
    orders = AuthRouter(prefix="/orders")
    orders.permission_rule("get", "/{order_id:int}", data_role="clerk", data_act="read", data_obj="order")
    orders.permission_rule("GET", "/{order_id:int}", data_role="auditor", data_act="read", data_obj="order")
    orders.permission_rule("DELETE", "/{order_id}", data_role="manager", data_act="delete", data_obj="order")
    service = PermissionService()
    await service.initialize(AuthRouter.permission_rules)
    for user, role in (("ann", "clerk"), ("bob", "manager"), ("cy", "auditor")):
        service.add_role(user, role)
    yield service
    PermissionEngine().reset()


@pytest.mark.parametrize("user, method, path, allowed", [
    ("ann", "GET", "/api/orders/7", True),        # under any prefix
    ("cy", "get", "/orders/7", True),             # either granting role
    ("bob", "GET", "/orders/7", False),
    ("ann", "DELETE", "/orders/7", False),
    ("bob", "DELETE", "/orders/7", True),
    ("nobody", "GET", "/orders/7/items", True),    # no rule covers it: anchored at the end
    ("nobody", "GET", "/health", True),
    (None, "GET", "/orders/7", False),
    ("", "GET", "/orders/7", False),
])
async def test_decisions(service, user, method, path, allowed):
    assert service.is_allowed(user, method, path) is allowed


async def test_reinitialising_replaces_rules_and_keeps_roles(service):
    assert PermissionService() is not service and PermissionEngine() is PermissionEngine()
    rule = Gatepost("GET", Gatepost.convert_path_to_regex("/orders/{order_id}"), "manager", "read", "order")
    await PermissionService().initialize([rule])
    allowed = (service.is_allowed("bob", "GET", "/orders/7"), service.is_allowed("ann", "GET", "/orders/7"))
    assert allowed == (True, False)
    assert service.is_allowed("ann", "DELETE", "/orders/7") and service.get_roles("ann") == ["clerk"]
    with pytest.raises(TypeError, match="Gatepost"):
        await service.initialize([("GET", "/x", "a", "b", "c")])
    with pytest.raises(ValueError, match="data_role"):
        await service.initialize([Gatepost("GET", re.compile("/x$"), "", "read", "x")])
    with pytest.raises(ValueError, match="data_obj"):
        AuthRouter().permission_rule("GET", "/x", data_role="r", data_act="a", data_obj="")
    assert service.is_allowed("bob", "GET", "/orders/7")  # a refused load changes nothing


async def test_dependency_refuses_with_403(service):
    app = FastAPI()
    register_exception_handlers(app)
    router = AuthRouter(prefix="/orders")

    @router.get("/{order_id}")
    async def read(order_id: int, user=Depends(PermissionService.dependency(header_user))):
        return {"order": order_id, "user": user.username}

    app.include_router(router, prefix="/api")
    async with asgi_client(app) as http:
        ok = await http.get("/api/orders/7", headers={"X-User": "ann"})
        refused = await http.get("/api/orders/7", headers={"X-User": "bob"})
    assert (ok.status_code, ok.json()) == (200, {"order": 7, "user": "ann"})
    assert refused.status_code == 403 and refused.json()["type"] == "forbidden"
    assert refused.json()["errors"] == {"method": "GET", "path": "/api/orders/7"}
