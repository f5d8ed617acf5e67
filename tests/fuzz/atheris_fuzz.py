"""Coverage-guided fuzzing (atheris) of the same targets as the hypothesis tests:
coroutine and async-generator drives held against their twins, hostile drives that
re-enter from every hook, drives whose thread is ended as interpreter exit ends a daemon
thread, errors through functions of any __qualname__, and the modules' pure functions.

    python tests/fuzz/atheris_fuzz.py -max_total_time=300     (make fuzz)
"""

import contextlib
import pathlib
import sys

import atheris

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "runtime"), str(HERE.parent.parent)]

with atheris.instrument_imports():
    import protocol
    import test_fuzz_modules as modules

from protocol import (ATTEMPTS, COROUTINES, EXCEPTIONS, GENERATORS, Plan, drive,  # noqa: E402
                      drive_until_ended, frames_settle, renamed_outcomes)

VALUES = [None, 1, "x", (1, 2)]
EXCS = sorted(EXCEPTIONS)
HOOKS = ["next", "throw", "close", "del", "await"]


def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def plan(fdp):
    return Plan([pick(fdp, [None, "a", 2]) for _ in range(fdp.ConsumeIntInRange(0, 3))],
                pick(fdp, ["raise", "absorb", "return"]), pick(fdp, ["return", "raise"]))


def coroutine_op(fdp):
    kind = pick(fdp, ["send", "throw", "close", "await_iter", "qualname"])
    arg = {"send": lambda: pick(fdp, VALUES), "throw": lambda: pick(fdp, EXCS),
           "qualname": lambda: fdp.ConsumeUnicode(4)}.get(kind, lambda: None)()  # lone surrogates too
    return kind, arg


def generator_op(fdp):
    kind = pick(fdp, ["anext", "aclose", "aw_send", "aw_close", "asend", "athrow", "aw_throw"])
    arg = {"asend": lambda: pick(fdp, VALUES), "athrow": lambda: pick(fdp, EXCS),
           "aw_throw": lambda: pick(fdp, EXCS)}.get(kind, lambda: None)()
    return kind, arg


@contextlib.contextmanager
def quiet_unraisable():
    seen, saved = [], sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield
    finally:
        sys.unraisablehook = saved
    for u in seen:
        if isinstance(u.exc_value, SystemError):
            raise u.exc_value


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    target = fdp.ConsumeIntInRange(0, 6)
    if target == 5:
        name = pick(fdp, COROUTINES + GENERATORS)
        op = generator_op if name in GENERATORS else coroutine_op
        plans = [plan(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        ops = [op(fdp) for _ in range(fdp.ConsumeIntInRange(0, 8))]
        reenter = [op(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        hooks = {h for h in HOOKS if fdp.ConsumeBool()}
        with quiet_unraisable():
            drive_until_ended(name, plans, ops, reenter, hooks, fdp.ConsumeIntInRange(0, 5))
    elif target == 6:
        native, python = renamed_outcomes(fdp.ConsumeUnicode(8), pick(fdp, sorted(ATTEMPTS)))
        assert native == python, (native, python)
    elif target <= 1:
        generators = target == 1
        name = pick(fdp, GENERATORS if generators else COROUTINES)
        op = generator_op if generators else coroutine_op
        plans = [plan(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        ops = [op(fdp) for _ in range(fdp.ConsumeIntInRange(0, 8))]
        hooks = {h for h in HOOKS if fdp.ConsumeBool()}
        with quiet_unraisable():
            if hooks:
                baseline = protocol.probe.live_frames()
                reenter = [op(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
                drive(protocol.probe, name, plans, ops, reenter, hooks)
                assert frames_settle(baseline) == 0, "a native frame outlived its object"
            else:
                ops = [o for o in ops if o[0] != "qualname"]
                if ("await_iter", None) in ops:
                    ops = [("await_iter", None), *ops]
                native = drive(protocol.probe, name, plans, ops)
                assert native == drive(protocol.twin, name, plans, ops), (name, ops, native)
    elif target == 2:
        text = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
        modules.test_path_patterns.hypothesis.inner_test(text)
        modules.test_naming_never_crashes.hypothesis.inner_test(text)
    elif target == 3:
        cls = pick(fdp, modules.ERROR_TYPES)
        text = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
        orig = pick(fdp, [None, text, Exception(text), modules.Hostile(), 7])
        modules.test_faultmap_database_errors.hypothesis.inner_test(cls, text, orig)
    else:
        value = pick(fdp, [None, fdp.ConsumeInt(8), fdp.ConsumeUnicodeNoSurrogates(4), True, 1.5])
        modules.test_minter_shortcuts.hypothesis.inner_test(value)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
