"""LinkageColumn: the record, camel-case property names and English plurals."""

import dataclasses
import inspect

import pytest

from kelvora_core.generate import linkage
from kelvora_core.generate.linkage import LinkageColumn

FIELDS = [
    ("schema_name", "str"), ("alias_index", "str"), ("sort_order", "bool"), ("unique", "bool"),
    ("constrained_table", "str"), ("constrained_class", "str"), ("constrained_column", "str"),
    ("constrained_name", "str"), ("referred_table", "str"), ("referred_class", "str"),
    ("referred_column", "str"), ("referred_name", "str"),
]
VALUES = ["public", "ix1", True, False, "t_user", "User", "dept_id", "dept",
          "t_dept", "Dept", "id", "users"]


class StrSub(str):
    pass


# ---- the record -----------------------------------------------------------------------

def test_record_fields_in_order_with_text_types():
    assert dataclasses.is_dataclass(LinkageColumn)
    fields = dataclasses.fields(LinkageColumn)
    assert [(f.name, f.type) for f in fields] == FIELDS
    assert all(f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING
               for f in fields)
    assert LinkageColumn.__annotations__ == dict(FIELDS)
    assert LinkageColumn.__module__ == "kelvora_core.generate.linkage"
    assert LinkageColumn.__bases__ == (object,)
    assert linkage.dataclass is dataclasses.dataclass


def test_record_construction_repr_and_equality():
    a = LinkageColumn(*VALUES)
    b = LinkageColumn(**dict(zip([n for n, _ in FIELDS], VALUES, strict=True)))
    assert a == b
    assert repr(a).startswith("LinkageColumn(schema_name='public', alias_index='ix1', sort_order=True")
    a.unique = 1  # not frozen, types not checked
    assert a != b and a.unique == 1
    with pytest.raises(TypeError):
        sorted([a, b])  # no ordering
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'referred_name'"):
        LinkageColumn(*VALUES[:-1])


METHODS = {
    "get_camel_name": (classmethod, ["cls", "source", "is_plural"], {"return": "str"}),
    "get_property_name": (classmethod, ["cls", "source", "is_plural"],
                          {"source": "str", "return": "str"}),
    "_make_plural_entity": (staticmethod, ["entity_name"], {"return": "str"}),
}


@pytest.mark.parametrize("name", METHODS)
def test_method_kinds_signatures_and_annotations(name):
    kind, params, annotations = METHODS[name]
    raw = vars(LinkageColumn)[name]
    assert type(raw) is kind
    fn = raw.__func__
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in sig.parameters.values())
    assert fn.__annotations__ == annotations
    assert not inspect.iscoroutinefunction(fn)
    if name == "_make_plural_entity":
        assert fn.__doc__ == "将实体名称转换为复数形式\n注意：这是一个简单的规则实现，可能不适用于所有情况"


# ---- plurals ------------------------------------------------------------------------

@pytest.mark.parametrize("singular,plural", [
    ("category", "categories"), ("day", "days"), ("bus", "buses"), ("box", "boxes"),
    ("dish", "dishes"), ("church", "churches"), ("leaf", "leaves"), ("knife", "knives"),
    ("staff", "staffs"), ("person", "people"), ("Person", "people"), ("index", "indexes"),
    ("status", "statuses"), ("y", "ys"), ("CITY", "CITYs"), ("BOX", "BOXs"),
    ("sales_person", "sales_people"), ("t_user_category", "t_user_categories"), ("", "s"),
    # irregulars, case-insensitively, written in lower case
    ("OX", "oxen"), ("Datum", "data"), ("user_Child", "user_children"), ("vertex", "vertices"),
    ("analysis", "analyses"), ("focus", "foci"), ("man", "men"), ("woman", "women"),
    # every ending
    ("quiz", "quizes"), ("wish", "wishes"), ("baby", "babies"), ("boy", "boys"),
    ("key", "keys"), ("Guy", "Guys"), ("kAy", "kAies"), ("safe", "saves"), ("chief", "chieves"),
    ("user", "users"), ("Bus", "Buses"), ("bUS", "bUSs"), ("fish_", "fish_s"), ("_", "_s"),
    ("a__b", "a__bs"), ("people", "peoples"), ("ff", "fves"),
    # non-ASCII: no rule matches, or the table lookup sees the full lower case
    ("straße", "straßes"), ("用户", "用户s"), ("t_用户_box", "t_用户_boxes"), ("staﬀ", "staﬀs"),
    ("İndex", "İndexes"), ("PERSOΝ", "PERSOΝs"), ("ΣΑΣ", "ΣΑΣs"), ("ǅ_y", "ǅ_ys"),
])
def test_make_plural_entity(singular, plural):
    assert LinkageColumn._make_plural_entity(singular) == plural
    assert LinkageColumn._make_plural_entity(entity_name=singular) == plural


# ---- camel-case names -----------------------------------------------------------------

@pytest.mark.parametrize("source,is_plural,expected", [
    ("t_user_role", False, "UserRole"), ("sys_category", True, "Categories"),
    ("user_ID", False, "UserId"), ("_t_user", False, "TUser"), ("", False, ""),
    ("", True, "S"), ("T_user", False, "User"), ("sys", False, ""), ("sys_sys", False, "Sys"),
    ("user__role", False, "UserRole"), ("user_", True, "UserS"), ("v", True, "Vs"),
    ("t_person", True, "People"), ("user_category", True, "UserCategories"),
    ("USER_INFO", False, "UserInfo"), ("sys_box", 1, "Boxes"), ("sys_box", "", "Box"),
    ("sys_box", None, "Box"), ("sys_box", [0], "Boxes"),
    # full capitalisation: title-case first character, full lower case for the rest
    ("ǆemal_ŉ", False, "ǅemalʼN"), ("t_ΟΔΟΣ_ΣΑΣ", False, "ΟδοςΣας"), ("ß_x", False, "SsX"),
    ("İSTANBUL", False, "İstanbul"), ("ﬁle_ﬀ", False, "FileFf"), ("用户_ROLE", False, "用户Role"),
])
def test_get_camel_name(source, is_plural, expected):
    assert LinkageColumn.get_camel_name(source, is_plural) == expected


@pytest.mark.parametrize("source,is_plural,expected", [
    ("dept_id", False, "Dept"), ("dept_id", True, "Depts"), ("t_user_role_id", True, "UserRoles"),
    ("_id", False, ""), ("_id", True, "S"), ("user_ID", False, "UserId"), ("id", False, "Id"),
    ("a_id_id", False, "AId"), ("t_person_id", True, "People"), ("sys_id", False, ""),
    ("t_用户_id", True, "用户s"), ("parent_dept", True, "ParentDepts"),
])
def test_get_property_name(source, is_plural, expected):
    assert LinkageColumn.get_property_name(source, is_plural) == expected
    assert LinkageColumn.get_property_name(source=source, is_plural=is_plural) == expected


class Undecided:
    def __bool__(self):
        raise RuntimeError("undecided")


class Broken(LinkageColumn):
    @staticmethod
    def _make_plural_entity(entity_name):
        return None


@pytest.mark.parametrize("call, error, message", [
    *((lambda bad=bad: LinkageColumn.get_property_name(bad, False), TypeError,
       rf"^Argument 'source' has incorrect type \(expected str, got {type(bad).__name__}\)$")
      for bad in [None, 5, b"dept_id", StrSub("dept_id")]),
    # non-text names: what the str methods on them raise
    (lambda: LinkageColumn._make_plural_entity(None), AttributeError,
     "'NoneType' object has no attribute 'rpartition'"),
    (lambda: LinkageColumn.get_camel_name(3, True), AttributeError, "'int' object has no attribute 'rpartition'"),
    (lambda: LinkageColumn.get_camel_name(3, False), AttributeError, "'int' object has no attribute 'split'"),
    # b"...".rpartition("_") / .split("_") refuse the str separator
    *((call, TypeError, "a bytes-like object is required") for call in [
        lambda: LinkageColumn._make_plural_entity(b"order_item"),
        lambda: LinkageColumn.get_camel_name(b"order_item", True),
        lambda: LinkageColumn.get_camel_name(b"order_item", False)]),
    (lambda: Broken.get_camel_name("user", True), AttributeError, "'NoneType' object has no attribute 'split'"),
    (lambda: LinkageColumn.get_camel_name("user", Undecided()), RuntimeError, "undecided"),  # is_plural's truth
])
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_methods_reach_overrides_through_the_class(monkeypatch):
    calls = []

    class Custom(LinkageColumn):
        @staticmethod
        def _make_plural_entity(entity_name):
            calls.append(entity_name)
            return f"{entity_name}_list"

    assert Custom.get_camel_name("t_user", True) == "UserList"
    assert Custom.get_property_name("t_dept_id", True) == "DeptList"
    assert Custom.get_camel_name(7, True) == "7List"  # the override decides what it accepts
    assert calls == ["t_user", "t_dept", 7]

    class Named(LinkageColumn):
        @classmethod
        def get_camel_name(cls, source, is_plural):
            calls.append((source, is_plural))
            return "named"

    assert Named.get_property_name("user_id", 1) == "named"
    assert Named.get_property_name("user", 0) == "named"
    assert calls[-2:] == [("user", 1), ("user", 0)]
    monkeypatch.setattr(LinkageColumn, "_make_plural_entity", staticmethod(lambda n: n + "_all"))
    assert LinkageColumn.get_property_name("t_dept_id", True) == "DeptAll"  # patched on the class itself
