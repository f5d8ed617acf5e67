"""A stop signal: later requests are refused, those in progress get the grace period, a start-up
in progress is cancelled; the server's own signal handler still runs."""

import asyncio
import contextlib
import signal
import types

import pytest
from fastapi import FastAPI

from kelvora_core.app.stop_gate import STOPPING_MESSAGE, StopGate

from _http import asgi_client


@pytest.fixture
def server_handler():
    """The handler a server installed before the application started: records the signals."""
    seen = []

    def handler(signum, frame):
        seen.append(signum)

    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield types.SimpleNamespace(seen=seen, handler=handler)
    finally:
        signal.signal(signal.SIGTERM, previous)


@contextlib.asynccontextmanager
async def lifespan_of(app, expected="lifespan.startup.complete"):
    incoming, outgoing = asyncio.Queue(), asyncio.Queue()
    running = asyncio.create_task(app({"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}},
                                      incoming.get, outgoing.put))
    await incoming.put({"type": "lifespan.startup"})
    yield outgoing
    if expected == "lifespan.startup.complete":
        assert (await outgoing.get())["type"] == expected
        await incoming.put({"type": "lifespan.shutdown"})
    with contextlib.suppress(BaseException):
        await running


def refused(answer):
    return (answer.status_code, answer.json()["type"], answer.json()["message"], answer.headers["connection"]) == (
        503, "service_unavailable", STOPPING_MESSAGE, "close")


async def test_stop_refuses_new_requests_and_bounds_those_in_progress(saved_config, server_handler):
    saved_config.webapp.graceful_timeout = 0.5
    release = asyncio.Event()
    app = FastAPI()
    app.add_middleware(StopGate)

    @app.get("/wait")
    async def wait():
        await release.wait()
        return {"done": True}

    @app.get("/hang")
    async def hang():
        await asyncio.Event().wait()

    async with lifespan_of(app), asgi_client(app) as client:
        finishing = asyncio.create_task(client.get("/wait"))
        hanging = asyncio.create_task(client.get("/hang"))
        await asyncio.sleep(0.05)
        signal.raise_signal(signal.SIGTERM)
        await asyncio.sleep(0.05)
        late = await client.get("/wait")
        release.set()
        finished, cut = await finishing, await hanging
    assert server_handler.seen == [signal.SIGTERM]  # the server still learns of its signal
    assert refused(late) and refused(cut)  # new: refused at once; hanging: after the grace period
    assert finished.json() == {"done": True} and finished.headers["connection"] == "close"
    assert signal.getsignal(signal.SIGTERM) is server_handler.handler  # put back with the lifespan


async def test_a_stop_during_start_up_cancels_it(server_handler):
    started = asyncio.Event()

    @contextlib.asynccontextmanager
    async def endless(app):
        started.set()
        await asyncio.Event().wait()
        yield

    app = FastAPI(lifespan=endless)
    app.add_middleware(StopGate)
    async with lifespan_of(app, expected="lifespan.startup.failed") as outgoing:
        await started.wait()
        signal.raise_signal(signal.SIGTERM)
        message = await asyncio.wait_for(outgoing.get(), 5)
    assert message["type"] == "lifespan.startup.failed" and server_handler.seen == [signal.SIGTERM]
