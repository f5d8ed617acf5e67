"""The optional Redis connection of the service.

With ``redis.url`` configured, every ``RedisEngine()`` reaches one process-wide
``redis.asyncio`` client (connections are opened on first use, not here). Without it the
engine is inert: ``client`` is None and ``close()`` does nothing, so a service without Redis
runs unchanged.
"""

from __future__ import annotations

import threading
from typing import ClassVar

from redis.asyncio import Redis

from ..config.app_config import AppConfig

__all__ = ["RedisEngine", "RedisNotConfiguredError"]


class RedisNotConfiguredError(RuntimeError):
    """Redis was asked for, but the configuration names no Redis server."""


class RedisEngine:
    """Access to the process's Redis client; cheap to create, all instances share it."""

    _client: ClassVar[Redis | None] = None
    _lock: ClassVar[threading.Lock] = threading.Lock()

    def __init__(self) -> None:
        if type(self)._client is not None:
            return
        setting = AppConfig.redis
        if not setting.url:
            return
        with RedisEngine._lock:
            if RedisEngine._client is None:
                RedisEngine._client = Redis.from_url(
                    setting.url, decode_responses=True, max_connections=setting.max_connections
                )

    @property
    def enabled(self) -> bool:
        return RedisEngine._client is not None

    @property
    def client(self) -> Redis | None:
        """The shared client, or None when no Redis server is configured."""
        return RedisEngine._client

    def get_client(self) -> Redis:
        """The shared client; a clear error when Redis is not configured."""
        client = RedisEngine._client
        if client is None:
            raise RedisNotConfiguredError("Redis is not configured (set redis.url)")
        return client

    def _detach(self) -> Redis | None:
        with RedisEngine._lock:
            client, RedisEngine._client = RedisEngine._client, None
        return client

    def close(self) -> None:
        """Release the client at once; a later ``RedisEngine()`` makes a new one.

        A plain call, usable where nothing is awaited (the shut-down of the lifespan, or after
        the event loop has ended): the pooled sockets are aborted rather than closed politely,
        which Redis does not mind. ``aclose()`` is the polite form for code that can await.
        """
        client = self._detach()
        if client is not None:
            _drop_connections(client)

    async def aclose(self) -> None:
        """Release the client and wait until its connections are closed."""
        client = self._detach()
        if client is not None:
            await client.aclose(close_connection_pool=True)


def _drop_connections(client: Redis) -> None:
    pool = client.connection_pool
    connections = list(getattr(pool, "_available_connections", ())) + list(
        getattr(pool, "_in_use_connections", ())
    )
    for connection in connections:
        writer = getattr(connection, "_writer", None)
        if writer is None:
            continue
        transport = writer.transport
        try:
            transport.abort()
        except RuntimeError:
            # Its loop is closed, so the transport cannot schedule its own close.
            sock = getattr(transport, "_sock", None)
            if sock is not None:
                transport._sock = None
                sock.close()
        connection._writer = connection._reader = None
    pool.reset()
