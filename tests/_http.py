"""A FastAPI app served by uvicorn on a free loopback port, in a thread of its own."""

import contextlib
import socket
import threading

import uvicorn


@contextlib.contextmanager
def serve(app, **config):
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
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
        server.should_exit = True
        thread.join(5)


def release_engines(*names):
    """Closes the engines a server thread used, once its sessions handed their connections back.

    A response can leave before its session's clean-up has run; closing the pools first would
    orphan that connection.
    """
    import asyncio
    import time

    from kelvora_core.engine.database_engine import DatabaseEngine
    from kelvora_core.services.conduit import AsyncConduit

    for name in names:
        pool = DatabaseEngine().get_async_engine(name).sync_engine.pool
        for _ in range(500):
            if not pool.checkedout():
                break
            time.sleep(0.01)
    asyncio.run(AsyncConduit().close_all())
