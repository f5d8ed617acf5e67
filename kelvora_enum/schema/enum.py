"""What a client asks the enumeration service for."""

from __future__ import annotations

from typing import Annotated, Any

from pydantic import BaseModel, ConfigDict, Field, model_validator

from kelvora_core.schemas.types import NUL_FREE

__all__ = ["MAX_FIELDS", "LexiconRequest"]

#: Fields one request may name: a schema has few, and every name costs a condition.
MAX_FIELDS = 32

_Name = Annotated[str, Field(min_length=1, max_length=100, pattern=NUL_FREE)]
_Parent = Annotated[str, Field(max_length=100, pattern=NUL_FREE)]


def _array(count: int) -> dict[str, Any]:
    return {"type": "array", "minItems": count, "maxItems": count}


def _parallel_lengths(schema: dict[str, Any]) -> None:
    """The rule that ``pid`` and ``name`` run parallel to ``key``, in JSON Schema: one branch
    per length of ``key`` (a missing, null or empty ``key`` counts as length 0)."""
    branches: list[dict[str, Any]] = []
    for count in range(MAX_FIELDS + 1):
        key = {"anyOf": [{"type": "null"}, _array(0)]} if count == 0 else _array(count)
        parallel = {"anyOf": [{"type": "null"}, _array(count)]}
        branch: dict[str, Any] = {"title": f"{count} 个字段",
                                  "properties": {"key": key, "pid": parallel, "name": parallel}}
        if count:
            branch["required"] = ["key"]
        branches.append(branch)
    schema["anyOf"] = branches
    schema["examples"] = [{"key": ["region", "status"], "pid": ["-1", "-1"], "name": ["地区", "状态"]}]


class LexiconRequest(BaseModel):
    """The values of some fields of a schema.

    ``key``: the field names; empty or absent means every field of the schema.
    ``pid``: per field, the value whose children are wanted ("-1" for the top level);
    absent means the top level of every field.
    ``name``: per field, the name its values are returned under (default: the field name).
    ``pid`` and ``name`` run parallel to ``key``, so they have its length. At most
    ``MAX_FIELDS`` entries each.
    """

    model_config = ConfigDict(extra="forbid", json_schema_extra=_parallel_lengths)

    key: list[_Name] | None = Field(default=None, max_length=MAX_FIELDS)
    pid: list[_Parent] | None = Field(default=None, max_length=MAX_FIELDS)
    name: list[_Name] | None = Field(default=None, max_length=MAX_FIELDS)

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
