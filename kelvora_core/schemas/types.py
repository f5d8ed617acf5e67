"""Field types whose JSON form a browser or any JSON client reads without loss.

- ``Text``: a text without NUL characters. PostgreSQL cannot store NUL in a text column and
  the other backends would store what PostgreSQL refuses, so it is refused everywhere alike.
- ``UtcDateTime``: the tables keep naive UTC times; answered with their offset ("...Z"), so a
  client never reads them as its local time.
- ``Int64Text``: a 64-bit integer answered as decimal text. JSON numbers above 2**53 lose
  digits in JavaScript, and snowflake ids are far above it.
- ``Int64``: a whole number the database's BIGINT holds.
"""

from __future__ import annotations

from datetime import UTC, datetime
from typing import Annotated

from pydantic import AfterValidator, Field, PlainSerializer, StringConstraints, WithJsonSchema

__all__ = ["INT64_MAX", "INT64_MIN", "NUL_FREE", "Int64", "Int64Text", "Text", "UtcDateTime"]

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

#: A JSON Schema (and Python) pattern that matches every text without a NUL character.
NUL_FREE = r"^[^\x00]*$"

Text = Annotated[str, StringConstraints(pattern=NUL_FREE)]

Int64 = Annotated[int, Field(ge=INT64_MIN, le=INT64_MAX)]


def _as_utc(value: datetime) -> datetime:
    return value.replace(tzinfo=UTC) if value.tzinfo is None else value.astimezone(UTC)


UtcDateTime = Annotated[datetime, AfterValidator(_as_utc)]

Int64Text = Annotated[
    int,
    Field(ge=INT64_MIN, le=INT64_MAX),
    PlainSerializer(str, return_type=str, when_used="json"),
    WithJsonSchema({"type": "string", "pattern": r"^-?[0-9]{1,19}$",
                    "description": "64-bit integer as decimal text"}, mode="serialization"),
]
