"""Scrivener: class names from table names, column predicates, update preparation."""

import collections
import inspect
import json
import types
from typing import Optional

import pytest
from sqlmodel import Field, SQLModel

from kelvora_meta.tools import scriven
from kelvora_meta.tools.scriven import Scrivener

NS = types.SimpleNamespace


class StrSub(str):
    pass


# ---- class surface ------------------------------------------------------------------

METHODS = {
    "set_update_property": (staticmethod, ["data_model", "meta_model"], {}),
    "get_file_name": (staticmethod, ["table_or_view_name"],
                      {"table_or_view_name": "str", "return": "str"}),
    "get_class_name": (classmethod, ["cls", "table_or_view_name"],
                       {"table_or_view_name": "str", "return": "str"}),
    "dump_json": (staticmethod, ["data"], {}),
    "is_private": (classmethod, ["cls", "column_name"], {}),
    "is_primary": (classmethod, ["cls", "column_name", "constrained_columns"], {}),
    "is_unique": (classmethod, ["cls", "column_name", "meta_indexes"], {}),
    "is_foreign": (classmethod, ["cls", "column_name", "linkage_keys"], {}),
}


@pytest.mark.parametrize("name", METHODS)
def test_method_kinds_signatures_and_annotations(name):
    kind, params, annotations = METHODS[name]
    raw = vars(Scrivener)[name]
    assert type(raw) is kind
    fn = raw.__func__
    names = list(inspect.signature(fn).parameters)
    assert names == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in inspect.signature(fn).parameters.values())
    assert fn.__annotations__ == annotations
    assert not inspect.iscoroutinefunction(fn)
    assert fn.__qualname__ == f"Scrivener.{name}"


def test_class_attributes_and_docs():
    assert Scrivener.__bases__ == (object,)
    assert Scrivener.__module__ == "kelvora_meta.tools.scriven"
    assert Scrivener.case_mapping == {"sqlmodel": "SQLModel"}
    assert Scrivener.private_mapping == ["tenant_id", "create_by", "create_at", "update_by",
                                         "update_at"]
    assert Scrivener.get_class_name.__doc__ == "（驼峰命名，去除前缀 t/v/sys）"
    assert scriven.json is json


# ---- names --------------------------------------------------------------------------

@pytest.mark.parametrize("table,expected", [
    ("t_user_info", "UserInfo"), ("sys_dict_type", "DictType"), ("V_Order", "Order"),
    ("tab_user", "TabUser"), ("user__name_", "UserName"), ("userName", "UserName"),
    ("USER", "USER"), ("sqlmodel_base", "SQLModelBase"), ("SqlModel_base", "SqlModelBase"),
    ("sys", ""), ("_", ""), ("", ""), ("___", ""), ("T", ""), ("SyS_role", "Role"),
    ("__t__user", "User"),           # empty pieces go before the prefix test
    ("sys_sys_log", "SysLog"),       # one prefix piece only
    ("user_t", "UserT"), ("t_sqlmodel", "SQLModel"), ("ts_user", "TsUser"),
    # non-ASCII: the first character is upper-cased (not title-cased), the rest kept
    ("t_straße", "Straße"), ("ß_x", "SSX"), ("sys_ǆemal", "Ǆemal"), ("ŉ_b", "ʼNB"),
    ("用户_信息", "用户信息"), ("t_İzmir_ıd", "İzmirId"), ("ſys_user", "SysUser"),
    ("σ_ΟΔΟΣ", "ΣΟΔΟΣ"), ("\U00010428_x", "\U00010400X"),
])
def test_get_class_name(table, expected):
    assert Scrivener.get_class_name(table) == expected
    assert Scrivener.get_class_name(table_or_view_name=table) == expected


@pytest.mark.parametrize("name", ["t_user", "", "用户"])
def test_get_file_name_returns_the_name(name):
    assert Scrivener.get_file_name(name) is name


@pytest.mark.parametrize("method", ["get_file_name", "get_class_name"])
@pytest.mark.parametrize("bad", [None, 1, b"t_user", StrSub("t_user")])
def test_names_must_be_exactly_str(method, bad):
    with pytest.raises(TypeError) as info:
        getattr(Scrivener, method)(bad)
    assert str(info.value) == ("Argument 'table_or_view_name' has incorrect type "
                               f"(expected str, got {type(bad).__name__})")


def test_get_class_name_uses_the_class_at_call_time(monkeypatch):
    class Schemaless(Scrivener):
        @staticmethod
        def get_file_name(name):
            return name.rpartition(".")[2]

        case_mapping = {"api": "API", "sqlmodel": "SqlModel"}

    assert Schemaless.get_class_name("public.t_api_sqlmodel") == "APISqlModel"
    assert Scrivener.get_class_name("public.t_api_sqlmodel") == "Public.tApiSQLModel"

    monkeypatch.setattr(Scrivener, "case_mapping", {"info": "INFO"})
    assert Scrivener.get_class_name("t_user_info") == "UserINFO"
    monkeypatch.setattr(Scrivener, "get_file_name", staticmethod(lambda n: n.upper()))
    assert Scrivener.get_class_name("t_user") == "USER"


@pytest.mark.parametrize("mapping,expected", [
    # many entries, non-str keys, a dict subclass and a read-only mapping take the
    # general lookup; all must agree with dict.get
    ({f"k{i}": f"V{i}" for i in range(20)} | {"user": "Usr"}, "UsrV3"),
    ({1: "one", "user": "Usr"}, "UsrK3"),
    (collections.OrderedDict(user="Usr"), "UsrK3"),
    (types.MappingProxyType({"user": "Usr"}), "UsrK3"),
    ({"user": ""}, "K3"),  # a piece mapped to nothing leaves nothing
    ({"用户": "Yonghu"}, "UserK3"),
])
def test_case_mapping_lookups(monkeypatch, mapping, expected):
    monkeypatch.setattr(Scrivener, "case_mapping", mapping)
    assert Scrivener.get_class_name("t_user_k3") == expected
    if "用户" in mapping:
        assert Scrivener.get_class_name("t_用户_k3") == "YonghuK3"


# ---- JSON -----------------------------------------------------------------------------

@pytest.mark.parametrize("data", [
    {"名称": "用户表", "列": ["编号", "名称"]}, ["ß", "İ", "ς"], "纯文本", 1, None, {"a": [1.5, True]},
])
def test_dump_json_keeps_non_ascii(data):
    out = Scrivener.dump_json(data)
    assert out == json.dumps(data, ensure_ascii=False)
    assert "\\u" not in out


def test_json_is_looked_up_at_call_time(monkeypatch):
    calls = []
    fake = NS(dumps=lambda d, **kw: calls.append(kw) or "dumped",
              loads=lambda t: calls.append(t) or ["x"])
    monkeypatch.setattr(scriven, "json", fake)
    assert Scrivener.dump_json({}) == "dumped"
    assert Scrivener.is_primary("x", "anything") is True
    assert calls == [{"ensure_ascii": False}, "anything"]


# ---- column predicates ----------------------------------------------------------------

class Audited(Scrivener):
    private_mapping = ["audit_log"]


def fk(columns):
    return NS(constrained_columns=json.dumps(columns))


@pytest.mark.parametrize("predicate, args, expected", [
    *((Scrivener.is_private, (column,), True) for column in ["tenant_id", "create_by", "create_at", "update_by",
                                                            "update_at"]),
    *((Scrivener.is_private, (column,), False) for column in ["is_active", "TENANT_ID", ""]),
    (Audited.is_private, ("audit_log",), True), (Audited.is_private, ("tenant_id",), False),  # the class's own list
    *((Scrivener.is_primary, ("id", columns), expected) for columns, expected in [
        ('["id"]', True), ('["tenant_id", "id"]', True), ('["uid"]', False), ("[]", False), (b'["id"]', True),
        ('["ID"]', False)]),
    (Scrivener.is_foreign, ("dept_id", []), False),
    (Scrivener.is_foreign, ("dept_id", [fk(["dept_id", "tenant_id"]), fk(["dept_id"])]), True),  # composite skipped
    (Scrivener.is_foreign, ("dept_id", [fk(["dept_id", "tenant_id"])]), False),
    *((Scrivener.is_foreign, (column, [fk(["user_id"]), fk(["dept_id"])]), expected)  # every single-column key
      for column, expected in [("dept_id", True), ("user_id", True), ("role_id", False)]),
    (Scrivener.is_foreign, ("dept_id", [fk([])]), False),
])
def test_column_predicates(predicate, args, expected):
    assert predicate(*args) is expected


@pytest.mark.parametrize("columns", ["", "[id]", '["id"', "{", '"user_id"', '{"id": 1}', "null", "1"])
def test_column_lists_must_be_json_arrays(columns):
    # `in` on a JSON string would match a substring: "id" in "user_id".
    valid_json = columns in ('"user_id"', '{"id": 1}', "null", "1")
    with pytest.raises(ValueError if valid_json else json.JSONDecodeError,
                       match="must be a JSON array of column names" if valid_json else None):
        Scrivener.is_primary("id", columns)
    for call, what in [(lambda: Scrivener.is_unique("id", [NS(column_names=columns, unique=True)]), "column_names"),
                       (lambda: Scrivener.is_foreign("id", [NS(constrained_columns=columns)]), "constrained_columns")]:
        with pytest.raises(ValueError, match=f"{what} must be a JSON array" if valid_json else None):
            call()


def index(columns, unique):
    return NS(column_names=json.dumps(columns), unique=unique)


@pytest.mark.parametrize("indexes,expected", [
    ([], False),
    ([index(["name"], False)], False),
    ([index(["name"], True)], True),
    ([index(["name", "code"], True)], False),
    ([index(["code"], True), index(["name"], True)], True),  # a later index answers too
    ([index(["code"], True), index(["name"], False)], False),
    ([index(["name", "code"], True), index(["name"], 1)], True),
    ([index(["name"], 0), index(["name"], None), index(["name"], "")], False),
    ([index(["name"], "yes")], True),
])
def test_is_unique(indexes, expected):
    assert Scrivener.is_unique("name", indexes) is expected
    assert Scrivener.is_unique("name", iter(indexes)) is expected


# ---- set_update_property ----------------------------------------------------------

class Dept(SQLModel, table=True):
    __tablename__ = "scriven_dept"
    dept_code: str = Field(primary_key=True)
    name: str = ""
    sort_order: Optional[int] = None
    is_active: Optional[bool] = None


class DeptForm(SQLModel):
    dept_code: str
    sort_order: int = 0


@pytest.mark.parametrize("data,left", [
    ({"name": "x", "sort_order": 3, "is_active": True}, {"name": "x"}),
    ({"name": "x"}, {"name": "x"}),
    ({"sort_order": 0}, {}),
    (collections.OrderedDict(sort_order=1, name="y"), {"name": "y"}),
])
def test_set_update_property_on_dicts(data, left):
    meta = Dept(dept_code="D01", name="研发部")
    assert Scrivener.set_update_property(data, meta) == "D01"
    assert dict(data) == left


@pytest.mark.parametrize("sort_order,is_active,expected", [
    (5, True, (None, None)),
    (0, False, (0, False)),
    (0, True, (0, None)),
    ("", [1], ("", None)),
])
def test_set_update_property_on_objects(sort_order, is_active, expected):
    data = NS(sort_order=sort_order, is_active=is_active, name="n")
    meta = NS(model_fields={"code": None, "name": None}, code="C1")
    assert Scrivener.set_update_property(data, meta) == "C1"
    assert (data.sort_order, data.is_active, data.name) == (*expected, "n")


def test_set_update_property_on_sqlmodel_models():
    # Reading model_fields from a model instance is deprecated by pydantic; warnings
    # are errors here, so this also holds that none is raised.
    data = Dept(dept_code="D02", sort_order=7, is_active=True)
    meta = Dept(dept_code="D01", name="研发部")
    assert Scrivener.set_update_property(data, meta) == "D01"
    assert (data.sort_order, data.is_active) == (None, None)

    form = DeptForm(dept_code="F1", sort_order=0)
    assert Scrivener.set_update_property(form, form) == "F1"
    assert form.sort_order == 0
    # A model class: its first field's class attribute.
    assert Scrivener.set_update_property({}, Dept) is Dept.dept_code


def test_set_update_property_on_object_without_the_attributes():
    data = NS(name="n")
    assert Scrivener.set_update_property(data, NS(model_fields=["name"], name="v")) == "v"
    assert vars(data) == {"name": "n"}


class Frozen:
    __slots__ = ("sort_order",)

    def __init__(self):
        object.__setattr__(self, "sort_order", 1)

    def __setattr__(self, name, value):
        raise AttributeError("read-only")


@pytest.mark.parametrize("overrides, call, error, match", [
    ({}, lambda: Scrivener.dump_json({"s": {1, 2}}), TypeError, "not JSON serializable"),
    ({"case_mapping": {"user": None}}, lambda: Scrivener.get_class_name("t_user"), TypeError,
     "case_mapping values must be str, not NoneType"),
    ({"get_file_name": staticmethod(lambda n: 42)}, lambda: Scrivener.get_class_name("t_user"), AttributeError,
     "'int' object has no attribute 'split'"),
    # every index it passes is parsed
    ({}, lambda: Scrivener.is_unique("name", [NS(column_names="not json", unique=False), index(["name"], True)]),
     ValueError, None),
    # metadata without the attributes
    ({}, lambda: Scrivener.is_unique("id", [NS(column_names='["id"]')]), AttributeError, None),
    ({}, lambda: Scrivener.is_foreign("id", [NS()]), AttributeError, None),
    ({}, lambda: Scrivener.is_foreign("id", None), TypeError, None),
    ({}, lambda: Scrivener.set_update_property({}, NS(model_fields={})), StopIteration, None),
    ({}, lambda: Scrivener.set_update_property({}, NS(model_fields={"missing": None})), AttributeError, None),
    ({}, lambda: Scrivener.set_update_property({}, object()), AttributeError, None),
    ({}, lambda: Scrivener.set_update_property(Frozen(), NS(model_fields={"a": 1}, a=1)), AttributeError,
     "read-only"),
])
def test_refusals(monkeypatch, overrides, call, error, match):
    for name, value in overrides.items():
        monkeypatch.setattr(Scrivener, name, value)
    with pytest.raises(error, match=match):
        call()
