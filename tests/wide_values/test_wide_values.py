"""Values past 32 bits, past a double's 53-bit mantissa and texts far past any inline buffer,
through the native modules. On armhf `long` and `size_t` are 32 bits wide: a conversion that
narrows there loses ids, counts or text without a sign on x86-64."""

import asyncio

import pytest

import _coro_probe as coro_probe
import _text_probe as text_probe
from kelvora_core.auth.gatepost import Gatepost
from kelvora_core.utils import minter
from kelvora_core.utils.base.snowflake import (DEFAULT_EPOCH_MS, MAX_INSTANCE, MAX_TIMESTAMP, MAX_WORKER,
                                               SnowflakeGenerator, SnowflakeId)

WIDE_IDS = [2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**32 + 1, 2**53, 2**53 + 1, 2**63 - 1, 2**64 + 1]


@pytest.fixture
def ids(monkeypatch):
    """Points the module's single instance at the given ids."""
    def use(values):
        monkeypatch.setattr(minter.minter_util, "generator", iter(values))
    return use


def test_wide_ids_round_trip_through_minter(ids):
    ids(WIDE_IDS)
    assert [minter.minter_util.generate_id() for _ in WIDE_IDS[:3]] == WIDE_IDS[:3]
    rest = WIDE_IDS[3:]
    got = [minter.get_primary_id() if i % 2 else int(minter.get_primary_str()) for i in range(len(rest))]
    assert got == rest
    ids(WIDE_IDS)
    assert [minter.get_primary_str() for _ in WIDE_IDS] == [str(i) for i in WIDE_IDS]


def test_late_snowflake_ids_keep_every_bit(ids):
    # The last millisecond the layout holds, the highest instance and worker: ids just under 2**63.
    last = DEFAULT_EPOCH_MS + MAX_TIMESTAMP
    generator = SnowflakeGenerator(MAX_INSTANCE, DEFAULT_EPOCH_MS, worker=MAX_WORKER, clock=lambda: last)
    ids(generator)
    first, second = minter.get_primary_id(), int(minter.get_primary_str())
    assert 2**62 < first < second < 2**63
    assert [generator.parse(i) for i in (first, second)] == [
        SnowflakeId(timestamp_ms=last, instance=MAX_INSTANCE, sequence=seq, worker=MAX_WORKER) for seq in (0, 1)]


@pytest.mark.parametrize("n", [2**31, 2**40, 2**63 - 1])
def test_large_counts_reach_native_code_whole(n):
    async def first_three():
        gen = coro_probe.count(n)
        got = [await anext(gen) for _ in range(3)]
        await gen.aclose()
        return got

    assert asyncio.run(first_three()) == [0, 1, 2]


@pytest.mark.parametrize("piece", ["aBc_", "ÄßÉ_", "ΣİЖ_", "𐐀𝔘😀_"], ids=["ascii", "latin1", "ucs2", "ucs4"])
def test_long_texts(piece):
    text = piece * 50_000  # past 2**16 code points and any inline buffer
    for via in (None, False, True):
        assert text_probe.lower(text, via) == text.lower()
        assert text_probe.upper(text, via) == text.upper()
    template = f"/{text}/{{id:int}}/{text}{{name}}"
    expected = f"/{text}/(?P<id>[^/]+)/{text}(?P<name>[^/]+)$"
    assert Gatepost.convert_path_to_regex(template).pattern == expected
