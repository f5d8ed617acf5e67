"""The example's protected endpoint in plain Python: the yardstick of the service benchmark.

GET /api/projects as examples.notes serves it, on the same host services (configuration,
database engines, query service, tenant context, models), with the pieces the native modules
provide written as plain Python: the application set-up, the bearer-token user and the session
scopes.
"""

from __future__ import annotations

from collections.abc import AsyncIterator
from typing import ClassVar

import jwt
from fastapi import Depends, FastAPI
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from sqlalchemy.exc import SQLAlchemyError
from sqlalchemy.ext.asyncio import AsyncEngine, async_sessionmaker
from sqlmodel import select
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.config.app_config import AppConfig, DatabaseSetting
from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.exception.register_handlers import register_exception_handlers
from kelvora_core.exception.service_exception import AuthError
from kelvora_core.portal_auth.entity_table.auth_user import AuthUser, AuthUserResponse
from kelvora_core.services.query_service import QueryService
from kelvora_core.services.revocation import revocation_store
from kelvora_core.tools.tenant_manager import TenantManager

from examples.notes.models import Project, ProjectCreate, ProjectRead

bearer = HTTPBearer(scheme_name="Bearer Auth")
_factories: dict[str, async_sessionmaker] = {}


class _PingingEngines(DatabaseEngine):
    """Engines of their own that ping before every checkout, as the typical hand-written app
    does (and as the host's engines did when this yardstick was written)."""

    _engines: ClassVar[dict[str, AsyncEngine]] = {}

    @staticmethod
    def _setting(name: str) -> DatabaseSetting:
        return DatabaseEngine._setting(name).model_copy(update={"pool_pre_ping": True})


def _factory(name: str) -> async_sessionmaker:
    key = name.lower()
    if key not in _factories:
        _factories[key] = async_sessionmaker(bind=_PingingEngines().get_async_engine(key), class_=AsyncSession,
                                             expire_on_commit=False, autoflush=True)
    return _factories[key]


async def _scope(name: str) -> AsyncIterator[AsyncSession]:
    session = _factory(name)()
    try:
        yield session
        await session.commit()
    except SQLAlchemyError:
        await session.rollback()
        raise
    finally:
        await session.close()


async def auth_session() -> AsyncIterator[AsyncSession]:
    async for session in _scope("Auth"):
        yield session


async def notes_session() -> AsyncIterator[AsyncSession]:
    async for session in _scope("Notes"):
        yield session


async def current_user(credentials: HTTPAuthorizationCredentials = Depends(bearer),
                       db: AsyncSession = Depends(auth_session)) -> AuthUserResponse:
    auth = AppConfig.auth
    try:
        # The same checks as the native service: required times, audience and issuer, leeway.
        payload = jwt.decode(credentials.credentials, auth.token_secret_key, algorithms=["HS256"],
                             options={"require": ["exp", "iat"]}, leeway=auth.token_leeway_seconds,
                             audience=auth.token_audience, issuer=auth.token_issuer)
    except jwt.InvalidTokenError as exc:
        raise AuthError(message="无效的token，请重新登录", errors=str(exc)) from exc
    username = payload.get("sub")
    if username is None or payload.get("token_type") is not None:
        raise AuthError(message="用户token不合法")
    TenantManager.set_from_token(tenant_enabled=payload.get("tenant"), username=str(username),
                                 tenant_id=payload.get("tenant_id"))
    if auth.revocation.enabled and await revocation_store().is_revoked(payload, db):
        raise AuthError(message="用户token已失效，请重新登录")
    user = await QueryService.query_columns_first(db, model_class=AuthUser, condition=AuthUser.username == username)
    if not user or user.is_active is not True:
        raise AuthError(message="用户token不合法")
    return AuthUserResponse.model_validate(user)


def create_app() -> FastAPI:
    app = FastAPI(title="plain", docs_url=None, redoc_url=None)

    @app.get("/api/projects", response_model=list[ProjectRead])
    async def list_projects(db: AsyncSession = Depends(notes_session),
                            user: AuthUserResponse = Depends(current_user)) -> list[Project]:
        return list((await db.exec(select(Project).order_by(Project.created_at, Project.project_id))).all())

    @app.post("/api/projects", response_model=ProjectRead, status_code=201)
    async def create_project(data: ProjectCreate, db: AsyncSession = Depends(notes_session),
                             user: AuthUserResponse = Depends(current_user)) -> Project:
        row = Project.model_validate(data, update={"owner": user.username})
        db.add(row)
        await db.flush()
        await db.refresh(row)
        return row

    @app.get("/auth/me", response_model=AuthUserResponse)
    async def me(user: AuthUserResponse = Depends(current_user)) -> AuthUserResponse:
        return user

    register_exception_handlers(app)
    return app
