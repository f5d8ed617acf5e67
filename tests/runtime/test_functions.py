"""Native functions, classes and errors, held against their Python twins."""

import concurrent.futures
import dataclasses
import gc
import inspect
import sys
import traceback
import types

import pytest

import _runtime_probe as probe


def full(a, b=2, /, c: "int" = 3, *args, d, e=5, **kwargs) -> "tuple":
    return (a, b, c, args, d, e, kwargs)


def simple(x, y, z=None):
    return (x, y, z)


def kwonly(x, *, k):
    return (x, k)


CALLS = [
    ((), {}),
    ((1,), {}),
    ((1,), {"d": 4}),
    ((1, 2, 3, 4, 5), {"d": 1, "z": 9}),
    ((1,), {"a": 1, "d": 1}),
    ((1,), {"c": 1, "d": 1, "e": 2}),
    ((1, 2, 3), {"c": 3, "d": 1}),
    ((1, 2), {"x": 1}),
    ((1, 2, 3, 4), {}),
    ((1, 2, 3, 4), {"k": 1}),
    ((), {"k": 1}),
    ((), {"y": 1}),
    ((1,), {"kk": 1}),
    ((1,), {"k": 1, "y": 2}),
    ((1, 2), {"z": 3, "x": 4}),
]


def outcome(fn, args, kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:
        # Messages name the function; both twins share names and qualnames.
        return ("error", type(e), str(e))


@pytest.mark.parametrize("name", ["full", "simple", "kwonly"])
@pytest.mark.parametrize("args,kwargs", CALLS)
def test_binding_matches_python(name, args, kwargs):
    native, twin = getattr(probe, name), globals()[name]
    assert outcome(native, args, kwargs) == outcome(twin, args, kwargs)


def test_function_metadata_is_function_like():
    f = probe.full
    assert inspect.signature(f) == inspect.signature(full)
    assert str(inspect.signature(f)) == str(inspect.signature(full))
    assert f.__name__ == f.__qualname__ == "full"
    assert f.__module__ == "_runtime_probe"
    assert f.__doc__ == "Binds like its Python twin."
    assert f.__globals__ is vars(probe)
    assert f.__defaults__ == (2, 3)
    assert f.__kwdefaults__ == {"e": 5}
    assert f.__annotations__ == {"c": "int", "return": "tuple"}
    code = f.__code__
    twin = full.__code__
    for attr in ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_varnames", "co_nlocals"):
        assert getattr(code, attr) == getattr(twin, attr), attr
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == (
        inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
    assert inspect.isroutine(f) and not inspect.isfunction(f)
    assert not inspect.iscoroutinefunction(f) and not inspect.isasyncgenfunction(f)
    f.extra = 1  # functions carry a __dict__
    assert f.__dict__ == {"extra": 1}
    assert repr(f).startswith("<function full at 0x")


def test_defaults_can_be_replaced_like_python():
    f = probe.simple
    saved = f.__defaults__
    try:
        f.__defaults__ = ("zz",)
        assert f(1, 2) == (1, 2, "zz")
        f.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'z'"):
            f(1, 2)
        with pytest.raises(TypeError, match="must be set to a tuple"):
            f.__defaults__ = [1]
    finally:
        f.__defaults__ = saved


def test_a_declaration_makes_its_defaults_annotations_and_property():
    f = probe.described
    first, second = f(), f()
    assert first == (True, -3, 0.5, "ü", [], probe.loads, (probe.Sample,))
    assert first[4] is second[4] and first[6] is second[6]  # made once, as `def` makes its defaults
    assert f.__defaults__ == (True, -3, 0.5, "ü") and f.__kwdefaults__["target"] is probe.loads
    assert f.__annotations__ == {"flag": bool, "count": "int", "label": probe.Sample, "return": "tuple"}
    assert f.__doc__ == "Its defaults, in order."
    assert str(inspect.signature(f)).startswith("(flag: bool = True, count: 'int' = -3, ratio=0.5,")
    prop = probe.Sample.__dict__["kind"]
    assert isinstance(prop, property) and prop.__doc__ == "The class name."
    assert prop.fget.__qualname__ == "Sample.kind" and probe.Sample().kind == "_runtime_probe.Sample"
    with pytest.raises(AttributeError):
        probe.Sample().kind = "other"


def test_a_declared_decorator_wraps_the_function_before_it_is_bound():
    assert probe.cached(1) is probe.cached(1) == (1,)
    inner = probe.cached.__wrapped__
    assert inner.__qualname__ == "cached" and inner.__annotations__ == {"return": (probe.Sample,)}


def test_no_return_value_is_none():
    assert probe.nothing() is None


def test_an_index_past_the_parameters_is_an_error_not_a_read():
    with pytest.raises(IndexError, match="argument index past the function's parameters"):
        probe.past(1)


@pytest.mark.parametrize("value,got", [(None, "NoneType"), (b"x", "bytes"), (type("S", (str,), {})("x"), "S")])
def test_exact_type_is_required(value, got):
    with pytest.raises(TypeError) as err:
        probe.typed(value)
    assert str(err.value) == f"Argument 'path' has incorrect type (expected str, got {got})"
    with pytest.raises(TypeError, match=r"Argument 'data' has incorrect type \(expected dict, got"):
        probe.typed("ok", data=types.MappingProxyType({}))
    assert probe.typed("ok", {"a": 1}) == ("ok", {"a": 1})


class TestClasses:
    def test_kinds_and_names(self):
        S = probe.Sample
        assert type(S) is type and S.__module__ == "_runtime_probe"
        assert S.__doc__ == "A class built from native functions."
        assert isinstance(S.__dict__["make"], classmethod)
        assert isinstance(S.__dict__["twice"], staticmethod)
        assert S.describe.__qualname__ == "Sample.describe"
        assert S.make.__func__.__code__.co_varnames[0] == "cls"
        assert S.describe.__code__.co_varnames[0] == "self"
        bound = S().describe
        assert isinstance(bound, types.MethodType)
        assert str(inspect.signature(bound)) == "(suffix='!') -> 'str'"
        assert str(inspect.signature(S.make)) == "()"

    def test_subclass_override_and_super(self):
        class Child(probe.Sample):
            def describe(self, suffix="?"):
                return "child/" + super().describe(suffix)

        c = Child.make()
        assert type(c) is Child
        assert c.describe() == "child/test_functions.Child?"
        c.note = "instances have a __dict__"
        assert vars(c) == {"note": "instances have a __dict__"}
        assert Child.twice(4) == 8
        with pytest.raises(TypeError, match="expected int, got bool"):
            Child.twice(True)

    def test_patching_a_method(self, monkeypatch):
        monkeypatch.setattr(probe.Sample, "describe", lambda self, suffix="": "patched")
        assert probe.Sample().describe() == "patched"

    def test_missing_self_error(self):
        with pytest.raises(TypeError, match=r"Sample.describe\(\) missing 1 required positional argument: 'self'"):
            probe.Sample.describe()

    def test_dataclass(self):
        R = probe.Record
        assert [f.name for f in dataclasses.fields(R)] == ["name", "size"]
        assert R("a") == R("a", 0) and R("a") != R("b")
        assert repr(R("a", 2)) == "Record(name='a', size=2)"
        assert R.__hash__ is None
        with pytest.raises(TypeError):
            {R("a")}
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'name'"):
            R()


class TestErrors:
    def test_python_exception_passes_through_unchanged(self):
        exc = KeyError("k")
        exc.__cause__ = ValueError("cause")

        def boom():
            raise exc

        with pytest.raises(KeyError) as err:
            probe.call(boom)
        assert err.value is exc and exc.__cause__.args == ("cause",)

    def test_same_object_reraised(self):
        exc = OSError(5, "io")

        def boom():
            raise exc

        with pytest.raises(OSError) as err:
            probe.catch_and_reraise(boom)
        assert err.value is exc

    def test_raise_while_handling_sets_context(self):
        with pytest.raises(ValueError, match="wrapped") as err:
            probe.raise_while_handling(lambda: 1 / 0)
        assert isinstance(err.value.__context__, ZeroDivisionError)
        assert err.value.__cause__ is None
        assert sys.exc_info() == (None, None, None)  # the handled exception did not leak

    def test_traceback_names_native_function(self):
        with pytest.raises(ZeroDivisionError) as err:
            probe.call(lambda: 1 / 0)
        frames = traceback.extract_tb(err.value.__traceback__)
        native = [f for f in frames if f.name == "call"]
        assert native and native[0].filename.endswith("_runtime_probe.cpp") and native[0].lineno > 0

    @pytest.mark.parametrize("step,target,exc_type,marker", [
        (0, object(), AttributeError, "attribute"),
        (1, types.SimpleNamespace(value=1), NameError, "global"),
        (2, types.SimpleNamespace(value=1), TypeError, "call"),
        (3, types.SimpleNamespace(value=1), ValueError, "raise"),
        # A native function of the same file runs (using names of its own) and returns first.
        (4, types.SimpleNamespace(value=1, run=lambda: (probe.interned(), 1 / 0)), ZeroDivisionError, "nested"),
    ])
    def test_traceback_names_the_line_that_raised(self, step, target, exc_type, marker, marked_line):
        with pytest.raises(exc_type) as err:
            probe.fail_at(step, target)
        native = [f for f in traceback.extract_tb(err.value.__traceback__) if f.name == "fail_at"]
        assert [f.lineno for f in native] == [marked_line(native[0].filename, marker)]

    @pytest.mark.parametrize("kind,exc_type,text", [
        ("value", ValueError, "bad value"),
        ("index", IndexError, "out of range"),
        ("type", TypeError, "bad type"),
        ("other", RuntimeError, "plain failure"),
    ])
    def test_cpp_exceptions_become_python_ones(self, kind, exc_type, text):
        with pytest.raises(exc_type, match=text):
            probe.throw_cpp(kind)


def test_globals_are_looked_up_at_call_time(monkeypatch):
    with pytest.raises(NameError, match="name 'target' is not defined"):
        probe.read_global()
    monkeypatch.setattr(probe, "target", "first", raising=False)
    assert probe.read_global() == "first"
    monkeypatch.setattr(probe, "target", "second")
    assert probe.read_global() == "second"
    assert probe.read_global.__globals__["target"] == "second"


def _failing_after_one():
    yield 1
    raise ValueError("mid-way")


@pytest.mark.parametrize("make", [
    lambda: (), lambda: (1, None, "x"), lambda: [1, 2], lambda: {"a": 1}, lambda: iter(range(3)),
    lambda: (x for x in "ab"), lambda: 5, _failing_after_one,
])
def test_items_iterate_like_a_for_loop(make):
    def twin(iterable):
        return [item for item in iterable]
    assert outcome(probe.items, (make(),), {}) == outcome(twin, (make(),), {})


@pytest.mark.parametrize("defaults", [None, (), (7,), (6, 7), (5, 6, 7), (4, 5, 6, 7)])
@pytest.mark.parametrize("args", [(), (1,), (1, 2), (1, 2, 3)])
def test_replaced_defaults_bind_like_python(defaults, args):
    twin = types.FunctionType(simple.__code__, globals())
    saved = probe.simple.__defaults__
    try:
        probe.simple.__defaults__ = twin.__defaults__ = defaults
        assert outcome(probe.simple, args, {}) == outcome(twin, args, {})
    finally:
        probe.simple.__defaults__ = saved


def test_a_remembered_global_follows_every_change(monkeypatch):
    """Module dict first, then the builtins, whatever changed since the last call."""
    import builtins

    monkeypatch.setattr(builtins, "target", "built in", raising=False)
    monkeypatch.setattr(probe, "target", None, raising=False)
    monkeypatch.delattr(probe, "target")  # teardown leaves it absent, whatever the steps did
    steps = [
        (lambda: setattr(probe, "target", "module"), "module"),
        (lambda: setattr(probe, "target", "replaced"), "replaced"),
        (lambda: delattr(probe, "target"), "built in"),
        (lambda: setattr(builtins, "target", "new built in"), "new built in"),
        (lambda: vars(probe).update(target="via update"), "via update"),
        (lambda: vars(probe).pop("target"), "new built in"),
        (lambda: delattr(builtins, "target"), NameError),
        (lambda: vars(builtins).setdefault("target", "back"), "back"),
    ]
    for change, expected in steps:
        change()
        for _ in range(2):  # the second read is the remembered one
            if expected is NameError:
                with pytest.raises(NameError, match="name 'target' is not defined"):
                    probe.read_global()
            else:
                assert probe.read_global() == expected
    assert probe.read_global.__builtins__ is vars(builtins)


# Dict watchers are few; every copy of the runtime (one per extension module)
# shares one, and with none left globals are simply looked up every time.
WATCHERS = """
import sys, _testcapi
sys.path.insert(0, {path!r})
{imports}
taken = 0
try:
    while True:
        _testcapi.add_dict_watcher(0)
        taken += 1
except RuntimeError:
    pass
{after}
print(taken)
"""


def _free_watchers(imports="", after=""):
    import os
    import subprocess

    code = WATCHERS.format(path=os.path.dirname(probe.__file__), imports=imports, after=after)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def test_runtime_copies_share_one_dict_watcher_and_work_without_one():
    pytest.importorskip("_testcapi")
    before = _free_watchers()
    assert _free_watchers("import _runtime_probe, _coro_probe, _text_probe") == before - 1
    # Made after every watcher was taken: the lookups still see each change.
    assert _free_watchers(after="""
import _runtime_probe as p
p.target = 1; assert p.read_global() == 1 and p.read_global() == 1
p.target = 2; assert p.read_global() == 2
del p.target
try: p.read_global()
except NameError: pass
else: raise AssertionError("still found")
""") == before


def test_globals_missing_from_the_module_fall_back_to_builtins_without_leaking(monkeypatch):
    import builtins

    monkeypatch.setattr(probe, "target", None, raising=False)
    monkeypatch.delattr(probe, "target")
    monkeypatch.setattr(builtins, "target", "built in", raising=False)
    before = sys.getrefcount(builtins.__dict__)
    for _ in range(1000):
        assert probe.read_global() == "built in"
    assert sys.getrefcount(builtins.__dict__) - before < 10


def test_repeated_calls_do_not_leak():
    sentinel = object()
    kw = {"d": sentinel}

    def run(n):
        for _ in range(n):
            probe.full(sentinel, sentinel, sentinel, sentinel, **kw, extra=sentinel)
            probe.Sample().describe()
            probe.Sample.make()
            try:
                probe.simple(sentinel)
            except TypeError:
                pass
            try:
                probe.typed(sentinel)
            except TypeError:
                pass
            try:
                probe.call(lambda: 1 / 0)
            except ZeroDivisionError:
                pass

    run(200)
    gc.collect()
    before_refs, before_objs = sys.getrefcount(sentinel), len(gc.get_objects())
    run(3000)
    gc.collect()
    assert sys.getrefcount(sentinel) == before_refs
    assert len(gc.get_objects()) - before_objs < 50


def test_handling_restores_the_outer_handled_exception():
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        with pytest.raises(ValueError) as err:
            probe.raise_while_handling(lambda: 1 / 0)
        assert sys.exception() is outer
    assert isinstance(err.value.__context__, ZeroDivisionError)
    assert err.value.__context__.__context__ is outer
    assert sys.exception() is None


# ---- module-layer helpers ---------------------------------------------------------


@pytest.mark.parametrize("name,value", [
    ("Auth", 1), ("数据库", None), ("x", 5.0), ("", "ß😀"), ("a{}b", ("t", 1)),
])
def test_templates_splice_str_of_each_value(name, value):
    assert probe.template(name, value) == "健康检查: {} 通过 - result: {}".format(str(name), str(value))
    assert probe.wide_template(value) == "𝔘" + str(value)


def test_literals_are_interned_once():
    assert probe.interned() is sys.intern("commit") and probe.interned() is probe.interned()


def test_templates_raise_what_str_raises():
    class Broken:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        probe.template("Auth", Broken())


def test_logger_writes_through_the_current_logging_global(monkeypatch):
    lines = []

    class Recorder:
        def __getattr__(self, level):
            return lambda *args, **kwargs: lines.append((level, *args, *kwargs.items()))

    monkeypatch.setattr(probe, "logging", Recorder(), raising=False)
    probe.log_lines(7)
    assert lines == [("debug_line",), ("debug", "固定的一行"), ("info", "值: 7"), ("warning", "警告 7"),
                     ("error", "错误 7", ("exc_info", True))]
    monkeypatch.delattr(probe, "logging")
    with pytest.raises(NameError, match="name 'logging' is not defined"):
        probe.log_lines(7)


@pytest.mark.parametrize("cls_name,stored_while_loading", [("StoredFirst", True), ("StoredLast", False)])
def test_single_instance_publish_order(cls_name, stored_while_loading, monkeypatch):
    cls = getattr(probe, cls_name)
    monkeypatch.setattr(probe, "loads", [])
    monkeypatch.setattr(cls, "_instance", None)
    monkeypatch.setattr(cls, "fail", True)
    with pytest.raises(RuntimeError, match="load failed"):
        cls()
    # A failed load leaves the instance only where it was stored first.
    assert (cls._instance is not None) == stored_while_loading
    monkeypatch.setattr(cls, "_instance", None)
    monkeypatch.setattr(cls, "fail", False)
    monkeypatch.setattr(probe, "loads", [])
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        made = list(pool.map(lambda _: cls(), range(64)))
    ((instance, seen),) = probe.loads
    assert all(x is instance for x in made) and cls._instance is instance
    assert (seen is instance) == stored_while_loading


def test_own_attribute_notices_overrides_patches_and_metaclasses(monkeypatch):
    assert probe.shout_is_own(probe.Shouter)
    assert not probe.shout_is_own(type("Loud", (probe.Shouter,), {"shout": staticmethod(str.upper)}))
    assert probe.shout_is_own(type("Quiet", (probe.Shouter,), {}))
    meta = type("Meta", (type,), {"shout": lambda cls, text: text})
    assert not probe.shout_is_own(meta("Meta", (probe.Shouter,), {}))
    assert not probe.shout_is_own(probe.Shouter())  # not a class
    monkeypatch.setattr(probe.Shouter, "shout", staticmethod(str.upper))
    assert not probe.shout_is_own(probe.Shouter)
