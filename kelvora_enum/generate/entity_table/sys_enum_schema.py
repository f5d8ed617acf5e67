"""Enumeration schemas: named groups of enumeration fields (one per form or domain)."""

from sqlalchemy import BigInteger
from sqlmodel import Field

from kelvora_core.utils.minter import get_primary_id

from .base import EnumTable

__all__ = ["EnumSchema"]


class EnumSchema(EnumTable, table=True):
    __tablename__ = "sys_enum_schema"

    schema_id: int | None = Field(
        default_factory=get_primary_id, primary_key=True, sa_type=BigInteger
    )
    schema_name: str = Field(max_length=100, unique=True, index=True)
    schema_label: str = Field(default="", max_length=200)
    is_active: bool = True
