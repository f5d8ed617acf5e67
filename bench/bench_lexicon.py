"""Enumeration queries: LexiconService.query_field per call on 1 000 values (SQLite)."""

import asyncio
import tempfile

from sqlalchemy.ext.asyncio import create_async_engine
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core import CoreUtil, QueryRequest, QueryService
from kelvora_enum.generate.entity_table import EnumField, EnumFieldResponse, EnumSchema, EnumValue
from kelvora_enum.registry import enum_registry
from kelvora_enum.schema.enum import LexiconRequest
from kelvora_enum.services.lexicon import LexiconService

# A query of 1 000 values takes milliseconds: a few dozen calls per run are plenty.
TARGET_CALLS = 40
BATCH = 10


class PlainLexicon:
    """The same service written in plain Python over the same query service."""

    @classmethod
    async def query_schema(cls, *, schema_name, db):
        schema = await QueryService.query_columns_first(db=db, model_class=EnumSchema,
                                                        condition="schema_name = " + str(schema_name))
        if schema is None:
            return []
        query_request = QueryRequest(**cls._get_query_request_schema(schema.schema_id))
        return await QueryService.query(db, query_request=query_request, model_class=EnumField,
                                        response_class=EnumFieldResponse)

    @classmethod
    async def query_field(cls, *, db, schema_name, quest_request):
        schema = await QueryService.query_columns_first(db=db, model_class=EnumSchema,
                                                        condition="schema_name = " + str(schema_name))
        if schema is None:
            return []
        query_data = []
        if not quest_request.key:
            query_data = await cls._query_field_all(db, schema)
        else:
            key_length = len(quest_request.key)
            if quest_request.pid is None or quest_request.pid == ["-1"] * key_length:
                query_data = await cls._query_field_no_pid(db, key_length, quest_request, schema)
            else:
                for index, key_value in enumerate(quest_request.key):
                    await cls._query_field_pid(db, index, key_value, query_data, quest_request, schema)
        result_data = {}
        for data in query_data:
            node_key = data["name"]
            if quest_request.key and quest_request.name:
                node_key = quest_request.name[quest_request.key.index(data["name"])]
            result_data[node_key] = data.get("children", [])
        return result_data

    @classmethod
    async def _query(cls, db, mapping):
        data = await QueryService.query(db, query_request=QueryRequest(**mapping), model_class=EnumField,
                                        response_class=EnumFieldResponse)
        return CoreUtil.remove_node_attr(nodes=data, children_node_name="children", remove_attrs=["tag"])

    @classmethod
    async def _query_field_all(cls, db, schema):
        return await cls._query(db, cls._get_query_request_flied(schema_id=schema.schema_id, key_op=None,
                                                                 key_value=None, enum_pid=None))

    @classmethod
    async def _query_field_no_pid(cls, db, key_length, quest_request, schema):
        key_op, key_value = ("in", quest_request.key) if key_length > 1 else ("=", quest_request.key[0])
        return await cls._query(db, cls._get_query_request_flied(schema_id=schema.schema_id, key_op=key_op,
                                                                 key_value=key_value, enum_pid=-1))

    @classmethod
    async def _query_field_pid(cls, db, index, key_value, query_data, quest_request, schema):
        query_data.extend(await cls._query(db, cls._get_query_request_flied(
            schema_id=schema.schema_id, key_op="=", key_value=key_value, enum_pid=quest_request.pid[index])))

    @classmethod
    def _get_query_request_flied(cls, schema_id, key_op, key_value, enum_pid):
        request = {"fields": ["field_name as name, field_label as label",
                              "EnumValues.enum_label as label,EnumValues.enum_value as value",
                              "EnumValues.enum_disabled as disabled"]}
        if key_value is None:
            request["filter"] = [{"field": "schema_id", "op": "=", "val": schema_id},
                                 {"field": "is_active", "op": "=", "val": True}]
            request["filter_relation"] = [{"field": "EnumValues.is_active", "op": "=", "val": True}]
        else:
            request["filter"] = [{"field": "schema_id", "op": "=", "val": schema_id},
                                 {"field": "field_name", "op": key_op, "val": key_value},
                                 {"field": "is_active", "op": "=", "val": True}]
            request["filter_relation"] = [{"field": "EnumValues.is_active", "op": "=", "val": True},
                                          {"field": "EnumValues.enum_pid", "op": "=", "val": enum_pid}]
        return request | {"relation": ["EnumValues"], "format": "tree", "size": 1000}

    @classmethod
    def _get_query_request_schema(cls, schema_id):
        return {"fields": ["field_name as name", "field_label as label"],
                "filter": [{"field": "schema_id", "op": "=", "val": schema_id},
                           {"field": "is_active", "op": "=", "val": True}],
                "format": "list", "size": 1000}


async def seed(engine):
    """One schema, field "place" with 1 000 values three levels deep (10 × 9 × 10) and
    field "kind" with 10 more."""
    async with engine.begin() as conn:
        await conn.run_sync(enum_registry.metadata.create_all)
    async with AsyncSession(engine) as db:
        schema = EnumSchema(schema_name="bench")
        db.add(schema)
        await db.flush()
        place, kind = EnumField(schema_id=schema.schema_id, field_name="place"), \
            EnumField(schema_id=schema.schema_id, field_name="kind", sort_order=1)
        db.add_all([place, kind])
        await db.flush()
        values = []
        for a in range(10):
            values.append((f"a{a}", "-1"))
            for b in range(9):
                values.append((f"a{a}b{b}", f"a{a}"))
                values += [(f"a{a}b{b}c{c}", f"a{a}b{b}") for c in range(10)]
        assert len(values) == 1000
        db.add_all(EnumValue(field_id=place.field_id, enum_value=code, enum_label=code.upper(), enum_pid=pid,
                             sort_order=i) for i, (code, pid) in enumerate(values))
        db.add_all(EnumValue(field_id=kind.field_id, enum_value=f"k{i}", enum_label=f"K{i}") for i in range(10))
        await db.commit()


runner = asyncio.Runner()
engine = create_async_engine(f"sqlite+aiosqlite:///{tempfile.mkdtemp(prefix='kelvora-bench-')}/enum.db")
runner.run(seed(engine))
session = AsyncSession(engine)

REQUESTS = {
    "all fields (1 010 values as trees)": LexiconRequest(),
    "two keys, top level ('in')": LexiconRequest(key=["place", "kind"]),
    "two keys, one parent each": LexiconRequest(key=["place", "kind"], pid=["a3", "-1"], name=["p", "k"]),
}


def calls(service, request):
    async def batch():
        for _ in range(BATCH):
            if not await service.query_field(db=session, schema_name="bench", quest_request=request):
                raise RuntimeError("no values")
    return lambda: runner.run(batch())


# Both give the same answers before anything is timed.
for request in REQUESTS.values():
    assert runner.run(LexiconService.query_field(db=session, schema_name="bench", quest_request=request)) == \
        runner.run(PlainLexicon.query_field(db=session, schema_name="bench", quest_request=request))

CASES = [(f"query_field, {case}", impl, calls(service, request), BATCH)
         for case, request in REQUESTS.items()
         for impl, service in (("native", LexiconService), ("python", PlainLexicon))]
