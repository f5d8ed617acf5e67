"""Hostile callers of the runtime, each a few lines of plain Python, held against what the
interpreter does with the same code written in Python. Cases that end or poison the
process run in a fresh interpreter."""

import functools
import os
import subprocess
import sys
import textwrap
import types

import pytest

import _coro_probe as probe
import _runtime_probe as runtime_probe

SURROGATE = "bad\udc80name"


def drive(coroutine):
    """The value of a coroutine that finishes without suspending."""
    try:
        coroutine.send(None)
    except StopIteration as e:
        return e.value
    raise AssertionError("suspended")


def failure(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the error is the result
        return type(e), str(e)
    raise AssertionError("no error")


# ---- a call keeps its function ------------------------------------------------------------


@pytest.mark.parametrize("holder", ["staticmethod", "property", "partial"])
def test_function_dropped_by_its_own_call_finishes_it(holder):
    # The holder lends the function to the call; re-initialising it drops the only reference.
    def fail():
        if holder == "partial":
            wrapper.__setstate__((print, (), {}, None))
        else:
            wrapper.__init__(None)
        [object() for _ in range(100)]  # reuse whatever was freed
        raise ZeroDivisionError("raised after the drop")

    wrapper = {"staticmethod": staticmethod, "property": property,
               "partial": functools.partial}[holder](runtime_probe.fresh_call())
    call = (lambda: wrapper.__get__(fail)) if holder == "property" else (lambda: wrapper(fail))
    assert failure(call) == (ZeroDivisionError, "raised after the drop")


# ---- a returned value is never swapped under its await ----------------------------------


async def give(value):
    return value


async def echo(first):
    value = first
    while True:
        value = yield value


@pytest.mark.parametrize("flavor", ["coroutine", "async_generator"])
@pytest.mark.parametrize("m", [probe, sys.modules[__name__]], ids=["native", "python"])
def test_await_inside_a_released_value_del_keeps_both_values(m, flavor):
    seen = []

    class Awaits:
        def __del__(self):
            seen.append(drive(inner()))

    async def inner():
        if flavor == "coroutine":
            return await m.give("inner")
        return await m.echo("inner").__anext__()

    async def outer():
        # The previous value goes when the next await returns; its __del__ awaits again.
        if flavor == "coroutine":
            await m.give(Awaits())
            return await m.give("outer")
        gen = m.echo(None)
        await gen.__anext__()
        await gen.asend(Awaits())
        return await gen.asend("outer")

    assert (drive(outer()), seen) == ("outer", ["inner"])


# ---- a __qualname__ that is not UTF-8 (os.fsdecode makes them) ----------------------------


def fresh_call():
    def call(fn):
        return fn()
    return call


async def await_it(aw):
    return await aw


async def relay(aw):
    value = await aw
    yield value


async def fail():
    raise KeyError("kept")


def renamed(obj):
    obj.__qualname__ = SURROGATE
    return obj


IMPLEMENTATIONS = [types.SimpleNamespace(fresh_call=runtime_probe.fresh_call, await_it=probe.await_it,
                                         relay=probe.relay),
                   types.SimpleNamespace(fresh_call=fresh_call, await_it=await_it, relay=relay)]
ATTEMPTS = {
    "body": lambda m: renamed(m.fresh_call())(lambda: 1 / 0),
    "binding": lambda m: renamed(m.fresh_call())(1, 2),
    "coroutine": lambda m: renamed(m.await_it(fail())).send(None),
    "async_generator": lambda m: renamed(m.relay(fail())).__anext__().send(None),
}


@pytest.mark.parametrize("attempt", sorted(ATTEMPTS))
def test_surrogate_qualname_keeps_the_error(attempt):
    native, python = (failure(lambda m=m: ATTEMPTS[attempt](m)) for m in IMPLEMENTATIONS)
    assert native == python and native[0] is not SystemError


# ---- in a fresh interpreter: exit, memory exhaustion, the module dict's watcher -------------

# A daemon thread inside native code that calls Python when the interpreter exits. A slow
# sys.stdout.flush() (run after finalisation began) lets the thread wake and be ended.
DAEMON = """
import os, threading, time
import _coro_probe, _runtime_probe
inside = threading.Event()
def nap():
    inside.set()
    time.sleep(0.05)
class Awaitable:
    def __await__(self):
        nap()
        return iter(())
def spin():
    while True:
        {spin}
class SlowOut:
    def write(self, text):
        return len(text)
    def flush(self):
        time.sleep(0.3)
        os.write(1, b"finalised\\n")
threading.Thread(target=spin, daemon=True).start()
inside.wait()
sys.stdout = SlowOut()
"""

# Allocation fails from the first use of a literal on a path that cannot throw.
NO_MEMORY = """
import _testcapi, _coro_probe
class Pending:
    def __await__(self):
        yield
c = _coro_probe.{target}
{prepare}
_testcapi.set_nomemory(0)
try:
    {action}
except MemoryError:
    outcome = "MemoryError"
finally:
    _testcapi.remove_mem_hooks()
c.close()
print(outcome)
"""

GLOBALS = {
    # The module dict changes while the builtins are searched (a colliding key's __eq__).
    "changed_during_lookup": """
import builtins, _runtime_probe as p
class Collides:
    def __hash__(self):
        return hash("target")
    def __eq__(self, other):
        if armed:
            p.target = "module"
        return False
armed = False
vars(builtins)[Collides()] = None
builtins.target = "built in"
armed = True
first = p.read_global()
armed = False
print(first, p.read_global())
""",
    # Another extension stops watching the module dict; the replaced value is freed.
    "unwatched": """
import _testcapi, _runtime_probe as p
class Value:
    def __init__(self, tag):
        self.tag = tag
p.target = Value("old")
assert p.read_global().tag == "old"
for watcher in range(8):
    try:
        _testcapi.unwatch_dict(watcher, vars(p))
    except ValueError:
        pass
p.target = Value("new")
garbage = [Value("garbage") for _ in range(1000)]
print(p.read_global().tag in ("old", "new"))
""",
}

FRESH = {
    "exit_in_a_call": (DAEMON.format(spin="_runtime_probe.call(nap)"), "finalised"),
    "exit_in_an_await": (DAEMON.format(spin="drive(_coro_probe.await_it(Awaitable()))"),
                         "finalised"),
    "no_memory_error_leaving": (NO_MEMORY.format(target="call_now(1)", prepare="",
                                                 action="c.send(None)"), "MemoryError"),
    "no_memory_close": (NO_MEMORY.format(target="await_it(Pending())", prepare="c.send(None)",
                                         action="c.close()"), "MemoryError"),
    "no_memory_throw": (NO_MEMORY.format(target="await_it(Pending())", prepare="c.send(None)",
                                         action="c.throw(ValueError)"), "MemoryError"),
    "global_changed_during_lookup": (GLOBALS["changed_during_lookup"], "built in module"),
    "global_unwatched": (GLOBALS["unwatched"], "True"),
}

PRELUDE = """
import sys
sys.path.insert(0, {path!r})
def drive(coroutine):
    try:
        coroutine.send(None)
    except StopIteration:
        pass
"""


@pytest.mark.parametrize("case", sorted(FRESH))
def test_in_a_fresh_interpreter(case):
    script, expected = FRESH[case]
    if "_testcapi" in script:
        pytest.importorskip("_testcapi")
    code = PRELUDE.format(path=os.path.dirname(probe.__file__)) + textwrap.dedent(script)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, expected), done.stderr[-2000:]
