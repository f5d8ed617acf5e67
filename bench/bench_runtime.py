"""The runtime itself: plain native calls and awaits of native coroutines beside Python twins.

Awaits run inside one asyncio.run, a loop of `await f(v)` in an `async def`, as an
application awaits; the figure is the best of several repeats. The value-returning
await pays for a StopIteration on every return (the interpreter inlines only its own
generators); the None-returning one does not.
"""

import asyncio
import functools

import _coro_probe as coro_probe
import _runtime_probe as runtime_probe


def nothing():
    return None


def simple(x, y, z=None):
    return (x, y, z)


async def give(value):
    return value


async def none():
    return None


async def await_it(aw):
    return await aw


def awaiting(fn, *args):
    async def run(n):
        for _ in range(n):
            await fn(*args)
    return run


def awaiting_through(outer, inner, value):
    async def run(n):
        for _ in range(n):
            await outer(inner(value))
    return run


def calling(fn, *args):
    return functools.partial(fn, *args)  # no Python frame of its own around the call


def measure_case(meter, fn, calls):
    """One measurement; an await loop runs inside one asyncio.run, after a warm-up."""
    if not asyncio.iscoroutinefunction(fn):
        from run import measure_calls
        return measure_calls(meter, fn, calls)

    async def main():
        await fn(max(1, calls // 10))
        meter.start()
        await fn(calls)
        return meter.stop()

    return asyncio.run(main())


VALUE = ("a", 1)
assert asyncio.run(coro_probe.give(VALUE)) is VALUE
assert runtime_probe.pack(1, 2) == simple(1, 2)

CASES = [
    ("call f() -> None", "native", calling(runtime_probe.nothing), 1),
    ("call f() -> None", "python", calling(nothing), 1),
    ("call f(x, y) -> (x, y, None)", "native", calling(runtime_probe.pack, 1, 2), 1),
    ("call f(x, y) -> (x, y, None)", "python", calling(simple, 1, 2), 1),
    ("await f(v) -> v", "native", awaiting(coro_probe.give, VALUE), 1),
    ("await f(v) -> v", "python", awaiting(give, VALUE), 1),
    ("await f() -> None", "native", awaiting(coro_probe.nothing), 1),
    ("await f() -> None", "python", awaiting(none), 1),
    ("await f(g(v)) -> v, f awaiting g", "native", awaiting_through(coro_probe.await_it, coro_probe.give, VALUE), 1),
    ("await f(g(v)) -> v, f awaiting g", "python", awaiting_through(await_it, give, VALUE), 1),
]
