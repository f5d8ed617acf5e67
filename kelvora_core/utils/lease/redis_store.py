"""Instance leases in Redis: one key per leased instance, expiring by Redis's clock.

``<prefix>:lease:<n>`` holds the holder's name while instance ``n`` is leased (it expires with
the lease); the hash ``<prefix>:horizon`` keeps, for every instance ever leased, the latest
timestamp its holders may have used (a Redis that restarts empty loses it; the next grants then
start further ahead, see ``instance_lease``). Each operation is one script, so it runs atomically
and two hosts never both find the same instance free.
"""

from __future__ import annotations

from redis.asyncio import Redis

from ..base.instance_lease import INSTANCE_COUNT, TOLERATED_CLOCK_SKEW_MS, Grant

__all__ = ["DEFAULT_PREFIX", "RedisLeaseStore"]

#: In braces, so every key lands in one hash slot.
DEFAULT_PREFIX = "{kelvora:snowflake}"

# Numbers go through '%.0f': Lua 5.1 prints large numbers in exponent form otherwise.
_ACQUIRE = """
local prefix, holder = ARGV[1], ARGV[2]
local now, ttl, count, unknown = tonumber(ARGV[3]), tonumber(ARGV[4]), tonumber(ARGV[5]), tonumber(ARGV[6])
local horizons = prefix .. ':horizon'
for n = 0, count - 1 do
  if redis.call('SET', prefix .. ':lease:' .. n, holder, 'NX', 'PX', ttl) then
    local previous = redis.call('HGET', horizons, n)
    local start = now + unknown
    if previous then start = math.max(now, tonumber(previous) + 1) end
    redis.call('HSET', horizons, n, string.format('%.0f', start + ttl))
    return {tostring(n), string.format('%.0f', start), string.format('%.0f', start + ttl)}
  end
end
return false
"""

_RENEW = """
local prefix, n, holder = ARGV[1], ARGV[2], ARGV[3]
local now, ttl = tonumber(ARGV[4]), tonumber(ARGV[5])
local key = prefix .. ':lease:' .. n
if redis.call('GET', key) ~= holder then return false end
redis.call('PEXPIRE', key, ttl)
local horizons = prefix .. ':horizon'
local horizon = math.max(tonumber(redis.call('HGET', horizons, n) or '-1'), now + ttl)
redis.call('HSET', horizons, n, string.format('%.0f', horizon))
return string.format('%.0f', horizon)
"""

_RELEASE = """
local prefix, n, holder, last = ARGV[1], ARGV[2], ARGV[3], ARGV[4]
local key = prefix .. ':lease:' .. n
if redis.call('GET', key) ~= holder then return 0 end
redis.call('HSET', prefix .. ':horizon', n, last)
redis.call('DEL', key)
return 1
"""


class RedisLeaseStore:
    """Leases in the Redis server at ``url``; a client of its own, for the lease thread's loop."""

    def __init__(self, url: str, prefix: str = DEFAULT_PREFIX) -> None:
        self._client = Redis.from_url(url, decode_responses=True, socket_connect_timeout=5,
                                      socket_timeout=5)
        self._prefix = prefix
        where = self._client.connection_pool.connection_kwargs
        self.name = (f"Redis at {where.get('host', where.get('path', '?'))}:{where.get('port', '')}"
                     f"/{where.get('db', 0)}")
        self._acquire = self._client.register_script(_ACQUIRE)
        self._renew = self._client.register_script(_RENEW)
        self._release = self._client.register_script(_RELEASE)

    async def acquire(self, holder: str, now_ms: int, ttl_ms: int) -> Grant | None:
        got = await self._acquire(args=[self._prefix, holder, now_ms, ttl_ms, INSTANCE_COUNT,
                                        ttl_ms + TOLERATED_CLOCK_SKEW_MS])
        if not got:
            return None
        instance, start, horizon = (int(part) for part in got)
        return Grant(instance, start, horizon)

    async def renew(self, instance: int, holder: str, now_ms: int, ttl_ms: int) -> int | None:
        horizon = await self._renew(args=[self._prefix, instance, holder, now_ms, ttl_ms])
        return None if horizon is None else int(horizon)

    async def release(self, instance: int, holder: str, last_ms: int) -> None:
        await self._release(args=[self._prefix, instance, holder, last_ms])

    async def close(self) -> None:
        await self._client.aclose(close_connection_pool=True)
