"""Native coroutines held against `async def` twins doing the same thing."""

import asyncio
import collections.abc
import gc
import inspect
import sys
import threading
import traceback
import types
import warnings
import weakref

import pytest

import _coro_probe as probe

# ---- twins of the native coroutines (same names, so messages match) ----------


async def await_it(aw):
    return await aw


async def await_all(*aws):
    return [await aw for aw in aws]


async def give(value):
    return value


async def nest(n, leaf):
    return await leaf if n == 0 else await nest(n - 1, leaf)


async def cleanup_and_reraise(work, cleanup):
    try:
        return await work()
    except BaseException:
        await cleanup()
        raise


async def with_finally(work, cleanup):
    try:
        return await work()
    finally:
        await cleanup()


async def within(cm, work):
    async with cm as value:
        return await work(value)


async def replace_error(work):
    try:
        await work()
    except BaseException:
        await asyncio.sleep(0)
        raise ValueError("replaced")  # noqa: B904 (the twin of a native body: context, no cause)


async def raise_stop_iteration():
    raise StopIteration("leaked")


async def call_now(fn):
    return fn()


async def ignore_exit(aw):
    try:
        await aw
    except BaseException:
        pass
    await asyncio.sleep(0)


async def return_on_exit(aw):
    try:
        await aw
    except GeneratorExit:
        return "closed"


twin = sys.modules[__name__]
IMPLS = pytest.mark.parametrize("m", [probe, twin], ids=["native", "python"])


# ---- awaitables driven by hand ------------------------------------------------


class Pause:
    """Yields `out` once, then returns whatever is sent in."""

    def __init__(self, out="paused"):
        self.out = out

    def __await__(self):
        return (yield self.out)


class Catcher:
    """Yields; an exception thrown in is yielded back instead of raised."""

    def __await__(self):
        try:
            yield "waiting"
        except Exception as e:
            yield ("caught", e)


class Echo:
    """Yields back every value sent in."""

    def __await__(self):
        value = yield "ready"
        while True:
            value = yield value


class Spin:
    """Yields None (reschedule) until something is thrown in, and records it."""

    def __init__(self):
        self.thrown = []

    def __await__(self):
        while True:
            try:
                yield
            except BaseException as e:
                self.thrown.append(e)
                raise


class Recording:
    """An await iterator that keeps yielding and records throw() and close()."""

    def __init__(self):
        self.calls = []

    def __await__(self):
        return self

    def __next__(self):
        return "waiting"

    def send(self, value):
        return "waiting"

    def throw(self, *args):
        self.calls.append(("throw",) + tuple(map(repr, args)))
        raise args[0]

    def close(self):
        self.calls.append("close")


def outcome(fn, *args):
    try:
        return ("value", fn(*args))
    except StopIteration as e:
        return ("stop", e.value)
    except BaseException as e:
        return ("raise", type(e), str(e), repr(e.__cause__))


# ---- the protocol, step by step ------------------------------------------------


def just_started(m):
    c = m.await_it(Pause())
    return [outcome(c.send, 1), outcome(c.send, None), outcome(c.close)]


def finished(m):
    c = m.give(5)
    return [outcome(c.send, None), outcome(c.send, None), outcome(c.throw, ValueError()), outcome(c.close)]


def throw_into_created(m):
    a, b = m.give(1), m.give(2)
    return [outcome(a.throw, KeyError("k")), outcome(a.send, None), outcome(b.throw, StopIteration(3))]


def bad_throws(m):
    c = m.await_it(Pause())
    c.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        out = [outcome(c.throw, 1), outcome(c.throw, ValueError(), 1), outcome(c.throw, ValueError, None, 1)]
    return out + [outcome(c.close)]


def throw_reaches_awaited(m):
    c = m.await_it(Catcher())
    c.send(None)
    return [outcome(lambda: repr(c.throw(ValueError("x")))), outcome(c.close)]


def awaited_object_sees_throw_and_close(m):
    r = Recording()
    c = m.await_it(r)
    c.send(None)
    out = [outcome(c.throw, KeyError("k"))]
    d = m.await_it(r)
    d.send(None)
    d.close()
    e = m.await_it(r)
    e.send(None)
    return out + [outcome(e.throw, GeneratorExit), r.calls]


async def fail_first():
    raise KeyError("first")


def thrown_while_handling(m):
    c = m.cleanup_and_reraise(fail_first, Pause)  # suspended in the clean-up
    out = [outcome(c.send, None)]
    try:
        c.throw(ValueError("second"))
    except ValueError as e:
        out.append(repr(e.__context__))
    return out


def close_returns(m):
    c = m.return_on_exit(Pause())
    return [outcome(c.send, None), outcome(c.close), outcome(c.send, None)]


def close_ignored(m):
    c = m.ignore_exit(Pause())
    return [outcome(c.send, None), outcome(c.close), outcome(c.close)]


def stop_iteration_escapes(m):
    return [outcome(m.raise_stop_iteration().send, None)]


def reentry(m):
    c = m.call_now(lambda: c.send(None))
    return [outcome(c.send, None)]


def awaited_twice(m):
    out = []
    for inner_impl in (probe, twin):
        inner = inner_impl.await_it(Pause())
        first, second = m.await_it(inner), m.await_it(inner)
        out += [outcome(first.send, None), outcome(second.send, None), outcome(first.close)]
    return out


class ReturnsNumber:
    def __await__(self):
        return 5


def not_awaitable(m):
    inner = m.give(1)

    class ReturnsCoroutine:
        def __await__(self):
            return inner

    out = [outcome(m.await_it(x).send, None) for x in (1, ReturnsNumber(), ReturnsCoroutine())]
    inner.close()
    return out


def await_iterator(m):
    w = m.give((1, 2)).__await__()
    return [w.__iter__() is w, outcome(next, w), outcome(next, w), outcome(w.close)]


SCENARIOS = [just_started, finished, throw_into_created, bad_throws, throw_reaches_awaited,
             awaited_object_sees_throw_and_close, thrown_while_handling, close_returns, close_ignored,
             stop_iteration_escapes, reentry, awaited_twice, not_awaitable, await_iterator]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda s: s.__name__)
def test_protocol_matches_python(scenario):
    assert scenario(probe) == scenario(twin)


@IMPLS
def test_three_argument_throw_is_deprecated_but_works(m):
    c = m.await_it(Pause())
    c.send(None)
    err = KeyError("same")
    with pytest.warns(DeprecationWarning, match="signature of throw"):
        with pytest.raises(KeyError) as info:
            c.throw(KeyError, err, None)
    assert info.value is err


def test_looks_like_a_coroutine():
    c = probe.await_it(Pause())
    assert isinstance(c, collections.abc.Coroutine) and asyncio.iscoroutine(c)
    assert inspect.isawaitable(c)
    assert (c.__name__, c.__qualname__) == ("await_it", "await_it")
    assert repr(c).startswith("<coroutine object await_it at 0x")
    assert weakref.ref(c)() is c
    assert (c.cr_running, c.cr_suspended, c.cr_await) == (False, False, None)
    c.send(None)
    assert c.cr_suspended and type(c.cr_await).__name__ == "generator"
    c.__qualname__ = "Renamed.await_it"
    assert "Renamed.await_it" in repr(c)
    with pytest.raises(TypeError, match="__name__ must be set to a string"):
        c.__name__ = 1
    c.close()
    assert (c.cr_suspended, c.cr_await) == (False, None)


@pytest.mark.parametrize("value", [(1, 2), (), ValueError("v"), StopIteration(3), None, "x"])
def test_return_values_travel_in_stop_iteration(value):
    for c in (probe.give(value), probe.await_it(probe.await_it(probe.give(value)))):
        with pytest.raises(StopIteration) as info:
            c.send(None)
        assert info.value.value is value


def test_values_sent_in_keep_their_references():
    c = probe.await_it(Echo())
    assert c.send(None) == "ready"
    sentinel = object()
    before = sys.getrefcount(sentinel)
    for _ in range(1000):
        assert c.send(sentinel) is sentinel
    assert sys.getrefcount(sentinel) == before + 1  # held by Echo's frame, once
    c.close()
    assert sys.getrefcount(sentinel) == before


# ---- under asyncio, with both task implementations -------------------------------


async def everyday_use(m):
    a = await m.await_it(asyncio.sleep(0, "a"))
    b = await asyncio.create_task(m.give(("b", 1)))
    c = await asyncio.gather(m.nest(5, asyncio.sleep(0, "c")), m.give(None),
                             m.await_all(m.give(1), asyncio.sleep(0, 2), m.give((3,))))
    async with asyncio.timeout(10):
        d = await m.await_it(m.await_it(asyncio.sleep(0, "d")))
    return a, b, c, d


def test_asyncio_drives_them_like_python(run):
    assert run(everyday_use, probe) == run(everyday_use, twin)
    assert run(probe.give, 7) == 7  # the runner's own task
    assert run(probe.composed, asyncio.sleep(0, "x")) == ("outer", ("inner", "x"))


@pytest.mark.parametrize("lend", [probe.lend, probe.lend_by_reference])
def test_a_helper_given_a_bodys_arguments_borrows_them(run, lend):
    class Marker:
        pass

    held, helper_visits = [], []

    class Collect:
        def __await__(self):
            yield  # suspended inside the helper
            gc.collect()  # the arguments are visited once, where they are owned
            marker = held[1]()
            helpers = [c for c in gc.get_referents(held[0]) if type(c) is type(held[0])]
            helper_visits.append(sum(r is marker for c in helpers for r in gc.get_referents(c)))
            return "awaited"

    async def main():
        value = Marker()
        alive = weakref.ref(value)
        lending = lend(Collect(), value)
        held.extend([lending, alive])
        del value  # the body's frame is its only owner now
        result = await lending
        return result, alive()

    (value, awaited), alive = run(main)
    assert awaited == "awaited" and alive is not None and value is alive
    assert helper_visits == [0]


def test_cancellation_reaches_the_innermost_await_and_unwinds(run):
    async def main():
        spin = Spin()
        task = asyncio.create_task(probe.guarded(probe.nest(20, probe.guarded(spin))))
        await asyncio.sleep(0)
        before = probe.unwound()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return [type(e) for e in spin.thrown], probe.unwound() - before

    assert run(main) == ([asyncio.CancelledError], 2)


def test_timeout_cancels_a_native_await(run):
    async def main():
        loop = asyncio.get_running_loop()
        before = probe.unwound()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout_at(loop.time()):
                await probe.guarded(loop.create_future())
        return probe.unwound() - before

    assert run(main) == 1


@IMPLS
def test_catch_await_cleanup_reraise_keeps_the_exception(run, m):
    err = KeyError("boom")
    seen = []

    async def work():
        await asyncio.sleep(0)
        raise err

    async def cleanup():
        await asyncio.sleep(0)
        seen.append(sys.exception())  # handled while the clean-up runs

    with pytest.raises(KeyError) as info:
        run(m.cleanup_and_reraise, work, cleanup)
    assert info.value is err and seen == [err]

    async def fine():
        return "ok"

    assert run(m.cleanup_and_reraise, fine, cleanup) == "ok" and seen == [err]


@IMPLS
def test_finally_runs_on_both_paths(run, m):
    log = []

    async def cleanup():
        await asyncio.sleep(0)
        log.append("cleanup")

    async def fine():
        return (1, 2)

    async def failing():
        raise err

    err = OSError("disk")
    assert run(m.with_finally, fine, cleanup) == (1, 2)
    with pytest.raises(OSError) as info:
        run(m.with_finally, failing, cleanup)
    assert info.value is err and log == ["cleanup", "cleanup"]


class Scope:
    """An async context manager recording what `__aexit__` received."""

    def __init__(self, suppress=False):
        self.suppress, self.exits = suppress, []

    async def __aenter__(self):
        await asyncio.sleep(0)
        return "resource"

    async def __aexit__(self, *exc_info):
        await asyncio.sleep(0)
        self.exits.append(exc_info)
        return self.suppress


@IMPLS
def test_async_with_passes_the_exception_to_aexit(run, m):
    async def use(value):
        return value.upper()

    async def failing(value):
        raise err

    err = LookupError("gone")
    fine = Scope()
    assert run(m.within, fine, use) == "RESOURCE" and fine.exits == [(None, None, None)]
    plain = Scope()
    with pytest.raises(LookupError) as info:
        run(m.within, plain, failing)
    ((kind, value, tb),) = plain.exits
    assert info.value is err and kind is LookupError and value is err
    assert type(tb).__name__ == "traceback" and tb.tb_frame.f_code.co_name in ("within", "failing")
    swallowing = Scope(suppress=True)
    assert run(m.within, swallowing, failing) is None and swallowing.exits[0][1] is err


@IMPLS
def test_errors_raised_while_handling_get_the_context(run, m):
    err = KeyError("first")

    async def failing():
        raise err

    async def cleanup_fails():
        raise RuntimeError("second")

    with pytest.raises(ValueError) as info:
        run(m.replace_error, failing)
    assert info.value.__context__ is err
    with pytest.raises(RuntimeError) as info:
        run(m.cleanup_and_reraise, failing, cleanup_fails)
    assert info.value.__context__ is err
    assert sys.exception() is None  # nothing leaks out of the coroutine


def test_a_handled_exception_stays_with_its_coroutine(run):
    seen = []

    async def failing():
        raise KeyError("a's own")

    async def cleanup():
        await asyncio.sleep(0)  # the other task runs now
        await asyncio.sleep(0)

    async def other():
        await asyncio.sleep(0)
        seen.append(sys.exception())

    async def main():
        try:
            raise OSError("main's own")
        except OSError as handled:
            results = await asyncio.gather(probe.cleanup_and_reraise(failing, cleanup), other(),
                                           return_exceptions=True)
            seen.append(sys.exception() is handled)
        return [type(r) for r in results]

    assert run(main) == [KeyError, type(None)]
    assert seen == [None, True]


def test_native_frames_appear_in_tracebacks(run):
    with pytest.raises(RuntimeError) as info:
        run(probe.raise_stop_iteration)
    entries = traceback.extract_tb(info.value.__traceback__)
    assert any(e.name == "raise_stop_iteration" and e.filename.endswith("_coro_probe.cpp") for e in entries)


@pytest.mark.parametrize("name,marker", [("await_fails", "await"), ("cleanup_and_reraise", "caught")])
def test_an_await_that_raises_names_its_own_line(name, marker, run, marked_line):
    """The co_await's line, not that of a name used before it nor of a later re-raise."""
    async def failing():
        await asyncio.sleep(0)
        raise KeyError("late")

    async def cleanup():
        await asyncio.sleep(0)

    args = (types.SimpleNamespace(before=lambda: 1), failing()) if name == "await_fails" else (failing, cleanup)
    with pytest.raises(KeyError) as info:
        run(getattr(probe, name), *args)
    native = [e for e in traceback.extract_tb(info.value.__traceback__) if e.name == name]
    assert [e.lineno for e in native] == [marked_line(native[0].filename, marker)]


def test_a_body_running_off_its_end_is_an_error(run):
    assert run(probe.runs_off, True) is None
    with pytest.raises(SystemError, match="'runs_off' ended without co_return"):
        run(probe.runs_off, False)


def test_deep_chains_resume_and_too_deep_ones_fail_cleanly(run, frames_left):
    async def deep(n):
        return await probe.nest(n, Pause(None))  # yields None: the task reschedules it

    assert run(deep, 1000) is None
    with pytest.raises(RecursionError):
        run(deep, 100_000)
    assert frames_left() == 0
    assert run(deep, 10) is None

    # A thread with a small stack runs out of stack before the recursion limit.
    results = []
    previous = threading.stack_size(512 * 1024)
    try:
        worker = threading.Thread(target=lambda: results.append(outcome(run, deep, 9000)[:2]))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert results == [("raise", RecursionError)]
    assert frames_left() == 0


# ---- finalisation and the garbage collector ---------------------------------------


def test_never_awaited_warns():
    with pytest.warns(RuntimeWarning, match="coroutine 'give' was never awaited"):
        probe.give(1)
        gc.collect()
    probe.give(1).close()  # closed unstarted: no warning


def test_dropped_while_suspended_is_closed(frames_left):
    log = []

    async def cleanup():
        log.append(sys.exception())

    before = probe.unwound()
    c = probe.guarded(Pause())
    c.send(None)
    del c
    d = probe.cleanup_and_reraise(Pause, cleanup)
    d.send(None)
    del d
    assert probe.unwound() - before == 2
    assert [type(e) for e in log] == [GeneratorExit]
    assert frames_left() == 0


def test_cycles_through_awaited_objects_and_arguments_are_collected(frames_left):
    class Holder:
        def __await__(self):
            yield

    through_await, through_args = Holder(), Holder()
    c = probe.guarded(through_await)
    c.send(None)
    through_await.coroutine = c
    d = probe.await_all(Pause(), through_args)  # through_args only reachable via the arguments
    d.send(None)
    through_args.coroutine = d
    refs = [weakref.ref(c), weakref.ref(d)]
    del c, d, through_await, through_args
    gc.collect()
    assert [r() for r in refs] == [None, None]
    assert frames_left() == 0


# ---- nothing grows ---------------------------------------------------------------


def drive(c, *sends):
    try:
        for value in sends:
            c.send(value)
    except StopIteration as e:
        return e.value


def test_repeated_use_leaks_nothing(no_growth):
    sentinel = object()
    before = sys.getrefcount(sentinel)

    async def fails():
        raise KeyError(sentinel)

    async def nothing():
        pass

    def scenario():
        assert drive(probe.nest(3, probe.give(sentinel)), None) is sentinel
        c = probe.await_it(Echo())
        drive(c, None, sentinel, sentinel)
        c.close()
        c = probe.guarded(Catcher())
        c.send(None)
        c.throw(ValueError(sentinel))
        c.close()
        try:
            drive(probe.cleanup_and_reraise(fails, nothing), None)
        except KeyError:
            pass
        probe.give(sentinel).close()

    no_growth(probe, scenario)
    assert sys.getrefcount(sentinel) == before


def test_repeated_asyncio_use_leaks_nothing(no_growth):
    loop = asyncio.new_event_loop()

    async def cancelled():
        task = asyncio.create_task(probe.guarded(asyncio.sleep(10)))
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass

    def scenario():
        loop.run_until_complete(everyday_use(probe))
        loop.run_until_complete(cancelled())

    try:
        no_growth(probe, scenario)
    finally:
        loop.close()


class NoEnter:
    async def __aexit__(self, *exc_info):
        pass


class NoExit:
    async def __aenter__(self):
        pass


class PlainEnter:
    def __aenter__(self):
        return 5

    async def __aexit__(self, *exc_info):
        pass


class PlainExit:
    async def __aenter__(self):
        pass

    def __aexit__(self, *exc_info):
        return 7


class InstanceOnly:
    """Special methods are looked up on the type: instance attributes don't count."""

    def __init__(self):
        self.__aenter__ = self.__aexit__ = lambda *a: None


class FailingExit(Scope):
    async def __aexit__(self, *exc_info):
        raise RuntimeError("exit failed")


@pytest.mark.parametrize("manager", [NoEnter, NoExit, PlainEnter, PlainExit, InstanceOnly, FailingExit, int])
def test_async_with_refusals_match_the_statement(run, manager):
    async def failing(value):
        raise KeyError("body")

    outcomes = []
    for m in (probe, twin):
        with pytest.raises(Exception) as info:
            run(m.within, manager(), failing)
        context = info.value.__context__
        outcomes.append((type(info.value), str(info.value), type(context), str(context)))
    assert outcomes[0] == outcomes[1]
