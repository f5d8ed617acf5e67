"""The request head (request line and headers) bounded under either HTTP parser.

h11 refuses a head past its incomplete-event limit; httptools gathers one of any size in memory,
so a client sending endless header bytes on a few connections could exhaust the service's
memory. :func:`server_http_options` gives uvicorn a parser that stops at ``http.max_header_bytes``
whichever it is: h11 with that limit, or httptools through :class:`BoundedHttpToolsProtocol`,
which answers 431 and closes the connection once a head has grown past it.
"""

from __future__ import annotations

import importlib.util
from typing import Any

from ..config.app_config import AppConfig

__all__ = ["server_http_options"]

_HTTPTOOLS = importlib.util.find_spec("httptools") is not None

if _HTTPTOOLS:
    from uvicorn.protocols.http.httptools_impl import STATUS_LINE, HttpToolsProtocol

    class BoundedHttpToolsProtocol(HttpToolsProtocol):
        """httptools with a bound on each request's head.

        Bytes are counted per chunk received while a head is unfinished, after the parser has
        seen them, so a head that ends within a chunk is never refused and at most the limit
        plus one chunk is held. The chunk in which a pipelined request's head began is not
        counted (it holds the previous request too).
        """

        def connection_made(self, transport: Any) -> None:
            self._head_limit = AppConfig.http.max_header_bytes
            self._in_head, self._head_bytes, self._head_began_here = True, 0, False
            super().connection_made(transport)

        def on_headers_complete(self) -> None:
            self._in_head = False
            super().on_headers_complete()

        def on_message_complete(self) -> None:
            super().on_message_complete()
            self._in_head, self._head_bytes, self._head_began_here = True, 0, True

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            if not self._in_head or self.transport.is_closing():
                return
            if self._head_began_here:
                self._head_began_here = False
                return
            self._head_bytes += len(data)
            if self._head_bytes > self._head_limit:
                self._refuse()

        def _refuse(self) -> None:
            message = b"Request header fields too large."
            self.logger.warning("Request head over %d bytes refused.", self._head_limit)
            defaults = [name + b": " + value + b"\r\n" for name, value in self.server_state.default_headers]
            self.transport.write(b"".join([
                STATUS_LINE[431], *defaults,
                b"content-type: text/plain; charset=utf-8\r\n",
                b"content-length: " + str(len(message)).encode("ascii") + b"\r\n",
                b"connection: close\r\n\r\n", message]))
            self.transport.close()


def server_http_options(choice: str) -> dict[str, Any]:
    """uvicorn's ``http`` (and h11's limit) for ``webapp.http`` ("auto", "httptools", "h11")."""
    bounded = {"h11_max_incomplete_event_size": AppConfig.http.max_header_bytes}
    if choice == "h11" or (choice == "auto" and not _HTTPTOOLS):
        return {"http": "h11", **bounded}
    if not _HTTPTOOLS:
        return {"http": choice, **bounded}  # uvicorn names the missing package
    return {"http": BoundedHttpToolsProtocol, **bounded}
