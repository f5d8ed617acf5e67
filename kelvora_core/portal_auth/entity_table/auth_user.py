"""The user account table and the models the authentication routes read and answer with."""

from __future__ import annotations

from datetime import UTC, datetime

from pydantic import NaiveDatetime
from sqlalchemy import BigInteger
from sqlmodel import Field, SQLModel

from ...schemas.types import Int64Text, UtcDateTime
from ...utils.minter import get_primary_id
from ..registry import AuthTable

__all__ = [
    "AuthUser",
    "AuthUserBase",
    "AuthUserLogin",
    "AuthUserPassword",
    "AuthUserRegister",
    "AuthUserResponse",
    "utc_now",
]


def utc_now() -> datetime:
    """The current UTC time without a zone, as the tables store it."""
    return datetime.now(UTC).replace(tzinfo=None)


class AuthUserBase(SQLModel):
    """Columns a client may see."""

    # Lengths everywhere: MySQL/MariaDB cannot index a VARCHAR without one.
    username: str = Field(min_length=1, max_length=64, unique=True)
    name: str | None = Field(default=None, max_length=64)
    is_active: bool = True
    tenant_id: str | None = Field(default=None, max_length=64, index=True)


class AuthUser(AuthUserBase, AuthTable, table=True):
    """A user account; ``password`` holds the bcrypt hash, never the password itself."""

    __tablename__ = "auth_user"

    user_id: int | None = Field(default_factory=get_primary_id, primary_key=True, sa_type=BigInteger,
                                sa_column_kwargs={"autoincrement": False})
    password: str = Field(max_length=255)
    # Naive UTC times, as the authentication service writes them.
    last_login_at: NaiveDatetime | None = None
    created_at: NaiveDatetime = Field(default_factory=utc_now)
    updated_at: NaiveDatetime = Field(default_factory=utc_now, sa_column_kwargs={"onupdate": utc_now})


class AuthUserRegister(AuthUserBase):
    """A new account; ``password`` is the hash to store."""

    password: str = Field(min_length=1, max_length=255)


class AuthUserResponse(AuthUserBase):
    """A user as answered to clients: everything but the password hash. In JSON the id is
    text (JavaScript rounds numbers above 2**53) and times carry their UTC offset."""

    user_id: Int64Text
    last_login_at: UtcDateTime | None = None
    created_at: UtcDateTime | None = None
    updated_at: UtcDateTime | None = None


class AuthUserLogin(SQLModel):
    """User name and plain password of a login."""

    username: str
    password: str


class AuthUserPassword(SQLModel):
    """A password change: the current password and the new one, both plain. The new one is 1
    to 72 UTF-8 bytes (bcrypt reads no more); the schema can state characters only, so it says
    at most 72 and the route counts the bytes."""

    old_password: str
    new_password: str = Field(min_length=1, max_length=72, description="新密码：1 到 72 个 UTF-8 字节")
