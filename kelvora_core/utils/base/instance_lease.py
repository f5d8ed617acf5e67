"""A lease on one snowflake instance id, from a store that every host of a service shares.

Hosts started from one image cannot be told apart by configuration, so a generator without a
configured instance takes one from a shared store (Redis, or a table in the "Auth" database)
and holds it under a lease: a background thread renews it every third of its lifetime and
gives it back when the process stops cleanly; a crashed holder's lease runs out in the store,
by the store's own clock, and the id is free again.

Safety does not rest on the hosts' clocks. With every grant the store keeps a *horizon*: the
latest timestamp the holder may put into an id before it renews. The generator never goes past
it, and the next holder of the instance starts after it. So two holders of one instance, even
one paused for minutes and one that took over meanwhile, draw from disjoint timestamp ranges;
a host whose clock lags simply starts a little ahead of its own clock. Only where the store has
no horizon for an instance (never leased, or a Redis that restarted empty while holders lived)
do clocks matter: the grant then starts one lease time plus ``TOLERATED_CLOCK_SKEW_MS`` ahead,
past anything an unknown earlier holder whose clock was that close to ours could have used. A generator whose
renewals fail stops at its horizon and refuses ids with a clear error until the store answers
again; a lease found taken over is replaced by a fresh one.

The store does its I/O on the thread's own event loop, so the service's loop never waits on
it, except once: the first id of a process waits for the first grant.
"""

from __future__ import annotations

import asyncio
import logging
import os
import socket
import threading
import uuid
from collections.abc import Callable
from dataclasses import dataclass
from typing import Protocol

from .snowflake import MAX_INSTANCE, wall_clock_ms

__all__ = ["Grant", "InstanceLease", "InstanceLeaseLost", "LeaseStore", "INSTANCE_COUNT",
           "MIN_LEASE_SECONDS", "TOLERATED_CLOCK_SKEW_MS"]

INSTANCE_COUNT = MAX_INSTANCE + 1
#: How far hosts' clocks may disagree when the store has lost the horizons (see above).
TOLERATED_CLOCK_SKEW_MS = 2_000
#: Renewals come every third of the lease; shorter would crowd the store. Longer than the
#: tolerated skew, too.
MIN_LEASE_SECONDS = 3.0

_log = logging.getLogger("kelvora")


class InstanceLeaseLost(RuntimeError):
    """The generator holds no valid lease on an instance id, so it hands out none."""


@dataclass
class Grant:
    """One holder's lease: ids carry timestamps from ``start_ms`` up to ``horizon_ms`` (both
    absolute milliseconds since the Unix epoch). Renewals move the horizon forward."""

    instance: int
    start_ms: int
    horizon_ms: int


class LeaseStore(Protocol):
    """Where the leases live; every call runs on the lease thread's event loop."""

    #: Where, for messages (never a password).
    name: str

    async def acquire(self, holder: str, now_ms: int, ttl_ms: int) -> Grant | None:
        """The lowest free instance, leased to ``holder``; None when every one is held.

        The grant starts after the previous holder's horizon and not before ``now_ms`` (with no
        horizon known, at ``now_ms + ttl_ms + TOLERATED_CLOCK_SKEW_MS``), and reaches ``ttl_ms``
        beyond its start."""

    async def renew(self, instance: int, holder: str, now_ms: int, ttl_ms: int) -> int | None:
        """Extends the lease and the horizon to at least ``now_ms + ttl_ms``; the horizon, or
        None when ``holder`` no longer holds ``instance``."""

    async def release(self, instance: int, holder: str, last_ms: int) -> None:
        """Frees the instance at once; the next holder starts after ``last_ms``."""

    async def close(self) -> None:
        """Lets go of connections."""


def _holder_name() -> str:
    # Readable in the store, so an operator can tell which process holds what.
    return f"{socket.gethostname()}:{os.getpid()}:{uuid.uuid4().hex[:12]}"


class InstanceLease:
    """Takes, keeps and gives back one instance id for a generator (see the module's text).

    ``store_factory`` makes the store on the lease thread (its clients belong to that thread's
    event loop); ``first_wait`` bounds how long the first id waits for the first grant.
    """

    def __init__(
        self,
        store_factory: Callable[[], LeaseStore],
        lease_seconds: float = 30.0,
        *,
        clock: Callable[[], int] = wall_clock_ms,
        first_wait: float = 10.0,
    ) -> None:
        if type(lease_seconds) is bool or not isinstance(lease_seconds, (int, float)):
            raise TypeError(f"lease_seconds must be a number, got {type(lease_seconds).__name__}")
        if not lease_seconds >= MIN_LEASE_SECONDS:
            raise ValueError(f"lease_seconds must be at least {MIN_LEASE_SECONDS:g}, got {lease_seconds}")
        self._store_factory = store_factory
        self._lease_seconds = lease_seconds
        self._ttl_ms = int(lease_seconds * 1000)
        self._clock = clock
        self._first_wait = first_wait
        self._holder = _holder_name()
        self._lock = threading.Lock()
        self._progress: Callable[[], int] = lambda: -1
        self._grant: Grant | None = None
        self._problem: str | None = None
        self._first_attempt = threading.Event()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._stop = asyncio.Event()  # bound to the lease thread's loop when first awaited
        self._final: tuple[Grant, int] | None = None
        self._task: asyncio.Task[None] | None = None
        self._released = False
        self.store_name = "the lease store"

    @property
    def holder(self) -> str:
        return self._holder

    @property
    def lease_seconds(self) -> float:
        return self._lease_seconds

    def attach(self, progress: Callable[[], int]) -> None:
        """``progress()``: the latest timestamp (absolute ms) the generator has used, -1 if none."""
        self._progress = progress

    def forked(self) -> InstanceLease:
        """A fresh lease for a forked child: the inherited grant stays the parent's."""
        return InstanceLease(self._store_factory, self._lease_seconds, clock=self._clock,
                             first_wait=self._first_wait)

    def grant(self) -> Grant:
        """The current grant; raises :class:`InstanceLeaseLost` when there is none."""
        if self._released:
            raise InstanceLeaseLost(f"the instance lease of {self._holder} was released: this "
                                    "generator hands out no more ids")
        if self._thread is None:
            self._start()
        if not self._first_attempt.wait(self._first_wait):
            raise InstanceLeaseLost(f"no snowflake instance id could be leased from "
                                    f"{self.store_name} within {self._first_wait:g} s")
        grant = self._grant
        if grant is None:
            raise InstanceLeaseLost(f"no snowflake instance id is leased: {self._problem or 'none yet'}; "
                                    "ids are refused until a lease is held again")
        return grant

    def ran_out(self, grant: Grant) -> InstanceLeaseLost:
        """The error for an id that would pass the grant's horizon."""
        return InstanceLeaseLost(
            f"the lease of snowflake instance {grant.instance} ran out and could not be renewed "
            f"({self._problem or 'not renewed yet'}); ids are refused rather than risk a duplicate")

    def release(self, last_ms: int | None = None) -> None:
        """Gives the instance back now; final. ``last_ms``: the last timestamp used, if known
        (unknown, the next holder starts past the horizon)."""
        with self._lock:
            if self._released:
                return
            self._released = True
            grant, self._grant = self._grant, None
            loop, thread = self._loop, self._thread
        if thread is None or loop is None or not thread.is_alive():
            return
        if grant is not None:
            if last_ms is None:
                last_ms = grant.horizon_ms
            # Never below the grant's start: that would lower what the previous holder left.
            self._final = (grant, max(last_ms, grant.start_ms - 1))
        try:
            asyncio.run_coroutine_threadsafe(self._finish(), loop).result(self._first_wait)
        except Exception as exc:  # the lease then runs out in the store by itself
            _log.warning("could not give back the instance lease of %s to %s: %s",
                         self._holder, self.store_name, exc)

    # ---- the lease thread ------------------------------------------------------------------

    def _start(self) -> None:
        with self._lock:
            if self._thread is not None:
                return
            self._loop = asyncio.new_event_loop()
            self._thread = threading.Thread(target=self._run, args=(self._loop,),
                                            name="kelvora-instance-lease", daemon=True)
            self._thread.start()

    def _run(self, loop: asyncio.AbstractEventLoop) -> None:
        asyncio.set_event_loop(loop)
        try:
            self._task = loop.create_task(self._keep())
            loop.run_until_complete(self._task)
        except Exception as exc:
            _log.error("the instance lease thread of %s ended: %s", self._holder, exc, exc_info=True)
        finally:
            self._first_attempt.set()
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

    async def _finish(self) -> None:
        self._stop.set()
        if self._task is not None:
            await self._task

    async def _keep(self) -> None:
        renew_every = self._lease_seconds / 3
        retry_after = min(1.0, self._lease_seconds / 6)
        try:
            store = self._store_factory()
        except Exception as exc:
            self._problem = f"the lease store cannot be opened: {type(exc).__name__}: {exc}"
            return
        self.store_name = store.name
        try:
            while not self._stop.is_set():
                delay = await self._step(store, renew_every, retry_after)
                self._first_attempt.set()
                if delay:
                    try:
                        async with asyncio.timeout(delay):
                            await self._stop.wait()
                    except TimeoutError:
                        pass
            if self._final is not None:
                grant, last_ms = self._final
                async with asyncio.timeout(min(5.0, renew_every)):
                    await store.release(grant.instance, self._holder, last_ms)
        finally:
            await store.close()

    async def _step(self, store: LeaseStore, renew_every: float, retry_after: float) -> float:
        """One acquisition or renewal; the seconds until the next."""
        grant = self._grant
        taken = horizon = None
        try:
            async with asyncio.timeout(min(5.0, renew_every)):
                if grant is None:
                    taken = await store.acquire(self._holder, self._clock(), self._ttl_ms)
                else:
                    now = max(self._clock(), self._progress())
                    horizon = await store.renew(grant.instance, self._holder, now, self._ttl_ms)
        except Exception as exc:  # unreachable or failing store: try again soon
            self._problem = f"{store.name} failed: {type(exc).__name__}: {exc}"
            return retry_after
        with self._lock:
            if self._released:
                if grant is None and taken is not None:
                    self._final = (taken, taken.start_ms - 1)  # taken while being released
                return 0
            if grant is None:
                if taken is None:
                    self._problem = (f"all {INSTANCE_COUNT} instance ids in {store.name} are "
                                     "leased by live holders")
                    return retry_after
                self._grant = taken
            elif horizon is None:
                self._problem = (f"the lease of instance {grant.instance} in {store.name} was "
                                 "lost: it ran out and another holder took it or it was freed")
                self._grant = None
                return 0  # take a fresh one straight away
            else:
                grant.horizon_ms = max(grant.horizon_ms, horizon)
            self._problem = None
        return renew_every
