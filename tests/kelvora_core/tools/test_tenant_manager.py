"""The tenant context: configured default, the three ways of setting it, isolation per task."""

import asyncio
import random

from kelvora_core.config.app_config import AppConfig
from kelvora_core.tools.tenant_manager import TenantContext, TenantManager


def snapshot():
    return TenantManager.is_enabled(), TenantManager.get_username(), TenantManager.get_tenant_id()


async def test_default_and_setters():
    async def run():  # a task of its own, so nothing stays behind in the test's context
        AppConfig.auth.tenant.default_tenant_id = "t0"
        seen = [snapshot()]
        AppConfig.auth.tenant.enabled = True
        seen.append(snapshot())
        TenantManager.set(username="admin", tenant_id=None)
        seen.append(snapshot())  # a user without a tenant: not the default one
        TenantManager.disable()
        seen.append(snapshot())  # who and which tenant are kept
        TenantManager.set_from_token(tenant_enabled=False, username="u", tenant_id=9)
        seen.append(snapshot())
        TenantManager.set_from_token(tenant_enabled=True, username=None, tenant_id="t2")
        seen.append(snapshot())
        TenantManager.clear()
        seen.append(TenantManager.current())
        return seen

    assert await asyncio.create_task(run()) == [
        (False, None, "t0"), (True, None, "t0"), (True, "admin", None), (False, "admin", None),
        (False, "u", 9), (True, None, "t2"), TenantContext(True, None, None)]


async def test_concurrent_tasks_never_see_each_other():
    async def worker(tenant):
        TenantManager.set_from_token(tenant_enabled=True, username=f"user-{tenant}", tenant_id=tenant)
        for _ in range(20):
            await asyncio.sleep(random.random() / 1000)
            assert snapshot() == (True, f"user-{tenant}", tenant)
        return tenant

    before = TenantManager.current()
    tenants = ["a", "b"] * 100
    assert await asyncio.gather(*(worker(t) for t in tenants)) == tenants
    assert TenantManager.current() == before
