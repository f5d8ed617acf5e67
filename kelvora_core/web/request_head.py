"""The request head (request line and headers) bounded under either HTTP parser.

h11 refuses a head past its incomplete-event limit; httptools gathers one of any size in memory,
so a client sending endless header bytes on a few connections could exhaust the service's
memory. :func:`server_http_options` gives uvicorn a parser that stops at ``http.max_header_bytes``
whichever it is: h11 with that limit, or httptools through ``BoundedHttpToolsProtocol``
(``bounded_httptools``), which answers 431 and closes the connection once a head has grown
past it.
"""

from __future__ import annotations

import importlib.util
from typing import Any

from ..config.app_config import AppConfig

__all__ = ["server_http_options"]

_HTTPTOOLS = importlib.util.find_spec("httptools") is not None


def server_http_options(choice: str) -> dict[str, Any]:
    """uvicorn's ``http`` (and h11's limit) for ``webapp.http`` ("auto", "httptools", "h11")."""
    bounded = {"h11_max_incomplete_event_size": AppConfig.http.max_header_bytes}
    if choice == "h11" or (choice == "auto" and not _HTTPTOOLS):
        return {"http": "h11", **bounded}
    if not _HTTPTOOLS:
        return {"http": choice, **bounded}  # uvicorn names the missing package
    # Imported only now: loading it loads httptools, which an h11 service never does.
    from .bounded_httptools import BoundedHttpToolsProtocol

    return {"http": BoundedHttpToolsProtocol, **bounded}
