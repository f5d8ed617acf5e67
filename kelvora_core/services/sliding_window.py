"""Counts of events in a sliding time window, per key: in this process, or shared in Redis.

Both stores answer the same three questions: ``add(key)`` records an event now, ``count(key)``
gives the events of the last ``window`` seconds and the time the oldest of them leaves the
window, and ``clear(key)`` forgets a key.
"""

from __future__ import annotations

import threading
import time
import uuid
from collections import OrderedDict, deque

from redis.asyncio import Redis

__all__ = ["MemoryWindows", "RedisWindows"]


class MemoryWindows:
    """Event times per key in this process; the least recently used keys go past ``max_keys``,
    so a caller inventing keys cannot grow it without end."""

    def __init__(self, window: float, max_keys: int = 100_000) -> None:
        self.window = window
        self.max_keys = max_keys
        self._events: OrderedDict[str, deque[float]] = OrderedDict()
        self._lock = threading.Lock()  # shared by the event loops of a process (tests, threads)

    def _live(self, key: str, now: float) -> deque[float] | None:
        events = self._events.get(key)
        if events is None:
            return None
        while events and events[0] <= now - self.window:
            events.popleft()
        if not events:
            del self._events[key]
            return None
        return events

    async def count(self, key: str) -> tuple[int, float]:
        now = time.time()
        with self._lock:
            events = self._live(key, now)
            if events is None:
                return 0, now
            return len(events), events[0] + self.window

    async def add(self, key: str) -> None:
        now = time.time()
        with self._lock:
            events = self._live(key, now)
            if events is None:
                events = self._events[key] = deque()
                while len(self._events) > self.max_keys:
                    self._events.popitem(last=False)
            else:
                self._events.move_to_end(key)
            events.append(now)

    async def clear(self, key: str) -> None:
        with self._lock:
            self._events.pop(key, None)


class RedisWindows:
    """Event times per key in a Redis sorted set, shared by every process and host using it; each
    key expires with its window."""

    PREFIX = "kelvora:window:"

    def __init__(self, client: Redis, window: float) -> None:
        self.client = client
        self.window = window

    async def count(self, key: str) -> tuple[int, float]:
        now = time.time()
        name = self.PREFIX + key
        async with self.client.pipeline(transaction=True) as pipe:
            pipe.zremrangebyscore(name, "-inf", now - self.window)
            pipe.zcard(name)
            pipe.zrange(name, 0, 0, withscores=True)
            _, size, oldest = await pipe.execute()
        return int(size), (float(oldest[0][1]) + self.window) if oldest else now

    async def add(self, key: str) -> None:
        now = time.time()
        name = self.PREFIX + key
        async with self.client.pipeline(transaction=True) as pipe:
            pipe.zadd(name, {uuid.uuid4().hex: now})
            pipe.expire(name, max(1, int(self.window) + 1))
            await pipe.execute()

    async def clear(self, key: str) -> None:
        await self.client.delete(self.PREFIX + key)
