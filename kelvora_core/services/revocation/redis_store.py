"""Ended tokens in Redis, shared by every process and host of the service; entries expire by
themselves."""

from __future__ import annotations

import math
import time
from typing import Any

from redis.asyncio import Redis

from .base import RevocationStore

__all__ = ["RedisRevocationStore"]

PREFIX = "kelvora:revoked:"

# Keeps the later of the stored and the given moment, in one step on the server.
_PUT_LATER = """
local old = tonumber(redis.call('GET', KEYS[1]))
local new = tonumber(ARGV[1])
if old == nil or new > old then
  redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
end
return 1
"""


def _ttl(expires_at: float) -> int:
    return max(1, math.ceil(expires_at - time.time()))


class RedisRevocationStore(RevocationStore):
    def __init__(self, client: Redis) -> None:
        self.client = client

    async def _values(self, keys: list[str], db: Any) -> dict[str, float]:
        values = await self.client.mget([PREFIX + key for key in keys])
        return {key: float(value) for key, value in zip(keys, values, strict=True) if value is not None}

    async def _put(self, key: str, value: float, expires_at: float) -> None:
        await self.client.eval(_PUT_LATER, 1, PREFIX + key, repr(value), _ttl(expires_at))

    async def _put_new(self, key: str, expires_at: float) -> bool:
        return bool(await self.client.set(PREFIX + key, repr(time.time()), nx=True, ex=_ttl(expires_at)))
