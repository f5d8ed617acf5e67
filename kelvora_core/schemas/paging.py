"""Paged list answers: which page a request asks for, and the page with the total.

``page_params()`` makes the query parameters ``page`` and ``size`` of a list route, bounded by
``AppConfig.paging`` as it stands when the route module is imported (the OpenAPI document shows
the same bounds the route enforces). ``QueryService.query_page`` answers a :class:`Page`.
"""

# No postponed annotations: the query parameters' bounds are read from the configuration.
from collections.abc import Callable
from dataclasses import dataclass
from typing import Annotated, Generic, TypeVar

from fastapi import Query
from pydantic import BaseModel, Field

from ..config.app_config import AppConfig

__all__ = ["MAX_PAGE", "Page", "PageParams", "page_params"]

# Far beyond any real list, and the row offset it makes still fits every backend's integer.
MAX_PAGE = 2**31 - 1

T = TypeVar("T")


class Page(BaseModel, Generic[T]):
    """One page of a list: its rows, how many rows the whole list has, which page, how many per page."""

    items: list[T]
    total: int = Field(ge=0, description="整个列表的行数")
    page: int = Field(ge=1, description="页码，从 1 开始")
    size: int = Field(ge=1, description="每页最多行数")


@dataclass(frozen=True, slots=True)
class PageParams:
    page: int
    size: int


def page_params() -> Callable[..., PageParams]:
    """A dependency reading ``page`` and ``size`` from the query string."""
    paging = AppConfig.paging

    def params(page: Annotated[int, Query(ge=1, le=MAX_PAGE, description="页码，从 1 开始")] = 1,
               size: Annotated[int, Query(ge=1, le=paging.max_size, description="每页行数")] = paging.default_size,
               ) -> PageParams:
        return PageParams(page, size)

    return params
