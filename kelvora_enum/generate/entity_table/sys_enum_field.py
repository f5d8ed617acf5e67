"""Enumeration fields and their values.

A field (``sys_enum_field``) belongs to a schema and offers values (``sys_enum_value``,
the relation ``EnumValues``). Values form a tree per field: ``enum_pid`` holds the
``enum_value`` of the parent value, and "-1" marks the top level; codes are unique within
a field, so the parent is unambiguous.
"""

# No postponed annotations: SQLModel reads the relationship annotations at class creation.
from pydantic import BaseModel
from sqlalchemy import BigInteger, Column, ForeignKey, UniqueConstraint
from sqlmodel import Field, Relationship

from kelvora_core.utils.minter import get_primary_id

from .base import EnumTable

__all__ = ["TOP_LEVEL", "EnumField", "EnumFieldResponse", "EnumValue"]

#: ``enum_pid`` of a value without a parent.
TOP_LEVEL = "-1"


class EnumField(EnumTable, table=True):
    __tablename__ = "sys_enum_field"
    __table_args__ = (UniqueConstraint("schema_id", "field_name"),)

    field_id: int | None = Field(
        default_factory=get_primary_id, primary_key=True, sa_type=BigInteger
    )
    schema_id: int = Field(
        sa_column=Column(
            BigInteger,
            ForeignKey("sys_enum_schema.schema_id", ondelete="CASCADE"),
            nullable=False,
            index=True,
        )
    )
    field_name: str = Field(max_length=100)
    field_label: str = Field(default="", max_length=200)
    sort_order: int = 0
    is_active: bool = True

    EnumValues: list["EnumValue"] = Relationship(
        back_populates="field",
        sa_relationship_kwargs={"order_by": "EnumValue.sort_order, EnumValue.value_id"},
    )


class EnumValue(EnumTable, table=True):
    __tablename__ = "sys_enum_value"
    __table_args__ = (UniqueConstraint("field_id", "enum_value"),)

    value_id: int | None = Field(
        default_factory=get_primary_id, primary_key=True, sa_type=BigInteger
    )
    field_id: int = Field(
        sa_column=Column(
            BigInteger,
            ForeignKey("sys_enum_field.field_id", ondelete="CASCADE"),
            nullable=False,
            index=True,
        )
    )
    enum_label: str = Field(max_length=200)
    enum_value: str = Field(max_length=100)
    enum_pid: str = Field(default=TOP_LEVEL, max_length=100, index=True)
    enum_disabled: bool = False
    sort_order: int = 0
    is_active: bool = True

    field: EnumField = Relationship(back_populates="EnumValues")


class EnumFieldResponse(BaseModel):
    """One field of a schema as the enumeration queries return it."""

    name: str
    label: str | None = None
