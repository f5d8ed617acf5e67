"""The native naming rules against a plain Python statement of the same rules."""

import json
import sys
import types

from hypothesis import example, given, settings, strategies as st

from kelvora_core.generate.linkage import LinkageColumn
from kelvora_meta.tools.scriven import Scrivener

# ---- the rules, stated plainly ---------------------------------------------------

PREFIXES = ("t", "v", "sys")
CASE_MAPPING = {"sqlmodel": "SQLModel"}
IRREGULAR = {
    "person": "people", "child": "children", "man": "men", "woman": "women", "foot": "feet",
    "tooth": "teeth", "mouse": "mice", "goose": "geese", "ox": "oxen", "criterion": "criteria",
    "phenomenon": "phenomena", "datum": "data", "analysis": "analyses", "thesis": "theses",
    "crisis": "crises", "index": "indexes", "matrix": "matrices", "vertex": "vertices",
    "focus": "foci", "staff": "staffs",
}


def class_name(name):
    parts = [p for p in name.split("_") if p]
    if parts and parts[0].lower() in PREFIXES:
        parts = parts[1:]
    parts = [CASE_MAPPING.get(p, p) for p in parts]
    return "".join(p[0].upper() + p[1:] for p in parts)


def plural(name):
    head, sep, tail = name.rpartition("_")
    if tail.lower() in IRREGULAR:
        return head + sep + IRREGULAR[tail.lower()]
    if tail.endswith(("s", "x", "z", "sh", "ch")):
        return head + sep + tail + "es"
    if tail.endswith("y") and len(tail) > 1 and tail[-2] not in "aeiou":
        return head + sep + tail[:-1] + "ies"
    if tail.endswith("f"):
        return head + sep + tail[:-1] + "ves"
    if tail.endswith("fe"):
        return head + sep + tail[:-2] + "ves"
    return head + sep + tail + "s"


def camel_name(source, is_plural):
    name = plural(source) if is_plural else source
    parts = name.split("_")
    if parts[0].lower() in PREFIXES:
        parts = parts[1:]
    return "".join(p.capitalize() for p in parts)


def property_name(source, is_plural):
    if source.endswith("_id"):
        return camel_name(source[:-3], is_plural)
    return camel_name(source, is_plural)


def unique(column, indexes):
    return any(u and len(cols) == 1 and column in cols for cols, u in indexes)


# ---- names to try -----------------------------------------------------------------

# Pieces that exercise the rules: prefixes in any case, the mapped word, irregular
# nouns, every plural ending, and letters whose case mappings are special: German ß,
# Turkish dotted/dotless I, Greek sigma (final and medial forms), title-case digraphs,
# ligatures, Chinese, a letter outside the Basic Multilingual Plane.
WORDS = [
    "", "t", "T", "v", "V", "sys", "SYS", "Sys", "ſys", "sqlmodel", "SqlModel", "id", "ID", "Id",
    "user", "USER", "userName", "person", "Person", "OX", "staff", "index", "category", "day",
    "KEY", "bus", "box", "dish", "church", "leaf", "knife", "y", "Y", "fe", "f",
    "straße", "ß", "İstanbul", "ıd", "İ", "ΟΔΟΣ", "Σ", "σας", "ΣΑΣ", "ǅ", "ǆemal", "ŉ", "ﬁle",
    "用户", "信息", "\U00010400x", "\u212a", "a\u0301", "Σ\u0301x",
]
word = st.one_of(st.sampled_from(WORDS), st.text(max_size=6),
                 st.text(alphabet="_aAyYsSfFeEiItTvV", max_size=6))
names = st.lists(word, max_size=5).map("_".join)
underscores = st.integers(0, 5).map(lambda n: "_" * n)
any_name = st.one_of(names, underscores, st.text())


@settings(max_examples=400)
@given(any_name)
@example("sqlmodel_base")
@example("___")
@example("ΟΔΟΣ_Σ")
def test_class_name_rule(name):
    assert Scrivener.get_class_name(name) == class_name(name)


@settings(max_examples=400)
@given(any_name)
@example("")
@example("Person")
@example("a_ΣΑΣ")
def test_plural_rule(name):
    assert LinkageColumn._make_plural_entity(name) == plural(name)


@settings(max_examples=400)
@given(any_name, st.booleans())
@example("_t_user", False)
@example("sys", True)
def test_camel_name_rule(name, is_plural):
    assert LinkageColumn.get_camel_name(name, is_plural) == camel_name(name, is_plural)


@settings(max_examples=400)
@given(st.one_of(any_name, any_name.map(lambda n: n + "_id")), st.booleans())
@example("_id", True)
def test_property_name_rule(name, is_plural):
    assert LinkageColumn.get_property_name(name, is_plural) == property_name(name, is_plural)


column = st.sampled_from(["id", "code", "name", "用户"])


@given(column, st.lists(st.tuples(st.lists(column, max_size=3), st.booleans()), max_size=5))
def test_unique_rule(name, indexes):
    records = [types.SimpleNamespace(column_names=json.dumps(cols), unique=u)
               for cols, u in indexes]
    assert Scrivener.is_unique(name, records) is unique(name, indexes)
    keys = [types.SimpleNamespace(constrained_columns=json.dumps(cols)) for cols, _ in indexes]
    assert Scrivener.is_foreign(name, keys) is unique(name, [(c, True) for c, _ in indexes])


def test_repeated_calls_do_not_leak():
    names = ["t_user_info", "sys_ΟΔΟΣ_straße", "用户_信息_id", "x" * 300 + "_ß" * 50]

    def run():
        for _ in range(2000):
            for n in names:
                Scrivener.get_class_name(n)
                LinkageColumn.get_property_name(n, True)
                LinkageColumn.get_camel_name(n, False)
                LinkageColumn._make_plural_entity(n)

    run()
    before = sys.getallocatedblocks()
    run()
    assert sys.getallocatedblocks() - before < 200
