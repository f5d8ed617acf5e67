"""Native async generators held against `async def ... yield` twins."""

import asyncio
import collections.abc
import contextlib
import gc
import inspect
import sys
import weakref

import pytest

import _coro_probe as probe

# ---- twins of the native async generators (same names, so messages match) -----


async def count(n):
    for i in range(n):
        await asyncio.sleep(0)
        yield i


async def echo(first):
    value = first
    while True:
        value = yield value


async def managed(log, value):
    log.append("enter")
    try:
        yield value
    except BaseException as e:
        log.append(("error", e))
        await asyncio.sleep(0)
        raise
    log.append("exit")


async def suppressing(log):
    try:
        yield "value"
    except Exception as e:
        log.append(("suppressed", e))


async def ignore_close():
    try:
        yield 1
    except BaseException:
        pass
    yield 2


async def raise_stop_async():
    yield 1
    raise StopAsyncIteration


async def cleaned(log):
    try:
        yield 1
        yield 2
    finally:
        await asyncio.sleep(0)
        log.append("cleaned")


twin = sys.modules[__name__]
IMPLS = pytest.mark.parametrize("m", [probe, twin], ids=["native", "python"])


def step(aw, value=None):
    try:
        return ("next", aw.send(value))
    except StopIteration as e:
        return ("stop", e.value)
    except BaseException as e:
        return ("raise", type(e), str(e), repr(e.__cause__))


def call(fn, *args):
    try:
        return ("value", fn(*args))
    except BaseException as e:
        return ("raise", type(e), str(e))


# ---- the awaitables' state rules, step by step --------------------------------------


def runs_out(m):
    a = m.count(1)
    aw = a.__anext__()
    return [step(aw), step(aw), step(aw), step(a.__anext__()), step(a.aclose()),
            step(a.athrow(ValueError("late")))]


def already_running(m):
    a = m.count(2)
    aw = a.__anext__()
    out = [step(aw)]  # suspended inside the generator's own await
    second = a.__anext__()
    out += [step(second), step(second), step(a.aclose()), step(a.athrow(ValueError())), step(aw)]
    return out + [a.ag_running, step(a.aclose())]


def just_started(m):
    a = m.echo("first")
    return [step(a.asend("x")), step(a.__anext__()), step(a.asend("sent")), step(a.asend(None))]


def closed_or_thrown_before_start(m):
    a, b, c = m.echo(1), m.echo(2), m.echo(3)
    t = c.athrow(KeyError("c"))
    return [step(a.aclose()), step(a.__anext__()), step(b.athrow(ValueError("b"))), step(b.__anext__()),
            step(t, "not None"), step(t), step(c.__anext__())]


def ignores_close(m):
    a = m.ignore_close()
    return [step(a.__anext__()), step(a.aclose()), step(a.aclose()), step(a.__anext__())]


def raises_stop_async_iteration(m):
    a = m.raise_stop_async()
    return [step(a.__anext__()), step(a.__anext__())]


def athrow_handled(m):
    log = []
    a = m.suppressing(log)
    err = ValueError("handled")
    return [step(a.__anext__()), step(a.athrow(err)), log == [("suppressed", err)]]


def awaitables_thrown_or_closed_first(m):
    a = m.echo(1)
    step(a.__anext__())
    out = []
    for make in (lambda: a.asend(None), lambda: a.athrow(ValueError()), a.aclose):
        aw = make()
        out += [call(aw.close), step(aw)]
    aw = a.__anext__()
    out += [call(aw.throw, KeyError("k")), call(aw.throw, KeyError("k")), step(a.__anext__())]
    b = m.echo(1)
    step(b.__anext__())
    aw = b.athrow(ValueError("v"))
    return out + [call(aw.throw, KeyError("k")), step(aw), step(b.athrow(1)), step(b.__anext__())]


SCENARIOS = [runs_out, already_running, just_started, closed_or_thrown_before_start, ignores_close,
             raises_stop_async_iteration, athrow_handled, awaitables_thrown_or_closed_first]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda s: s.__name__)
def test_state_rules_match_python(scenario):
    assert scenario(probe) == scenario(twin)


@IMPLS
def test_athrow_raises_the_same_object_at_the_yield(m):
    log = []
    a = m.managed(log, "v")
    assert step(a.__anext__()) == ("stop", "v")
    err = KeyError("same")
    aw = a.athrow(err)
    assert step(aw) == ("next", None)  # the generator's clean-up awaits
    with pytest.raises(KeyError) as info:
        aw.send(None)
    assert info.value is err and log == ["enter", ("error", err)]
    with pytest.warns(DeprecationWarning, match=r"signature of athrow\(\)"):
        b = m.managed([], "v")
        step(b.__anext__())
        t = b.athrow(KeyError, err, None)
    assert step(t) == ("next", None)
    with pytest.raises(KeyError) as info:
        t.send(None)
    assert info.value is err


def test_looks_like_an_async_generator():
    a = probe.echo(1)
    assert isinstance(a, collections.abc.AsyncGenerator) and a.__aiter__() is a
    assert (a.__name__, a.__qualname__) == ("echo", "echo")
    assert repr(a).startswith("<async_generator object echo at 0x")
    assert weakref.ref(a)() is a
    aw = a.__anext__()
    assert inspect.isawaitable(aw) and isinstance(aw, collections.abc.Coroutine)
    aw.close()
    c = probe.count(1)
    aw = c.__anext__()
    step(aw)
    assert c.ag_running and c.ag_await is not None
    step(aw)
    assert not c.ag_running and c.ag_await is None


@IMPLS
def test_unawaited_methods_warn(m):
    a = m.echo(1)
    with pytest.warns(RuntimeWarning, match="coroutine method 'aclose' of 'echo' was never awaited"):
        a.aclose()
        gc.collect()
    with pytest.warns(RuntimeWarning, match="coroutine method 'asend' of 'echo' was never awaited"):
        a.__anext__()
        gc.collect()


# ---- under asyncio ----------------------------------------------------------------------


async def consume(m):
    out = [i async for i in m.count(3)]
    gen = m.echo("a")
    out += [await anext(gen), await gen.asend(("t", 1)), await gen.asend(None)]
    await gen.aclose()
    return out


def test_async_for_and_asend_match_python(run):
    assert run(consume, probe) == run(consume, twin)


@IMPLS
def test_under_asynccontextmanager(run, m):
    async def scenario(body):
        log = []
        try:
            async with contextlib.asynccontextmanager(m.managed)(log, "value") as value:
                await body(value)
        except BaseException as e:
            log.append(("raised", e))
        return log

    async def fine(value):
        assert value == "value"

    err = LookupError("inside")

    async def failing(value):
        raise err

    assert run(scenario, fine) == ["enter", "exit"]
    assert run(scenario, failing) == ["enter", ("error", err), ("raised", err)]

    async def suppressed():
        log = []
        async with contextlib.asynccontextmanager(m.suppressing)(log):
            raise err
        return log

    assert run(suppressed) == [("suppressed", err)]


@IMPLS
def test_closed_early_cleans_up(run, m):
    async def main():
        log = []
        gen = m.cleaned(log)
        async for value in gen:  # noqa: B007 (the first value is kept past the loop)
            break
        await gen.aclose()
        return value, log

    before = probe.unwound()
    assert run(main) == (1, ["cleaned"])
    assert probe.unwound() - before == (1 if m is probe else 0)


@IMPLS
def test_event_loop_finalises_abandoned_generators(run, m):
    log = []

    async def abandon(keep):
        gen = m.cleaned(log)
        await anext(gen)
        if keep:
            keep.append(gen)  # still alive when the loop shuts down
        else:
            del gen  # dropped: the loop's finalizer hook closes it in a task
            for _ in range(3):
                await asyncio.sleep(0)

    run(abandon, [])
    assert log == ["cleaned"]
    run(abandon, None)
    assert log == ["cleaned", "cleaned"]


def test_dropped_without_a_loop_is_closed(frames_left):
    before = probe.unwound()
    gen = probe.count(3)
    aw = gen.__anext__()
    step(aw)
    step(aw)
    del aw, gen
    assert probe.unwound() - before == 1
    assert frames_left() == 0


# ---- a real client: FastAPI dependencies --------------------------------------------------


async def resource():
    try:
        yield {"name": "resource"}
    except BaseException:
        await asyncio.sleep(0)
        probe.events.append("closed after error")
        raise
    await asyncio.sleep(0)
    probe.events.append("closed")


async def answer():
    await asyncio.sleep(0)
    return 42


@pytest.mark.parametrize("deps", [probe, twin], ids=["native", "python"])
def test_fastapi_dependencies(run, deps, monkeypatch):
    from fastapi import Depends, FastAPI, HTTPException
    import httpx

    app = FastAPI()

    @app.get("/item")
    async def item(res=Depends(deps.resource), value=Depends(deps.answer)):
        return {"resource": res, "answer": value}

    @app.get("/fail")
    async def fail(res=Depends(deps.resource)):
        raise HTTPException(status_code=418, detail="teapot")

    async def main():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            ok, failed = await client.get("/item"), await client.get("/fail")
        return ok.status_code, ok.json(), failed.status_code

    monkeypatch.setattr(probe, "events", [])
    assert run(main) == (200, {"resource": {"name": "resource"}, "answer": 42}, 418)
    assert probe.events == ["closed", "closed after error"]


# ---- nothing grows -------------------------------------------------------------------------


def test_repeated_use_leaks_nothing(no_growth):
    sentinel = object()
    before = sys.getrefcount(sentinel)
    loop = asyncio.new_event_loop()

    async def use():
        async for _ in probe.count(2):
            pass
        gen = probe.echo(sentinel)
        assert await anext(gen) is sentinel and await gen.asend(sentinel) is sentinel
        await gen.aclose()
        log = []
        try:
            async with contextlib.asynccontextmanager(probe.managed)(log, sentinel):
                raise KeyError(sentinel)
        except KeyError:
            pass
        gen = probe.cleaned(log)
        await anext(gen)
        await gen.aclose()

    try:
        no_growth(probe, lambda: loop.run_until_complete(use()))
    finally:
        loop.close()
    assert sys.getrefcount(sentinel) == before
