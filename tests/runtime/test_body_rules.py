"""A body of the wrong shape, or one reading past its declared parameters, is refused by the
compiler, first with the rule it breaks."""

import os
import pathlib
import re
import shutil
import subprocess
import sysconfig

import nanobind
import pytest

NATIVE_INCLUDE = pathlib.Path(__file__).resolve().parents[2] / "native" / "include"

COROUTINE_RULE = "a coroutine or async-generator body is declared"
PLAIN_RULE = "a FunctionSpec body is nb::object f(Args&)"
PAST_RULE = "no such parameter: the index is past the declared parameters"
NAME_RULE = "no such parameter: the name is not among the declared parameters"
CALL_RULE = "a coroutine or async-generator body takes its Call by value"
# A declared function of one parameter, and where it is bound.
ONE = 'constexpr auto f_decl = function("f", {{.name = "x"}});\n'
BIND = "void define(nb::handle m) { def(m, body); }"
compiler_needed = pytest.mark.skipif(
    bool(os.environ.get("KELVORA_EMULATED")) or not shutil.which(os.environ.get("CXX", "c++")),
    reason="the compiler's rules do not depend on the target; a C++ compiler is needed")


def first_error(body, tmp_path, bind='void define(nb::handle m) { def(m, {.name = "f", .body = body}); }'):
    source = tmp_path / "body.cpp"
    source.write_text('#include "kelvora/coro.hpp"\n#include "kelvora/module.hpp"\n'
                      "using namespace kelvora;\n" + body + "\n" + bind + "\n")
    include = pathlib.Path(nanobind.include_dir())
    command = [os.environ.get("CXX", "c++"), "-std=c++20", "-fsyntax-only", "-fvisibility=hidden",
               "-I", str(NATIVE_INCLUDE), "-I", str(include),
               "-I", str(include.parent / "ext" / "robin_map" / "include"),
               "-I", sysconfig.get_paths()["include"], str(source)]
    result = subprocess.run(command, capture_output=True, text=True)
    errors = re.findall(r"error: (.*)", result.stderr)
    assert (result.returncode == 0) == (not errors), result.stderr
    return errors[0] if errors else None


@compiler_needed
@pytest.mark.parametrize("body,rule", [
    ("Coro body(Args& a) { co_return a[0]; }", COROUTINE_RULE),
    ("AsyncGen body(Args& a) { co_yield a[0]; }", COROUTINE_RULE),
    ("nb::object body(Args a) { return nb::borrow(a[0]); }", PLAIN_RULE),
    ("Coro body(Args a) { co_return a[0]; }", PLAIN_RULE),
    ("nb::object body(Args& a) { return nb::borrow(a[0]); }", None),  # the right shape compiles
])
def test_the_first_error_states_the_rule(body, rule, tmp_path):
    error = first_error(body, tmp_path)
    assert (error is None) if rule is None else (error is not None and rule in error), error


@compiler_needed
@pytest.mark.parametrize("body,rule", [
    ("nb::object body(Call<f_decl> a) { return nb::borrow(a.get<1>()); }", PAST_RULE),
    ('nb::object body(Call<f_decl> a) { return nb::borrow(a.get<"y">()); }', NAME_RULE),
    ("nb::object body(Call<f_decl> a) { auto [x, y] = a.params(); return nb::borrow(y); }", "structured binding"),
    ("nb::object body(Call<f_decl> a) { return nb::borrow(a[0]); }", "operator[]"),
    ("Coro body(Call<f_decl>& a) { co_return a.get<0>(); }", CALL_RULE),
    ('nb::object body(Call<f_decl> a) { auto [x] = a.params(); return nb::borrow(a.get<"x">().is(x) ? x : x); }',
     None),
    ("Coro body(Call<f_decl> a) { co_return a.get<0>(); }", None),
])
def test_a_declared_body_reads_only_its_declared_parameters(body, rule, tmp_path):
    error = first_error(ONE + body, tmp_path, BIND)
    assert (error is None) if rule is None else (error is not None and rule in error), error
