"""Every native module's .pyi stub agrees with the built module."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def stub_modules():
    for stub in sorted(ROOT.glob("kelvora_*/**/*.pyi")):
        if list(stub.parent.glob(stub.stem + ".cpython-*.so")):
            yield ".".join(stub.relative_to(ROOT).with_suffix("").parts)


# The stubs describe the modules' Python interface, the same on every target, and the native run
# checks them; under qemu mypy runs uncompiled (no armv7l build of it) and takes about four
# minutes, as long as the rest of the emulated suite.
@pytest.mark.skipif(bool(os.environ.get("KELVORA_EMULATED")),
                    reason="stubtest under emulation: mypy runs uncompiled there (~4 min, as long as the "
                           "rest of the suite); the stubs do not depend on the target and the native run checks them")
def test_stubs_match_modules():
    modules = list(stub_modules())
    assert "kelvora_core.auth.gatepost" in modules
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
         "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"), *modules],
        cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
