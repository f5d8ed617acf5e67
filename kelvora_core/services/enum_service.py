"""The enumerations of the service, loaded once at start-up and read from memory.

``EnumService.load()`` reads every active schema, field and value of the enumeration tables
(``kelvora_enum``) from their database into a snapshot that request code can read without a
database round trip: labels of stored codes, the values a field offers. When the tables do not
exist (a service that does not use enumerations, or a database not created yet) it logs that
and leaves the snapshot empty.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, ClassVar, cast


from sqlalchemy import RowMapping, Select, Table, inspect, select
from sqlalchemy.ext.asyncio import AsyncConnection

from ..engine.database_engine import DatabaseEngine
from ..logger.logging_ import logging

__all__ = ["EnumEntry", "EnumService"]


@dataclass(frozen=True, slots=True)
class EnumEntry:
    """One value of an enumeration field."""

    label: str
    value: str
    pid: str
    disabled: bool
    children: tuple[EnumEntry, ...] = field(default=())




class EnumService:
    """Namespace of the enumeration snapshot; ``load()`` replaces it as a whole."""

    _snapshot: ClassVar[MappingProxyType] = MappingProxyType({})
    _loaded: ClassVar[bool] = False
    _lock: ClassVar[threading.Lock] = threading.Lock()

    @classmethod
    async def load(cls) -> None:
        """Read the enumerations from their database; nothing changes when the tables are absent."""
        from kelvora_enum.generate.entity_table import EnumField, EnumSchema, EnumValue
        from kelvora_enum.registry import enum_registry

        # getattr: SQLModel does not declare __table__ to the type checker.
        schema_t, field_t, value_t = (
            cast(Table, getattr(model, "__table__")) for model in (EnumSchema, EnumField, EnumValue)  # noqa: B009
        )
        engine = DatabaseEngine().get_async_engine(enum_registry.engine_name)
        async with engine.connect() as connection:
            missing = await connection.run_sync(
                lambda sync: [
                    t.name for t in (schema_t, field_t, value_t)
                    if not inspect(sync).has_table(t.name, schema=t.schema)
                ]
            )
            if missing:
                logging.debug("枚举表不存在: " + ", ".join(missing) + "，跳过加载枚举")
                return
            schemas = await _rows(connection, select(schema_t.c.schema_id, schema_t.c.schema_name)
                                  .where(schema_t.c.is_active))
            fields = await _rows(connection, select(field_t.c.field_id, field_t.c.schema_id, field_t.c.field_name)
                                 .where(field_t.c.is_active)
                                 .order_by(field_t.c.sort_order, field_t.c.field_id))
            values = await _rows(connection, select(value_t.c.field_id, value_t.c.enum_label, value_t.c.enum_value,
                                                    value_t.c.enum_pid, value_t.c.enum_disabled)
                                 .where(value_t.c.is_active)
                                 .order_by(value_t.c.sort_order, value_t.c.value_id))

        by_field: dict[int, list[RowMapping]] = {}
        for row in values:
            by_field.setdefault(row["field_id"], []).append(row)
        schema_names = {row["schema_id"]: row["schema_name"] for row in schemas}
        snapshot: dict[str, dict[str, tuple[EnumEntry, ...]]] = {name: {} for name in schema_names.values()}
        for row in fields:
            schema_name = schema_names.get(row["schema_id"])
            if schema_name is not None:
                snapshot[schema_name][row["field_name"]] = _tree(by_field.get(row["field_id"], []))

        frozen = MappingProxyType({name: MappingProxyType(f) for name, f in snapshot.items()})
        with cls._lock:
            EnumService._snapshot = frozen
            EnumService._loaded = True
        field_count = sum(len(f) for f in frozen.values())
        logging.debug("加载枚举: " + str(len(frozen)) + " 个 schema, " + str(field_count) + " 个字段")

    @classmethod
    def loaded(cls) -> bool:
        """Whether a load has found the tables (the snapshot may still be empty)."""
        return EnumService._loaded

    @classmethod
    def schemas(cls) -> MappingProxyType:
        """The whole snapshot: schema name -> field name -> top-level entries."""
        return EnumService._snapshot

    @classmethod
    def values(cls, schema_name: str, field_name: str) -> tuple[EnumEntry, ...]:
        """The top-level entries of a field (children nested); empty when unknown."""
        return EnumService._snapshot.get(schema_name, {}).get(field_name, ())

    @classmethod
    def label(cls, schema_name: str, field_name: str, value: str, default: str | None = None) -> str | None:
        """The label of a stored code at any level of the field's tree, else ``default``."""
        pending = list(cls.values(schema_name, field_name))
        while pending:
            entry = pending.pop()
            if entry.value == value:
                return entry.label
            pending.extend(entry.children)
        return default


async def _rows(connection: AsyncConnection, statement: Select[Any]) -> list[RowMapping]:
    return list((await connection.execute(statement)).mappings().all())


def _tree(rows: list[RowMapping]) -> tuple[EnumEntry, ...]:
    """Nest a field's values by parent code; values whose parent is missing stay on top."""
    codes = {row["enum_value"] for row in rows}
    children: dict[str, list[RowMapping]] = {}
    top: list[RowMapping] = []
    for row in rows:
        if row["enum_pid"] in codes and row["enum_pid"] != row["enum_value"]:
            children.setdefault(row["enum_pid"], []).append(row)
        else:
            top.append(row)
    reached: set[str] = set()

    def build(row: RowMapping) -> EnumEntry:
        reached.add(row["enum_value"])
        kids = tuple(
            build(child) for child in children.get(row["enum_value"], ()) if child["enum_value"] not in reached
        )
        return EnumEntry(row["enum_label"], row["enum_value"], row["enum_pid"], bool(row["enum_disabled"]), kids)

    entries = [build(row) for row in top]
    # Values on a cycle of parents (hand-edited data) hang from no top value: keep them visible.
    entries.extend(build(row) for row in rows if row["enum_value"] not in reached)
    return tuple(entries)
