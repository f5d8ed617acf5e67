"""Process-wide ids: the single instance, its generator and the two shortcuts."""

import inspect
import threading
import time
import types

import pytest

from kelvora_core.utils import minter
from kelvora_core.utils.base.snowflake import SnowflakeGenerator
from kelvora_core.utils.minter import MinterUtil, get_primary_id, get_primary_str


def fresh_class():
    """A subclass with its own single-instance slot, so construction can be observed again."""
    return type("FreshMinter", (MinterUtil,), {"_instance": None, "_lock": threading.Lock()})


class CountingConfig:
    def __init__(self, instance_id=3, epoch_time=1_600_000_000_000, trail=None):
        self.reads = trail if trail is not None else []
        self._section = types.SimpleNamespace(instance_id=instance_id, epoch_time=epoch_time)

    @property
    def generate_snowflake(self):
        outer = self

        class Section:
            def __getattr__(self, name):
                outer.reads.append(name)
                return getattr(outer._section, name)

        return Section()


def test_module_instance_and_shortcuts(monkeypatch):
    assert MinterUtil() is MinterUtil() is minter.minter_util
    assert isinstance(minter.minter_util.generator, SnowflakeGenerator)
    first, second = get_primary_id(), get_primary_id()
    assert type(first) is int and second > first
    text = get_primary_str()
    assert text.isdigit() and not text.startswith("0") and int(text) > second
    # The shortcuts look up the module's names at call time.
    monkeypatch.setattr(minter, "minter_util", types.SimpleNamespace(generate_id=lambda: 99))
    assert get_primary_id() == 99 and get_primary_str() == "99"
    monkeypatch.setattr(minter, "get_primary_id", lambda: 1234567890123456789)
    assert get_primary_str() == "1234567890123456789"  # the digits of the id
    monkeypatch.setattr(minter, "get_primary_id", lambda: None)
    assert get_primary_str() == "None"


def test_construction_reads_config_once_in_order(monkeypatch):
    trail = []
    calls = []

    def generator(**kwargs):
        calls.append(kwargs)
        return iter([7, 8])

    monkeypatch.setattr(minter, "SnowflakeGenerator", generator)
    monkeypatch.setattr(minter, "AppConfig", CountingConfig(trail=trail))
    Fresh = fresh_class()
    a, b = Fresh(), Fresh()
    assert a is b and type(a) is Fresh and Fresh._instance is a
    assert calls == [{"instance": 3, "epoch": 1_600_000_000_000}]
    assert trail == ["instance_id", "epoch_time"]
    assert a.generate_id() == 7 and a.generate_id() == 8
    with pytest.raises(StopIteration):
        a.generate_id()
    with pytest.raises(TypeError, match="takes no arguments|MinterUtil|object.__new__"):
        fresh_class()(1)


def test_concurrent_first_construction_makes_one_instance(monkeypatch):
    loads = []
    Fresh = fresh_class()

    def slow_load(self):
        loads.append(self)
        time.sleep(0.05)  # widen the window for a second creator
        self.generator = iter(range(10))

    Fresh.__load__ = slow_load
    results = []
    start = threading.Barrier(8)

    def worker():
        start.wait()
        results.append(Fresh())

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(loads) == 1 and all(r is loads[0] for r in results) and len(results) == 8
    assert not Fresh._lock.locked()


def test_failed_load_keeps_the_bare_instance(monkeypatch):
    monkeypatch.setattr(minter, "AppConfig", types.SimpleNamespace())
    Fresh = fresh_class()
    with pytest.raises(AttributeError, match="generate_snowflake"):
        Fresh()
    assert isinstance(Fresh._instance, Fresh) and not hasattr(Fresh._instance, "generator")
    assert not Fresh._lock.locked()
    assert Fresh() is Fresh._instance  # no second attempt: the instance exists
    with pytest.raises(AttributeError, match="generator"):
        Fresh._instance.generate_id()


def test_generator_errors_propagate(monkeypatch):
    def refuse(**kwargs):
        raise ValueError("instance out of range")

    monkeypatch.setattr(minter, "SnowflakeGenerator", refuse)
    with pytest.raises(ValueError, match="instance out of range"):
        fresh_class()()


@pytest.mark.parametrize("value,name", [(True, "bool"), ("12", "str"), (1.0, "float"),
                                        (type("Big", (int,), {})(5), "Big"), ("not an iterator", None)])
def test_only_exact_int_or_none_is_returned(monkeypatch, value, name):
    util = object.__new__(fresh_class())
    if name is None:
        util.generator = [1, 2]
        with pytest.raises(TypeError, match="'list' object is not an iterator"):
            util.generate_id()
        return
    util.generator = iter([value, None])
    with pytest.raises(TypeError, match=f"Expected int, got {name}"):
        util.generate_id()
    assert util.generate_id() is None
    monkeypatch.setattr(minter, "minter_util", types.SimpleNamespace(generate_id=lambda: value))
    with pytest.raises(TypeError, match=f"Expected int, got {name}"):
        get_primary_id()


def test_surface():
    assert isinstance(MinterUtil.__dict__["__new__"], staticmethod)
    assert str(inspect.signature(MinterUtil.__new__)) == "(cls, *args, **kwargs)"
    assert MinterUtil.generate_id.__annotations__ == {"return": "Optional[int]"}
    assert get_primary_id.__annotations__ == {"return": "Optional[int]"}
    assert get_primary_str.__annotations__ == {"return": "Optional[str]"}
    assert MinterUtil.__bases__ == (object,) and "__init__" not in MinterUtil.__dict__
    assert type(MinterUtil._lock) is type(threading.Lock())
    for name in ("Lock", "Optional", "SnowflakeGenerator", "AppConfig"):
        assert hasattr(minter, name)
    assert not inspect.iscoroutinefunction(get_primary_id)
