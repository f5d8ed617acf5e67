"""The framework's logging facade: ``from ..logger.logging_ import logging``.

A thin layer over the standard library logger "kelvora". Its level follows
``AppConfig.environment.logging_level``, read at every call so that a reloaded or changed
configuration takes effect at once. Messages are written unchanged.

If nothing has configured a handler for "kelvora" or the root logger by the first message,
the facade adds one writing to standard error; otherwise it leaves the sinks to whoever
configured them.
"""

from __future__ import annotations

import logging as _stdlib_logging
import sys
import threading

from ..config.app_config import AppConfig

__all__ = ["LOGGER_NAME", "SEPARATOR", "LoggingFacade", "logging"]

LOGGER_NAME = "kelvora"
SEPARATOR = "-" * 80
LOG_FORMAT = "%(asctime)s | %(levelname)-8s | %(message)s"

# Facade method -> _log -> Logger.log: the record should point at the facade's caller.
_STACKLEVEL = 3


def _text(value: object) -> str:
    if isinstance(value, str):
        return value
    try:
        return str(value)
    except Exception:
        # A broken __str__ on some error argument must not turn a log line into a crash.
        return object.__repr__(value)


class LoggingFacade:
    """Separator lines and messages at the standard levels, on one named logger."""

    def __init__(self, name: str = LOGGER_NAME) -> None:
        self._logger = _stdlib_logging.getLogger(name)
        self._level: object = None
        self._handler_checked = False
        self._lock = threading.Lock()

    @property
    def logger(self) -> _stdlib_logging.Logger:
        """The underlying standard library logger."""
        return self._logger

    def debug_line(self) -> None:
        self._log(_stdlib_logging.DEBUG, SEPARATOR)

    def info_line(self) -> None:
        self._log(_stdlib_logging.INFO, SEPARATOR)

    def debug_enabled(self) -> bool:
        """Whether a debug message would be written now (callers skip building one otherwise)."""
        return self._prepare().isEnabledFor(_stdlib_logging.DEBUG)

    def debug(self, message: object) -> None:
        self._log(_stdlib_logging.DEBUG, message)

    def info(self, message: object) -> None:
        self._log(_stdlib_logging.INFO, message)

    def warning(self, message: object) -> None:
        self._log(_stdlib_logging.WARNING, message)

    def error(self, message: object, exc_info: bool = False) -> None:
        # exc_info=True outside an except block would record "NoneType: None".
        handling = sys.exception() is not None
        self._log(_stdlib_logging.ERROR, message, exc_info=bool(exc_info) and handling)

    def _log(self, level: int, message: object, exc_info: bool = False) -> None:
        logger = self._prepare()
        if logger.isEnabledFor(level):
            logger.log(level, _text(message), exc_info=exc_info, stacklevel=_STACKLEVEL)

    def _prepare(self) -> _stdlib_logging.Logger:
        level = AppConfig.environment.logging_level
        if level != self._level:
            self._logger.setLevel(level.upper() if isinstance(level, str) else level)
            self._level = level
        if not self._handler_checked:
            with self._lock:
                if not self._handler_checked:
                    if not self._logger.hasHandlers():
                        handler = _stdlib_logging.StreamHandler()
                        handler.setFormatter(_stdlib_logging.Formatter(LOG_FORMAT))
                        self._logger.addHandler(handler)
                    self._handler_checked = True
        return self._logger


logging = LoggingFacade()
