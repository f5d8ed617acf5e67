"""The last resort for an error that no exception handler took.

Starlette hands such an error to the catch-all handler in its outermost middleware and then
raises it again for the server, which logs it with its traceback a second time. This
middleware sits inside that one: it answers and logs the error once and does not raise it
further. An error after the response has begun is logged the same way; the server then
closes the connection of the unfinished response.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable

from starlette.requests import Request
from starlette.responses import Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

__all__ = ["UnhandledErrors"]

Respond = Callable[[Request, Exception], Awaitable[Response]]


class UnhandledErrors:
    """ASGI middleware: ``respond(request, exc)`` logs ``exc`` and builds the answer."""

    def __init__(self, app: ASGIApp, respond: Respond) -> None:
        self.app = app
        self.respond = respond

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = False

        async def tracked(message: Message) -> None:
            nonlocal started
            if message["type"] == "http.response.start":
                started = True
            await send(message)

        try:
            await self.app(scope, receive, tracked)
        except Exception as exc:
            response = await self.respond(Request(scope, receive), exc)
            if not started:
                await response(scope, receive, send)
