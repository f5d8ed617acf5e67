"""The OpenAPI document declares the error answers each route can give, in their real shape.

Every error answer has the body :class:`ErrorBody`. When the document is first made, each
operation is given the error statuses its route can answer, unless it declares them itself
(the framework's own 422 body, which the handlers never answer, is replaced):

- 400 and 413 with a body (one that cannot be parsed; one over ``http.max_body_bytes``),
- 401 with a security scheme among its dependencies,
- 404 with path parameters,
- 422 with parameters or a body,
- 503 always (a database outage),
- whatever its dependencies declare in an ``error_statuses`` attribute (the permission
  dependency: 403).

Required text fields of a form get ``minLength: 1``: the framework reads an empty one as missing.

Route-specific answers (a 409 for a duplicate) are declared on the route with
``error_responses(409)``.
"""

from __future__ import annotations

import inspect
from collections.abc import Iterator
from functools import partial
from typing import Any

from fastapi import FastAPI
from fastapi.dependencies.models import Dependant
from fastapi.routing import APIRoute, iter_route_contexts
from fastapi.security.base import SecurityBase

from ..schemas.errors import ErrorBody

__all__ = ["ERROR_DESCRIPTIONS", "error_responses", "install"]

ERROR_DESCRIPTIONS = {
    400: "请求体无法解析，或查询条件不正确",
    401: "未登录、令牌无效或已过期，或登录失败",
    403: "没有访问权限",
    404: "资源不存在",
    409: "数据冲突，例如名称重复",
    413: "请求体过大",
    422: "请求参数校验失败",
    503: "数据库暂不可用，请稍后重试",
}
_REF_PREFIX = "#/components/schemas/"
_SCHEMA_REF = {"$ref": _REF_PREFIX + "ErrorBody"}
_FRAMEWORK_REF = _REF_PREFIX + "HTTPValidationError"
_AUTHENTICATE = {"WWW-Authenticate": {"description": "Bearer", "schema": {"type": "string"}}}


def error_responses(*codes: int) -> dict[int | str, dict[str, Any]]:
    """``responses=`` for a route decorator: the given error statuses with the error body."""
    return {code: {"model": ErrorBody, "description": ERROR_DESCRIPTIONS.get(code, "错误")} for code in codes}


def _declared(code: int) -> dict[str, Any]:
    response: dict[str, Any] = {"description": ERROR_DESCRIPTIONS.get(code, "错误"),
                                "content": {"application/json": {"schema": dict(_SCHEMA_REF)}}}
    if code == 401:
        response["headers"] = dict(_AUTHENTICATE)
    return response


def _unwrapped(call: Any) -> Any:
    while isinstance(call, partial):
        call = call.func
    return inspect.unwrap(call) if callable(call) else call


def _dependants(dependant: Dependant | None) -> Iterator[Dependant]:
    seen: set[int] = set()
    stack = [dependant] if dependant is not None else []
    while stack:
        current = stack.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        yield current
        stack.extend(current.dependencies)


def error_statuses(route: Any) -> set[int]:
    """The error statuses a route can answer, from its parameters, body and dependencies."""
    codes = {503}
    if route.body_field is not None:
        codes |= {400, 413, 422}
    for dependant in _dependants(route.dependant):
        if dependant.path_params:
            codes |= {404, 422}
        if dependant.query_params or dependant.header_params or dependant.cookie_params:
            codes.add(422)
        call = _unwrapped(dependant.call)
        if isinstance(call, SecurityBase):
            codes.add(401)
        codes.update(getattr(call, "error_statuses", ()))
    return codes


def _is_framework_validation(response: Any) -> bool:
    schema = (response.get("content", {}).get("application/json", {}).get("schema", {})
              if isinstance(response, dict) else {})
    return schema.get("$ref") == _FRAMEWORK_REF


def _declare(operation: dict[str, Any], codes: set[int]) -> None:
    responses = operation.setdefault("responses", {})
    if "default" in responses:
        return
    for code in sorted(codes):
        key = str(code)
        if key not in responses or _is_framework_validation(responses[key]):
            responses[key] = _declared(code)


_FORMS = ("application/x-www-form-urlencoded", "multipart/form-data")


def _form_fields_need_text(document: dict[str, Any], operation: dict[str, Any]) -> None:
    """The framework reads an empty form field as a missing one, so a required text field of a
    form needs at least one character; the generated schema does not say so."""
    schemas = document.get("components", {}).get("schemas", {})
    for media_type, content in operation.get("requestBody", {}).get("content", {}).items():
        if media_type not in _FORMS:
            continue
        schema = content.get("schema", {})
        ref = schema.get("$ref", "")
        if ref.startswith(_REF_PREFIX):
            schema = schemas.get(ref[len(_REF_PREFIX):], {})
        properties = schema.get("properties", {})
        for name in schema.get("required", ()):
            field = properties.get(name, {})
            if field.get("type") == "string":
                field.setdefault("minLength", 1)


def _referenced(document: Any, ref: str) -> bool:
    stack = [document]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            if item.get("$ref") == ref:
                return True
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
    return False


def _openapi(app: FastAPI, generate: Any) -> dict[str, Any]:
    if app.openapi_schema is None:
        document = generate()
        paths = document.get("paths", {})
        for context in iter_route_contexts(app.routes):
            if not isinstance(context.original_route, APIRoute) or not context.include_in_schema:
                continue
            item = paths.get(context.path_format, {})
            codes = error_statuses(context)
            for method in context.methods or ():
                operation = item.get(method.lower())
                if operation is not None:
                    _declare(operation, codes)
                    _form_fields_need_text(document, operation)
        schemas = document.setdefault("components", {}).setdefault("schemas", {})
        schemas.setdefault("ErrorBody", ErrorBody.model_json_schema(ref_template="#/components/schemas/{model}"))
        # The framework's own validation body is never answered: the handlers answer ErrorBody.
        for name in ("HTTPValidationError", "ValidationError"):
            if not _referenced(document.get("paths", {}), _REF_PREFIX + name):
                schemas.pop(name, None)
        app.openapi_schema = document
    return app.openapi_schema


def install(app: FastAPI) -> None:
    """Make ``app.openapi()`` declare the error answers (the framework calls it for /openapi.json)."""
    app.openapi = partial(_openapi, app, app.openapi)  # type: ignore[method-assign]
