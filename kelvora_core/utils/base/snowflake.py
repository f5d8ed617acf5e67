"""Snowflake ids: 64-bit integers that grow with time and never repeat within a process.

Layout, most significant bit first::

    0 | 41 bits: milliseconds since the epoch | 10 bits: instance | 12 bits: sequence

The top bit stays clear, so every id is positive and fits a signed 64-bit column. The
epoch is given in milliseconds since the Unix epoch (1970-01-01T00:00:00Z); 41 bits of
milliseconds last about 69 years from it.

When the clock steps backwards the generator keeps the last timestamp it used and goes on
counting the sequence there; if that millisecond's sequence runs out it moves its own
timestamp one millisecond forward rather than waiting for the clock to catch up, which
could take as long as the step was. Ids therefore never repeat or decrease. Only when the
sequence runs out within the current millisecond does it wait (spin) for the next one.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import NamedTuple

TIMESTAMP_BITS = 41
INSTANCE_BITS = 10
SEQUENCE_BITS = 12

MAX_TIMESTAMP = (1 << TIMESTAMP_BITS) - 1
MAX_INSTANCE = (1 << INSTANCE_BITS) - 1
MAX_SEQUENCE = (1 << SEQUENCE_BITS) - 1

_INSTANCE_SHIFT = SEQUENCE_BITS
_TIMESTAMP_SHIFT = SEQUENCE_BITS + INSTANCE_BITS

#: 2020-01-01T00:00:00Z in milliseconds since the Unix epoch.
DEFAULT_EPOCH_MS = 1_577_836_800_000


def wall_clock_ms() -> int:
    """Milliseconds since the Unix epoch, from the system clock."""
    return time.time_ns() // 1_000_000


class SnowflakeId(NamedTuple):
    """The parts of one id; ``timestamp_ms`` is absolute (ms since the Unix epoch)."""

    timestamp_ms: int
    instance: int
    sequence: int


def _require_int(name: str, value: object) -> int:
    # bool is an int subclass, but True as an instance number is a mistake, not a 1.
    if type(value) is bool or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}")
    return value


class SnowflakeGenerator:
    """An endless, thread-safe iterator of unique, strictly increasing ids."""

    def __init__(
        self,
        instance: int,
        epoch: int = DEFAULT_EPOCH_MS,
        *,
        clock: Callable[[], int] = wall_clock_ms,
    ) -> None:
        instance = _require_int("instance", instance)
        epoch = _require_int("epoch", epoch)
        if not 0 <= instance <= MAX_INSTANCE:
            raise ValueError(f"instance must be between 0 and {MAX_INSTANCE}, got {instance}")
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
        self._instance = instance
        self._epoch = epoch
        self._clock = clock
        self._lock = threading.Lock()
        self._last = -1  # timestamp of the last id, relative to the epoch
        self._sequence = 0

    @property
    def instance(self) -> int:
        return self._instance

    @property
    def epoch(self) -> int:
        return self._epoch

    def __iter__(self) -> SnowflakeGenerator:
        return self

    def __next__(self) -> int:
        with self._lock:
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
            ident = (
                (self._last << _TIMESTAMP_SHIFT)
                | (self._instance << _INSTANCE_SHIFT)
                | self._sequence
            )
            if ident == 0:
                # Only the very first millisecond of instance 0 could give 0; ids are positive.
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
        )

    def __repr__(self) -> str:
        return f"SnowflakeGenerator(instance={self._instance}, epoch={self._epoch})"
