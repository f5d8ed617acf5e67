"""Verified tokens and their users, kept for a moment (``auth.user_cache``).

A protected request verifies its token, asks the revocation store about it and reads the
user's row. With the cache on, the outcome of those checks (the claims and the user as
answered) is kept per token text, and a request with the same token uses it instead when:

- the checks were made less than ``ttl_seconds`` ago (at most one second);
- the token has not expired ("exp" plus the configured leeway, against the clock now);
- nothing in this process has ended the token's login session or the user's tokens since
  (logout, password change, a refresh token used twice, a change or deletion of the user's row
  through the ORM): those drop what they concern at once;
- the token settings (key, algorithm, leeway, audience, issuer, tenant mode, revocation) are
  those the checks ran under.

So a change made by another worker or host takes effect within ``ttl_seconds``, one made in this
process at once. Only tokens that passed every check are kept (never a refusal), at most
``max_entries`` of them, the least recently used going first. Safe from any thread.
"""

from __future__ import annotations

import threading
import time
from collections import OrderedDict
from collections.abc import Hashable, Mapping
from types import MappingProxyType
from typing import Any

from sqlalchemy import event, inspect
from sqlalchemy.orm import ORMExecuteState, Session

from ..config.app_config import AppConfig
from ..portal_auth.entity_table.auth_user import AuthUser

__all__ = ["TokenCache", "reset_token_cache", "token_cache"]


class _Entry:
    __slots__ = ("checked", "until", "wall", "username", "family", "claims", "user")

    def __init__(self, checked: float, until: float, wall: float, username: str, family: Hashable,
                 claims: Mapping[str, Any], user: Any) -> None:
        self.checked, self.until, self.wall = checked, until, wall
        self.username, self.family, self.claims, self.user = username, family, claims, user


class TokenCache:
    def __init__(self, ttl_seconds: float, max_entries: int) -> None:
        self.ttl = float(ttl_seconds)
        self.max_entries = int(max_entries)
        self._entries: OrderedDict[str, _Entry] = OrderedDict()
        self._settings: Any = None
        # Name or family -> the moment (monotonic) it was ended here; kept for one ttl, after
        # which no entry checked before it is used anyway.
        self._ended_users: dict[str, float] = {}
        self._ended_families: dict[Hashable, float] = {}
        self._ended_all = float("-inf")
        self._lock = threading.Lock()

    @staticmethod
    def clock() -> float:
        """The moment checks begin; given back to :meth:`put`."""
        return time.monotonic()

    def get(self, token: str, settings: Hashable) -> tuple[Mapping[str, Any], Any] | None:
        """(claims, user) of a token checked within the bound, else None."""
        now, wall = time.monotonic(), time.time()
        with self._lock:
            entry = self._entries.get(token)
            if entry is None:
                return None
            if (settings != self._settings or now - entry.checked >= self.ttl or not entry.wall <= wall < entry.until
                    or self._ended(entry)):
                del self._entries[token]
                return None
            self._entries.move_to_end(token)
            claims, user = entry.claims, entry.user
        # A copy per request: a route may change the user it is given.
        return claims, user.model_copy()

    def put(self, token: str, settings: Hashable, checked: float, claims: Mapping[str, Any], username: str,
            family: Hashable, user: Any, leeway: float) -> None:
        """Keep a token that passed every check begun at ``checked`` (:meth:`clock`)."""
        try:
            until = int(claims["exp"]) + float(leeway)
            hash(family)
        except (KeyError, TypeError, ValueError, OverflowError):
            return  # nothing to bound it by, or a family no end could name: not kept
        # Its own copy: the request that made it may change the user it was given.
        # The claims are shared by every request that uses the entry: read-only.
        entry = _Entry(checked, until, time.time(), username, family, MappingProxyType(dict(claims)),
                       user.model_copy())
        with self._lock:
            if settings != self._settings:
                self._entries.clear()
                self._settings = settings
            if self._ended(entry):
                return  # ended while it was being checked
            self._entries[token] = entry
            self._entries.move_to_end(token)
            while len(self._entries) > self.max_entries:
                self._entries.popitem(last=False)

    def _ended(self, entry: _Entry) -> bool:
        if entry.checked <= self._ended_all:
            return True
        if self._ended_users:
            ended = self._ended_users.get(entry.username)
            if ended is not None and entry.checked <= ended:
                return True
        if self._ended_families:
            ended = self._ended_families.get(entry.family)
            if ended is not None and entry.checked <= ended:
                return True
        return False

    def _end(self, ended: dict[Any, float], key: Any) -> None:
        now = time.monotonic()
        with self._lock:
            for old in [old for old, moment in ended.items() if now - moment > self.ttl]:
                del ended[old]
            ended[key] = now

    def end_user(self, username: object) -> None:
        """Every kept token of the user is checked again."""
        self._end(self._ended_users, str(username))

    def end_family(self, family: Hashable) -> None:
        """Every kept token of that login session is checked again."""
        try:
            hash(family)
        except TypeError:
            self.end_all()  # never kept under such a family; ending everything is still right
            return
        self._end(self._ended_families, family)

    def end_all(self) -> None:
        """Every kept token is checked again."""
        with self._lock:
            self._ended_all = time.monotonic()
            self._entries.clear()

    def __len__(self) -> int:
        return len(self._entries)


_cache: TokenCache | None = None
_cache_lock = threading.Lock()


def token_cache() -> TokenCache | None:
    """The process's cache as configured; None while ``auth.user_cache`` is off."""
    global _cache
    settings = AppConfig.auth.user_cache
    if not settings.enabled:
        return None
    cache = _cache
    if cache is None or cache.ttl != settings.ttl_seconds or cache.max_entries != settings.max_entries:
        with _cache_lock:
            cache = _cache
            if cache is None or cache.ttl != settings.ttl_seconds or cache.max_entries != settings.max_entries:
                cache = _cache = TokenCache(settings.ttl_seconds, settings.max_entries)
    return cache


def reset_token_cache() -> None:
    global _cache
    with _cache_lock:
        _cache = None


def _row_changed(mapper: Any, connection: Any, target: AuthUser) -> None:
    # A deactivation, rename or deletion through the ORM: checked again from the next request
    # (under the old name too, after a rename).
    cache = _cache
    if cache is None:
        return
    try:
        names = {target.username, *inspect(target).attrs.username.history.deleted}
    except Exception:  # the flush must not fail for the cache's sake: everything is checked again
        cache.end_all()
        return
    for name in names:
        cache.end_user(name)


def _statement_run(state: ORMExecuteState) -> None:
    # UPDATE or DELETE statements on the user table (DataService.db_update, say) name no row
    # here: everything kept is checked again.
    cache = _cache
    if cache is not None and (state.is_update or state.is_delete) and state.bind_mapper is _USER_MAPPER:
        cache.end_all()


_USER_MAPPER = inspect(AuthUser)
event.listen(AuthUser, "after_update", _row_changed)
event.listen(AuthUser, "after_delete", _row_changed)
event.listen(Session, "do_orm_execute", _statement_run)
