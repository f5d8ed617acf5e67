"""Statement parameters that the backends would not treat alike are refused before the driver.

- A text holding NUL: PostgreSQL refuses it (as a driver error), SQLite and MariaDB store it.
- A whole number outside 64 bits: SQLite's driver raises ``OverflowError``, asyncpg a data
  error, MariaDB compares it as a decimal.

Either way the caller gets :class:`ValidError` (422) on every backend, and no driver is asked.
"""

from __future__ import annotations

from typing import Any

from sqlalchemy import event
from sqlalchemy.ext.asyncio import AsyncEngine

from ..exception.service_exception import ValidError

__all__ = ["check_parameters", "guard_parameters"]

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def _check_value(value: Any) -> None:
    kind = type(value)
    if kind is str:
        if "\x00" in value:
            raise ValidError("文本中不能包含 NUL 字符")
    elif kind is int:
        if not _INT64_MIN <= value <= _INT64_MAX:
            raise ValidError("数值超出 64 位整数的范围")
    elif isinstance(value, (list, tuple)):  # array values, expanded "in" lists
        for item in value:
            _check_value(item)
    elif isinstance(value, str):
        _check_value(str(value))
    elif isinstance(value, int) and not isinstance(value, bool):
        _check_value(int(value))


def check_parameters(parameters: Any) -> None:
    """Raise :class:`ValidError` for the first parameter that no backend would store alike;
    ``parameters`` as a cursor receives them: a sequence or mapping, or a list of those."""
    if isinstance(parameters, dict):
        parameters = parameters.values()
    elif not isinstance(parameters, (list, tuple)):
        return
    for item in parameters:
        if isinstance(item, dict):
            for value in item.values():
                _check_value(value)
        else:
            _check_value(item)


def _before_cursor_execute(conn: Any, cursor: Any, statement: str, parameters: Any, context: Any,
                           executemany: bool) -> None:
    check_parameters(parameters)


def guard_parameters(engine: AsyncEngine) -> None:
    """Check every statement's parameters on ``engine`` before they are sent."""
    if not event.contains(engine.sync_engine, "before_cursor_execute", _before_cursor_execute):
        event.listen(engine.sync_engine, "before_cursor_execute", _before_cursor_execute)
