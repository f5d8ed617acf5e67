"""Failed-login throttling: past a number of failures in a sliding window, per user name or per
client address, logins are refused with 429 before any password is checked.

The counts live in this process, or in Redis when ``redis.url`` is set, so that every worker and
host shares them. When Redis cannot be reached the process's own counts stand in (one warning per
outage, never an error for the caller), and Redis is asked again a few seconds later.

Configuration: ``auth.login_throttle`` (``enabled``, ``window_seconds``,
``max_failures_per_user``, ``max_failures_per_address``), read when the process's throttle is
made; :meth:`LoginThrottle.reset` makes the next use read it again.
"""

from __future__ import annotations

import asyncio
import hashlib
import math
import threading
import time
from typing import ClassVar

from redis.asyncio import Redis
from redis.exceptions import RedisError

from ..config.app_config import AppConfig, LoginThrottleSettings
from ..engine.redis_engine import RedisEngine
from ..exception.service_exception import ThrottledError
from ..logger.logging_ import logging
from .sliding_window import MemoryWindows, RedisWindows

__all__ = ["LoginThrottle"]

THROTTLED_MESSAGE = "登录失败次数过多，请稍后重试"
#: A Redis that does not answer within this many seconds counts as unreachable.
REDIS_TIMEOUT = 0.5
#: After a Redis failure, the process's counts are used this long before Redis is tried again.
REDIS_RETRY_SECONDS = 5.0


def _user_key(username: object) -> str:
    # Case folded: a database that compares names without case must not give each spelling its
    # own count. Hashed: names of any length make keys of one size.
    name = str(username).casefold().encode("utf-8", "surrogatepass")
    return "login:user:" + hashlib.sha256(name).hexdigest()[:40]


def _address_key(address: str | None) -> str:
    return "login:address:" + (address or "unknown")[:64]


class LoginThrottle:
    """The failed-login counts of the service."""

    _shared: ClassVar[LoginThrottle | None] = None
    _shared_lock: ClassVar[threading.Lock] = threading.Lock()

    def __init__(self, settings: LoginThrottleSettings, redis: Redis | None = None) -> None:
        self.settings = settings
        self.memory = MemoryWindows(settings.window_seconds)
        self.redis = RedisWindows(redis, settings.window_seconds) if redis is not None else None
        self._redis_down_until = 0.0
        self._warned = False

    @classmethod
    def shared(cls) -> LoginThrottle:
        throttle = cls._shared
        if throttle is None:
            with cls._shared_lock:
                throttle = cls._shared
                if throttle is None:
                    throttle = cls._shared = cls(AppConfig.auth.login_throttle, RedisEngine().client)
        return throttle

    @classmethod
    def reset(cls) -> None:
        with cls._shared_lock:
            cls._shared = None

    async def _on_store(self, operation: str, key: str):
        """``operation`` on Redis when it answers, else on the process's counts."""
        if self.redis is not None and time.monotonic() >= self._redis_down_until:
            try:
                async with asyncio.timeout(REDIS_TIMEOUT):
                    result = await getattr(self.redis, operation)(key)
            except (RedisError, OSError, TimeoutError) as exc:
                self._redis_down_until = time.monotonic() + REDIS_RETRY_SECONDS
                if not self._warned:
                    self._warned = True
                    logging.warning(f"登录限流: Redis 不可用，改用本进程计数 - {type(exc).__name__}: {exc}")
            else:
                if self._warned:
                    self._warned = False
                    logging.info("登录限流: Redis 已恢复")
                return result
        return await getattr(self.memory, operation)(key)

    async def check(self, username: object, address: str | None) -> None:
        """Raise :class:`ThrottledError` when the user name or the address is over its limit."""
        if not self.settings.enabled:
            return
        retry_at = 0.0
        for key, limit in ((_user_key(username), self.settings.max_failures_per_user),
                           (_address_key(address), self.settings.max_failures_per_address)):
            count, until = await self._on_store("count", key)
            if count >= limit:
                retry_at = max(retry_at, until)
        if retry_at:
            raise ThrottledError(THROTTLED_MESSAGE, retry_after=math.ceil(retry_at - time.time()))

    async def failed(self, username: object, address: str | None) -> None:
        if self.settings.enabled:
            await self._on_store("add", _user_key(username))
            await self._on_store("add", _address_key(address))

    async def succeeded(self, username: object) -> None:
        """A login of this user worked: its failures are forgotten (the address keeps its own)."""
        if self.settings.enabled:
            await self._on_store("clear", _user_key(username))
