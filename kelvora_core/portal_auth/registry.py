"""The model registry of the user accounts' database."""

from __future__ import annotations

from sqlalchemy.orm import registry
from sqlmodel import SQLModel

__all__ = ["AuthTable", "ModelRegistry", "auth_registry"]


class ModelRegistry(registry):
    """An ORM registry that also names the database (``engine_name``) its tables live in.

    Each database gets its own registry, so its ``metadata`` holds exactly that database's
    tables and the start-up check can create them there.
    """

    def __init__(self, engine_name: str, **kwargs) -> None:
        if not isinstance(engine_name, str) or not engine_name:
            raise ValueError(f"engine_name must be a non-empty text, got {engine_name!r}")
        super().__init__(**kwargs)
        self.engine_name = engine_name

    def __repr__(self) -> str:
        return f"<ModelRegistry engine_name={self.engine_name!r} tables={sorted(self.metadata.tables)}>"


auth_registry = ModelRegistry("Auth")


class AuthTable(SQLModel, registry=auth_registry):
    """Base of the tables of the "Auth" database: they land in ``auth_registry.metadata``."""
