"""One configured router package: what router discovery and the start-up check read."""

from __future__ import annotations

import re
from typing import Annotated, Any

from pydantic import BaseModel, ConfigDict, Field, field_validator, model_validator
from pydantic_core import PydanticCustomError

__all__ = ["RouterConfigSetting"]

_DOTTED_NAME = re.compile(r"[A-Za-z_]\w*(\.[A-Za-z_]\w*)*\Z")


def _invalid(message: str) -> PydanticCustomError:
    # The configuration reader reports errors of this type with the text as it stands.
    return PydanticCustomError("kelvora", message)


class RouterConfigSetting(BaseModel):
    """One package whose routers are included, under ``prefix`` and with ``tags``.

    ``name`` alone is enough: the package is then enabled, included without a prefix, keeps
    its routers' own tags and has its registries checked at start-up.
    """

    # YAML already types its scalars, so no coercion; a misspelt key is an error.
    model_config = ConfigDict(strict=True, extra="forbid")

    name: Annotated[str, Field(min_length=1)]
    enabled: bool = True
    prefix: str | None = None
    tags: list[str] | None = None
    check_database: bool = True

    @model_validator(mode="before")
    @classmethod
    def _empty_section(cls, data: Any) -> Any:
        return {} if data is None else data

    @field_validator("name")
    @classmethod
    def _importable(cls, value: str) -> str:
        if not _DOTTED_NAME.match(value):
            raise _invalid("must be an importable package name")
        return value

    @field_validator("prefix")
    @classmethod
    def _route_prefix(cls, value: str | None) -> str | None:
        # The web framework refuses these at inclusion; say so at start-up instead.
        if value and (not value.startswith("/") or value.endswith("/")):
            raise _invalid("must start with '/' and not end with '/'")
        return value
