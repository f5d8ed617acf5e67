"""A sample enumeration for example services and demonstrations.

``seed_sample_enumeration`` adds the schema "demo" with four fields:

- "region": a three-level tree (area, province, city), with a withdrawn (inactive) province
  and a city that is shown but cannot be chosen (disabled);
- "status": a flat list with a disabled and an inactive value;
- "tag": a field without values;
- "legacy": an inactive field, never answered.

The enumeration tables must exist (the start-up database check creates them from
``enum_registry``).
"""

from __future__ import annotations

from sqlmodel import select
from sqlmodel.ext.asyncio.session import AsyncSession

from .generate.entity_table import EnumField, EnumSchema, EnumValue
from .generate.entity_table.sys_enum_field import TOP_LEVEL

__all__ = ["SAMPLE_SCHEMA", "seed_sample_enumeration"]

SAMPLE_SCHEMA = "demo"

# field name -> (label, active, values); a value is (code, label, parent code, disabled, active).
_FIELDS: dict[str, tuple[str, bool, list[tuple[str, str, str, bool, bool]]]] = {
    "region": ("地区", True, [
        ("east", "华东", TOP_LEVEL, False, True),
        ("zj", "浙江", "east", False, True),
        ("hz", "杭州", "zj", False, True),
        ("nb", "宁波", "zj", True, True),
        ("js", "江苏", "east", False, True),
        ("nj", "南京", "js", False, True),
        ("north", "华北", TOP_LEVEL, False, True),
        ("bj", "北京", "north", False, True),
        ("cy", "朝阳", "bj", False, True),
        ("old", "旧省", "north", False, False),
    ]),
    "status": ("状态", True, [
        ("active", "启用", TOP_LEVEL, False, True),
        ("paused", "暂停", TOP_LEVEL, True, True),
        ("retired", "废弃", TOP_LEVEL, False, False),
    ]),
    "tag": ("标签", True, []),
    "legacy": ("旧字段", False, [("x", "旧值", TOP_LEVEL, False, True)]),
}


async def seed_sample_enumeration(db: AsyncSession, schema_name: str = SAMPLE_SCHEMA) -> bool:
    """Add the sample enumeration under ``schema_name`` and commit; a schema of that name
    already there is left alone. Returns whether it was added."""
    existing = (await db.exec(select(EnumSchema).where(EnumSchema.schema_name == schema_name))).first()
    if existing is not None:
        return False
    schema = EnumSchema(schema_name=schema_name, schema_label="示例枚举")
    assert schema.schema_id is not None  # ids are drawn as a row is made, not by the database
    fields = [EnumField(schema_id=schema.schema_id, field_name=name, field_label=label, sort_order=order,
                        is_active=active)
              for order, (name, (label, active, _)) in enumerate(_FIELDS.items())]
    # Parents are flushed first: the tables have foreign keys but no relationship that
    # would order the inserts.
    db.add(schema)
    await db.flush()
    db.add_all(fields)
    await db.flush()
    for field, (_, _, values) in zip(fields, _FIELDS.values(), strict=True):
        assert field.field_id is not None
        db.add_all(EnumValue(field_id=field.field_id, enum_value=code, enum_label=label, enum_pid=pid,
                             enum_disabled=disabled, is_active=active, sort_order=position)
                   for position, (code, label, pid, disabled, active) in enumerate(values))
    await db.commit()
    return True
