"""What every revocation store answers, and the keys they share.

A login starts a token family (the "fam" claim, the first pair's "jti"); refreshing keeps the
family and issues a new pair. Three kinds of entry end tokens:

- ``family:<id>``: every token of that login session (logout, or a refresh token used twice);
- ``user:<name>`` holding a moment: every token of the user issued before it (password change);
- ``used:<jti>``: that refresh token was exchanged already (rotation; a second use is reuse).

Each entry carries the time after which it means nothing (every token it could end has expired).
"""

from __future__ import annotations

import time
from abc import ABC, abstractmethod
from collections.abc import Mapping
from typing import Any

__all__ = ["RevocationStore", "family_key", "used_key", "user_key"]


def family_key(family: object) -> str:
    return f"family:{family}"[:160]


def user_key(username: object) -> str:
    return f"user:{username}"[:160]


def used_key(jti: object) -> str:
    return f"used:{jti}"[:160]


def token_family(claims: Mapping[str, Any]) -> object:
    family = claims.get("fam")
    return claims.get("jti") if family is None else family


class RevocationStore(ABC):
    """Ended tokens; one look-up per checked token."""

    @abstractmethod
    async def _values(self, keys: list[str], db: Any) -> dict[str, float]:
        """The live entries among ``keys`` (one look-up), with their values."""

    @abstractmethod
    async def _put(self, key: str, value: float, expires_at: float) -> None:
        """Set an entry (a later value wins for a user's moment)."""

    @abstractmethod
    async def _put_new(self, key: str, expires_at: float) -> bool:
        """Add an entry unless it exists; True when this call added it."""

    async def is_revoked(self, claims: Mapping[str, Any], db: Any = None) -> bool:
        """Whether the token with these (verified) claims was ended. ``db``: the request's session
        of the "Auth" database, used by the database store for its one look-up."""
        family, user = family_key(token_family(claims)), user_key(claims.get("sub"))
        found = await self._values([family, user], db)
        if family in found:
            return True
        ended_before = found.get(user)
        if ended_before is None:
            return False
        issued = claims.get("iat")
        return not isinstance(issued, (int, float)) or issued <= ended_before

    async def end_family(self, family: object, until: float) -> None:
        await self._put(family_key(family), time.time(), until)

    async def end_user_tokens(self, username: object, until: float) -> float:
        """Ends every token of the user issued up to now; returns that moment."""
        now = time.time()
        await self._put(user_key(username), now, until)
        return now

    async def claim_refresh(self, jti: object, until: float) -> bool:
        """Marks a refresh token exchanged; False when it already was (reuse)."""
        return await self._put_new(used_key(jti), until)
