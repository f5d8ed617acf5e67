"""The enumeration tables as the source of the core's enumeration snapshot.

Imported with the package (``kelvora_enum/__init__.py``), it registers ``read_enumerations``
with ``EnumService``, so the core reads these tables without importing this package.
"""

from __future__ import annotations

from typing import Any, cast

from sqlalchemy import RowMapping, Select, Table, inspect, select
from sqlalchemy.ext.asyncio import AsyncConnection

from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.logger.logging_ import logging
from kelvora_core.services.enum_service import EnumEntry, EnumService, EnumSnapshot

from ..generate.entity_table import EnumField, EnumSchema, EnumValue
from ..registry import enum_registry

__all__ = ["read_enumerations"]


async def read_enumerations() -> EnumSnapshot | None:
    """Every active schema, field and value, values nested by parent; None when the tables are absent."""
    schema_t, field_t, value_t = (cast(Table, inspect(model).local_table)
                                  for model in (EnumSchema, EnumField, EnumValue))
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
            return None
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
    return snapshot


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


EnumService.use_source(read_enumerations)
