"""The body of every error answer, as a model for the OpenAPI document."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, Field

__all__ = ["ErrorBody"]


class ErrorBody(BaseModel):
    """An error answer: the status again, its kind, a message for the user, the detail, the
    request fields at fault."""

    code: int = Field(description="HTTP 状态码")
    type: str = Field(description="错误类别：auth_error、forbidden、valid_error、query_error、request_validation、"
                                  "database_error、http_error、internal_error")
    message: str = Field(description="给用户看的说明")
    errors: Any = Field(default=None, description="详细信息（记录、列表或文本），没有时为 null")
    fields: list[str] = Field(description="出错的请求字段")
