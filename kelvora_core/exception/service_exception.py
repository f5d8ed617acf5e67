"""Errors that services raise on purpose and the exception handlers turn into responses.

Each carries a user-facing ``message`` (also its ``str()``), optional ``errors`` (a machine
readable record, or the text of the failure behind it) and optional ``fields`` (the request
field or fields at fault). ``status_code`` is the HTTP status the handlers answer with.
"""

from __future__ import annotations

from typing import Any, ClassVar

__all__ = ["AuthError", "ForbiddenError", "QueryError", "ServiceError", "ThrottledError", "ValidError"]


class ServiceError(Exception):
    """Base of the errors a service raises for its caller; never a bug of the service itself."""

    status_code: ClassVar[int] = 400
    default_message: ClassVar[str] = "请求无法处理"

    def __init__(self, message: str | None = None, *, errors: Any = None, fields: Any = None) -> None:
        self.message = self.default_message if message is None else str(message)
        self.errors = errors
        self.fields = fields
        super().__init__(self.message)

    def __str__(self) -> str:
        return self.message

    def __repr__(self) -> str:
        extra = "".join(f", {name}={value!r}" for name in ("errors", "fields")
                        if (value := getattr(self, name)) is not None)
        return f"{type(self).__name__}({self.message!r}{extra})"

    def __reduce__(self):
        # Keyword-only extras would be lost by the default (args-only) pickling.
        return (_rebuild, (type(self), self.message, self.errors, self.fields))


def _rebuild(cls: type[ServiceError], message: str, errors: Any, fields: Any) -> ServiceError:
    return cls(message, errors=errors, fields=fields)


class AuthError(ServiceError):
    """The caller is not authenticated: no, bad or expired credentials."""

    status_code = 401
    default_message = "认证失败"


class ForbiddenError(ServiceError):
    """The caller is authenticated but may not do this."""

    status_code = 403
    default_message = "没有访问权限"


class ValidError(ServiceError):
    """Submitted data is not acceptable; ``fields`` names the field(s) at fault."""

    status_code = 422
    default_message = "数据校验失败"


class QueryError(ServiceError, ValueError):
    """A query names an unknown field or operator, or is malformed."""

    status_code = 400
    default_message = "查询条件不正确"


class ThrottledError(ServiceError):
    """Too many requests of a kind: the caller may try again after ``retry_after`` seconds."""

    status_code = 429
    default_message = "请求过于频繁，请稍后重试"

    def __init__(self, message: str | None = None, *, retry_after: int = 1, errors: Any = None,
                 fields: Any = None) -> None:
        super().__init__(message, errors=errors, fields=fields)
        self.retry_after = max(1, int(retry_after))

    def __reduce__(self):
        return (_rebuild_throttled, (self.message, self.retry_after, self.errors, self.fields))


def _rebuild_throttled(message: str, retry_after: int, errors: Any, fields: Any) -> ThrottledError:
    return ThrottledError(message, retry_after=retry_after, errors=errors, fields=fields)
