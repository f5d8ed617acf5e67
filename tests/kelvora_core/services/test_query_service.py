"""The generic query service on real SQLite and PostgreSQL tables."""

from typing import Optional

import pytest
from pydantic import BaseModel, ValidationError
from sqlalchemy import func, select
from sqlmodel import Field, Relationship, SQLModel

from kelvora_core.exception.service_exception import QueryError
from kelvora_core.portal_auth.registry import ModelRegistry
from kelvora_core.services.query_service import QueryRequest, QueryService
from kelvora_core.tools.tenant_manager import TenantManager

from _sessions import open_database, session

registry = ModelRegistry("Main")


class Base(SQLModel, registry=registry):
    pass


class Catalogue(Base, table=True):
    __tablename__ = "q_catalogue"
    catalogue_id: int = Field(primary_key=True)
    catalogue_name: str = Field(max_length=200)


class Entry(Base, table=True):
    __tablename__ = "q_entry"
    entry_id: int = Field(primary_key=True)
    catalogue_id: int
    field_name: str = Field(max_length=40)
    field_label: str = Field(max_length=40)
    is_active: bool = True
    tenant_id: Optional[str] = Field(default=None, max_length=10)
    EnumValues: list["Choice"] = Relationship()


class Choice(Base, table=True):
    __tablename__ = "q_choice"
    choice_id: int = Field(primary_key=True)
    entry_id: int = Field(foreign_key="q_entry.entry_id")
    enum_label: str = Field(max_length=40)
    enum_value: str = Field(max_length=40)
    enum_disabled: bool = False
    enum_pid: str = Field(default="-1", max_length=40)  # the parent's enum_value
    sort_order: int = 0
    is_active: bool = True


class Place(Base, table=True):
    """Nests by itself: ``enum_pid`` holds the parent's code."""
    __tablename__ = "q_place"
    __tree_key__ = "code"
    place_id: int = Field(primary_key=True)
    code: str = Field(max_length=10)
    enum_pid: str = Field(max_length=10)


class EntryResponse(BaseModel):
    name: str
    label: str


HOSTILE = ["plain", "with space", "it's", "x' OR 1=1 --", "; DROP TABLE q_catalogue", ' "quoted" ', "a=b", "名"]


@pytest.fixture(params=["sqlite", "postgresql"])
async def db(request, tmp_path):
    async with open_database(request.param, tmp_path, registry.metadata) as engine:
        async with session(engine) as db:
            db.add_all(Catalogue(catalogue_id=i, catalogue_name=name) for i, name in enumerate(HOSTILE, 1))
            db.add_all([
                Entry(entry_id=1, catalogue_id=1, field_name="region", field_label="Region", tenant_id="1"),
                Entry(entry_id=2, catalogue_id=1, field_name="colour", field_label="Colour", tenant_id="1"),
                Entry(entry_id=3, catalogue_id=1, field_name="old", field_label="Old", is_active=False),
                Entry(entry_id=4, catalogue_id=1, field_name="empty", field_label="Empty", tenant_id="2"),
            ])
            await db.flush()
            db.add_all([
                Choice(choice_id=1, entry_id=1, enum_label="Asia", enum_value="as"),
                Choice(choice_id=2, entry_id=1, enum_label="China", enum_value="cn", enum_pid="as"),
                Choice(choice_id=3, entry_id=1, enum_label="Beijing", enum_value="bj", enum_pid="cn"),
                Choice(choice_id=4, entry_id=1, enum_label="Europe", enum_value="eu", sort_order=-1),
                Choice(choice_id=5, entry_id=1, enum_label="Gone", enum_value="x", is_active=False),
                Choice(choice_id=6, entry_id=2, enum_label="Red", enum_value="r"),
                Choice(choice_id=7, entry_id=2, enum_label="Blue", enum_value="b", enum_disabled=True),
            ])
            # a cycle (x <-> y) must not swallow its rows
            db.add_all(Place(place_id=i, code=code, enum_pid=pid) for i, (code, pid) in enumerate(
                [("b", "a"), ("a", "-1"), ("c", "b"), ("x", "y"), ("y", "x"), ("d", "a")], 1))
            await db.commit()
            TenantManager.disable()
            yield db


async def test_text_conditions_are_values_never_sql(db):
    for position, name in enumerate(HOSTILE, 1):
        row = await QueryService.query_columns_first(db, model_class=Catalogue, condition="catalogue_name = " + name)
        assert (row.catalogue_id, row.catalogue_name) == (position, name)
    for name in ["x' OR '1'='1", "plain' --", "plain ", "' OR 1=1; DROP TABLE q_catalogue; --", ""]:
        assert await QueryService.query_columns_first(db, model_class=Catalogue,
                                                      condition="catalogue_name = " + name) is None
    assert (await db.exec(select(func.count()).select_from(Catalogue))).one() == (len(HOSTILE),)
    # a text for an integer column is converted, and refused when it is no number
    row = await QueryService.query_columns_first(db, model_class=Catalogue, condition="catalogue_id = 3")
    assert row.catalogue_name == "it's"
    with pytest.raises(QueryError, match="catalogue_id"):
        await QueryService.query_columns_first(db, model_class=Catalogue, condition="catalogue_id = 1 OR 1=1")


@pytest.mark.parametrize("condition, message", [
    ("nope = 1", "未知的查询字段: nope"),
    ("catalogue_name", "查询条件格式不正确"),
    (" = plain", "查询条件格式不正确"),
    ("catalogue_name != plain", "未知的查询字段: catalogue_name !"),
])
async def test_bad_text_conditions(db, condition, message):
    with pytest.raises(QueryError, match=message):
        await QueryService.query_columns_first(db, model_class=Catalogue, condition=condition)


async def test_first_row_by_expression_and_by_tenant(db):
    row = await QueryService.query_columns_first(db, model_class=Entry, condition=Entry.field_name == "empty")
    assert row.entry_id == 4
    TenantManager.set_from_token(tenant_enabled=True, username="u", tenant_id="1")
    assert await QueryService.query_columns_first(db, model_class=Entry, condition=Entry.field_name == "empty") is None
    assert (await QueryService.query_columns_first(db, model_class=Entry, condition=None)).entry_id == 1
    # the tenant filter also covers query(); tables without tenant_id are not affected
    rows = await QueryService.query(db, query_request=QueryRequest(fields=["field_name"]), model_class=Entry)
    assert [r["field_name"] for r in rows] == ["region", "colour"]
    assert await QueryService.query_columns_first(db, model_class=Catalogue, condition="catalogue_id = 1")
    with pytest.raises(TypeError, match="condition must be"):
        await QueryService.query_columns_first(db, model_class=Entry, condition=42)


TREE = {
    "fields": ["field_name as name, field_label as label",
               "EnumValues.enum_label as label,EnumValues.enum_value as value", "EnumValues.enum_disabled as disabled"],
    "filter": [{"field": "catalogue_id", "op": "=", "val": 1}, {"field": "is_active", "op": "=", "val": True}],
    "filter_relation": [{"field": "EnumValues.is_active", "op": "=", "val": True}],
    "relation": ["EnumValues"], "format": "tree", "size": 1000,
}


def node(label, value, disabled=False, children=None):
    found = {"label": label, "value": value, "disabled": disabled}
    return found | {"children": children} if children else found


async def test_tree_nests_related_rows_by_parent(db):
    tree = await QueryService.query(db, query_request=QueryRequest(**TREE), model_class=Entry,
                                    response_class=EntryResponse)
    assert tree == [
        {"name": "region", "label": "Region", "children": [  # Europe first: sort_order
            node("Europe", "eu"),
            node("Asia", "as", children=[node("China", "cn", children=[node("Beijing", "bj")])])]},
        {"name": "colour", "label": "Colour", "children": [node("Red", "r"), node("Blue", "b", True)]},
        {"name": "empty", "label": "Empty", "children": []},
    ]
    # the children of one parent, and the top level (an integer -1 for the text column)
    for pid, expected in [("as", [node("China", "cn")]), (-1, [node("Europe", "eu"), node("Asia", "as")])]:
        request = QueryRequest(**TREE | {
            "filter": TREE["filter"] + [{"field": "field_name", "op": "in", "val": ["region", "old"]}],
            "filter_relation": TREE["filter_relation"] + [{"field": "EnumValues.enum_pid", "op": "=", "val": pid}]})
        assert await QueryService.query(db, query_request=request, model_class=Entry) == [
            {"name": "region", "label": "Region", "children": expected}]


async def test_tree_of_a_self_nesting_table(db):
    tree = await QueryService.query(db, query_request=QueryRequest(fields=["code"], format="tree"), model_class=Place)
    assert tree == [{"code": "a", "children": [{"code": "b", "children": [{"code": "c"}]}, {"code": "d"}]},
                    {"code": "x", "children": [{"code": "y"}]}]


async def test_list_rows_with_aliases_relation_size_and_page(db):
    request = QueryRequest(fields=["field_name as name", "field_label as label"],
                           filter=[{"field": "is_active", "op": "=", "val": "true"}], size=2, page=2)
    rows = await QueryService.query(db, query_request=request, model_class=Entry, response_class=EntryResponse)
    assert rows == [EntryResponse(name="empty", label="Empty")]
    page = await QueryService.query_page(db, query_request=request, model_class=Entry, response_class=EntryResponse)
    assert (page.items, page.total, page.page, page.size) == (rows, 3, 2, 2)
    for number, items in ((1, 2), (3, 0), (2, 1)):  # a full page and one past the end are counted
        page = await QueryService.query_page(db, query_request=request.model_copy(update={"page": number}),
                                             model_class=Entry)
        assert (len(page.items), page.total) == (items, 3)
    request = {"fields": ["field_name", "EnumValues.enum_value"], "relation": ["EnumValues"], "size": 2,
               "filter_relation": [{"field": "enum_disabled", "op": "=", "val": False}]}
    assert await QueryService.query(db, query_request=request, model_class=Entry) == [
        {"field_name": "region", "EnumValues": [{"enum_value": v} for v in ("eu", "as", "cn", "bj", "x")]},
        {"field_name": "colour", "EnumValues": [{"enum_value": "r"}]}]


@pytest.mark.parametrize("field, op, val, expected", [
    *(("field_name", op, val, expected) for op, val, expected in [
        ("=", "colour", [2]), ("!=", "colour", [1, 3, 4]), (">", "empty", [1, 3]), (">=", "empty", [1, 3, 4]),
        ("<", "empty", [2]), ("<=", "empty", [2, 4]), ("in", ["old", "empty", "nope"], [3, 4]),
        ("NOT  IN", ["old", "empty"], [1, 2]), ("like", "%o%", [1, 2, 3]), ("like", "%' OR '1'='1", [])]),
    ("tenant_id", "is null", "ignored", [3]), ("tenant_id", "is not null", "ignored", [1, 2, 4]),
    ("EnumValues.enum_disabled", "=", True, [2]),  # a condition on related rows
])
async def test_operators(db, field, op, val, expected):
    request = QueryRequest(fields=["entry_id"], filter=[{"field": field, "op": op, "val": val}])
    assert [r["entry_id"] for r in await QueryService.query(db, query_request=request, model_class=Entry)] == expected


@pytest.mark.parametrize("request_data, message", [
    ({"fields": ["nope as x"]}, "未知的查询字段: nope"),
    ({"fields": ["field_name as"]}, "查询字段格式不正确"),
    ({"fields": ["field_name; DROP TABLE q_entry"]}, "查询字段格式不正确"),
    ({"fields": ["field_name as a, field_label as a"]}, "重复的字段别名: a"),
    ({"fields": ["Nope.enum_label"]}, "未知的关联: Nope"),
    ({"filter": [{"field": "field_name", "op": "~", "val": "x"}]}, "不支持的查询操作符: ~"),
    ({"filter": [{"field": "field_name) OR (1=1", "val": "x"}]}, "未知的查询字段"),
    ({"filter": [{"field": "entry_id", "op": "in", "val": [1, "two"]}]}, "字段 entry_id 的值不正确"),
    ({"filter": [{"field": "field_name", "op": "like", "val": 5}]}, "like 的值必须是文本"),
    ({"filter_relation": [{"field": "is_active", "val": True}]}, "关联条件必须写明关联名称"),
    ({"filter": [{"field": "entry_id", "op": "in", "val": list(range(1001))}]}, "in 最多 1000 个值"),
    ({"filter": [{"field": "entry_id", "op": "=", "val": 2**31}]}, "字段 entry_id 的值不正确"),  # a 32-bit column
    ({"size": 1001}, "每页最多 1000 行"),
])
async def test_refusals(db, request_data, message):
    with pytest.raises(QueryError, match=message) as caught:
        await QueryService.query(db, query_request=request_data, model_class=Entry)
    assert caught.value.status_code == 400


@pytest.mark.parametrize("bad", [{"filters": []}, {"format": "table"}, {"size": 0}])
def test_request_shape_is_checked(bad):
    with pytest.raises(ValidationError):
        QueryRequest(**bad)
