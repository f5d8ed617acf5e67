"""Ended tokens, for the database revocation store: one row per ended login session (token
family), per user whose earlier tokens were ended, and per refresh token already exchanged."""

from __future__ import annotations

from sqlmodel import Field

from ..registry import AuthTable

__all__ = ["AuthTokenRevocation"]


class AuthTokenRevocation(AuthTable, table=True):
    """``key`` names what ended ("family:<id>", "user:<name>", "used:<id>"); ``value`` is the
    moment (seconds since the epoch) before which a user's tokens are ended; a row means nothing
    once ``expires_at`` has passed, since every token it could end has expired by then."""

    __tablename__ = "auth_token_revocation"

    key: str = Field(primary_key=True, max_length=160)
    value: float = 0.0
    expires_at: float = Field(index=True)
