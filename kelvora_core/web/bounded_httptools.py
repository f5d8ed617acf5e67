"""httptools with a bound on each request's head (``http.max_header_bytes``); see ``request_head``.

The class is made when first asked for (``BoundedHttpToolsProtocol`` of this module): importing
the module (the router scan imports every module of the package) must not load httptools, which
an h11 service never does. Its name is the module's own, so workers unpickle it from here.
"""

from __future__ import annotations

import threading
from typing import Any

from ..config.app_config import AppConfig

__all__ = ["BoundedHttpToolsProtocol"]  # noqa: F822  (made by __getattr__)

_making = threading.Lock()


def _make() -> type:
    from uvicorn.protocols.http.httptools_impl import STATUS_LINE, HttpToolsProtocol

    class BoundedHttpToolsProtocol(HttpToolsProtocol):
        """httptools with a bound on each request's head.

        Bytes are counted per chunk received while a head is unfinished, after the parser has
        seen them, so a head that ends within a chunk is never refused. The chunk in which a
        pipelined request's head began is not counted (it holds the previous request too), so at
        most the limit plus two chunks is held.
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

    BoundedHttpToolsProtocol.__qualname__ = "BoundedHttpToolsProtocol"
    return BoundedHttpToolsProtocol


def __getattr__(name: str) -> Any:
    if name != "BoundedHttpToolsProtocol":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    with _making:  # one class, whoever asks first
        if name not in globals():
            globals()[name] = _make()
    return globals()[name]
