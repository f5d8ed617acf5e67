"""LexiconService on real enumeration tables (SQLite and PostgreSQL), seeded with the sample."""

import inspect
from types import SimpleNamespace

import pytest
from sqlalchemy import func, select

from kelvora_core.exception.service_exception import QueryError
from kelvora_enum.generate.entity_table import EnumField, EnumFieldResponse, EnumSchema
from kelvora_enum.registry import enum_registry
from kelvora_enum.sample import seed_sample_enumeration
from kelvora_enum.schema.enum import LexiconRequest
from kelvora_enum.services import lexicon
from kelvora_enum.services.lexicon import LexiconService

from _sessions import open_database, session

HOSTILE = ["with space", "it's", "x' OR 1=1 --", "; DROP TABLE sys_enum_schema", ' "quoted" ', "a = b", "名称"]


@pytest.fixture(params=["sqlite", "postgresql"])
async def db(request, tmp_path):
    async with open_database(request.param, tmp_path, enum_registry.metadata) as engine:
        async with session(engine) as db:
            assert await seed_sample_enumeration(db)
            assert not await seed_sample_enumeration(db)  # a second seeding adds nothing
            schemas = [EnumSchema(schema_name=name) for name in HOSTILE]
            db.add_all(schemas)
            await db.flush()
            db.add_all(EnumField(schema_id=s.schema_id, field_name="f", field_label=s.schema_name) for s in schemas)
            await db.commit()
            yield db


def value(label, code, disabled=False, children=None):
    node = {"label": label, "value": code, "disabled": disabled}
    return node | {"children": children} if children else node


REGION = [
    value("华东", "east", children=[
        value("浙江", "zj", children=[value("杭州", "hz"), value("宁波", "nb", True)]),
        value("江苏", "js", children=[value("南京", "nj")])]),
    value("华北", "north", children=[value("北京", "bj", children=[value("朝阳", "cy")])]),
]
STATUS = [value("启用", "active"), value("暂停", "paused", True)]
REGION_TOP = [value("华东", "east"), value("华北", "north")]


async def test_schema_fields_in_order_without_inactive_ones(db):
    fields = await LexiconService.query_schema(schema_name="demo", db=db)
    assert fields == [EnumFieldResponse(name="region", label="地区"), EnumFieldResponse(name="status", label="状态"),
                      EnumFieldResponse(name="tag", label="标签")]


@pytest.mark.parametrize("request_, expected", [
    # every active field, values of every level; a field without values gives []
    ({}, {"region": REGION, "status": STATUS, "tag": []}),
    ({"key": []}, {"region": REGION, "status": STATUS, "tag": []}),
    # one field at its top level; an inactive field is not answered
    ({"key": ["region"]}, {"region": REGION_TOP}),
    ({"key": ["region", "status", "legacy"], "pid": ["-1"] * 3}, {"region": REGION_TOP, "status": STATUS}),
    ({"key": ["tag"]}, {"tag": []}),
    # per parent, in key order
    ({"key": ["status", "region", "tag"], "pid": ["-1", "zj", "-1"]},
     {"status": STATUS, "region": [value("杭州", "hz"), value("宁波", "nb", True)], "tag": []}),
    ({"key": ["region"], "pid": ["north"]}, {"region": [value("北京", "bj")]}),  # the inactive "old" is hidden
    ({"key": ["region"], "pid": ["nowhere"]}, {"region": []}),
    # aliases
    ({"key": ["region", "status"], "name": ["r", "s"]}, {"r": REGION_TOP, "s": STATUS}),
    ({"key": ["region", "status"], "pid": ["east", "-1"], "name": ["r", "s"]},
     {"r": [value("浙江", "zj"), value("江苏", "js")], "s": STATUS}),
])
async def test_field_values(db, request_, expected):
    result = await LexiconService.query_field(db=db, schema_name="demo", quest_request=LexiconRequest(**request_))
    assert result == expected
    assert list(result) == list(expected)


@pytest.mark.parametrize("name", HOSTILE)
async def test_schema_names_are_values_never_sql(db, name):
    fields = await LexiconService.query_schema(schema_name=name, db=db)
    assert [(f.name, f.label) for f in fields] == [("f", name)]
    assert await LexiconService.query_field(db=db, schema_name=name, quest_request=LexiconRequest()) == {"f": []}
    for missing in (name + " ", name + "' --", "'" + name + "'", name + "; SELECT 1"):
        assert await LexiconService.query_schema(schema_name=missing, db=db) == []
        assert await LexiconService.query_field(db=db, schema_name=missing, quest_request=LexiconRequest()) == []
    assert (await db.exec(select(func.count()).select_from(EnumSchema))).one() == (len(HOSTILE) + 1,)


async def test_query_descriptions(db, monkeypatch):
    """The descriptions handed to the query service, through the module's own QueryService."""
    real, requests = lexicon.QueryService, []

    class Recorder:
        query_columns_first = real.query_columns_first

        @staticmethod
        async def query(db, *, query_request, model_class, response_class):
            assert (model_class, response_class) == (EnumField, EnumFieldResponse)
            requests.append(query_request.model_dump(exclude_unset=True))
            return await real.query(db, query_request=query_request, model_class=model_class,
                                    response_class=response_class)

    monkeypatch.setattr(lexicon, "QueryService", Recorder)
    three = LexiconRequest(key=["region", "status", "tag"], pid=["-1"] * 3)
    await LexiconService.query_field(db=db, schema_name="demo", quest_request=three)
    await LexiconService.query_field(db=db, schema_name="demo",
                                     quest_request=LexiconRequest(key=["region", "status"], pid=["-1", "7"]))
    filters = [(r["filter"][1], r["filter_relation"][1]) for r in requests]
    assert filters == [({"field": "field_name", "op": "in", "val": ["region", "status", "tag"]},
                        {"field": "EnumValues.enum_pid", "op": "=", "val": -1}),
                       ({"field": "field_name", "op": "=", "val": "region"},
                        {"field": "EnumValues.enum_pid", "op": "=", "val": "-1"}),
                       ({"field": "field_name", "op": "=", "val": "status"},
                        {"field": "EnumValues.enum_pid", "op": "=", "val": "7"})]


def test_description_builders():
    every = LexiconService._get_query_request_flied(7, None, None, None)
    assert list(every) == ["fields", "filter", "filter_relation", "relation", "format", "size"]
    assert every["fields"] == ["field_name as name, field_label as label",
                               "EnumValues.enum_label as label,EnumValues.enum_value as value",
                               "EnumValues.enum_disabled as disabled"]
    assert every["filter"] == [{"field": "schema_id", "op": "=", "val": 7},
                               {"field": "is_active", "op": "=", "val": True}]
    assert every["filter_relation"] == [{"field": "EnumValues.is_active", "op": "=", "val": True}]
    assert (every["relation"], every["format"], every["size"]) == (["EnumValues"], "tree", 1000)
    some = LexiconService._get_query_request_flied(schema_id=7, key_op="like", key_value="r%", enum_pid="x")
    assert [list(item) for item in some["filter"]] == [["field", "op", "val"]] * 3
    assert some["filter"][1] == {"field": "field_name", "op": "like", "val": "r%"}
    assert some["filter_relation"][1] == {"field": "EnumValues.enum_pid", "op": "=", "val": "x"}
    assert some["fields"] is not every["fields"]  # every call builds its own lists
    assert LexiconService._get_query_request_schema(7) == {
        "fields": ["field_name as name", "field_label as label"],
        "filter": [{"field": "schema_id", "op": "=", "val": 7}, {"field": "is_active", "op": "=", "val": True}],
        "format": "list", "size": 1000}


async def test_subclass_overrides_and_query_errors(db):
    class Custom(LexiconService):
        @classmethod
        def _get_query_request_schema(cls, schema_id):
            request = super()._get_query_request_schema(schema_id)
            request["filter"].append(cls.extra)
            return request

    Custom.extra = {"field": "field_name", "op": "~", "val": "x"}
    with pytest.raises(QueryError, match="不支持的查询操作符: ~"):
        await Custom.query_schema(schema_name="demo", db=db)
    Custom.extra = {"field": "nope", "op": "=", "val": "x"}
    with pytest.raises(QueryError, match="未知的查询字段: nope"):
        await Custom.query_schema(schema_name="demo", db=db)
    Custom.extra = {"field": "field_name", "op": "like", "val": "s%"}
    assert [f.name for f in await Custom.query_schema(schema_name="demo", db=db)] == ["status"]
    Custom._get_query_request_schema = classmethod(lambda cls, schema_id: [("format", "list")])
    with pytest.raises(TypeError, match="must be a mapping, not list"):
        await Custom.query_schema(schema_name="demo", db=db)


@pytest.mark.parametrize("request_, error", [
    (SimpleNamespace(key=["region", "status"], pid=["zj"], name=None), IndexError),  # pid shorter than key
    (SimpleNamespace(key=["region", "status"], pid=None, name=["r"]), IndexError),  # name shorter than key
    (SimpleNamespace(key=["region", "region"], pid=None, name=42), TypeError),
])
async def test_inconsistent_requests_propagate(db, request_, error):
    with pytest.raises(error):
        await LexiconService.query_field(db=db, schema_name="demo", quest_request=request_)


async def test_signatures():
    P = inspect.Parameter
    signature = inspect.signature(LexiconService.query_field)
    assert [(p.name, p.kind, p.annotation) for p in signature.parameters.values()] == [
        ("db", P.KEYWORD_ONLY, "AsyncSession"), ("schema_name", P.KEYWORD_ONLY, P.empty),
        ("quest_request", P.KEYWORD_ONLY, "LexiconRequest")]
    assert inspect.iscoroutinefunction(LexiconService.query_schema)
    assert not inspect.iscoroutinefunction(LexiconService._get_query_request_schema)
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'db'"):
        LexiconService.query_schema(schema_name="demo")
    with pytest.raises(TypeError):
        LexiconService.query_schema("demo", None)
