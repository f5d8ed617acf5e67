"""Enumeration tables: schemas, their fields and the fields' values.

Both modules are imported here so the foreign key from fields to schemas always finds its
table, whichever module a caller imports first.
"""

from .sys_enum_field import EnumField, EnumFieldResponse, EnumValue
from .sys_enum_schema import EnumSchema

__all__ = ["EnumField", "EnumFieldResponse", "EnumSchema", "EnumValue"]
