"""Naming tools: class, camel-case and property names and plurals, native beside plain Python.

Each case calls its function once per realistic table or column name; the per-call
figure is the mean over the whole list. The plain plural builds its irregular table on
every call, as the rule is stated; the non-ASCII rows use names with Chinese, German and
Greek letters, which leave the native ASCII path.
"""

from kelvora_core.generate.linkage import LinkageColumn
from kelvora_meta.tools.scriven import Scrivener

CYTHON = True  # the plain rows also run compiled with Cython 3

TABLES = [
    "t_user_info", "sys_dict_type", "v_order_detail", "t_sales_person", "auth_user_role",
    "sys_dept", "t_product_category", "t_inventory_box", "sqlmodel_base", "t_tenant_matrix",
]
COLUMNS = [
    "dept_id", "t_user_role_id", "parent_category_id", "owner_person_id", "create_by",
    "sys_menu_id", "t_box_id", "status", "order_detail_id", "tenant_id",
]

NON_ASCII = [
    "t_用户_信息", "sys_straße_ß", "v_ΟΔΟΣ_ΣΑΣ", "t_İzmir_şube", "t_订单_box",
]


class PlainScrivener:
    """The same rules in plain Python, written as a class like the native one."""

    case_mapping = {"sqlmodel": "SQLModel"}

    @staticmethod
    def get_file_name(table_or_view_name: str) -> str:
        return table_or_view_name

    @classmethod
    def get_class_name(cls, table_or_view_name: str) -> str:
        name = cls.get_file_name(table_or_view_name)
        parts = [p for p in name.split("_") if p]
        if parts and parts[0].lower() in ("t", "v", "sys"):
            parts = parts[1:]
        parts = [cls.case_mapping.get(p, p) for p in parts]
        return "".join(p[0].upper() + p[1:] for p in parts)


class PlainLinkage:
    @classmethod
    def get_camel_name(cls, source, is_plural) -> str:
        name = cls._make_plural_entity(source) if is_plural else source
        parts = name.split("_")
        if parts[0].lower() in ("t", "v", "sys"):
            parts = parts[1:]
        return "".join(p.capitalize() for p in parts)

    @classmethod
    def get_property_name(cls, source: str, is_plural) -> str:
        if source.endswith("_id"):
            return cls.get_camel_name(source[:-3], is_plural)
        return cls.get_camel_name(source, is_plural)

    @staticmethod
    def _make_plural_entity(entity_name) -> str:
        irregular = {
            "person": "people", "child": "children", "man": "men", "woman": "women",
            "foot": "feet", "tooth": "teeth", "mouse": "mice", "goose": "geese", "ox": "oxen",
            "criterion": "criteria", "phenomenon": "phenomena", "datum": "data",
            "analysis": "analyses", "thesis": "theses", "crisis": "crises", "index": "indexes",
            "matrix": "matrices", "vertex": "vertices", "focus": "foci", "staff": "staffs",
        }
        head, sep, tail = entity_name.rpartition("_")
        prefix = head + sep
        if tail.lower() in irregular:
            return prefix + irregular[tail.lower()]
        if tail.endswith(("s", "x", "z", "sh", "ch")):
            return prefix + tail + "es"
        if tail.endswith("y") and len(tail) > 1 and tail[-2] not in "aeiou":
            return prefix + tail[:-1] + "ies"
        if tail.endswith("f"):
            return prefix + tail[:-1] + "ves"
        if tail.endswith("fe"):
            return prefix + tail[:-2] + "ves"
        return prefix + tail + "s"


def over(fn, names, *extra):
    def run():
        for n in names:
            fn(n, *extra)
    return run, len(names)


# (case, implementation, callable, calls per run)
CASES = [
    ("get_class_name", "native", *over(Scrivener.get_class_name, TABLES)),
    ("get_class_name", "python", *over(PlainScrivener.get_class_name, TABLES)),
    ("get_camel_name (plural)", "native", *over(LinkageColumn.get_camel_name, TABLES, True)),
    ("get_camel_name (plural)", "python", *over(PlainLinkage.get_camel_name, TABLES, True)),
    ("get_camel_name", "native", *over(LinkageColumn.get_camel_name, TABLES, False)),
    ("get_camel_name", "python", *over(PlainLinkage.get_camel_name, TABLES, False)),
    ("get_property_name (plural)", "native", *over(LinkageColumn.get_property_name, COLUMNS, True)),
    ("get_property_name (plural)", "python", *over(PlainLinkage.get_property_name, COLUMNS, True)),
    ("get_class_name (non-ASCII)", "native", *over(Scrivener.get_class_name, NON_ASCII)),
    ("get_class_name (non-ASCII)", "python", *over(PlainScrivener.get_class_name, NON_ASCII)),
    ("get_camel_name (plural, non-ASCII)", "native", *over(LinkageColumn.get_camel_name, NON_ASCII, True)),
    ("get_camel_name (plural, non-ASCII)", "python", *over(PlainLinkage.get_camel_name, NON_ASCII, True)),
    ("_make_plural_entity", "native", *over(LinkageColumn._make_plural_entity, TABLES)),
    ("_make_plural_entity", "python", *over(PlainLinkage._make_plural_entity, TABLES)),
]


# Both sides must compute the same names, or the figures compare different work.
for names, native, plain in [
    (TABLES, Scrivener.get_class_name, PlainScrivener.get_class_name),
    (NON_ASCII, Scrivener.get_class_name, PlainScrivener.get_class_name),
    (TABLES, LinkageColumn._make_plural_entity, PlainLinkage._make_plural_entity),
]:
    assert [native(n) for n in names] == [plain(n) for n in names]
for names, native, plain in [
    (TABLES, LinkageColumn.get_camel_name, PlainLinkage.get_camel_name),
    (NON_ASCII, LinkageColumn.get_camel_name, PlainLinkage.get_camel_name),
    (COLUMNS, LinkageColumn.get_property_name, PlainLinkage.get_property_name),
]:
    for plural in (False, True):
        assert [native(n, plural) for n in names] == [plain(n, plural) for n in names]
