"""Every native module's .pyi stub agrees with the built module."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def stub_modules():
    for stub in sorted(ROOT.glob("kelvora_*/**/*.pyi")):
        if list(stub.parent.glob(stub.stem + ".cpython-*.so")):
            yield ".".join(stub.relative_to(ROOT).with_suffix("").parts)


def test_stubs_match_modules():
    modules = list(stub_modules())
    assert "kelvora_core.auth.gatepost" in modules
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"),
         "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"), *modules],
        cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
