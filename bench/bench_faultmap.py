"""Database errors to user messages (format_faultmap), one row per branch."""

import functools

from sqlalchemy import exc as sa

from kelvora_core.exception.faultmap import format_faultmap

CYTHON = True  # the plain rows also run compiled with Cython 3


def plain_detail(exc):
    detail = [a if isinstance(a, str) else str(a) for a in exc.args]
    return detail if detail else (exc if isinstance(exc, str) else str(exc))


def plain_integrity(exc):
    orig = getattr(exc, "orig", None)
    message = "您提交的数据，违反了数据库约束。"
    detail = plain_detail(exc)
    if orig:
        text = (orig if isinstance(orig, str) else str(orig)).lower()
        if "unique" in text or "duplicate" in text:
            message = "您提交的数据已存在，请勿重复添加"
        elif "foreignkey" in text or "foreign key" in text:
            message = "外键不存在，请检查关联数据"
        elif "not null" in text:
            message = "必填字段不能为空"
        elif "check constraint" in text:
            message = "数据未通过校验规则"
        elif "too long" in text:
            message = "输入数据长度超出限制"
    return message, detail


def plain_format(exc):
    detail = plain_detail(exc)
    if isinstance(exc, sa.IntegrityError):
        return plain_integrity(exc)
    if isinstance(exc, sa.DataError):
        return "提交的数据格式或长度不正确，请检查输入", detail
    if isinstance(exc, sa.OperationalError):
        return "数据库连接或操作失败，请检查服务状态或稍后重试", detail
    if isinstance(exc, sa.ProgrammingError):
        return "数据库操作语句有误，请联系管理员", detail
    if isinstance(exc, sa.StatementError):
        return "执行的数据库语句存在问题，请检查查询条件或参数", detail
    return "访问数据库异常，请联系管理员", detail


ERRORS = {
    "integrity: unique": sa.IntegrityError("INSERT", {}, Exception("UNIQUE constraint failed: t.x")),
    "integrity: too long (last rule)": sa.IntegrityError("INSERT", {}, Exception("Data too long for 'c'")),
    "integrity: no orig": sa.IntegrityError("INSERT", {}, None),
    "data error": sa.DataError("INSERT", {}, Exception("bad")),
    "operational error": sa.OperationalError("SELECT", {}, Exception("gone")),
    "programming error": sa.ProgrammingError("SELEC", {}, Exception("syntax")),
    "statement (interface) error": sa.InterfaceError("SELECT", {}, Exception("iface")),
    "other (ValueError)": ValueError("plain", 5),
}

for err in ERRORS.values():
    assert format_faultmap(err) == plain_format(err)


def bound(fn, err):
    # A C-level partial, not a lambda: this module is also compiled by Cython, and
    # a compiled lambda would make the cython column's harness cheaper than the others'.
    return functools.partial(fn, err)


CASES = []
for label, err in ERRORS.items():
    CASES.append((f"format_faultmap {label}", "native", bound(format_faultmap, err), 1))
    CASES.append((f"format_faultmap {label}", "python", bound(plain_format, err), 1))
