"""Ended tokens in the table ``auth_token_revocation`` of the "Auth" database, which the start-up
schema check creates. A check reads through the request's own session (one look-up by primary
key); ends are written in a session of their own and committed at once."""

from __future__ import annotations

import time
from typing import Any

from sqlalchemy import delete
from sqlalchemy.exc import IntegrityError
from sqlmodel import col, select

from ...portal_auth.entity_table.auth_token_revocation import AuthTokenRevocation
from ..conduit import AsyncConduit
from .base import RevocationStore

__all__ = ["DatabaseRevocationStore"]

DATABASE = "Auth"


class DatabaseRevocationStore(RevocationStore):
    async def _values(self, keys: list[str], db: Any) -> dict[str, float]:
        statement = select(AuthTokenRevocation.key, AuthTokenRevocation.value, AuthTokenRevocation.expires_at) \
            .where(col(AuthTokenRevocation.key).in_(keys))
        if db is None:
            session = await AsyncConduit().get_raw_session(DATABASE)
            try:
                rows = (await session.exec(statement)).all()
            finally:
                await session.close()
        else:
            rows = (await db.exec(statement)).all()
        now = time.time()
        return {key: value for key, value, expires_at in rows if expires_at > now}

    async def _write(self, key: str, value: float, expires_at: float, *, keep_existing: bool) -> bool:
        session = await AsyncConduit().get_raw_session(DATABASE)
        try:
            now = time.time()
            # Expired rows go with the next write: they end nothing any more.
            await session.exec(delete(AuthTokenRevocation).where(col(AuthTokenRevocation.expires_at) <= now))
            row = await session.get(AuthTokenRevocation, key)
            if row is not None and row.expires_at > now:
                if keep_existing:
                    await session.commit()
                    return False
                row.value, row.expires_at = max(row.value, value), max(row.expires_at, expires_at)
            elif row is not None:
                row.value, row.expires_at = value, expires_at
            else:
                session.add(AuthTokenRevocation(key=key, value=value, expires_at=expires_at))
            try:
                await session.commit()
            except IntegrityError:
                # Another request wrote the same key first.
                await session.rollback()
                if keep_existing:
                    return False
                return await self._write(key, value, expires_at, keep_existing=False)
            return True
        finally:
            await session.close()

    async def _put(self, key: str, value: float, expires_at: float) -> None:
        await self._write(key, value, expires_at, keep_existing=False)

    async def _put_new(self, key: str, expires_at: float) -> bool:
        return await self._write(key, time.time(), expires_at, keep_existing=True)
