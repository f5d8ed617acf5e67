"""Headers every answer carries, and cross-origin requests from browsers.

Security headers (``http.security_headers``, on by default): the browser must not guess
content types, must not show the service inside a frame of another site, sends no referrer to
other sites; JSON answers (tokens and user data among them) are never stored by caches unless
the route set its own ``Cache-Control``.

CORS (``http.cors``, off by default): Starlette's middleware with the configured origins,
methods and headers; it answers the browsers' preflight requests itself.
"""

from __future__ import annotations

from typing import Any

from starlette.datastructures import MutableHeaders
from starlette.middleware.cors import CORSMiddleware
from starlette.types import ASGIApp, Message, Receive, Scope, Send

__all__ = ["SECURITY_HEADERS", "SecurityHeadersMiddleware", "install_cors", "install_security_headers"]

SECURITY_HEADERS = {
    "X-Content-Type-Options": "nosniff",
    "Content-Security-Policy": "frame-ancestors 'none'",
    "X-Frame-Options": "DENY",  # browsers that predate frame-ancestors
    "Referrer-Policy": "no-referrer",
}
_NO_STORE = "no-store"


def add_security_headers(headers: MutableHeaders) -> None:
    for name, value in SECURITY_HEADERS.items():
        headers.setdefault(name, value)
    if "cache-control" not in headers and headers.get("content-type", "").startswith("application/json"):
        headers["Cache-Control"] = _NO_STORE


class SecurityHeadersMiddleware:
    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                add_security_headers(MutableHeaders(scope=message))
            await send(message)

        await self.app(scope, receive, send_with_headers)


def install_security_headers(app: Any) -> None:
    app.add_middleware(SecurityHeadersMiddleware)


def install_cors(app: Any, cors: Any) -> None:
    app.add_middleware(CORSMiddleware, allow_origins=list(cors.allow_origins),
                       allow_methods=[method.upper() for method in cors.allow_methods],
                       allow_headers=list(cors.allow_headers), allow_credentials=cors.allow_credentials,
                       max_age=cors.max_age)
