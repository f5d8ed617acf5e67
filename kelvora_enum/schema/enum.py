"""What a client asks the enumeration service for."""

from __future__ import annotations

from typing import Annotated

from pydantic import BaseModel, ConfigDict, Field, model_validator

__all__ = ["LexiconRequest"]

_Name = Annotated[str, Field(min_length=1, max_length=100)]


class LexiconRequest(BaseModel):
    """The values of some fields of a schema.

    ``key``: the field names; empty or absent means every field of the schema.
    ``pid``: per field, the value whose children are wanted ("-1" for the top level);
    absent means the top level of every field.
    ``name``: per field, the name its values are returned under (default: the field name).
    ``pid`` and ``name`` run parallel to ``key``, so they have its length.
    """

    model_config = ConfigDict(extra="forbid")

    key: list[_Name] | None = None
    pid: list[Annotated[str, Field(max_length=100)]] | None = None
    name: list[_Name] | None = None

    @model_validator(mode="after")
    def _parallel(self) -> LexiconRequest:
        count = len(self.key or ())
        for label in ("pid", "name"):
            values = getattr(self, label)
            if values is not None and len(values) != count:
                raise ValueError(
                    f"'{label}' must have one entry per 'key' ({count}), got {len(values)}"
                )
        return self
