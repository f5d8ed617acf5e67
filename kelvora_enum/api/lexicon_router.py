"""Enumeration queries over HTTP, for signed-in users.

Included when a service lists ``kelvora_enum`` among its routers:

- ``GET  /enum/{schema_name}/fields``: the active fields of a schema (an empty list for an
  unknown schema);
- ``POST /enum/{schema_name}/values``: the values of fields as trees, a ``LexiconRequest``
  body (an empty object for an unknown schema).
"""

from __future__ import annotations

from collections.abc import AsyncIterator
from typing import Annotated, Any

from fastapi import Depends, Path
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.auth.auth_router import AuthRouter
from kelvora_core.schemas.types import NUL_FREE
from kelvora_core.services.conduit import AsyncConduit
from kelvora_core.services.warden import Warden

from ..generate.entity_table import EnumFieldResponse
from ..registry import enum_registry
from ..schema.enum import LexiconRequest
from ..services.lexicon import LexiconService

__all__ = ["enum_session", "router"]

router = AuthRouter(prefix="/enum", tags=["枚举"], dependencies=[Depends(Warden.get_current_user)])

SchemaName = Annotated[str, Path(min_length=1, max_length=100, pattern=NUL_FREE, description="枚举 schema 名称",
                                 examples=["demo"])]


async def _own_session() -> AsyncIterator[AsyncSession]:
    """A session of the enumerations' database, committed and closed after the request."""
    async with AsyncConduit().get_session(enum_registry.engine_name) as db:
        yield db


# In the "Auth" database (the default) the routes work in the session the signed-in user was
# read with: the same dependency, so FastAPI makes one session per request, not two.
enum_session = (AsyncConduit.get_auth_async_session if enum_registry.engine_name.lower() == "auth"
                else _own_session)


@router.get("/{schema_name}/fields", response_model=list[EnumFieldResponse], response_model_exclude_none=True,
            summary="枚举字段列表")
async def schema_fields(schema_name: SchemaName, db: AsyncSession = Depends(enum_session)) -> Any:
    return await LexiconService.query_schema(schema_name=schema_name, db=db)


@router.post("/{schema_name}/values", response_model=dict[str, list[dict[str, Any]]], summary="枚举值")
async def field_values(schema_name: SchemaName, quest_request: LexiconRequest,
                       db: AsyncSession = Depends(enum_session)) -> Any:
    # The service answers an unknown schema with an empty list; the route keeps one shape.
    return await LexiconService.query_field(db=db, schema_name=schema_name, quest_request=quest_request) or {}
