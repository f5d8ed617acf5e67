"""Benchmark runner: per-call cost of native code beside plain Python doing the same work.

Every bench/bench_*.py module exposes CASES, a list of
(case, implementation, callable, calls per run); a run of the callable makes that many
calls. A module may set TARGET_CALLS (calls per repeat) when its calls are slow, may define
measure_case(meter, fn, calls) when its callables are not plain calls (awaits run inside an
asyncio.run), and may offer report(), run after its table, for figures of another kind
(requests per second, say). A module with CYTHON = True is also compiled with Cython 3
(cython_build.py): its "python" rows, compiled, are the cython column.
The figure is the best mean per call over several repeats; the repeats of a case's
implementations take turns, so a change in the machine's load (it is shared) reaches every
implementation alike.

    run.py [NAME...]                  time per call
    run.py --instructions [NAME...]   instructions per call, under valgrind --tool=callgrind
                                      (make bench-instructions): stable on a noisy machine
"""

import glob
import importlib
import os
import pathlib
import re
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent), str(HERE), str(HERE.parent / "tests" / "runtime")]

import cython_build  # noqa: E402

TARGET_CALLS = 200_000
REPEATS = 5


class Clock:
    """Nanoseconds."""

    unit = "ns"
    repeats = REPEATS
    scale = 1

    def start(self):
        self.t0 = time.perf_counter_ns()

    def stop(self):
        return time.perf_counter_ns() - self.t0


class Instructions:
    """Instructions executed between start() and stop(), counted by callgrind."""

    unit = "Ir"
    repeats = 1
    scale = 1 / 40  # far fewer calls: each runs some fifty times slower

    def __init__(self):
        self.cg = cython_build.callgrind_helper()
        if not self.cg.running():
            sys.exit("--instructions runs under valgrind --tool=callgrind (make bench-instructions)")
        self.out = os.environ.get("KELVORA_CALLGRIND_OUT", "callgrind.out")
        self.instrumenting = False

    def start(self):
        if not self.instrumenting:  # imports and set-up ran at full speed
            self.cg.instrument()
            self.instrumenting = True
        self.cg.start()

    def stop(self):
        self.cg.stop(b"bench")
        parts = glob.glob(self.out + ".*")
        newest = max(parts, key=lambda p: int(p.rsplit(".", 1)[1]))
        with open(newest) as f:
            text = f.read()
        os.remove(newest)
        return int(re.search(r"^(?:totals|summary):\s*(\d+)", text, re.M).group(1))


def measure_calls(meter, fn, calls):
    """One measurement of `calls` calls of fn (after one call to warm up)."""
    fn()
    meter.start()
    for _ in range(calls):
        fn()
    return meter.stop()


def fmt(value, unit):
    if value is None:
        return f"{'-':>10}"
    if unit == "ns":
        return f"{value:8.1f}ns" if value < 1e5 else f"{value / 1000:8.1f}µs"
    return f"{value:10.0f}"


def ratio(other, native):
    """The other implementation's cost over the native one's, when both were measured."""
    return f"{other / native:6.2f}x" if native and other else ""


def main(args):
    meter = Clock()
    if args[:1] == ["--instructions"]:
        meter, args = Instructions(), args[1:]
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem
        if args and not any(s in name for s in args):
            continue
        module = importlib.import_module(name)
        if isinstance(meter, Instructions) and not getattr(module, "INSTRUCTIONS", True):
            continue
        print(f"\n== {name[len('bench_'):]}: {(module.__doc__ or '').strip().splitlines()[0]}")
        print(f"{'case':44} {'native':>10} {'python':>10} {'cython':>10} {'py/nat':>7} {'cy/nat':>7}"
              f"   ({meter.unit} per call)")
        sources = [(module, {})]
        if getattr(module, "CYTHON", False):
            sources.append((cython_build.load(path, "cy_" + name), {"python": "cython"}))
        entries = {}
        for source, rename in sources:
            measure = getattr(source, "measure_case", measure_calls)
            for case, impl, fn, calls in source.CASES:
                if rename and impl not in rename:
                    continue
                entries.setdefault(case, []).append((rename.get(impl, impl), measure, fn, calls))
        target = max(1, int(getattr(module, "TARGET_CALLS", TARGET_CALLS) * meter.scale))
        for case, items in entries.items():
            best = {}
            for _ in range(meter.repeats):
                for impl, measure, fn, calls in items:
                    runs = max(1, target // calls)
                    value = measure(meter, fn, runs * calls if measure is not measure_calls
                                    else runs) / (runs * calls)
                    best[impl] = min(best.get(impl, value), value)
            native = best.get("native")
            print(f"{case:44} {fmt(native, meter.unit)} {fmt(best.get('python'), meter.unit)} "
                  f"{fmt(best.get('cython'), meter.unit)} {ratio(best.get('python'), native):>7} "
                  f"{ratio(best.get('cython'), native):>7}")
        if hasattr(module, "report") and isinstance(meter, Clock):
            module.report()  # measurements that are not per call (a served app, say)
    print("\npy/nat, cy/nat = the other implementation's cost / native cost (above 1: native is cheaper)")


if __name__ == "__main__":
    main(sys.argv[1:])
