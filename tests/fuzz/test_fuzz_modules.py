"""The modules' pure functions under arbitrary input, through their public surface: the
plain statement of each rule gives the same result, anything else is a clear error —
never a crash or a SystemError."""

import re
import types

import pytest
from hypothesis import given, strategies as st
from sqlalchemy import exc as sa

from kelvora_core.auth.gatepost import Gatepost
from kelvora_core.exception.faultmap import format_faultmap
from kelvora_core.generate.linkage import LinkageColumn
from kelvora_core.utils import minter
from kelvora_meta.tools.scriven import Scrivener


class Hostile:
    """An object whose str(), equality and attribute lookups fail."""

    def __str__(self):
        raise ValueError("no str")

    def __getattr__(self, name):
        raise RuntimeError(name)


class Text(str):
    """A str subclass with its own methods, which must not change the rules."""

    def lower(self):
        return "sys"

    def split(self, *a):
        return ["overridden"]


texts = st.one_of(st.text(), st.text(alphabet="_{}:/\\w+.()[]?*$^|aAtTsSyYΣß", max_size=30))
objects = st.one_of(st.none(), st.integers(), st.binary(max_size=8), st.builds(Hostile),
                    st.lists(st.text(max_size=3), max_size=3), st.tuples(st.just(Text), texts))


def made(value):
    """Text subclasses are made in the test: the generator keeps to plain values."""
    return value[0](value[1]) if type(value) is tuple else value


def outcome(fn, *args):
    try:
        return ("value", fn(*args))
    except SystemError:
        raise
    except Exception as e:  # noqa: BLE001 - compared below
        return ("raised", type(e))


def same(native, plain, *args):
    got, want = outcome(native, *args), outcome(plain, *args)
    if want[0] == "value":
        assert got == want, args
    else:  # the same refusal, or at least a clear one
        assert got[0] == "raised" and issubclass(got[1], Exception), (got, want, args)


# ---- gatepost: route templates ---------------------------------------------------------


def plain_convert(path):
    path = re.sub(r"\{(\w+):[^}]+}", r"{\1}", path)
    return re.compile(re.sub(r"\{(\w+)}", r"(?P<\1>[^/]+)", path) + "$").pattern


@given(st.one_of(texts, objects))
def test_path_patterns(path):
    path = made(path)
    native = lambda p: Gatepost.convert_path_to_regex(p).pattern  # noqa: E731
    if type(path) is str:
        same(native, plain_convert, path)
    else:  # an exact str is required
        assert outcome(native, path) == ("raised", TypeError)


# ---- scriven / linkage naming -----------------------------------------------------------

PREFIXES = ("t", "v", "sys")
IRREGULAR = {"person": "people", "child": "children", "index": "indexes", "staff": "staffs"}


def class_name(name):
    parts = [p for p in str.split(name, "_") if p]
    if parts and parts[0].lower() in PREFIXES:
        parts = parts[1:]
    parts = [{"sqlmodel": "SQLModel"}.get(p, p) for p in parts]
    return "".join(p[0].upper() + p[1:] for p in parts)


@given(st.one_of(texts, objects))
def test_naming_never_crashes(name):
    name = made(name)
    if type(name) is str:
        same(Scrivener.get_class_name, class_name, name)
    for fn, args in [(Scrivener.get_class_name, (name,)), (Scrivener.get_file_name, (name,)),
                     (LinkageColumn._make_plural_entity, (name,)),
                     (LinkageColumn.get_camel_name, (name, True)),
                     (LinkageColumn.get_camel_name, (name, False)),
                     (LinkageColumn.get_property_name, (name, True))]:
        outcome(fn, *args)


# ---- faultmap ------------------------------------------------------------------------------

ERROR_TYPES = [sa.IntegrityError, sa.DataError, sa.OperationalError, sa.ProgrammingError,
               sa.InterfaceError, sa.StatementError, sa.DBAPIError]
orig = st.one_of(st.none(), texts, texts.map(Exception), st.builds(Hostile), st.integers())


def plain_detail(exc):
    detail = [a if isinstance(a, str) else str(a) for a in exc.args]
    return detail if detail else (exc if isinstance(exc, str) else str(exc))


def plain_format(exc):
    detail = plain_detail(exc)
    if isinstance(exc, sa.IntegrityError):
        message = "您提交的数据，违反了数据库约束。"
        orig = getattr(exc, "orig", None)
        if orig:
            text = (orig if isinstance(orig, str) else str(orig)).lower()
            for words, said in [(("unique", "duplicate"), "您提交的数据已存在，请勿重复添加"),
                                (("foreignkey", "foreign key"), "外键不存在，请检查关联数据"),
                                (("not null",), "必填字段不能为空"),
                                (("check constraint",), "数据未通过校验规则"),
                                (("too long",), "输入数据长度超出限制")]:
                if any(w in text for w in words):
                    message = said
                    break
        return message, detail
    for cls, said in [(sa.DataError, "提交的数据格式或长度不正确，请检查输入"),
                      (sa.OperationalError, "数据库连接或操作失败，请检查服务状态或稍后重试"),
                      (sa.ProgrammingError, "数据库操作语句有误，请联系管理员"),
                      (sa.StatementError, "执行的数据库语句存在问题，请检查查询条件或参数")]:
        if isinstance(exc, cls):
            return said, detail
    return "访问数据库异常，请联系管理员", detail


@given(st.sampled_from(ERROR_TYPES), texts, orig)
def test_faultmap_database_errors(cls, statement, driver_error):
    err = (cls(statement, statement, {}, driver_error) if cls is sa.StatementError
           else cls(statement, {}, driver_error))
    same(format_faultmap, plain_format, err)


@given(st.one_of(objects, st.lists(st.one_of(texts, st.integers(), st.builds(Hostile)),
                                    max_size=3).map(lambda a: ValueError(*a))))
def test_faultmap_other_objects(err):
    err = made(err)
    same(format_faultmap, plain_format, err)


# ---- minter: the shortcuts over a replaceable instance -----------------------------------


def plain_primary_id(util):
    value = util.generate_id()
    if value is not None and type(value) is not int:
        raise TypeError(f"Expected int, got {type(value).__name__}")
    return value


@given(st.one_of(st.none(), st.integers(), texts, st.booleans(), st.floats(allow_nan=False)))
def test_minter_shortcuts(value):
    util = types.SimpleNamespace(generate_id=lambda: value)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(minter, "minter_util", util)
        same(minter.get_primary_id, lambda: plain_primary_id(util))
        same(minter.get_primary_str, lambda: str(plain_primary_id(util)))
