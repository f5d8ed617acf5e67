"""Request bodies above a size are refused while they arrive, never read whole first.

A declared ``Content-Length`` above the limit is answered 413 before the application runs.
A body without one (chunked) is counted as it streams in; once it passes the limit the
application's reading stops with an error, whatever the application would have answered is
dropped, and the client gets the 413 instead.
"""

from __future__ import annotations

import json
from typing import Any

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from ..schemas.errors import ErrorBody

__all__ = ["BodyLimitMiddleware", "BodyTooLarge"]


class BodyTooLarge(Exception):
    """Raised into the application when the body it is reading passes the limit."""


def _declared_length(scope: Scope) -> int | None:
    """The Content-Length header; -1 when it is not a plain decimal number."""
    for name, value in scope.get("headers", ()):
        if name == b"content-length":
            return int(value) if value.isdigit() else -1
    return None


def _payload(limit: int) -> bytes:
    body = ErrorBody(code=413, type="http_error", message=f"请求体过大，最多 {limit} 字节", errors=None, fields=[])
    return json.dumps(body.model_dump(), ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class BodyLimitMiddleware:
    def __init__(self, app: ASGIApp, max_body_bytes: int) -> None:
        self.app = app
        self.limit = max_body_bytes

    async def _refuse(self, send: Send) -> None:
        payload = _payload(self.limit)
        await send({"type": "http.response.start", "status": 413,
                    "headers": [(b"content-type", b"application/json"),
                                (b"content-length", str(len(payload)).encode("ascii")),
                                (b"connection", b"close")]})
        await send({"type": "http.response.body", "body": payload})

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        declared = _declared_length(scope)
        if declared is not None and not 0 <= declared <= self.limit:
            await self._refuse(send)
            return

        limit = self.limit
        received = 0
        too_large = False
        started = False

        async def counted_receive() -> Message:
            nonlocal received, too_large
            if too_large:
                raise BodyTooLarge
            message = await receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > limit:
                    too_large = True
                    raise BodyTooLarge
            return message

        async def guarded_send(message: Message) -> None:
            nonlocal started
            if too_large and not started:
                return  # the application's own answer to the broken read; the 413 goes instead
            if message["type"] == "http.response.start":
                started = True
            await send(message)

        try:
            await self.app(scope, counted_receive, guarded_send)
        except Exception:
            if not too_large:
                raise
        if too_large and not started:
            await self._refuse(send)


def install(app: Any, max_body_bytes: int) -> None:
    app.add_middleware(BodyLimitMiddleware, max_body_bytes=max_body_bytes)
