"""Every native module has a .pyi stub that agrees with the built module, and every stub a module."""

import importlib.machinery
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_every_stub_has_a_built_module_and_every_module_a_stub(native_modules):
    stubs = {".".join(stub.relative_to(ROOT).with_suffix("").parts) for stub in ROOT.glob("kelvora_*/**/*.pyi")}
    assert stubs == set(native_modules)
    unbuilt = [name for name in native_modules
               if not (spec := importlib.util.find_spec(name))
               or not isinstance(spec.loader, importlib.machinery.ExtensionFileLoader)]
    assert not unbuilt, f"stubs of modules that were never built for this interpreter: {unbuilt}"


# The stubs describe the modules' Python interface, the same on every target, and the native run
# checks them; under qemu mypy runs uncompiled (no armv7l build of it) and takes about four
# minutes, as long as the rest of the emulated suite.
@pytest.mark.skipif(bool(os.environ.get("KELVORA_EMULATED")),
                    reason="stubtest under emulation: mypy runs uncompiled there (~4 min, as long as the "
                           "rest of the suite); the stubs do not depend on the target and the native run checks them")
def test_stubs_match_modules(native_modules):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
         "--allowlist", str(ROOT / "tests" / "modules" / "stubtest_allowlist.txt"), *sorted(native_modules)],
        cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
