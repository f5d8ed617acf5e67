"""Benchmark runner: per-call cost of native code beside plain Python doing the same work.

Every bench/bench_*.py module exposes CASES, a list of
(case, implementation, callable, calls per run); a run of the callable makes that many
calls. A module may set TARGET_CALLS (calls per repeat) when its calls are slow, and may offer
report(), run after its table, for figures of another kind (requests per second, say).
The figure is the best mean per call over several repeats.
"""

import importlib
import pathlib
import sys
import timeit

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent), str(HERE)]

TARGET_CALLS = 200_000
REPEATS = 5


def per_call_ns(entries, target=TARGET_CALLS):
    """Best mean per call of each implementation of one case. Their repeats take turns, so a
    change in the machine's load (it is shared) reaches every implementation alike."""
    best = {}
    for _ in range(REPEATS):
        for impl, fn, calls in entries:
            runs = max(1, target // calls)
            ns = timeit.timeit(fn, number=runs) / (runs * calls) * 1e9
            best[impl] = min(best.get(impl, ns), ns)
    return best


def main(selected=()):
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem
        if selected and not any(s in name for s in selected):
            continue
        module = importlib.import_module(name)
        print(f"\n== {name[len('bench_'):]}: {(module.__doc__ or '').strip().splitlines()[0]}")
        print(f"{'case':44} {'native':>10} {'python':>10} {'ratio':>7}")
        entries = {}
        for case, impl, fn, calls in module.CASES:
            entries.setdefault(case, []).append((impl, fn, calls))
        target = getattr(module, "TARGET_CALLS", TARGET_CALLS)
        results = {case: per_call_ns(items, target) for case, items in entries.items()}
        order = list(entries)
        for case in order:
            native, python = results[case].get("native"), results[case].get("python")
            fmt = lambda v: (f"{'-':>10}" if v is None else f"{v:8.1f}ns" if v < 1e5
                             else f"{v / 1000:8.1f}µs")
            ratio = f"{python / native:6.2f}x" if native and python else ""
            print(f"{case:44} {fmt(native)} {fmt(python)} {ratio:>7}")
        if hasattr(module, "report"):  # measurements that are not per call (a served app, say)
            module.report()
    print("\nratio = plain Python time / native time (above 1: native is faster)")


if __name__ == "__main__":
    main(sys.argv[1:])
