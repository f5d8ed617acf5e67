"""Leased instance ids: one holder per instance in every store; a generator without a valid lease
refuses ids, and the next holder of an instance never reuses a timestamp of the last."""

import asyncio
import contextlib
import os
import sqlite3
import time
import uuid
import warnings
from functools import partial

import pytest

from _servers import server_url
from kelvora_core.utils.base.instance_lease import TOLERATED_CLOCK_SKEW_MS, InstanceLease, InstanceLeaseLost
from kelvora_core.utils.base.snowflake import SnowflakeGenerator, wall_clock_ms
from kelvora_core.utils.lease import store_factory_from_config
from kelvora_core.utils.lease.redis_store import RedisLeaseStore
from kelvora_core.utils.lease.table_store import TABLE_NAME, TableLeaseStore


@pytest.fixture(params=["redis", "postgresql", "sqlite"])
async def store(request, tmp_path):
    if request.param == "redis":
        prefix = f"{{test-lease-{uuid.uuid4().hex}}}"
        made = RedisLeaseStore(server_url("redis"), prefix)
        yield made
        keys = [key async for key in made._client.scan_iter(prefix + "*")]
        if keys:
            await made._client.delete(*keys)
    else:
        if request.param == "postgresql":
            url = server_url("postgresql")
        else:
            url = f"sqlite+aiosqlite:///{tmp_path / 'auth.db'}"
        made = TableLeaseStore(url)
        async with made._engine.begin() as conn:
            await conn.exec_driver_sql(f"DROP TABLE IF EXISTS {TABLE_NAME}")
        yield made
    await made.close()


async def test_each_instance_has_one_holder_and_the_next_starts_past_the_last(store):
    now, ttl = wall_clock_ms(), 60_000
    first, second = await store.acquire("a", now, ttl), await store.acquire("b", now, ttl)
    # Never leased before: an unknown holder may have used up to a lease time ahead of its clock.
    start = now + ttl + TOLERATED_CLOCK_SKEW_MS
    assert (first.instance, first.start_ms, first.horizon_ms) == (0, start, start + ttl)
    assert second.instance == 1
    assert await store.renew(0, "b", now, ttl) is None  # not b's
    assert await store.renew(0, "a", start + 5_000, ttl) == start + 5_000 + ttl
    await store.release(0, "a", start + 100)
    assert await store.renew(0, "a", now, ttl) is None
    # A holder whose clock lags starts after the last timestamp the one before it used.
    again = await store.acquire("c", now, ttl)
    assert (again.instance, again.start_ms) == (0, start + 101)
    # A crashed holder stops renewing: its instance comes free by the store's clock, and the
    # next holder starts past the horizon it might have used up to.
    crashed = await store.acquire("d", now, 200)
    assert crashed.instance == 2
    await asyncio.sleep(0.5)
    after = await store.acquire("e", now, ttl)
    assert (after.instance, after.start_ms) == (2, crashed.horizon_ms + 1)
    # Many at once: never one instance twice.
    crowd = await asyncio.gather(*(store.acquire(f"h{i}", now, ttl) for i in range(12)))
    assert sorted(grant.instance for grant in crowd) == list(range(3, 15))


class FlakyStore:
    """A table store that fails like an unreachable server while ``failing`` is set."""

    def __init__(self, url):
        self.url, self.failing = url, False

    def __call__(self):
        self.inner = TableLeaseStore(self.url)
        self.name = self.inner.name
        return self

    def __getattr__(self, operation):
        async def call(*args):
            if self.failing and operation != "close":
                raise ConnectionError("connection refused")
            return await getattr(self.inner, operation)(*args)
        return call


class Clock:
    def __init__(self):
        self.offset = 0

    def __call__(self):
        return wall_clock_ms() + self.offset


def table(database, change=None):
    """Runs ``change`` on the lease table of an SQLite file; its (instance, holder) rows."""
    with contextlib.closing(sqlite3.connect(database)) as conn, conn:
        if change:
            conn.execute(change)
        return conn.execute(f"SELECT instance, holder FROM {TABLE_NAME} ORDER BY instance").fetchall()


def eventually(attempt, seconds=5):
    """attempt() until it returns something true; the errors it raised on the way."""
    errors, deadline = [], time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if result := attempt():
                return result, errors
        except InstanceLeaseLost as exc:
            errors.append(str(exc))
        time.sleep(0.02)
    raise AssertionError(f"not within {seconds} s; errors: {errors[-3:]}")


def test_generator_refuses_ids_without_a_valid_lease_and_recovers(tmp_path):
    database = tmp_path / "auth.db"
    store, clock = FlakyStore(f"sqlite+aiosqlite:///{database}"), Clock()
    generator = SnowflakeGenerator("auto", lease=InstanceLease(store, 3, clock=clock), worker_dir=tmp_path,
                                   clock=clock)
    ids = [next(generator) for _ in range(1000)]
    assert generator.instance == 0 and {generator.parse(i).instance for i in ids} == {0}

    # Store unreachable, clock past the horizon: refused, with the reason.
    store.failing = True
    clock.offset = generator.lease.grant().horizon_ms + 1 - wall_clock_ms()
    message = eventually(lambda: _refusal(generator))[0]
    assert "lease of snowflake instance 0 ran out and could not be renewed" in message
    assert "failed: ConnectionError: connection refused" in message
    # Reachable again: the next renewal moves the horizon on.
    store.failing = False
    ids.append(eventually(lambda: next(generator))[0])

    # Taken over behind its back (as after a lease that ran out): a fresh instance, never a
    # duplicate, and the ids it refused meanwhile say why.
    table(database, f"UPDATE {TABLE_NAME} SET holder = 'intruder' WHERE instance = 0")
    def on_instance_one():
        ids.append(next(generator))
        return generator.parse(ids[-1]).instance == 1

    _, refusals = eventually(on_instance_one)
    assert all("was lost" in text for text in refusals)
    assert ids == sorted(set(ids))

    generator.release()
    with pytest.raises(InstanceLeaseLost, match="was released"):
        next(generator)
    assert table(database) == [(0, "intruder"), (1, None)]


def _refusal(generator):
    try:
        next(generator)
    except InstanceLeaseLost as exc:
        return str(exc) if "ConnectionError" in str(exc) else None
    raise AssertionError("an id past the horizon was handed out")


def test_forked_child_leases_an_instance_of_its_own(tmp_path):
    database = tmp_path / "auth.db"
    lease = InstanceLease(partial(TableLeaseStore, f"sqlite+aiosqlite:///{database}"), 3)
    generator = SnowflakeGenerator("auto", lease=lease, worker_dir=tmp_path)
    next(generator)
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with the lease thread running
        pid = os.fork()
    if pid == 0:
        try:
            os.write(write, str(generator.parse(next(generator)).instance).encode())
            generator.release()
        finally:
            os._exit(0)
    os.close(write)
    os.waitpid(pid, 0)
    with os.fdopen(read) as pipe:
        assert (generator.instance, pipe.read()) == (0, "1")
    assert generator.parse(next(generator)).instance == 0
    assert table(database) == [(0, lease.holder), (1, None)]
    generator.release()


@pytest.mark.parametrize(("redis", "store_class"), [(None, TableLeaseStore),
                                                    ("redis://127.0.0.1:6379/0", RedisLeaseStore)])
def test_leases_come_from_redis_when_configured_else_the_auth_database(saved_config, redis, store_class):
    saved_config.redis.url = redis
    assert store_factory_from_config().func is store_class
