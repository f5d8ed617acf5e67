"""Serving an app to a test: uvicorn on a free loopback port in a thread, or ASGI in-process."""

import asyncio
import contextlib
import socket
import threading

import httpx
import uvicorn


def free_port(address: str = "127.0.0.1") -> int:
    """A TCP port free on the address now (the caller binds it soon after)."""
    with socket.socket() as sock:
        sock.bind((address, 0))
        return sock.getsockname()[1]


def asgi_client(app, raise_app_exceptions=True, **options):
    """An httpx client that calls the app in-process."""
    transport = httpx.ASGITransport(app, raise_app_exceptions=raise_app_exceptions)
    return httpx.AsyncClient(transport=transport, base_url="http://t", **options)


@contextlib.contextmanager
def serve(app, before_stop=None, **config):
    """uvicorn serving ``app`` (its default loop and parser: uvloop and httptools where installed);
    ``before_stop()``, a coroutine function, runs on the server's own loop before it stops: what
    that loop opened must be closed there (a uvloop handle touched from another thread is
    memory shared without a lock)."""
    port = free_port()
    server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=port, log_level="warning",
                                           lifespan="off", **config))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    while not server.started:
        if not thread.is_alive():
            raise RuntimeError("the server did not start")
        threading.Event().wait(0.01)
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        try:
            if before_stop is not None:
                loop = server.servers[0].get_loop()
                asyncio.run_coroutine_threadsafe(before_stop(), loop).result(30)
        finally:
            server.should_exit = True
            thread.join(5)


async def over_http(app, talk, *engines):
    """talk(base_url) on a worker thread while uvicorn serves the app; the named engines and the
    Redis client, which the server's own event loop opened, are released on that loop."""
    from kelvora_core.services.conduit import AsyncConduit

    await AsyncConduit().close_all()  # engines opened on this loop would be used from another

    def run():
        with serve(app, before_stop=lambda: release_engines(*engines)) as base:
            return talk(base)

    return await asyncio.to_thread(run)


async def release_engines(*names):
    """Closes the engines and the Redis client a server used, once its sessions handed their
    connections back (a response can leave before its session's clean-up has run; closing the
    pools first would orphan that connection)."""
    from kelvora_core.engine.database_engine import DatabaseEngine
    from kelvora_core.engine.redis_engine import RedisEngine
    from kelvora_core.services.conduit import AsyncConduit

    for name in names:
        pool = DatabaseEngine().get_async_engine(name).sync_engine.pool
        for _ in range(500):
            if not pool.checkedout():
                break
            await asyncio.sleep(0.01)
    await RedisEngine().aclose()
    await AsyncConduit().close_all()
