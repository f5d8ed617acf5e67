"""Helpers for the runtime tests: both asyncio task implementations, growth checks, marked probe lines."""

import asyncio
import gc
import pathlib
import tracemalloc

import pytest

TASKS = {"c_task": asyncio.tasks._CTask, "py_task": asyncio.tasks._PyTask}


@pytest.fixture
def marked_line():
    """marked_line(source, marker): the line of a probe's source ending in `// fails: <marker>`."""
    def find(source, marker):
        lines = pathlib.Path(source).read_text(encoding="utf-8").splitlines()
        return next(n for n, line in enumerate(lines, 1) if line.endswith("// fails: " + marker))
    return find


@pytest.fixture(params=sorted(TASKS))
def run(request):
    """run(main, *args): main(*args) on a fresh event loop whose tasks are all of one kind."""
    task_class = TASKS[request.param]

    def factory(loop, coro, **kwargs):
        return task_class(coro, loop=loop, **kwargs)

    def run(main, *args):
        with asyncio.Runner() as runner:
            runner.get_loop().set_task_factory(factory)
            return runner.run(main(*args))

    return run


class Growth:
    """What a repeated scenario left behind: objects, traced bytes, native frames."""

    def __init__(self, probe):
        self.probe = probe

    def __enter__(self):
        gc.collect()
        self.frames = self.probe.live_frames()
        self.objects = len(gc.get_objects())
        tracemalloc.start()
        self.memory = tracemalloc.get_traced_memory()[0]
        return self

    def __exit__(self, *exc):
        gc.collect()
        self.memory = tracemalloc.get_traced_memory()[0] - self.memory
        tracemalloc.stop()
        self.objects = len(gc.get_objects()) - self.objects
        self.frames = self.probe.live_frames() - self.frames


@pytest.fixture
def frames_left():
    """frames_left(): native frames alive now beyond those alive before the test (a thread
    ended mid-drive by the fuzz targets leaves its frames for good, as the interpreter does)."""
    import _coro_probe

    gc.collect()
    before = _coro_probe.live_frames()
    return lambda: _coro_probe.live_frames() - before


@pytest.fixture
def no_growth():
    """no_growth(probe, scenario): runs scenario() many times; nothing it makes may survive."""

    def check(probe, scenario, rounds=2000):
        for _ in range(rounds // 10):  # first-use caches, free lists, interned names
            scenario()
        batches = []
        for _ in range(2):
            with Growth(probe) as growth:
                for _ in range(rounds):
                    scenario()
            batches.append(growth)
        assert [g.frames for g in batches] == [0, 0]
        # A leak of even one small object (32 bytes or more) per round shows in
        # every batch; the interpreter's and asyncio's own caches grow once in a
        # while, or by a fixed amount, not with the number of rounds.
        assert min(g.objects for g in batches) < rounds // 20, [g.objects for g in batches]
        assert min(g.memory for g in batches) < rounds * 16, [g.memory for g in batches]

    return check
