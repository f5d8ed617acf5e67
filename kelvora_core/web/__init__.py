"""What the web application holds every request and answer to, from ``AppConfig.http``.

``install(app)`` adds, innermost first: the request body limit (``body_limit``), CORS when it is
enabled and the security headers (``headers``), and the error answers of the OpenAPI document
(``openapi``). The exception handlers call it, so every service built by ``Application.run``
gets them.
"""

from __future__ import annotations

from fastapi import FastAPI

from ..config.app_config import AppConfig
from . import body_limit, headers, openapi

__all__ = ["install"]


def install(app: FastAPI) -> None:
    http = AppConfig.http
    body_limit.install(app, http.max_body_bytes)
    if http.cors.enabled:
        headers.install_cors(app, http.cors)
    if http.security_headers:
        headers.install_security_headers(app)
    openapi.install(app)
