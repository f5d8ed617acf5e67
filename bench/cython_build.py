"""Compiles bench modules (and the callgrind helper) with Cython 3 into build/bench-cython.

A bench module's plain-Python rows become the Cython column: the whole module is
compiled as it stands under the strongest directives that keep Python's semantics
(negative indexes still wrap: the plain code relies on them), at -O3.
"""

import importlib.util
import pathlib
import shutil
import subprocess
import sys
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "bench-cython"

DIRECTIVES = {
    "language_level": "3",
    "binding": "False",
    "boundscheck": "False",
    "initializedcheck": "False",
    "nonecheck": "False",
    "cdivision": "True",
    "infer_types": "True",
    "optimize.use_switch": "True",
    "optimize.unpack_method_calls": "True",
}


def _compile(source, name, extra_flags=()):
    OUT.mkdir(parents=True, exist_ok=True)
    target = OUT / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and target.stat().st_mtime >= source.stat().st_mtime:
        return target
    copy = OUT / (name + source.suffix)
    shutil.copyfile(source, copy)
    c_file = OUT / (name + ".c")
    cmd = [sys.executable, "-m", "cython", "-o", str(c_file), str(copy)]
    for key, value in DIRECTIVES.items():
        cmd += ["-X", f"{key}={value}"]
    subprocess.run(cmd, check=True)
    subprocess.run(["cc", "-O3", "-shared", "-fPIC", "-w", *extra_flags,
                    "-I" + sysconfig.get_paths()["include"], str(c_file), "-o", str(target)],
                   check=True)
    return target


def load(source, name):
    target = _compile(pathlib.Path(source), name)
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def callgrind_helper():
    return load(HERE / "_callgrind.pyx", "_callgrind")
