"""The user a token names, read for a request with one Core SELECT on the request's session.

Only the columns a client may see are read (never the password hash), by the unique user name,
kept to the token's tenant when the tenant context filters; no ORM object is made.
"""

from __future__ import annotations

from typing import Any

from sqlalchemy import bindparam, select
from sqlmodel.ext.asyncio.session import AsyncSession

from ..portal_auth.entity_table.auth_user import AuthUser, AuthUserResponse
from .query_service import _tenant_criteria

__all__ = ["find_user_row"]

_table = AuthUser.__table__  # type: ignore[attr-defined]  # set by SQLModel when the class is made
_COLUMNS = [_table.c[name] for name in AuthUserResponse.model_fields if name in _table.c]
_BY_NAME = select(*_COLUMNS).where(_table.c.username == bindparam("username"))


async def find_user_row(db: AsyncSession, username: str) -> dict[str, Any] | None:
    """The row of ``username`` as a dict of the response's columns, or None."""
    statement = _BY_NAME
    tenant = _tenant_criteria(AuthUser)
    if tenant:
        statement = statement.where(*tenant)
    connection = await db.connection()
    result = await connection.execute(statement, {"username": username})
    row = result.mappings().first()
    return None if row is None else dict(row)
