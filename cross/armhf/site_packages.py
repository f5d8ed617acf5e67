"""An armhf site-packages for the lock file: armv7l wheels where the index has them, the rest
cross-built from their sdists against the sysroot's CPython (see sysroot.sh).

Runs on the build host, with the project's own virtual environment:

    python cross/armhf/site_packages.py requirements.lock build/armhf

Wheels are kept in OUT/wheels between runs, so a lock change only fetches or builds what changed;
OUT/site-packages is laid anew from them every time.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile
from pathlib import Path

TRIPLET = "arm-linux-gnueabihf"
EXT_SUFFIX = f".cpython-313-{TRIPLET}.so"
PLATFORM_TAG = "linux_armv7l"
# The sysroot's glibc (trixie) runs every manylinux policy up to its own version.
PLATFORMS = [PLATFORM_TAG, "manylinux2014_armv7l"] + [f"manylinux_2_{n}_armv7l" for n in range(17, 42)]
TARGET = ["--python-version", "3.13", "--implementation", "cp",
          "--abi", "cp313", "--abi", "abi3", "--abi", "none"]
for tag in PLATFORMS:
    TARGET += ["--platform", tag]


def pip(*args: str, env: dict[str, str] | None = None, check: bool = True) -> subprocess.CompletedProcess:
    cmd = [sys.executable, "-m", "pip", "--disable-pip-version-check", "--no-input", *args]
    return subprocess.run(cmd, env=env, check=check, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def normalize(name: str) -> str:
    return re.sub(r"[-_.]+", "_", name).lower()


# Test tools that run on the build host only, left out of the target with whatever only they
# need: schemathesis drives the example service over HTTP from outside, and its jsonschema_rs has
# no armv7l wheel (its sdist needs a Rust toolchain).
HOST_ONLY = frozenset({"schemathesis"})


def closure(lock: Path) -> list[tuple[str, str]]:
    """Every distribution the lock installs on the target, with its version (the lock pins only
    the roots)."""
    with tempfile.TemporaryDirectory() as tmp:
        target_lock = Path(tmp, "target.lock")
        target_lock.write_text("".join(
            line for line in lock.read_text().splitlines(keepends=True)
            if normalize(re.split(r"[=<>!~\[; ]", line.strip(), maxsplit=1)[0]) not in HOST_ONLY))
        report = Path(tmp, "report.json")
        pip("install", "--dry-run", "--ignore-installed", "--quiet", "--report", str(report), "-r", str(target_lock))
        data = json.loads(report.read_text())
    return sorted((item["metadata"]["name"], item["metadata"]["version"]) for item in data["install"])


def have_wheel(wheels: Path, name: str, version: str) -> bool:
    prefix = f"{normalize(name)}-{version}-"
    return any(normalize(w.name.split("-")[0]) + "-" + w.name.split("-")[1] + "-" == prefix
               for w in wheels.glob("*.whl"))


def cross_env(out: Path) -> dict[str, str]:
    """The build host's Python, told it builds for the target: its sysconfig data, compilers, headers."""
    env = dict(os.environ)
    # The sysroot's own /usr/include stays out: its C library headers are newer than the cross
    # compiler's. sysroot.sh copies what the sdists need besides Python into OUT/deps.
    libdir = out / "deps" / "lib"
    include = f"-I{out / 'include' / 'python3.13'} -I{out / 'deps' / 'include'}"
    env.update({
        "_PYTHON_SYSCONFIGDATA_NAME": f"_sysconfigdata__linux_{TRIPLET}",
        "SETUPTOOLS_EXT_SUFFIX": EXT_SUFFIX,
        "CC": f"{TRIPLET}-gcc",
        "CXX": f"{TRIPLET}-g++",
        "LDSHARED": f"{TRIPLET}-gcc -shared",
        "LDCXXSHARED": f"{TRIPLET}-g++ -shared",
        "AR": f"{TRIPLET}-ar",
        "CFLAGS": f"-O2 {include}",
        "CXXFLAGS": f"-O2 {include}",
        "CPPFLAGS": include,
        "LDFLAGS": f"-L{libdir}",
        # PyYAML quietly falls back to pure Python when its extension does not build.
        "PYYAML_FORCE_LIBYAML": "1",
        # uvloop configures its bundled libuv for the build host unless told the target.
        "LIBUV_CONFIGURE_HOST": TRIPLET,
    })
    return env


def cross_build(name: str, version: str, wheels: Path, out: Path) -> bool:
    """Build an sdist for the target in a build environment of its own: pip's isolated one
    would hide the target's sysconfig data, which the build host's Python has to import."""
    work = out / "sdist-build"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir()
    try:
        if pip("download", "--no-deps", "--no-binary", ":all:", "--dest", str(work), f"{name}=={version}",
               check=False).returncode:
            return False
        sdist = next(work.glob("*.tar.gz"))
        with tarfile.open(sdist) as tar:
            member = next(m for m in tar.getmembers() if m.name.count("/") == 1
                          and m.name.endswith("/pyproject.toml"))
            build_system = tomllib.load(tar.extractfile(member)).get("build-system", {})
        requires = build_system.get("requires", ["setuptools", "wheel"])

        venv = work / "venv"
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        python = str(venv / "bin" / "python")
        run = [python, "-m", "pip", "--disable-pip-version-check", "--no-input"]
        subprocess.run([*run, "install", "-q", *requires], check=True)
        purelib = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        data = f"_sysconfigdata__linux_{TRIPLET}.py"
        shutil.copy(out / "sysroot" / "usr" / "lib" / "python3.13" / data, Path(purelib, data))

        built = work / "dist"
        # The platform tag is named outright: sysconfig.get_platform() still describes the build host.
        result = subprocess.run(
            [*run, "wheel", "--no-deps", "--no-build-isolation", "--wheel-dir", str(built),
             f"--config-settings=--build-option=--plat-name={PLATFORM_TAG}", str(sdist)],
            env=cross_env(out), text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode:
            sys.exit(f"cross-building {name}=={version} failed:\n{result.stdout}")
        for wheel in built.glob("*.whl"):
            if not wheel.name.endswith(f"-{PLATFORM_TAG}.whl"):
                sys.exit(f"{wheel.name}: not tagged {PLATFORM_TAG}")
            with zipfile.ZipFile(wheel) as zf:
                modules = [so for so in zf.namelist() if so.endswith(".so")]
            stray = [so for so in modules if not so.endswith((EXT_SUFFIX, ".abi3.so"))]
            if stray or not modules:
                sys.exit(f"{wheel.name}: no extension modules for {TRIPLET} (only {stray})")
            shutil.move(wheel, wheels / wheel.name)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"  cross-built {name} {version}")
    return True


def host_wheel_without_modules(name: str, version: str, wheels: Path) -> bool:
    """For a package without an armv7l wheel (playwright): the build host's own wheel, provided it
    holds no extension module. Its native part is then a program the package starts as a process
    (playwright's node driver), which runs on the build host itself, beside the emulated
    interpreter, as the browser it drives does. Its sdist would fetch that program at build time."""
    with tempfile.TemporaryDirectory(dir=wheels.parent) as tmp:
        if pip("download", "--no-deps", "--only-binary", ":all:", "--dest", tmp, f"{name}=={version}",
               check=False).returncode:
            return False
        wheel = next(Path(tmp).glob("*.whl"))
        with zipfile.ZipFile(wheel) as zf:
            if any(member.endswith((".so", ".pyd")) for member in zf.namelist()):
                return False
        shutil.move(wheel, wheels / wheel.name)
    print(f"  build host's wheel {name} {version} (no extension modules)")
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lock", type=Path)
    parser.add_argument("out", type=Path)
    args = parser.parse_args()
    out = args.out.resolve()
    wheels = out / "wheels"
    wheels.mkdir(parents=True, exist_ok=True)

    wanted = closure(args.lock)
    missing: set[str] = set()
    for name, version in wanted:
        if have_wheel(wheels, name, version):
            continue
        got = pip("download", "--no-deps", "--only-binary", ":all:", *TARGET, "--dest", str(wheels),
                  f"{name}=={version}", check=False)
        if got.returncode == 0:
            print(f"  wheel {name} {version}")
        elif not host_wheel_without_modules(name, version, wheels) and not cross_build(name, version, wheels, out):
            # Nothing to install on the target (atheris: a wheel with native modules for x86-64 only
            # and no sdist; only `make fuzz` uses it). A test that needs it fails on its import.
            print(f"  LEFT OUT {name} {version}: no armv7l wheel, no sdist")
            missing.add(normalize(name))

    site = out / "site-packages"
    fresh = out / "site-packages.new"
    shutil.rmtree(fresh, ignore_errors=True)
    host = {normalize(w.name.split("-")[0]): w for w in wheels.glob(f"*_{platform.machine()}.whl")}
    pins = out / "closure.txt"
    pins.write_text("".join(f"{name}=={version}\n" for name, version in wanted
                            if normalize(name) not in host and normalize(name) not in missing))
    result = pip("install", "--no-deps", "--no-index", "--find-links", str(wheels), "--only-binary", ":all:",
                 *TARGET, "--target", str(fresh), "-r", str(pins), check=False)
    if result.returncode:
        sys.exit(result.stdout)
    for name, _ in wanted:
        if normalize(name) in host:
            result = pip("install", "--no-deps", "--no-index", "--target", str(fresh),
                         str(host[normalize(name)]), check=False)
            if result.returncode:
                sys.exit(result.stdout)
    shutil.rmtree(site, ignore_errors=True)
    fresh.rename(site)
    print(f"armhf site-packages: {len(wanted) - len(missing)} distributions in {site}"
          + (f"; left out: {', '.join(sorted(missing))}" if missing else ""))


if __name__ == "__main__":
    main()
