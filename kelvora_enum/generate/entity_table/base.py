"""Common base of the enumeration tables: their own registry, ids from the id generator."""

from __future__ import annotations

from sqlmodel import SQLModel

from ...registry import enum_registry

__all__ = ["EnumTable"]


class EnumTable(SQLModel, registry=enum_registry):
    """Tables derived from this class belong to ``enum_registry``, not SQLModel's global one."""
