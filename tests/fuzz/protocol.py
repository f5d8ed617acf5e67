"""Random drives of coroutines and async generators, native and `async def` alike.

Shared by the hypothesis tests and the atheris target: a drive is a list of operations
applied to one object; the awaitables it waits on follow a plan and may call back into
the object under test from their hooks (throw and close lookups, __next__, __del__).
"""

import asyncio
import gc
import sys

import _coro_probe as probe
import _runtime_probe as runtime_probe

# ---- twins of the probe's native coroutines and async generators -----------------------


async def await_it(aw):
    return await aw


async def await_all(*aws):
    return [await aw for aw in aws]


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


async def relay(aw):
    value = await aw
    yield value


async def echo(first):
    value = first
    while True:
        value = yield value


async def recover(make):
    try:
        yield None
    except BaseException:
        pass
    value = await make()
    yield value


twin = sys.modules[__name__]

# ---- planned awaitables ----------------------------------------------------------------

EXCEPTIONS = {"ValueError": ValueError, "KeyError": KeyError, "GeneratorExit": GeneratorExit,
              "StopIteration": StopIteration, "StopAsyncIteration": StopAsyncIteration,
              "CancelledError": asyncio.CancelledError}


class Plan:
    """yields: values yielded in turn; on_throw: 'raise' | 'absorb' | 'return';
    end: 'return' | 'raise'."""

    def __init__(self, yields, on_throw, end):
        self.yields, self.on_throw, self.end = list(yields), on_throw, end

    def run(self):
        for value in self.yields:
            try:
                yield value
            except GeneratorExit:
                raise
            except BaseException as e:  # noqa: BLE001 - the plan decides
                if self.on_throw == "return":
                    return ("returned after", type(e).__name__)
                if self.on_throw == "raise":
                    raise
                yield ("caught", type(e).__name__)
        if self.end == "raise":
            raise KeyError("planned")
        return ("result", len(self.yields))

    def __await__(self):
        return self.run()


class Hostile:
    """An await iterator following a plan whose hooks call `reenter(kind)` first."""

    def __init__(self, plan, reenter, hooks):
        self.inner, self.reenter, self.hooks = plan.run(), reenter, hooks

    def __iter__(self):
        return self

    def __next__(self):
        if "next" in self.hooks:
            self.reenter("next")
        return self.inner.send(None)

    def send(self, value):
        return self.inner.send(value)

    @property
    def throw(self):
        if "throw" in self.hooks:
            self.reenter("throw")
        return self.inner.throw

    def close(self):
        if "close" in self.hooks:
            self.reenter("close")
        return self.inner.close()

    def __del__(self):
        if "del" in self.hooks:
            self.reenter("del")


class HostileAwaitable:
    def __init__(self, plan, reenter, hooks):
        self.args = plan, reenter, hooks

    def __await__(self):
        if "await" in self.args[2]:
            self.args[1]("await")
        return Hostile(*self.args)


# ---- drives ----------------------------------------------------------------------------

COROUTINES = ["await_it", "await_all", "nest", "cleanup_and_reraise", "with_finally",
              "ignore_exit", "return_on_exit"]
GENERATORS = ["relay", "echo", "recover"]


def outcome(step):
    try:
        value = step()
    except StopIteration as e:
        return ("stop", repr(e.value))
    except StopAsyncIteration:
        return ("raised", "StopAsyncIteration")
    except SystemError:
        raise
    except BaseException as e:  # noqa: BLE001 - the outcome is what is compared
        return ("raised", type(e).__name__)
    return ("value", repr(value))


def make(impl, name, plans, reenter=None, hooks=()):
    """The object under test, its awaitables built from `plans` (cycled)."""
    plans = list(plans) or [Plan([], "raise", "return")]
    made = iter(range(1 << 30))

    def aw():
        plan = plans[next(made) % len(plans)]
        return HostileAwaitable(plan, reenter, hooks) if reenter else plan

    fn = getattr(impl, name)
    args = {
        "await_it": lambda: (aw(),), "await_all": lambda: (aw(), aw()),
        "nest": lambda: (len(plans) % 3, aw()),
        "cleanup_and_reraise": lambda: (aw, aw), "with_finally": lambda: (aw, aw),
        "ignore_exit": lambda: (aw(),), "return_on_exit": lambda: (aw(),),
        "relay": lambda: (aw(),), "echo": lambda: ("first",), "recover": lambda: (aw,),
    }[name]()
    return fn(*args)


def apply(obj, op, state):
    """One operation on a coroutine (or its __await__ iterator) or an async generator."""
    kind, arg = op
    if kind == "await_iter":
        state.setdefault("iter", None)
        if state["iter"] is None:
            return outcome(lambda: state.__setitem__("iter", obj.__await__()))
        obj = state["iter"]
        kind, arg = "send", None
    if kind == "send":
        return outcome(lambda: obj.send(arg))
    if kind == "throw":
        return outcome(lambda: obj.throw(EXCEPTIONS[arg]))
    if kind == "close":
        return outcome(obj.close)
    if kind == "qualname":
        return outcome(lambda: setattr(obj, "__qualname__", arg))
    # async generators: an awaitable, stepped once or pending for the next op
    if kind in ("asend", "athrow", "aclose", "anext"):
        made = {"asend": lambda: obj.asend(arg), "anext": obj.__anext__,
                "athrow": lambda: obj.athrow(EXCEPTIONS[arg]), "aclose": obj.aclose}[kind]
        result = outcome(lambda: state.__setitem__("aw", made()))
        if result[0] == "raised":
            return result
        state["aw_kind"] = kind
        return stepped(state, outcome(lambda: state["aw"].send(None)))
    if kind in ("aw_send", "aw_throw", "aw_close"):
        aw = state.get("aw")
        if aw is None:
            return ("none",)
        # A finished athrow()/aclose() awaitable is refused here; the interpreter
        # lets it resume the generator once more. Neither is driven again.
        if state.get("aw_done") and state.get("aw_kind") in ("athrow", "aclose"):
            return ("done",)
        return stepped(state, outcome({"aw_send": lambda: aw.send(None),
                                       "aw_throw": lambda: aw.throw(EXCEPTIONS[arg or "ValueError"]),
                                       "aw_close": aw.close}[kind]))
    raise AssertionError(op)


def stepped(state, result):
    state["aw_done"] = result[0] != "value"
    return result


def drive(impl, name, plans, ops, reenter_ops=(), hooks=()):
    """Outcomes of `ops`; hooks re-enter with `reenter_ops` in turn. Always ends closed."""
    state, box = {}, []
    pending = list(reenter_ops)

    def reenter(kind):
        if pending and box:
            apply(box[0], pending.pop(0), state)

    obj = make(impl, name, plans, reenter if hooks else None, hooks)
    box.append(obj)
    results = [apply(obj, op, state) for op in ops]
    if hasattr(obj, "close"):
        outcome(obj.close)
    else:
        aw = outcome(lambda: state.__setitem__("aw", obj.aclose()))
        if aw[0] != "raised":
            for _ in range(3):
                if outcome(lambda: state["aw"].send(None))[0] != "value":
                    break
    state.clear()
    box.clear()
    return results


def frames_settle(baseline):
    if probe.live_frames() != baseline:
        gc.collect()
    return probe.live_frames() - baseline


def drive_until_ended(name, plans, ops, reenter_ops, hooks, end_at):
    """A drive of a native object on a thread of its own, ended as interpreter exit ends a
    daemon thread (its thread state freed, a forced unwind through the native frames) at the
    end_at-th hook it reaches, through a native call and Python code. The object is then
    driven on and closed here: refused or carried on, never a crash. True if it was ended."""
    state, box, reached, on_thread = {}, [], iter(range(1 << 30)), [True]
    pending = list(reenter_ops)

    def reenter(kind):
        # Not from __del__: a destructor is noexcept, and no unwind may leave one.
        if on_thread[0] and kind != "del" and next(reached) == end_at:
            runtime_probe.call(lambda: probe.end_thread())
        if pending and box:
            apply(box[0], pending.pop(0), state)

    obj = make(probe, name, plans, reenter, hooks)
    box.append(obj)
    ended = probe.run_in_thread(lambda: [apply(obj, op, state) for op in ops])
    on_thread[0] = False
    for op in ops:
        apply(obj, op, state)
    outcome(obj.close if hasattr(obj, "close") else lambda: obj.aclose().send(None))
    state.clear()
    box.clear()
    return ended


# ---- any __qualname__: an error leaves a native function as it leaves a Python one ----------


def call(fn):
    return fn()


ATTEMPTS = {"body": lambda f: f(lambda: 1 / 0), "binding": lambda f: f(1, 2)}
renamed = runtime_probe.fresh_call()


def renamed_outcomes(qualname, attempt):
    """The error of each twin, renamed to `qualname`."""
    results = []
    for f in (renamed, call):
        f.__qualname__ = qualname
        try:
            ATTEMPTS[attempt](f)
        except SystemError:
            raise
        except Exception as e:  # noqa: BLE001 - the error is what is compared
            results.append((type(e), str(e)))
    return results
