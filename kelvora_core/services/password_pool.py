"""The threads that hash and check passwords, so bcrypt never holds the event loop.

A bcrypt check costs a quarter of a second at the library's default cost. Run on the event loop,
every other request of the process waits for it; here it runs on a few threads of its own (bcrypt
lets go of the interpreter lock while it works). The pool is bounded: at most ``threads`` checks
run and ``queue`` more wait; one more is refused at once with :class:`ThrottledError` (429), so a
flood of logins costs the flood, not the service.

The pool of the process is made on first use from ``auth.password_hashing``; :meth:`reset` drops
it (the next use reads the configuration again).
"""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, ClassVar, TypeVar

from ..config.app_config import AppConfig
from ..exception.service_exception import ThrottledError

__all__ = ["PasswordPool"]

T = TypeVar("T")

BUSY_MESSAGE = "登录请求过多，请稍后重试"


class PasswordPool:
    """A bounded thread pool for password work."""

    _shared: ClassVar[PasswordPool | None] = None
    _shared_lock: ClassVar[threading.Lock] = threading.Lock()

    def __init__(self, threads: int, queue: int) -> None:
        if threads < 1 or queue < 0:
            raise ValueError(f"threads must be at least 1 and queue at least 0, got {threads} and {queue}")
        self.threads = threads
        self.limit = threads + queue
        self._executor = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="kelvora-password")
        self._lock = threading.Lock()
        self._taken = 0

    @classmethod
    def shared(cls) -> PasswordPool:
        """The process's pool, made from the configuration on first use."""
        pool = cls._shared
        if pool is None:
            with cls._shared_lock:
                pool = cls._shared
                if pool is None:
                    setting = AppConfig.auth.password_hashing
                    pool = cls._shared = cls(setting.thread_count(), setting.queue)
        return pool

    @classmethod
    def reset(cls) -> None:
        """Forget the process's pool; work already handed to it still finishes."""
        with cls._shared_lock:
            pool, cls._shared = cls._shared, None
        if pool is not None:
            pool._executor.shutdown(wait=False)

    @classmethod
    async def call(cls, fn: Callable[..., T], *args: Any) -> T:
        """``fn(*args)`` on a thread of the process's pool."""
        return await cls.shared().run(fn, *args)

    @property
    def taken(self) -> int:
        """Checks running or waiting now."""
        return self._taken

    async def run(self, fn: Callable[..., T], *args: Any) -> T:
        """``fn(*args)`` on a pool thread; its result or exception as it was.

        The place is held until the work itself ends, not the awaiting task: a cancelled request
        whose check already runs keeps counting until the check is done.
        """
        with self._lock:
            if self._taken >= self.limit:
                raise ThrottledError(BUSY_MESSAGE, retry_after=1)
            self._taken += 1
        try:
            future = self._executor.submit(fn, *args)
        except BaseException:
            self._release(None)
            raise
        future.add_done_callback(self._release)
        return await asyncio.wrap_future(future)

    def _release(self, _future: Future | None) -> None:
        with self._lock:
            self._taken -= 1
