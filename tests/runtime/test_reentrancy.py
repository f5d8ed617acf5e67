"""Python code run in the middle of a step reaching the same coroutine or async generator.

Every place where a step runs Python code (the awaited object's methods and attribute
lookups, `__await__`, an exception's constructor, `__del__` of what a step releases) is
given code that resumes, throws into or closes the object again. Native objects must
end as the interpreter's own do, never on a freed frame.
"""

import gc
import sys
import tracemalloc
import types

import pytest

import _coro_probe as probe

# ---- twins ---------------------------------------------------------------------------


async def await_it(aw):
    return await aw


async def relay(aw):
    value = await aw
    yield value


async def recover(make):
    try:
        yield None
    except BaseException:
        pass
    value = await make()
    yield value


async def echo(first):
    value = first
    while True:
        value = yield value


twin = sys.modules[__name__]
IMPLS = pytest.mark.parametrize("m", [probe, twin], ids=["native", "python"])


def outcome(step):
    try:
        return ("value", step())
    except StopIteration as e:
        return ("stop", e.value)
    except BaseException as e:  # noqa: BLE001 - the outcome is what is compared
        return ("raised", type(e).__name__)


def hostile_iterator(on_throw=None, on_close=None):
    """An await iterator yielding None whose throw/close lookups run `on_*` first."""
    namespace = {"__iter__": lambda s: s, "__next__": lambda s: None}
    if on_throw:
        namespace["throw"] = property(lambda s: (on_throw(), lambda *a: 1 / 0)[1])
    if on_close:
        namespace["close"] = lambda s: on_close()
    it = type("It", (), namespace)()
    return type("Aw", (), {"__await__": lambda s: it})()


# ---- throw() into an awaited object whose lookup re-enters ---------------------------


@IMPLS
@pytest.mark.parametrize("action", ["close", "send"])
def test_throw_lookup_reenters_coroutine(m, action):
    def reenter():
        outcome(getattr(c, action) if action == "close" else lambda: c.send(None))

    c = m.await_it(hostile_iterator(on_throw=reenter))
    assert c.send(None) is None
    expected = {"close": ("raised", "RuntimeError"), "send": ("raised", "ZeroDivisionError")}
    assert outcome(lambda: c.throw(ValueError)) == expected[action]
    assert outcome(lambda: c.send(None)) == ("raised", "RuntimeError")


def test_throw_lookup_closing_keeps_outcome_as_context():
    c = probe.await_it(hostile_iterator(on_throw=lambda: c.close()))
    c.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine") as info:
        c.throw(ValueError)
    assert isinstance(info.value.__context__, ZeroDivisionError)


@IMPLS
def test_asend_throw_lookup_closes_generator(m):
    g = m.relay(hostile_iterator(on_throw=lambda: aw.close()))
    aw = g.asend(None)
    assert aw.send(None) is None
    assert outcome(lambda: aw.throw(ValueError)) == ("raised", "ZeroDivisionError")
    assert outcome(lambda: g.asend(None).send(None)) == ("raised", "StopAsyncIteration")


@IMPLS
def test_athrow_lookup_closes_generator(m):
    g = m.recover(lambda: hostile_iterator(on_throw=lambda: t.close()))
    assert outcome(lambda: g.__anext__().send(None)) == ("stop", None)
    t = g.athrow(KeyError)
    assert t.send(None) is None  # caught at the yield, now awaiting the iterator
    assert outcome(lambda: t.throw(ValueError)) == ("raised", "ZeroDivisionError")
    assert outcome(lambda: g.asend(None).send(None)) == ("raised", "StopAsyncIteration")


# ---- close() of an awaited object that re-enters -------------------------------------


@IMPLS
@pytest.mark.parametrize("action", ["close", "send", "throw"])
def test_awaited_close_reenters(m, action):
    seen = []

    def reenter():
        call = {"close": c.close, "send": lambda: c.send(None),
                "throw": lambda: c.throw(KeyError)}[action]
        seen.append(outcome(call))

    c = m.await_it(hostile_iterator(on_close=reenter))
    c.send(None)
    result = outcome(c.close)
    assert seen == [("raised", "ValueError")]  # "coroutine already executing"
    assert result == ("value", None)
    assert outcome(lambda: c.send(None)) == ("raised", "RuntimeError")


@IMPLS
def test_await_protocol_reenters(m):
    class Aw:
        def __await__(self):
            seen.append(outcome(c.close))
            return iter(())

    seen = []
    c = m.await_it(Aw())
    assert outcome(lambda: c.send(None)) == ("stop", None)
    assert seen == [("raised", "ValueError")]


@IMPLS
def test_released_awaited_object_del_reenters(m):
    class It:
        def __iter__(self):
            return self

        def __next__(self):
            raise StopIteration("done")

        def __del__(self):
            seen.append(outcome(lambda: c.send(None)))

    seen = []
    c = m.await_it(type("Aw", (), {"__await__": lambda s: It()})())
    assert outcome(lambda: c.send(None)) == ("stop", "done")
    gc.collect()
    assert seen == [("raised", "ValueError")]


# ---- an exception's constructor re-enters throw() -------------------------------------


@pytest.mark.parametrize("action", ["close", "send"])
def test_exception_constructor_reenters(action):
    class Boom(Exception):
        def __init__(self):
            super().__init__()
            outcome(c.close if action == "close" else lambda: c.send(None))

    bare = type("It", (), {"__iter__": lambda s: s, "__next__": lambda s: None})()
    c = probe.await_it(type("Aw", (), {"__await__": lambda s: bare})())
    c.send(None)
    expected = {"close": ("raised", "RuntimeError"), "send": ("raised", "Boom")}
    assert outcome(lambda: c.throw(Boom)) == expected[action]
    assert not c.cr_suspended and c.cr_await is None


# ---- never started: the frame goes before __del__ of an argument runs ----------------


@pytest.mark.parametrize("finish", ["close", "throw"])
def test_never_started_coroutine_argument_del_resumes(finish):
    class Evil:
        def __del__(self):
            seen.append(outcome(lambda: c.send(None)))

    seen = []
    c = probe.await_it(Evil())
    outcome(c.close if finish == "close" else lambda: c.throw(ValueError))
    assert seen == [("raised", "RuntimeError")]
    assert outcome(lambda: c.send(None)) == ("raised", "RuntimeError")


@pytest.mark.parametrize("finish", ["aclose", "athrow"])
def test_never_started_generator_argument_del_resumes(finish):
    class Evil:
        def __del__(self):
            seen.append(outcome(lambda: g.asend(None).send(None)))

    seen = []
    g = probe.echo(Evil())
    aw = g.aclose() if finish == "aclose" else g.athrow(ValueError)
    outcome(lambda: aw.send(None))
    assert seen == [("raised", "RuntimeError")]  # the generator is still being closed
    assert outcome(lambda: g.asend(None).send(None)) == ("raised", "StopAsyncIteration")


# ---- the traceback entries' code objects are bounded --------------------------------


def test_traceback_code_objects_bounded():
    async def fail():
        raise ValueError

    def round(names):
        for name in names:
            c = probe.await_it(fail())
            c.__qualname__ = name
            with pytest.raises(ValueError):
                c.send(None)

    # As no_growth does: an unbounded cache grows in every batch, a bounded one
    # stops growing once the interpreter's own tables have settled.
    grown = []
    tracemalloc.start()
    try:
        for batch in range(3):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            round([f"name_{batch}_{i}" for i in range(3000)])
            gc.collect()
            grown.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    assert min(grown) < 3000 * 16, grown


# ---- through the application module, as the reproducers ---------------------


def test_conduit_close_all_reentrant():
    from kelvora_core.services.conduit import AsyncConduit

    def fake(async_close):
        return types.SimpleNamespace(_session_factories={}, _loaded_sources=set(),
                                     _database_engine=types.SimpleNamespace(async_close=async_close))

    c = AsyncConduit.close_all(fake(lambda: hostile_iterator(on_throw=lambda: c.close())))
    c.send(None)
    with pytest.raises(RuntimeError):
        c.throw(ValueError)

    class Evil:
        def __del__(self):
            seen.append(outcome(lambda: c.send(None)))

    seen = []
    c = AsyncConduit.close_all(Evil())
    c.close()
    assert seen == [("raised", "RuntimeError")]
