"""Native text helpers held against the interpreter's str methods, for all of Unicode."""

import unicodedata

import pytest
from hypothesis import given, strategies as st

import _text_probe as probe

SIGMA = "\u03a3"
VIAS = [None, False, True]  # whole-string helper, TextBuilder, TextBuilder over a 4-byte copy


def all_code_points(start=0, stop=0x110000):
    return "".join(map(chr, range(start, stop)))


# Blocks keep the strings (and any failure message) a manageable size.
BLOCKS = [(lo, min(lo + 0x10000, 0x110000)) for lo in range(0, 0x110000, 0x10000)]


def test_tables_match_this_interpreter():
    # Stale tables after an interpreter upgrade: re-run native/tools/gen_casing.py.
    assert probe.unicode_version() == unicodedata.unidata_version


@pytest.mark.parametrize("via", VIAS)
@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: f"{b[0]:06x}")
def test_every_code_point_lower_and_upper(block, via):
    s = all_code_points(*block)
    assert probe.lower(s, via) == s.lower()
    assert probe.upper(s, via) == s.upper()


def test_every_code_point_title_case():
    s = all_code_points()
    assert probe.title_each(s) == "".join(c.capitalize() for c in s)


@pytest.mark.parametrize("via", VIAS)
@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: f"{b[0]:06x}")
def test_final_sigma_context_for_every_code_point(block, via):
    # Before and after a capital sigma, every character is either skipped (case
    # ignorable), a cased letter or neither; these contexts tell the three apart.
    chars = all_code_points(*block)
    for template in ("1{}\u03a3 ", "A{}\u03a3 ", "A\u03a3{} ", "A\u03a3{}A "):
        s = "".join(template.format(c) for c in chars)
        assert probe.lower(s, via) == s.lower(), template
        assert probe.capitalize(s, via) == s.capitalize(), template


CASES = [
    "", "a", "A", "user_info", "USER", "Straße", "ß", "ŉ", "ǅungla", "ǆ", "ǰ", "ﬁle", "ﬃ",
    "İstanbul", "ISTANBUL", "ıi", "ΟΔΟΣ", "ΣΑΣ", "Σ", "AΣ", "AΣB", "AΣ.", "A.Σ", "AΣ\u0301",
    "A\u0301Σ", "1Σ", "ΑΣ'Α", "ὈΔΥΣΣΕΎΣ", "ᾳ", "ΐ", "用户_信息", "ÿ", "µ", "Ⅻ", "ⓐ",
    "\U00010400\U00010428", "\U0001e900", "\ud800x", "K\u212a", "_Σ_", "ǉ_ǈ_Ǉ",
]


@pytest.mark.parametrize("via", VIAS)
@pytest.mark.parametrize("s", CASES)
def test_case_methods_on_chosen_texts(s, via):
    assert probe.lower(s, via) == s.lower()
    assert probe.upper(s, via) == s.upper()
    assert probe.capitalize(s, via) == s.capitalize()
    assert probe.upper_first(s, via) == s[:1].upper() + s[1:]


@given(st.text())
def test_case_methods_on_random_text(s):
    for via in VIAS:
        assert probe.lower(s, via) == s.lower()
        assert probe.upper(s, via) == s.upper()
        assert probe.capitalize(s, via) == s.capitalize()
        assert probe.upper_first(s, via) == s[:1].upper() + s[1:]


@given(st.text(alphabet=st.sampled_from("_aΣß用\U00010400")), st.sampled_from("_aΣ\U00010400"))
def test_split_keeps_every_piece(s, sep):
    assert probe.split(s, sep) == s.split(sep)
    assert probe.split(s, sep, True) == s.split(sep)
    assert probe.rfind(s, sep) == s.rfind(sep)


@pytest.mark.parametrize("s,suffix", [("user_id", "_id"), ("_id", "_id"), ("id", "_id"),
                                      ("用户_id", "_id"), ("用户_iD", "_id"), ("", ""), ("a", "")])
def test_ends_with(s, suffix):
    assert probe.ends_with(s, suffix) is s.endswith(suffix)


@pytest.mark.parametrize("a,b", [("abc", "abc"), ("abc", "abd"), ("ab", "abc"), ("ä", "ä"),
                                 ("a", "ä"), ("用", "用"), ("\U00010400", "\U00010400"), ("", "")])
def test_equality_across_kinds(a, b):
    assert probe.equals(a, b) == (a == b, a == b)


@pytest.mark.parametrize("s,target", [
    ("SyS", "sys"), ("sys", "sys"), ("sy", "sys"), ("syss", "sys"), ("T", "t"), ("ſys", "sys"),
    ("\u212a", "k"), ("İ", "i"), ("İs", "is"), ("", ""), ("ΣYS", "sys"), ("ß", "ss"),
])
def test_lower_equals(s, target):
    expected = s.lower() == target
    assert probe.lower_equals(s, target) == (expected, expected)


@pytest.mark.parametrize("fn", [probe.lower, probe.upper, probe.capitalize, probe.upper_first])
@pytest.mark.parametrize("bad", [None, b"abc", 3, type("S", (str,), {})("x")])
def test_non_str_is_refused(fn, bad):
    with pytest.raises(TypeError, match="has incorrect type"):
        fn(bad)
