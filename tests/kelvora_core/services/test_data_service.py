"""User accounts and the data service on real SQLite and PostgreSQL tables."""

import asyncio
from datetime import datetime

import pytest
from sqlalchemy.exc import IntegrityError
from sqlmodel import SQLModel, select

from kelvora_core.config.app_config import AppConfig
from kelvora_core.exception.service_exception import ValidError
from kelvora_core.portal_auth import AuthUser, AuthUserRegister, AuthUserResponse, auth_registry
from kelvora_core.schemas.response import TokenResponse
from kelvora_core.services.data_service import DataService
from kelvora_core.services.query_service import QueryService
from kelvora_core.tools.tenant_manager import TenantManager

from _sessions import open_database, session


@pytest.fixture(params=["sqlite", "postgresql"])
async def engine(request, tmp_path):
    async with open_database(request.param, tmp_path, auth_registry.metadata) as engine:
        yield engine


async def stored(engine, username):
    async with session(engine) as other:
        return (await other.exec(select(AuthUser).where(AuthUser.username == username))).first()


def test_models_and_registry():
    assert auth_registry.engine_name == "Auth"
    assert sorted(auth_registry.metadata.tables) == ["auth_token_revocation", "auth_user"]
    assert "auth_user" not in SQLModel.metadata.tables  # each database keeps its own registry
    assert "password" not in AuthUserResponse.model_fields
    assert list(TokenResponse.model_fields) == [
        "token_type", "access_token", "refresh_token", "expires_in", "refresh_expires_in", "token"]
    first, second = AuthUser(username="a", password="h"), AuthUser(username="b", password="h")
    assert isinstance(first.user_id, int) and second.user_id > first.user_id and first.is_active is True
    answer = AuthUserResponse.model_validate(first)  # straight from a row, as the current user
    assert (answer.user_id, answer.username) == (first.user_id, "a") and "password" not in answer.model_dump()
    assert AuthUser.__table__.c.user_id.type.__class__.__name__ == "BigInteger"


async def test_create_under_the_tenant_and_without_commit(engine):
    async with session(engine) as db:
        TenantManager.set(username="系统初始化", tenant_id=1)
        register = AuthUserRegister(username="admin", name="admin", password="hash")
        row = await DataService.create(db, model_class=AuthUser, create_model=register, response_class=AuthUser,
                                       auto_commit=False)
        assert row.tenant_id == "1" and row.user_id and await stored(engine, "admin") is None
        await db.commit()
        answer = await DataService.create(db, model_class=AuthUser, response_class=AuthUserResponse,
                                          create_model={"username": "eve", "password": "h", "tenant_id": "7"})
        assert isinstance(answer, AuthUserResponse) and answer.tenant_id == "7"
        assert (await stored(engine, "admin")).password == "hash"
        with pytest.raises(IntegrityError):
            await DataService.create(db, model_class=AuthUser, create_model=register)
        await db.rollback()
        with pytest.raises(ValidError) as refused:
            await DataService.create(db, model_class=AuthUser, create_model={"username": "x" * 65})
        assert refused.value.fields == ["username", "password"] and refused.value.status_code == 422


async def test_updates(engine):
    async with session(engine) as db:
        user = await DataService.create(db, model_class=AuthUser, create_model={"username": "ann", "password": "h1"})
        before = user.updated_at
        # a login: the loaded row changed in place, then handed over
        found = await QueryService.query_columns_first(db, model_class=AuthUser, condition=AuthUser.username == "ann")
        found.last_login_at = datetime(2026, 1, 2, 3, 4, 5)
        assert await DataService.update(db, found.user_id, model_class=AuthUser, update_model=found) is found
        assert (await stored(engine, "ann")).last_login_at == datetime(2026, 1, 2, 3, 4, 5)
        assert found.updated_at > before
        renamed = await DataService.update(db, str(user.user_id), model_class=AuthUser, update_model={"name": "Ann"},
                                           response_class=AuthUserResponse)
        assert renamed.name == "Ann" and not hasattr(renamed, "password")
        with pytest.raises(ValidError, match="未知的字段: nope") as refused:
            await DataService.update(db, user.user_id, model_class=AuthUser, update_model={"nope": 1})
        assert refused.value.fields == "nope"
        assert await DataService.update(db, 1, model_class=AuthUser, update_model={"name": "x"}) is None

        # a password change: one UPDATE in the open transaction, the caller commits
        changed = await DataService.db_update(db, user.user_id, model_class=AuthUser, update_model={"password": "h2"})
        assert changed is found and changed.password == "h2"
        assert (await stored(engine, "ann")).password == "h1"
        await db.commit()
        assert (await stored(engine, "ann")).password == "h2"
        assert not await DataService.db_update(db, 1, model_class=AuthUser, update_model={"password": "x"})


async def test_updates_stay_inside_the_tenant(engine):
    async def run():
        AppConfig.auth.tenant.enabled = True
        async with session(engine) as db:
            user = await DataService.create(db, model_class=AuthUser,
                                            create_model={"username": "t1", "password": "h", "tenant_id": "1"})
            TenantManager.set_from_token(tenant_enabled=True, username="intruder", tenant_id="2")
            def update(user_id, name, write=DataService.update):
                return write(db, user_id, model_class=AuthUser, update_model={"name": name})

            assert await update(user.user_id, "x") is None
            assert await update(user.user_id, "x", DataService.db_update) is None
            TenantManager.set_from_token(tenant_enabled=True, username="owner", tenant_id="1")
            assert (await update(user.user_id, "y")).name == "y"
            # a user without a tenant works among rows without one
            TenantManager.set(username="loner", tenant_id=None)
            loner = await DataService.create(db, model_class=AuthUser,
                                             create_model={"username": "loner", "password": "h"})
            assert loner.tenant_id is None
            assert (await update(loner.user_id, "z")).name == "z"
            assert await update(user.user_id, "x") is None

    await asyncio.create_task(run())
