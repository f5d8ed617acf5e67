"""A bounded stop: after SIGTERM or SIGINT the service finishes what it is doing and ends.

On a stop signal the server closes its listening socket and waits until its connections are
closed. A connection it accepted at that very moment can escape its shutdown round and stay
open as long as the client keeps sending requests on it, so a worker under load may go on
serving until the clients stop. ``StopGate`` (an ASGI middleware ``Application`` installs)
closes that gap from inside the application, under any server and launcher:

- a request that arrives after the signal is refused: 503 "服务正在停止，请稍后重试" with
  ``Connection: close``, so its connection ends there;
- every answer given after the signal carries ``Connection: close``;
- a request in progress at the signal may run ``webapp.graceful_timeout`` seconds more;
  after that it is cancelled and answered 503 (or, when its answer had begun, its
  connection is closed);
- a signal during start-up cancels the start-up instead of waiting for it to finish.

The signal is learnt by chaining onto the process's SIGTERM and SIGINT handlers (those the
server installed) for the time the application's lifespan runs, in the main thread only;
the server's own handling runs as before.
"""

from __future__ import annotations

import asyncio
import json
import signal
import threading
from collections.abc import Callable
from types import FrameType
from typing import Any

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from ..config.app_config import AppConfig
from ..exception.register_handlers import error_body
from ..logger.logging_ import logging

__all__ = ["STOPPING_MESSAGE", "StopGate"]

STOPPING_MESSAGE = "服务正在停止，请稍后重试"
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT)
_JSON = (b"content-type", b"application/json")


def _closing(message: Message) -> Message:
    headers = [(name, value) for name, value in message.get("headers", ()) if name.lower() != b"connection"]
    return {**message, "headers": [*headers, (b"connection", b"close")]}


class StopGate:
    """ASGI middleware; see the module's description."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app
        self.stopping = False
        self._loop: asyncio.AbstractEventLoop | None = None
        self._deadline: float | None = None
        self._limits: set[asyncio.Timeout] = set()
        self._startup: asyncio.Task[Any] | None = None
        self._previous: dict[int, Any] = {}
        self._handler: Callable[[int, FrameType | None], None] = self._signalled

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            await self._http(scope, receive, send)
        elif scope["type"] == "lifespan":
            await self._lifespan(scope, receive, send)
        else:
            await self.app(scope, receive, send)

    # ---- requests -------------------------------------------------------------------

    async def _http(self, scope: Scope, receive: Receive, send: Send) -> None:
        if self.stopping:
            await self._refuse(send)
            return
        started = False

        async def gated(message: Message) -> None:
            nonlocal started
            if message["type"] == "http.response.start":
                started = True
                if self.stopping:
                    message = _closing(message)
            await send(message)

        limit = asyncio.timeout_at(self._deadline)
        try:
            async with limit:
                self._limits.add(limit)
                try:
                    await self.app(scope, receive, gated)
                finally:
                    self._limits.discard(limit)
        except TimeoutError:
            if not limit.expired():
                raise  # the application's own time-out, not the stop's
            logging.warning(f"停止宽限期已过，请求被中止: {scope.get('method')} {scope.get('path')}")
            if not started:
                await self._refuse(send)

    async def _refuse(self, send: Send) -> None:
        body = error_body(503, "service_unavailable", STOPPING_MESSAGE)
        payload = json.dumps(body, ensure_ascii=False).encode("utf-8")
        await send({"type": "http.response.start", "status": 503,
                    "headers": [_JSON, (b"content-length", str(len(payload)).encode()),
                                (b"retry-after", b"1"), (b"connection", b"close")]})
        await send({"type": "http.response.body", "body": payload})

    # ---- the stop signal --------------------------------------------------------------

    async def _lifespan(self, scope: Scope, receive: Receive, send: Send) -> None:
        task = asyncio.current_task()

        async def watched_receive() -> Message:
            message = await receive()
            if message["type"] == "lifespan.startup":
                self._arm(asyncio.get_running_loop())
                self._startup = task
            return message

        async def watched_send(message: Message) -> None:
            if message["type"].startswith("lifespan.startup."):
                self._startup = None
            await send(message)

        try:
            await self.app(scope, watched_receive, watched_send)
        finally:
            self._startup = None
            self._disarm()

    def _arm(self, loop: asyncio.AbstractEventLoop) -> None:
        self.stopping, self._deadline, self._loop = False, None, loop
        if threading.current_thread() is not threading.main_thread():
            return  # signals reach the main thread only; its server stops this one
        for signum in STOP_SIGNALS:
            current = signal.getsignal(signum)
            if current is not self._handler:
                self._previous[signum] = current
                signal.signal(signum, self._handler)

    def _disarm(self) -> None:
        if threading.current_thread() is not threading.main_thread():
            return
        for signum, previous in list(self._previous.items()):
            if signal.getsignal(signum) is self._handler:
                signal.signal(signum, previous if previous is not None else signal.SIG_DFL)
            del self._previous[signum]

    def _signalled(self, signum: int, frame: FrameType | None) -> None:
        # Runs in the main thread between two bytecodes: only flags and a wake-up here.
        if not self.stopping:
            self.stopping = True
            loop = self._loop
            if loop is not None and not loop.is_closed():
                loop.call_soon_threadsafe(self._begin_stop, signal.Signals(signum).name)
        previous = self._previous.get(signum)
        if callable(previous):
            previous(signum, frame)
        elif previous == signal.SIG_DFL:
            signal.signal(signum, signal.SIG_DFL)
            signal.raise_signal(signum)

    def _begin_stop(self, name: str) -> None:
        loop = asyncio.get_running_loop()
        grace = float(AppConfig.webapp.graceful_timeout)
        self._deadline = loop.time() + grace
        for limit in list(self._limits):
            if not limit.expired():
                limit.reschedule(self._deadline)
        startup = self._startup
        if startup is not None and not startup.done():
            logging.warning(f"启动过程中收到 {name}，启动中止")
            startup.cancel()
            return
        logging.info(f"收到 {name}: 不再接受新请求，处理中的 {len(self._limits)} 个请求最多再等 {grace:g} 秒")
