"""The model registry of the enumeration tables and the database they live in."""

from __future__ import annotations

from sqlalchemy import MetaData
from sqlalchemy.orm import registry

__all__ = ["ENUM_DATABASE", "EngineRegistry", "enum_registry"]

#: Enumerations are system data: by default they sit beside the user accounts.
ENUM_DATABASE = "Auth"


class EngineRegistry(registry):
    """An ORM registry that also names the configured database of its tables."""

    def __init__(self, engine_name: str, **kwargs) -> None:
        if not isinstance(engine_name, str) or not engine_name:
            raise TypeError(f"engine_name must be a non-empty str, got {engine_name!r}")
        kwargs.setdefault("metadata", MetaData())
        super().__init__(**kwargs)
        self.engine_name = engine_name


enum_registry = EngineRegistry(ENUM_DATABASE)
