import itertools
import threading

import pytest

from kelvora_core.utils.base.snowflake import (
    DEFAULT_EPOCH_MS,
    MAX_INSTANCE,
    MAX_SEQUENCE,
    MAX_TIMESTAMP,
    MAX_WORKER,
    SnowflakeGenerator,
)

EPOCH = 1_000_000
PER_MS = MAX_SEQUENCE + 1


class ScriptedClock:
    """Returns the scripted readings in order; running out is an error, never a hang."""

    def __init__(self, *segments):
        self._readings = iter([value for value, count in segments for _ in range(count)])

    def __call__(self):
        try:
            return next(self._readings)
        except StopIteration:
            raise AssertionError("clock consulted more often than the scenario allows") from None


def assert_strictly_increasing(ids):
    assert all(a < b for a, b in itertools.pairwise(ids))


def test_many_ids_are_unique_increasing_and_fit_a_signed_64_bit_column():
    generator = SnowflakeGenerator(instance=7, epoch=DEFAULT_EPOCH_MS)
    ids = list(itertools.islice(generator, 50_000))
    assert_strictly_increasing(ids)
    assert 0 < ids[0] and ids[-1] < 2**63
    assert {generator.parse(i).instance for i in ids} == {7}


def test_layout_timestamp_instance_sequence():
    clock = ScriptedClock((EPOCH + 5, 4))
    generator = SnowflakeGenerator(instance=3, epoch=EPOCH, worker=0, clock=clock)
    first, second, third = next(generator), next(generator), next(generator)
    assert first == (5 << 22) | (3 << 12)
    assert (second, third) == (first + 1, first + 2)
    parts = generator.parse(third)
    assert (parts.timestamp_ms, parts.instance, parts.sequence) == (EPOCH + 5, 3, 2)


def test_largest_id_still_fits_and_one_millisecond_later_is_an_error():
    clock = ScriptedClock((EPOCH, 1), (EPOCH + MAX_TIMESTAMP, 1))
    ident = next(SnowflakeGenerator(MAX_INSTANCE, EPOCH, worker=MAX_WORKER, clock=clock))
    assert ident == 2**63 - 1 - MAX_SEQUENCE
    clock = ScriptedClock((EPOCH, 1), (EPOCH + MAX_TIMESTAMP + 1, 1))
    generator = SnowflakeGenerator(0, EPOCH, worker=0, clock=clock)
    with pytest.raises(OverflowError, match="41 bits"):
        next(generator)


def test_generator_is_shared_safely_between_threads():
    generator = SnowflakeGenerator(instance=1)
    start = threading.Barrier(8)
    results = [[] for _ in range(8)]

    def draw(out):
        start.wait()
        out.extend(next(generator) for _ in range(5_000))

    threads = [threading.Thread(target=draw, args=(out,)) for out in results]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    everything = [i for out in results for i in out]
    assert len(set(everything)) == len(everything) == 40_000
    for out in results:
        assert_strictly_increasing(out)


def test_sequence_exhaustion_waits_for_the_next_millisecond():
    # One reading at construction, PER_MS ids in ms 10, then the generator must keep
    # asking until the clock moves on (three more readings of ms 10 before ms 11).
    clock = ScriptedClock((EPOCH + 10, 1 + PER_MS + 1 + 3), (EPOCH + 11, 1))
    generator = SnowflakeGenerator(0, EPOCH, worker=0, clock=clock)
    ids = [next(generator) for _ in range(PER_MS + 1)]
    assert_strictly_increasing(ids)
    assert [generator.parse(i).sequence for i in ids[:PER_MS]] == list(range(PER_MS))
    last = generator.parse(ids[-1])
    assert (last.timestamp_ms, last.sequence) == (EPOCH + 11, 0)
    with pytest.raises(AssertionError, match="more often"):
        clock()


def test_backwards_clock_never_repeats_or_decreases():
    # After ms 100 the clock falls back to ms 40 and stays there: the generator must
    # neither wait for it nor reuse earlier ids, across two sequence exhaustions.
    count = 3 * PER_MS
    clock = ScriptedClock((EPOCH + 100, 2), (EPOCH + 40, count + 1))
    generator = SnowflakeGenerator(5, EPOCH, worker=0, clock=clock)
    ids = [next(generator) for _ in range(count)]
    assert_strictly_increasing(ids)
    stamps = [generator.parse(i).timestamp_ms - EPOCH for i in ids]
    assert stamps[0] == 100 and stamps[-1] == 102
    assert stamps.count(100) == stamps.count(101) == PER_MS


@pytest.mark.parametrize(
    ("arguments", "error", "match"),
    [
        ({"instance": -1}, ValueError, "between 0 and 1023, got -1"),
        ({"instance": "1"}, TypeError, "instance must be an integer, got str"),
        ({"instance": True}, TypeError, "instance must be an integer, got bool"),
        ({"instance": 1, "epoch": 10**15}, ValueError, "epoch 1000000000000000 lies in the future"),
        ({"instance": 1, "epoch": -(2**41)}, ValueError, "too long ago"),
        ({"instance": 1, "epoch": "2020-01-01"}, TypeError, "epoch must be an integer, got str"),
    ],
)
def test_bad_arguments(arguments, error, match):
    with pytest.raises(error, match=match):
        SnowflakeGenerator(**arguments)
