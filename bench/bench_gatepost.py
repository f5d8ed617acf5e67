"""Route templates to path patterns (Gatepost.convert_path_to_regex).

2,000 distinct templates are cycled, more than the re module's cache holds, so the
"with compile" rows pay a real compile each call. The "rewrite only" rows replace the
module's `re` with one whose compile returns the text, measuring the template rewrite
itself (native C++ vs two re.sub calls).
"""

import re
import types

from kelvora_core.auth import gatepost

CYTHON = True  # the plain rows also run compiled with Cython 3

TEMPLATES = [
    f"/api/v{i % 7}/tenants/{{tenant_id:int}}/res{i}/{{item_{i}:path}}/sub/{{child}}"
    if i % 3 else f"/plain/route/{i}/health" for i in range(2000)
]


def plain_convert(path):
    path = re.sub(r"\{(\w+):[^}]+}", r"{\1}", path)
    path = re.sub(r"\{(\w+)}", r"(?P<\1>[^/]+)", path)
    return re.compile(path + "$")


def plain_rewrite(path):
    path = re.sub(r"\{(\w+):[^}]+}", r"{\1}", path)
    return re.sub(r"\{(\w+)}", r"(?P<\1>[^/]+)", path) + "$"


def over(fn):
    def run():
        for t in TEMPLATES:
            fn(t)
    return run, len(TEMPLATES)


def native_rewrite_only():
    convert = gatepost.Gatepost.convert_path_to_regex
    text_only = types.SimpleNamespace(compile=lambda s: s)

    def run():
        saved, gatepost.re = gatepost.re, text_only
        try:
            for t in TEMPLATES:
                convert(t)
        finally:
            gatepost.re = saved
    return run, len(TEMPLATES)


assert [gatepost.Gatepost.convert_path_to_regex(t).pattern for t in TEMPLATES[:50]] == \
    [plain_convert(t).pattern for t in TEMPLATES[:50]]

CASES = [
    ("convert_path_to_regex (rewrite only)", "native", *native_rewrite_only()),
    ("convert_path_to_regex (rewrite only)", "python", *over(plain_rewrite)),
    ("convert_path_to_regex (with compile)", "native", *over(gatepost.Gatepost.convert_path_to_regex)),
    ("convert_path_to_regex (with compile)", "python", *over(plain_convert)),
]
