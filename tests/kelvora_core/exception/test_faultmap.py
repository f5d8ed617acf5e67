"""Database exceptions translated to a user message and the raw detail."""

import inspect
import sqlite3

import pytest
import sqlalchemy
from sqlalchemy import exc as sa

from kelvora_core.exception import faultmap
from kelvora_core.exception.faultmap import _format_integrity_error, format_faultmap

BASE = "您提交的数据，违反了数据库约束。"
EXISTS = "您提交的数据已存在，请勿重复添加"
FOREIGN = "外键不存在，请检查关联数据"
NOT_NULL = "必填字段不能为空"
CHECK = "数据未通过校验规则"
TOO_LONG = "输入数据长度超出限制"
DATA = "提交的数据格式或长度不正确，请检查输入"
OPERATIONAL = "数据库连接或操作失败，请检查服务状态或稍后重试"
PROGRAMMING = "数据库操作语句有误，请联系管理员"
STATEMENT = "执行的数据库语句存在问题，请检查查询条件或参数"
OTHER = "访问数据库异常，请联系管理员"


def integrity(orig):
    return sa.IntegrityError("INSERT INTO t VALUES (?)", (1,), orig)


@pytest.mark.parametrize("driver_text,message", [
    ("UNIQUE constraint failed: user.name", EXISTS),
    ("Duplicate entry 'x' for key 'PRIMARY'", EXISTS),
    ("duplicate key ... NOT NULL", EXISTS),                       # the earlier rule wins
    ("uniqueness is in the constraint name ux_uniquely", EXISTS),  # plain substrings
    ("FOREIGN KEY constraint failed", FOREIGN),
    ("violates ForeignKey fk_1", FOREIGN),
    ("NOT NULL constraint failed: t.c", NOT_NULL),
    ("not-null constraint violated", BASE),                        # hyphen: no rule holds
    ("CHECK constraint failed: positive", CHECK),
    ("Data too long for column 'name' at row 1", TOO_LONG),
    ("something else entirely", BASE),
    ("UNİQUE", BASE),  # 'İ'.lower() is 'i̇', so this is not "unique"
])
def test_integrity_rules(driver_text, message):
    err = integrity(Exception(driver_text))
    assert format_faultmap(err) == (message, list(err.args))
    assert _format_integrity_error(err) == (message, list(err.args))


class Bare(sa.IntegrityError):
    def __init__(self):
        Exception.__init__(self, "unique but no orig")

    @property
    def orig(self):
        raise AttributeError("orig")


@pytest.mark.parametrize("orig", [None, "", 0, "no attribute"])
def test_integrity_without_a_true_orig_keeps_the_starting_message(orig):
    if orig == "no attribute":
        err = Bare()
        assert not hasattr(err, "orig")
        assert format_faultmap(err) == (BASE, ["unique but no orig"])
        return
    err = integrity(Exception("UNIQUE"))
    err.orig = orig
    assert format_faultmap(err)[0] == BASE


def test_real_sqlite_integrity_error():
    engine = sqlalchemy.create_engine("sqlite://")
    meta = sqlalchemy.MetaData()
    t = sqlalchemy.Table("t", meta, sqlalchemy.Column("id", sqlalchemy.Integer, primary_key=True),
                         sqlalchemy.Column("name", sqlalchemy.String, nullable=False, unique=True))
    meta.create_all(engine)
    with engine.begin() as conn:
        conn.execute(t.insert().values(id=1, name="a"))
    for values, message in [({"id": 2, "name": "a"}, EXISTS), ({"id": 3, "name": None}, NOT_NULL)]:
        with pytest.raises(sa.IntegrityError) as caught:
            with engine.begin() as conn:
                conn.execute(t.insert().values(**values))
        assert isinstance(caught.value.orig, sqlite3.IntegrityError)
        assert format_faultmap(caught.value) == (message, list(caught.value.args))
    engine.dispose()


@pytest.mark.parametrize("err,expected", [
    *((cls("SELECT 1", {}, Exception("boom")), (message, ["(builtins.Exception) boom"])) for cls, message in [
        (sa.DataError, DATA), (sa.OperationalError, OPERATIONAL), (sa.ProgrammingError, PROGRAMMING),
        (sa.InterfaceError, STATEMENT), (sa.DatabaseError, STATEMENT), (sa.NotSupportedError, STATEMENT),
        (sa.InternalError, STATEMENT)]),
    (sa.StatementError("bad", "SELECT", {}, None), (STATEMENT, None)),
    (sa.ArgumentError("bad argument"), (OTHER, ["bad argument"])),
    (sa.NoResultFound("none"), (OTHER, ["none"])),
    (ValueError("plain"), (OTHER, ["plain"])),
    (ValueError("text", 5), (OTHER, ["text", "5"])),
    (KeyError(), (OTHER, "")),
    (sa.SQLAlchemyError(), (OTHER, None)),
])
def test_other_errors(err, expected):
    message, detail = format_faultmap(err)
    assert message == expected[0]
    assert detail == (expected[1] if expected[1] is not None else [str(a) for a in err.args] or str(err))


def test_detail_keeps_str_arguments_and_converts_the_rest():
    class Tag(str):
        pass

    tag = Tag("tagged")
    message, detail = format_faultmap(Exception(tag, 5, None))
    assert type(detail) is list and detail[0] is tag and detail[1:] == ["5", "None"]


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


def with_orig(orig):
    err = integrity(Exception("x"))
    err.orig = orig
    return err


@pytest.mark.parametrize("err, error", [
    (type("NoArgs", (), {})(), AttributeError), ("a bare string", AttributeError),
    (Exception(BadStr()), RuntimeError), (with_orig(BadStr()), RuntimeError),
])
def test_failures_propagate(err, error):
    with pytest.raises(error):
        format_faultmap(err)


def test_integrity_formatter_is_found_at_call_time(monkeypatch):
    monkeypatch.setattr(faultmap, "_format_integrity_error", lambda exc: ("patched", None))
    assert format_faultmap(integrity(None)) == ("patched", None)


def test_surface():
    assert format_faultmap.__annotations__ == {"exc": "SQLAlchemyError", "return": "Tuple[str, str]"}
    assert _format_integrity_error.__annotations__ == {"exc": "IntegrityError", "return": "Tuple[str, str]"}
    assert format_faultmap.__doc__.startswith("格式化 SQLAlchemy 异常，返回 (友好提示, 原始错误信息)")
    assert _format_integrity_error.__doc__ == "格式化完整性错误，提供更具体的约束冲突提示"
    assert str(inspect.signature(format_faultmap)) == "(exc: 'SQLAlchemyError') -> 'Tuple[str, str]'"
    for name in ("SQLAlchemyError", "IntegrityError", "DataError", "OperationalError",
                 "ProgrammingError", "DatabaseError", "InterfaceError", "StatementError"):
        assert getattr(faultmap, name) is getattr(sa, name)
    with pytest.raises(TypeError, match=r"format_faultmap\(\) missing 1 required positional argument: 'exc'"):
        format_faultmap()
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        format_faultmap(1, 2)
    assert format_faultmap(exc=ValueError("k"))[0] == OTHER
