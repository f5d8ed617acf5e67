"""Snowflake ids: 64-bit integers that grow with time and never repeat on a host.

Layout, most significant bit first::

    0 | 41 bits: milliseconds since the epoch | 10 bits: instance | 4 bits: worker | 8 bits: sequence

The top bit stays clear, so every id is positive and fits a signed 64-bit column. The
epoch is given in milliseconds since the Unix epoch (1970-01-01T00:00:00Z); 41 bits of
milliseconds last about 69 years from it.

The instance is configured per service installation; the worker tells apart the processes
of one host that share an instance (the workers of a web server). Unless a worker number is
given, a generator takes the process's worker slot: the first free one of 16, held through an
exclusive lock on a file in a directory shared by the host (``WORKER_LOCK_DIR``) for the life
of the process. Two live processes therefore never use the same slot, and a slot comes free
when its process ends, however it ends. A child made by ``fork`` gives up the inherited slot
and takes its own before its next id.

An instance given as ``"auto"`` (or None) is leased from a store shared by the hosts of a
service instead (see ``instance_lease``): Redis when configured, else a table of the "Auth"
database. The lease is taken with the first id, renewed in the background, and given back when
the process ends cleanly; a generator whose lease is lost refuses ids
(:class:`~.instance_lease.InstanceLeaseLost`) rather than risk a duplicate.

When the clock steps backwards the generator keeps the last timestamp it used and goes on
counting the sequence there; if that millisecond's sequence runs out it moves its own
timestamp one millisecond forward rather than waiting for the clock to catch up, which
could take as long as the step was. Ids therefore never repeat or decrease. Only when the
sequence runs out within the current millisecond does it wait (spin) for the next one.
"""

from __future__ import annotations

import atexit
import fcntl
import os
import tempfile
import threading
import time
import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    from .instance_lease import Grant, InstanceLease

TIMESTAMP_BITS = 41
INSTANCE_BITS = 10
WORKER_BITS = 4
SEQUENCE_BITS = 8

MAX_TIMESTAMP = (1 << TIMESTAMP_BITS) - 1
MAX_INSTANCE = (1 << INSTANCE_BITS) - 1
MAX_WORKER = (1 << WORKER_BITS) - 1
MAX_SEQUENCE = (1 << SEQUENCE_BITS) - 1

_WORKER_SHIFT = SEQUENCE_BITS
_INSTANCE_SHIFT = SEQUENCE_BITS + WORKER_BITS
_TIMESTAMP_SHIFT = SEQUENCE_BITS + WORKER_BITS + INSTANCE_BITS

#: Where the worker slots of this host are held; every process of a host must agree on it.
WORKER_LOCK_DIR = os.path.join(tempfile.gettempdir(), "kelvora-snowflake")

#: 2020-01-01T00:00:00Z in milliseconds since the Unix epoch.
DEFAULT_EPOCH_MS = 1_577_836_800_000

#: The instance value that asks for a leased instance id.
AUTO = "auto"


def wall_clock_ms() -> int:
    """Milliseconds since the Unix epoch, from the system clock."""
    return time.time_ns() // 1_000_000


class SnowflakeId(NamedTuple):
    """The parts of one id; ``timestamp_ms`` is absolute (ms since the Unix epoch)."""

    timestamp_ms: int
    instance: int
    sequence: int
    worker: int = 0


class WorkerSlotsExhausted(RuntimeError):
    """Every worker slot of an instance is held by a live process of this host."""


class _WorkerSlots:
    """The slots this process holds: (directory, instance) -> (slot, locked descriptor)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.held: dict[tuple[str, int], tuple[int, int]] = {}
        # Bumped in a forked child: generators made before the fork must take a new slot.
        self.generation = 0
        self.generators: weakref.WeakSet[SnowflakeGenerator] = weakref.WeakSet()

    def claim(self, instance: int, directory: str | os.PathLike[str] | None) -> int:
        folder = os.path.abspath(os.fspath(WORKER_LOCK_DIR if directory is None else directory))
        key = (folder, instance)
        with self.lock:
            if key in self.held:
                return self.held[key][0]
            _make_shared_dir(folder)
            for slot in range(MAX_WORKER + 1):
                fd = _open_lock_file(os.path.join(folder, f"instance-{instance}-worker-{slot}.lock"))
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    os.close(fd)
                    continue
                except BaseException:
                    os.close(fd)
                    raise
                self.held[key] = (slot, fd)
                return slot
        raise WorkerSlotsExhausted(
            f"all {MAX_WORKER + 1} worker slots of snowflake instance {instance} are held by "
            f"live processes of this host (lock files in {folder}); give further processes "
            "another instance id"
        )

    def after_fork_in_child(self) -> None:
        # The inherited descriptors share the parent's locks: closing them here leaves the
        # parent's slots held (by the parent) and frees nothing.
        for _, fd in self.held.values():
            try:
                os.close(fd)
            except OSError:
                pass
        self.held.clear()
        self.lock = threading.Lock()
        self.generation += 1
        for generator in list(self.generators):
            generator._lock = threading.Lock()


def _make_shared_dir(folder: str) -> None:
    if os.path.isdir(folder):
        return
    try:
        os.makedirs(folder, exist_ok=True)
        # Shared by every user's services on the host, like /tmp itself.
        os.chmod(folder, 0o1777)
    except PermissionError:
        if not os.path.isdir(folder):
            raise


def _open_lock_file(path: str) -> int:
    # Nothing is ever written to a lock file; O_NOFOLLOW keeps a planted link from being opened.
    flags = os.O_CLOEXEC | os.O_NOFOLLOW
    try:
        return os.open(path, os.O_RDWR | os.O_CREAT | flags, 0o666)
    except PermissionError:
        # Made by another user's process: a read-only descriptor locks just as well.
        return os.open(path, os.O_RDONLY | flags)


_slots = _WorkerSlots()
os.register_at_fork(after_in_child=_slots.after_fork_in_child)


def claim_worker(instance: int, directory: str | os.PathLike[str] | None = None) -> int:
    """This process's worker slot for ``instance``, taken on first use and kept until exit."""
    instance = _require_int("instance", instance)
    if not 0 <= instance <= MAX_INSTANCE:
        raise ValueError(f"instance must be between 0 and {MAX_INSTANCE}, got {instance}")
    return _slots.claim(instance, directory)


def _require_int(name: str, value: object) -> int:
    # bool is an int subclass, but True as an instance number is a mistake, not a 1.
    if type(value) is bool or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}")
    return value


class SnowflakeGenerator:
    """An endless, thread-safe iterator of unique, strictly increasing ids.

    ``worker`` None (the default) takes the process's worker slot for the instance (see the
    module's description), looked for in ``worker_dir`` (default ``WORKER_LOCK_DIR``); an
    integer fixes the worker number, and keeping it apart is then the caller's business.
    ``instance`` ``"auto"`` or None leases the instance: from ``lease`` when given, else from
    the store the configuration names.
    """

    def __init__(
        self,
        instance: int | str | None,
        epoch: int = DEFAULT_EPOCH_MS,
        *,
        worker: int | None = None,
        worker_dir: str | os.PathLike[str] | None = None,
        clock: Callable[[], int] = wall_clock_ms,
        lease: InstanceLease | None = None,
    ) -> None:
        leased = instance is None or (type(instance) is str and instance == AUTO)
        number: int | None = None
        if not leased:
            number = _require_int("instance", instance)
            if not 0 <= number <= MAX_INSTANCE:
                raise ValueError(f"instance must be between 0 and {MAX_INSTANCE}, got {number}")
            if lease is not None:
                raise ValueError(f"a lease needs instance {AUTO!r}, got {number}")
        epoch = _require_int("epoch", epoch)
        auto = worker is None
        generation = _slots.generation
        slot = None
        if worker is not None:
            slot = _require_int("worker", worker)
            if not 0 <= slot <= MAX_WORKER:
                raise ValueError(f"worker must be between 0 and {MAX_WORKER}, got {slot}")
        elif number is not None:
            slot = claim_worker(number, worker_dir)
        now = clock()
        if epoch > now:
            raise ValueError(
                f"epoch {epoch} lies in the future (now is {now}); "
                "it is milliseconds since 1970-01-01T00:00:00Z"
            )
        if now - epoch > MAX_TIMESTAMP:
            raise ValueError(
                f"epoch {epoch} is too long ago: milliseconds since it no longer fit "
                f"in {TIMESTAMP_BITS} bits"
            )
        if leased and lease is None:
            from ..lease import lease_from_config

            lease = lease_from_config(clock)
        self._instance = number
        self._epoch = epoch
        self._clock = clock
        self._lock = threading.Lock()
        self._last = -1  # timestamp of the last id, relative to the epoch
        self._sequence = 0
        self._auto = auto
        self._worker_dir = worker_dir
        self._worker = slot
        # The instance and worker bits of every id, once both are known.
        self._node = 0 if number is None or slot is None else self._node_bits(number, slot)
        self._generation = generation
        self._lease: InstanceLease | None = None
        self._grant: Grant | None = None
        if lease is not None:
            self._hold(lease)
        elif auto:
            self._skip_claim_millisecond(now - epoch)
        if auto or leased:
            _slots.generators.add(self)

    def _hold(self, lease: InstanceLease) -> None:
        self._lease = lease
        self._grant = None
        me = weakref.ref(self)

        def progress() -> int:
            generator = me()
            return -1 if generator is None or generator._last < 0 else generator._last + generator._epoch

        lease.attach(progress)
        # Collected without a release: the lease goes back at its horizon.
        self._lease_finalizer = weakref.finalize(self, lease.release)
        self._lease_finalizer.atexit = False
        _leased.add(self)

    def _take(self, grant: Grant) -> None:
        # A new grant (the first, or one after a lost lease): its instance, a worker slot for
        # it, and timestamps from its start on.
        self._instance = grant.instance
        if self._auto:
            self._worker = claim_worker(grant.instance, self._worker_dir)
        assert self._worker is not None
        self._node = self._node_bits(grant.instance, self._worker)
        self._grant = grant
        self._skip_claim_millisecond(max(grant.start_ms - 1, self._clock()) - self._epoch)

    @staticmethod
    def _node_bits(instance: int, worker: int) -> int:
        return (instance << _INSTANCE_SHIFT) | (worker << _WORKER_SHIFT)

    def _skip_claim_millisecond(self, claimed: int) -> None:
        # A slot may have been held by a process that ended in this very millisecond; its
        # last ids are no later than now, so ours start in the next millisecond.
        if claimed >= self._last:
            self._last = claimed
            self._sequence = MAX_SEQUENCE

    def release(self) -> None:
        """Gives a leased instance back now (a clean exit does it by itself); ids are refused
        afterwards. Does nothing for a configured instance."""
        with self._lock:
            # In a forked child that drew nothing yet, the lease is still the parent's.
            if self._lease is not None and self._generation == _slots.generation:
                self._lease.release(self._last + self._epoch if self._last >= 0 else -1)

    @property
    def instance(self) -> int | None:
        """The instance id; for a leased one, None until the first id."""
        return self._instance

    @property
    def lease(self) -> InstanceLease | None:
        """The lease a generator without a configured instance holds its instance under."""
        return self._lease

    @property
    def epoch(self) -> int:
        return self._epoch

    @property
    def worker(self) -> int | None:
        return self._worker

    def __iter__(self) -> SnowflakeGenerator:
        return self

    def __next__(self) -> int:
        with self._lock:
            if self._generation != _slots.generation:
                # Forked: the slot and the lease belong to the parent.
                self._generation = _slots.generation
                if self._lease is not None:
                    self._lease_finalizer.detach()
                    self._hold(self._lease.forked())
                elif self._auto and self._instance is not None:
                    self._worker = claim_worker(self._instance, self._worker_dir)
                    self._node = self._node_bits(self._instance, self._worker)
                    self._skip_claim_millisecond(max(self._clock() - self._epoch, 0))
            grant = None
            lease = self._lease
            if lease is not None:
                grant = lease.grant()
                if grant is not self._grant:
                    self._take(grant)
            # A clock that steps back to before the epoch still must not go negative.
            now = max(self._clock() - self._epoch, 0)
            if now > self._last:
                self._last = now
                self._sequence = 0
            else:
                # Same millisecond, or the clock went back: stay on the last timestamp.
                self._sequence += 1
                if self._sequence > MAX_SEQUENCE:
                    self._last = self._following_millisecond()
                    self._sequence = 0
            if self._last > MAX_TIMESTAMP:
                raise OverflowError(
                    f"ids for epoch {self._epoch} are used up: the timestamp no longer "
                    f"fits in {TIMESTAMP_BITS} bits"
                )
            if grant is not None and self._last + self._epoch > grant.horizon_ms:
                raise lease.ran_out(grant)  # type: ignore[union-attr]  # a grant came from it
            ident = (
                (self._last << _TIMESTAMP_SHIFT) | self._node | self._sequence
            )
            if ident == 0:
                # Only the first millisecond of instance 0, worker 0 could give 0; ids are positive.
                self._sequence = 1
                ident = 1
            return ident

    def _following_millisecond(self) -> int:
        while True:
            now = self._clock() - self._epoch
            if now > self._last:
                return now
            if now < self._last:
                return self._last + 1
            # Same millisecond as the exhausted sequence: the clock will move on shortly.

    def parse(self, ident: int) -> SnowflakeId:
        """Split an id of this generator's layout into its parts."""
        ident = _require_int("ident", ident)
        if not 0 < ident < 1 << 63:
            raise ValueError(f"not a snowflake id: {ident}")
        return SnowflakeId(
            timestamp_ms=(ident >> _TIMESTAMP_SHIFT) + self._epoch,
            instance=(ident >> _INSTANCE_SHIFT) & MAX_INSTANCE,
            sequence=ident & MAX_SEQUENCE,
            worker=(ident >> _WORKER_SHIFT) & MAX_WORKER,
        )

    def __repr__(self) -> str:
        instance = self._instance if self._lease is None else f"{AUTO}:{self._instance}"
        return f"SnowflakeGenerator(instance={instance}, worker={self._worker}, epoch={self._epoch})"


#: Generators holding a lease: they give it back when the interpreter exits cleanly.
_leased: weakref.WeakSet[SnowflakeGenerator] = weakref.WeakSet()


@atexit.register
def _release_leases() -> None:
    for generator in list(_leased):
        generator.release()
