"""Enumeration tables, the request schema and the start-up load, on SQLite and PostgreSQL."""

import ast
import re
import uuid
from pathlib import Path

import pytest
import sqlalchemy as sa
from pydantic import ValidationError
from sqlalchemy.exc import IntegrityError
from sqlalchemy.ext.asyncio import create_async_engine
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.services import enum_service
from kelvora_core.services.enum_service import EnumEntry, EnumService
from kelvora_enum.generate.entity_table import EnumField, EnumFieldResponse, EnumSchema, EnumValue
from kelvora_enum.registry import enum_registry
from kelvora_enum.schema.enum import LexiconRequest
from kelvora_enum.services import enum_source

from _database import configure

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(params=["sqlite", "postgresql"])
async def enum_db(request, tmp_path):
    """The enumeration database; on PostgreSQL inside a schema of its own, dropped after."""
    schema = None
    if request.param == "sqlite":
        configure(Auth=f"sqlite+aiosqlite:///{tmp_path / 'auth.db'}")
    else:
        url = request.getfixturevalue("postgres_url")
        configure(Auth=url)
        schema = "enum_" + uuid.uuid4().hex[:10]
        admin = create_async_engine(url)
        async with admin.begin() as conn:
            await conn.execute(sa.text(f'CREATE SCHEMA "{schema}"'))
        await admin.dispose()
        # The registry's tables carry no schema: point this database's connections at ours.
        DatabaseEngine._engines[enum_registry.engine_name.lower()] = create_async_engine(
            url, connect_args={"server_settings": {"search_path": schema}})
    engine = DatabaseEngine().get_async_engine(enum_registry.engine_name)
    yield engine
    if schema:
        async with engine.begin() as conn:
            await conn.execute(sa.text(f'DROP SCHEMA "{schema}" CASCADE'))
    await DatabaseEngine().async_close()


@pytest.fixture
def enum_log(log_into, monkeypatch):
    """What the snapshot and the tables' reader log; the snapshot put back afterwards."""
    monkeypatch.setattr(EnumService, "_snapshot", EnumService._snapshot)
    monkeypatch.setattr(EnumService, "_loaded", False)
    recorder = log_into(enum_service)
    monkeypatch.setattr(enum_source, "logging", recorder)
    return recorder


async def seed(engine):
    async with engine.begin() as conn:
        await conn.run_sync(enum_registry.metadata.create_all)
    async with AsyncSession(engine, expire_on_commit=False) as db:
        profile, hidden = EnumSchema(schema_name="user profile"), EnumSchema(schema_name="old", is_active=False)
        db.add_all([profile, hidden])
        await db.flush()
        region = EnumField(schema_id=profile.schema_id, field_name="region", field_label="地区", sort_order=1)
        empty = EnumField(schema_id=profile.schema_id, field_name="empty", sort_order=2)
        legacy = EnumField(schema_id=profile.schema_id, field_name="legacy", is_active=False)
        lost = EnumField(schema_id=hidden.schema_id, field_name="lost")
        db.add_all([region, empty, legacy, lost])
        await db.flush()
        db.add_all([
            EnumValue(field_id=region.field_id, enum_label="海淀", enum_value="hd", enum_pid="bj"),
            EnumValue(field_id=region.field_id, enum_label="中国", enum_value="cn"),
            EnumValue(field_id=region.field_id, enum_label="北京", enum_value="bj", enum_pid="cn"),
            EnumValue(field_id=region.field_id, enum_label="旧区", enum_value="gone", enum_pid="cn", is_active=False),
            EnumValue(field_id=region.field_id, enum_label="停用", enum_value="off", enum_disabled=True),
            EnumValue(field_id=region.field_id, enum_label="甲", enum_value="a", enum_pid="b"),
            EnumValue(field_id=region.field_id, enum_label="乙", enum_value="b", enum_pid="a"),
            EnumValue(field_id=legacy.field_id, enum_label="x", enum_value="x"),
        ])
        await db.commit()
        ids = [profile.schema_id, hidden.schema_id, region.field_id, empty.field_id]
        db.add(EnumValue(field_id=region.field_id, enum_label="重复", enum_value="cn"))
        with pytest.raises(IntegrityError):
            await db.commit()  # codes are unique within a field
    return ids


async def test_load_reads_active_rows_as_trees(enum_db, enum_log):
    ids = await seed(enum_db)
    assert all(type(i) is int and i > 0 for i in ids) and len(set(ids)) == len(ids)
    await EnumService.load()
    assert EnumService.loaded()
    assert {name: list(fields) for name, fields in EnumService.schemas().items()} == {
        "user profile": ["region", "empty"]}
    hd = EnumEntry("海淀", "hd", "bj", False)
    cn = EnumEntry("中国", "cn", "-1", False, (EnumEntry("北京", "bj", "cn", False, (hd,)),))
    cycle = EnumEntry("甲", "a", "b", False, (EnumEntry("乙", "b", "a", False),))
    assert EnumService.values("user profile", "region") == (cn, EnumEntry("停用", "off", "-1", True), cycle)
    assert EnumService.values("user profile", "empty") == ()
    assert EnumService.values("user profile", "legacy") == EnumService.values("old", "lost") == ()
    assert EnumService.label("user profile", "region", "hd") == "海淀"
    assert EnumService.label("user profile", "region", "gone", "?") == "?"
    assert enum_log.messages() == ["加载枚举: 1 个 schema, 2 个字段"]


@pytest.mark.parametrize(("source", "message"), [
    (enum_source.read_enumerations, "枚举表不存在: sys_enum_schema, sys_enum_field, sys_enum_value，跳过加载枚举"),
    (None, "没有枚举数据来源，跳过加载枚举"),
], ids=["no tables", "no source"])
async def test_load_without_tables_logs_and_keeps_what_it_had(enum_db, enum_log, monkeypatch, source, message):
    monkeypatch.setattr(EnumService, "_source", source)
    before = EnumService.schemas()
    await EnumService.load()
    assert EnumService.schemas() is before and not EnumService.loaded()
    assert enum_log.messages() == [message]


def test_the_core_imports_nothing_of_the_enumeration_package():
    core = ROOT / "kelvora_core"
    imported = set()
    for path in core.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                imported.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                imported.add(node.module)
    native = [path.name for path in core.rglob("*.cpp") if "kelvora_enum" in path.read_text(encoding="utf-8")]
    assert [name for name in imported if name.split(".")[0] == "kelvora_enum"] == native == []
    assert EnumService._source is enum_source.read_enumerations  # registered as the package was imported


@pytest.mark.parametrize(("body", "error"), [
    ({"key": ["a", "b"], "pid": ["-1"]}, "'pid' must have one entry per 'key' (2), got 1"),
    ({"key": ["a"], "name": ["x", "y"]}, "'name' must have one entry per 'key' (1), got 2"),
    ({"pid": ["-1"]}, "'pid' must have one entry per 'key' (0), got 1"),
    ({"key": [""]}, "at least 1 character"),
    ({"key": ["a"], "extra": 1}, "Extra inputs are not permitted"),
    ({"key": "a"}, "valid list"),
    ({"key": ["a", "b"], "pid": ["-1", "7"], "name": ["x", "y"]}, None),  # parallel lists are kept
    ({}, None),
])
def test_lexicon_request_pairs_up_its_lists(body, error):
    if error is None:
        request = LexiconRequest(**body)
        assert (request.key, request.pid, request.name) == tuple(body.get(k) for k in ("key", "pid", "name"))
        return
    with pytest.raises(ValidationError, match=re.escape(error)):
        LexiconRequest(**body)


async def test_tables_answer_the_enumeration_query_shapes(enum_db):
    from kelvora_core import QueryRequest, QueryService

    await seed(enum_db)
    fields = ["field_name as name, field_label as label",
              "EnumValues.enum_label as label,EnumValues.enum_value as value", "EnumValues.enum_disabled as disabled"]
    async with AsyncSession(enum_db) as db:
        schema = await QueryService.query_columns_first(db=db, model_class=EnumSchema,
                                                        condition="schema_name = user profile")
        active = [{"field": "schema_id", "op": "=", "val": schema.schema_id},
                  {"field": "is_active", "op": "=", "val": True}]
        listed = await QueryService.query(
            db, query_request=QueryRequest(fields=["field_name as name", "field_label as label"], filter=active,
                                           format="list", size=1000),
            model_class=EnumField, response_class=EnumFieldResponse)
        assert sorted((f.name, f.label) for f in listed) == [("empty", ""), ("region", "地区")]
        below_bj = QueryRequest(
            fields=fields, filter=[active[0], {"field": "field_name", "op": "=", "val": "region"}, active[1]],
            filter_relation=[{"field": "EnumValues.is_active", "op": "=", "val": True},
                             {"field": "EnumValues.enum_pid", "op": "=", "val": "bj"}],
            relation=["EnumValues"], format="tree", size=1000)
        (region,) = await QueryService.query(db, query_request=below_bj, model_class=EnumField,
                                             response_class=EnumFieldResponse)
        assert (region["name"], [(v["label"], v["value"]) for v in region["children"]]) == ("region", [("海淀", "hd")])
