"""Exception handlers: every error of the service answers with one JSON shape.

    {"code": <HTTP status>, "type": <kind of error>, "message": <text for the user>,
     "errors": <detail or null>, "fields": [<request fields at fault>]}

Details that could expose internals (database error texts, exception texts) are only sent
outside production (``AppConfig.environment.is_prod`` false).

The request guards of ``kelvora_core.web`` (body limit, CORS, security headers, the error
answers in the OpenAPI document) are installed with the handlers: their refusals are error
answers of the same shape, and the headers belong on every answer.
"""

from __future__ import annotations

from http import HTTPStatus
from collections.abc import Mapping
from typing import Any, cast

from fastapi import FastAPI, Request
from fastapi.encoders import jsonable_encoder
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from fastapi.routing import iter_route_contexts
from sqlalchemy.exc import DataError, IntegrityError, SQLAlchemyError
from starlette.datastructures import MutableHeaders
from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.routing import Match
from starlette.status import HTTP_500_INTERNAL_SERVER_ERROR

from .. import web
from ..config.app_config import AppConfig
from ..engine.availability import database_of, is_unavailable, outages
from ..logger.logging_ import logging
from ..web.headers import add_security_headers
from .faultmap import format_faultmap
from .service_exception import AuthError, ServiceError, ThrottledError
from .unhandled import UnhandledErrors

__all__ = ["error_body", "register_exception_handlers"]

INTERNAL_MESSAGE = "服务器内部错误，请稍后重试"
UNAVAILABLE_MESSAGE = "数据库连接或操作失败，请检查服务状态或稍后重试"
VALIDATION_MESSAGE = "请求参数校验失败"

_SERVICE_TYPES = {401: "auth_error", 403: "forbidden", 422: "valid_error", 400: "query_error",
                  429: "too_many_requests"}


def _is_prod() -> bool:
    return bool(AppConfig.environment.is_prod)


def _fields(fields: Any) -> list[str]:
    if fields is None:
        return []
    if isinstance(fields, (list, tuple, set, frozenset)):
        return [str(name) for name in fields]
    return [str(fields)]


def _text(value: Any) -> str:
    try:
        return str(value)
    except Exception:  # a broken __str__ must not turn an error answer into another error
        return object.__repr__(value)


def _json_safe(value: Any) -> Any:
    try:
        return jsonable_encoder(value)
    except Exception:  # an object the encoder cannot take apart still says something as text
        return _text(value)


def error_body(code: int, kind: str, message: str, errors: Any = None, fields: Any = None) -> dict[str, Any]:
    """The body every error response carries."""
    return {"code": code, "type": kind, "message": message, "errors": _json_safe(errors),
            "fields": _fields(fields)}


def _response(code: int, kind: str, message: str, errors: Any = None, fields: Any = None,
              headers: Mapping[str, str] | None = None) -> JSONResponse:
    return JSONResponse(error_body(code, kind, message, errors, fields), status_code=code,
                        headers=dict(headers) if headers else None)


def _service_errors(exc: ServiceError) -> Any:
    """A record (dict) is meant for the client. A text is usually the text of the failure the
    error was raised from: in production only when that failure was itself a service error
    (then it is a user-facing message, not an internal detail)."""
    if exc.errors is None or isinstance(exc.errors, (dict, list)) or not _is_prod():
        return exc.errors
    return exc.errors if isinstance(exc.__context__, ServiceError) else None


async def _service_error(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, ServiceError)  # registered for that class only
    code = exc.status_code
    headers = {"WWW-Authenticate": "Bearer"} if isinstance(exc, AuthError) else None
    if isinstance(exc, ThrottledError):
        headers = {"Retry-After": str(exc.retry_after)}
    kind = _SERVICE_TYPES.get(code, "service_error")
    return _response(code, kind, exc.message, _service_errors(exc), exc.fields, headers)


def _location(loc: tuple[Any, ...]) -> str:
    # ("body", "user", "name") -> "user.name"; the first part only says where it came from
    parts = loc[1:] if len(loc) > 1 and loc[0] in ("body", "query", "path", "header", "cookie") else loc
    return ".".join(str(part) for part in parts)


def _validation_error(error: Mapping[str, Any]) -> dict[str, str]:
    loc, kind, message = tuple(error.get("loc", ())), str(error.get("type", "")), str(error.get("msg", ""))
    if kind == "json_invalid":
        # The location holds the character offset of a body that is not JSON, not a field.
        position = loc[1] if len(loc) > 1 else None
        reason = (error.get("ctx") or {}).get("error")
        message = f"{message}: {reason}" if reason else message
        if isinstance(position, int):
            message += f" (position {position})"
        return {"field": "body", "message": message, "type": kind}
    return {"field": _location(loc), "message": message, "type": kind}


async def _request_validation(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, RequestValidationError)  # registered for that class only
    # Only location, text and kind: the rejected input may be a password.
    errors = [_validation_error(error) for error in exc.errors()]
    fields = list(dict.fromkeys(error["field"] for error in errors))
    return _response(422, "request_validation", VALIDATION_MESSAGE, errors, fields)


def _database_status(exc: SQLAlchemyError) -> int:
    if isinstance(exc, IntegrityError):
        return 409
    if isinstance(exc, DataError):
        return 422
    if is_unavailable(exc):  # refused, lost, exhausted pool, operational failure
        return 503
    return 500


def _unavailable(exc: Exception) -> JSONResponse:
    # Logged once per outage and cause, not per request; the message is the operational one
    # whatever the error's class (a lost connection is not a fault of the statement).
    outages.report(exc)
    # format_faultmap takes any object; a driver's own error gets its generic message there.
    detail = None if _is_prod() else format_faultmap(cast(SQLAlchemyError, exc))[1]
    return _response(503, "database_error", UNAVAILABLE_MESSAGE, detail)


def _first_line(text: str) -> str:
    return text.strip().splitlines()[0] if text.strip() else ""


async def _database_error(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, SQLAlchemyError)  # registered for that class only
    code = _database_status(exc)
    if code == 503:
        return _unavailable(exc)
    message, detail = format_faultmap(exc)
    origin = database_of(exc)
    where = f"数据库异常 [{origin}]" if origin else "数据库异常"
    if code >= 500:
        logging.error(f"{where}: {request.method} {request.url.path} - {type(exc).__name__}: {_text(exc)}",
                      exc_info=True)
    else:  # refused data (a duplicate, a value too long): the client's, one line is enough
        logging.info(f"{where}: {request.method} {request.url.path} - {type(exc).__name__}: "
                     f"{_first_line(_text(exc))}")
    return _response(code, "database_error", message, None if _is_prod() else detail)


def _allowed_methods(request: Request) -> str | None:
    """Every method the routes of this path take. The router answers 405 from the first route
    whose path matched, which names that route's methods only."""
    methods: list[str] = []
    for route in iter_route_contexts(getattr(request.app, "routes", ())):
        route_methods = route.methods
        if route_methods and route.matches(request.scope)[0] is not Match.NONE:
            methods.extend(method for method in sorted(route_methods) if method not in methods)
    return ", ".join(methods) or None


async def _http_error(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, StarletteHTTPException)  # registered for that class only
    detail = exc.detail
    try:
        phrase = HTTPStatus(exc.status_code).phrase
    except ValueError:
        phrase = ""
    message = detail if isinstance(detail, str) else phrase
    headers = dict(exc.headers or {})
    if exc.status_code == 405 and (allowed := _allowed_methods(request)):
        headers = {name: value for name, value in headers.items() if name.lower() != "allow"} | {"Allow": allowed}
    return _response(exc.status_code, "http_error", message, None if isinstance(detail, str) else detail,
                     headers=headers)


def _internal_error(request: Request, exc: Exception) -> JSONResponse:
    text = _text(exc)
    logging.error(f"未处理的异常: {request.method} {request.url.path} - {type(exc).__name__}: {text}", exc_info=True)
    errors = None if _is_prod() else {"exception": type(exc).__name__, "detail": text}
    return _response(HTTP_500_INTERNAL_SERVER_ERROR, "internal_error", INTERNAL_MESSAGE, errors)


async def _unexpected(request: Request, exc: Exception) -> JSONResponse:
    # A driver's own error from connecting (e.g. ConnectionRefusedError) is an outage.
    response = _unavailable(exc) if is_unavailable(exc) else _internal_error(request, exc)
    if AppConfig.http.security_headers:
        # Answered outside the middleware that adds them to every other answer.
        add_security_headers(MutableHeaders(raw=response.raw_headers))
    return response


def register_exception_handlers(app: FastAPI) -> None:
    """Install the handlers on ``app``; more specific classes win, as the framework does."""
    app.add_exception_handler(ServiceError, _service_error)
    app.add_exception_handler(RequestValidationError, _request_validation)
    app.add_exception_handler(SQLAlchemyError, _database_error)
    app.add_exception_handler(StarletteHTTPException, _http_error)
    app.add_exception_handler(Exception, _unexpected)
    web.install(app)
    # Errors no handler above takes are answered inside the framework's own catch-all, which
    # would log them and hand them to the server to log again.
    app.add_middleware(UnhandledErrors, respond=_unexpected)
