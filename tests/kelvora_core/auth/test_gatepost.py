"""Route permission records and the conversion of route templates to path patterns."""

import dataclasses
import inspect
import re
import typing
import warnings

import pytest
from hypothesis import given, settings, strategies as st

from kelvora_core.auth import gatepost
from kelvora_core.auth.gatepost import Gatepost

convert = Gatepost.convert_path_to_regex


def reference(path: str) -> str:
    """The conversion written with re.sub, the way its rules read."""
    bare = re.sub(r"\{(\w+):[^}]+}", r"{\1}", path)
    return re.sub(r"\{(\w+)}", r"(?P<\1>[^/]+)", bare) + "$"


@pytest.mark.parametrize("template,expected", [
    ("/users/{user_id:int}", "/users/(?P<user_id>[^/]+)$"),
    ("/orders/{order_id}", "/orders/(?P<order_id>[^/]+)$"),
    ("/api/v1/users/{uid}", "/api/v1/users/(?P<uid>[^/]+)$"),
    ("/shops/{shop_id}/orders/{order_id:int}", "/shops/(?P<shop_id>[^/]+)/orders/(?P<order_id>[^/]+)$"),
    ("/items/{item_id:[0-9]+}", "/items/(?P<item_id>[^/]+)$"),
    ("/files/{file_path:path}", "/files/(?P<file_path>[^/]+)$"),
    ("/health", "/health$"),
    ("", "$"),
    ("/a/{}/{x-y}", "/a/{}/{x-y}$"),                  # not parameters: left as they are
    ("/a/{x:}", "/a/{x:}$"),                          # an empty annotation is no annotation
    ("/{{id:int}}", "/{(?P<id>[^/]+)}$"),
    ("/{a:{b}/c}", "/(?P<a>[^/]+)/c}$"),              # the annotation runs to the first '}'
    ("/用户/{名字:str}/{ß}", "/用户/(?P<名字>[^/]+)/(?P<ß>[^/]+)$"),
    ("/emoji/😀/{x}", "/emoji/😀/(?P<x>[^/]+)$"),
])
def test_templates(template, expected):
    compiled = convert(template)
    assert isinstance(compiled, re.Pattern) and compiled.flags == re.UNICODE
    assert compiled.pattern == expected == reference(template)


def test_pattern_is_anchored_at_the_end_only():
    p = convert("/users/{user_id:int}")
    m = p.match("/users/42")
    assert m and m.group("user_id") == "42"
    assert p.match("/users/42/orders") is None
    assert p.match("/api/users/42") is None
    assert p.search("/api/users/42").group("user_id") == "42"
    assert convert("/a.b").match("/aXb")  # literal parts are not escaped


@pytest.mark.parametrize("bad, error, match", [
    ("/{id}/{id:int}", re.error, "redefinition of group name"), ("/broken(", re.error, None),  # compile errors
    *((bad, TypeError, r"Argument 'path' has incorrect type \(expected str, got ")
      for bad in [None, b"/x", 5, type("S", (str,), {})("/x")]),  # exactly str
])
def test_refusals(bad, error, match):
    with pytest.raises(error, match=match):
        convert(bad)


def test_conversion_uses_the_module_re_at_call_time(monkeypatch):
    seen = []

    class Recorder:
        @staticmethod
        def compile(expression):
            seen.append(expression)
            return expression

    monkeypatch.setattr(gatepost, "re", Recorder)
    assert convert("/x/{id:int}") == "/x/(?P<id>[^/]+)$"
    assert seen == ["/x/(?P<id>[^/]+)$"]


ALPHABET = st.sampled_from(list("{}:/_-.ab9+[]") + ["é", "ß", "名", "😀", "İ", "٣", " "])


@settings(max_examples=400, deadline=None)
@given(st.lists(ALPHABET, max_size=30).map("".join))
def test_matches_re_sub_on_random_templates(template):
    # re warns about odd character sets ("[["); the pattern text is what is compared here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        check_random(template)


def check_random(template):
    try:
        expected = reference(template)
        re.compile(expected)
    except re.error:
        with pytest.raises(re.error):
            convert(template)
        return
    assert convert(template).pattern == expected


def test_record():
    fields = dataclasses.fields(Gatepost)
    assert [f.name for f in fields] == ["method", "pattern", "data_role", "data_act", "data_obj"]
    assert [f.type for f in fields] == [str, typing.Pattern, str, str, str]
    assert all(f.default is dataclasses.MISSING for f in fields)
    assert Gatepost.__doc__.splitlines()[0] == "表示一条数据权限控制规则。"
    assert convert.__doc__.splitlines()[0] == "将 FastAPI 路径模板转换为用于精确结尾匹配的正则表达式。"
    assert isinstance(Gatepost.__dict__["convert_path_to_regex"], staticmethod)
    assert str(inspect.signature(convert)) == "(path: str) -> Pattern"

    p = convert("/orders/{order_id}")
    a = Gatepost("GET", p, "admin", "read", "order")
    b = Gatepost(method="GET", pattern=p, data_role="admin", data_act="read", data_obj="order")
    assert a == b and a != Gatepost("POST", p, "admin", "read", "order")
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    a.method = 42  # declared types are annotations only
    assert a.method == 42
    with pytest.raises(TypeError):
        Gatepost("GET", p, "admin", "read")
    assert gatepost.dataclass is dataclasses.dataclass and gatepost.Pattern is typing.Pattern
