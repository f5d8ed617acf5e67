"""The example service under load: start-up time of `make run`, and, for GET /auth/me, GET
/api/projects (10 rows) and POST /api/projects, requests per second and the 99th percentile of
latency with one uvicorn worker and with two, beside the same endpoints in plain Python on the
same host services (bench/plain_service.py), on SQLite and on PostgreSQL.

The load comes from wrk on loopback (one thread, a fixed number of keep-alive connections for a
fixed time). Everything runs on this machine's cores, client included: compare the figures of one
run. PostgreSQL is the local server (KELVORA_BENCH_POSTGRES, default postgres@127.0.0.1:5432), in
a database of the run's own, dropped at the end; its rows are left out when it cannot be reached.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(ROOT), str(ROOT / "tests")]

from _service import example_config, free_port  # noqa: E402

SECONDS = float(os.environ.get("BENCH_SECONDS", "4"))
ROUNDS = 3
CONNECTIONS = 16


def wait_ready(url: str, process: subprocess.Popen, timeout: float = 60) -> float:
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        if process.poll() is not None:
            raise RuntimeError(f"server exited with {process.returncode}")
        try:
            if httpx.get(url + "/openapi.json", timeout=1).status_code == 200:
                return time.monotonic() - start
        except httpx.TransportError:
            pass
        time.sleep(0.01)
    raise TimeoutError(url)


def start(command: list[str], config: Path, port: int) -> tuple[subprocess.Popen, float]:
    env = dict(os.environ, KELVORA_CONFIG=str(config))
    started = time.monotonic()
    process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    wait_ready(f"http://127.0.0.1:{port}", process)
    return process, time.monotonic() - started


def stop(process: subprocess.Popen) -> None:
    os.killpg(process.pid, signal.SIGINT)
    try:
        process.wait(30)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


# wrk's Lua for POST: a new project name on every request (names are unique).
POST_SCRIPT = """
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
local n = 0
request = function()
  n = n + 1
  return wrk.format(nil, nil, nil, string.format('{"name": "wrk %s %d", "description": "wrk"}', "PREFIX", n))
end
"""
ROUTES = [("GET /auth/me", "GET", "/auth/me"), ("GET /api/projects (10 rows)", "GET", "/api/projects"),
          ("POST /api/projects", "POST", "/api/projects")]
UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def wrk(port: int, method: str, path: str, token: str, seconds: float, directory: Path) -> tuple[float, float, int]:
    """(requests/s, p99 in ms, answers that were not 2xx)."""
    command = ["wrk", "-t1", f"-c{CONNECTIONS}", f"-d{seconds:g}s", "--timeout", "30s", "--latency",
               "-H", f"Authorization: Bearer {token}"]
    if method == "POST":
        script = directory / "post.lua"
        script.write_text(POST_SCRIPT.replace("PREFIX", f"{port}-{time.monotonic_ns()}"), encoding="utf-8")
        command += ["-s", str(script)]
    out = subprocess.run([*command, f"http://127.0.0.1:{port}{path}"], capture_output=True, text=True,
                         check=True).stdout
    failures = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    p99 = re.search(r"^\s*99%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
    return (float(re.search(r"Requests/sec:\s*([\d.]+)", out).group(1)), float(p99.group(1)) * UNITS[p99.group(2)],
            int(failures.group(1)) if failures else 0)


def token_for(url: str) -> str:
    answer = httpx.post(url + "/auth/token", data={"username": "admin", "password": "admin"})
    answer.raise_for_status()
    return answer.json()["access_token"]


def seed(url: str, token: str) -> None:
    headers = {"Authorization": f"Bearer {token}"}
    for n in range(10):
        httpx.post(url + "/api/projects", json={"name": f"项目 {n}", "description": "基准"},
                   headers=headers).raise_for_status()


def forget_posts(url: str | None, directory: Path) -> None:
    """Removes what the POST rounds added, so the next GET /api/projects lists 10 rows again."""
    statement = "DELETE FROM notes_project WHERE description = 'wrk'"
    if url is None:
        with contextlib.closing(sqlite3.connect(directory / "notes.db")) as db, db:
            db.execute(statement)
    else:
        subprocess.run(["psql", "-q", "-d", url.replace("+asyncpg", ""), "-c", statement], check=True)


@contextlib.contextmanager
def postgres_database():
    """A database of this run on the local PostgreSQL server, or None when there is none."""
    server = os.environ.get("KELVORA_BENCH_POSTGRES", "postgresql://postgres@127.0.0.1:5432")
    name = f"kelvora_bench_{os.getpid()}"
    admin = ["psql", "-q", "-d", server + "/postgres", "-c"]
    if shutil.which("psql") is None or subprocess.run([*admin, f"CREATE DATABASE {name}"],
                                                      capture_output=True).returncode:
        yield None
        return
    try:
        yield server.replace("postgresql://", "postgresql+asyncpg://") + "/" + name
    finally:
        subprocess.run([*admin, f"DROP DATABASE IF EXISTS {name} WITH (FORCE)"], capture_output=True)


def measure_backend(python: str, directory: Path, url: str | None) -> tuple[float, list[tuple]]:
    """(start-up seconds, rows of (workers, route, {impl: (rps, p99, failures)}))."""
    quiet = {"model": "test", "logging_level": "WARNING"}
    port = free_port()
    config = example_config(directory, url, environment=quiet)

    # Cold start on empty databases: tables and the administrator are made on the way.
    process, startup = start(["make", "--no-print-directory", "run", f"RUN_ARGS=--port {port}"], config, port)
    base = f"http://127.0.0.1:{port}"
    token = token_for(base)
    seed(base, token)
    stop(process)

    rows = []
    for workers in (1, 2):
        commands = {
            "native": [python, "-m", "examples.service", "--port"],
            "python": [python, "-m", "uvicorn", "bench.plain_service:create_app", "--factory",
                       "--log-level", "info", "--workers", str(workers), "--port"],
        }
        path = config.parent / f"workers-{workers}.yaml"
        path.write_text(config.read_text(encoding="utf-8").replace("workers: 1", f"workers: {workers}"),
                        encoding="utf-8")
        servers = {}
        try:
            for impl, command in commands.items():
                port = free_port()
                servers[impl] = (start([*command, str(port)], path, port)[0], port)
            for _, port in servers.values():
                wrk(port, "GET", "/api/projects", token, 1, directory)  # warm-up, discarded
            for label, method, route in ROUTES:
                # Rounds taken in turn, the best of each with its p99: the machine's other load shifts.
                figures = {impl: (0.0, 0.0, 0) for impl in servers}
                for _ in range(ROUNDS):
                    for impl, (_, port) in servers.items():
                        rps, p99, failures = wrk(port, method, route, token, SECONDS, directory)
                        best = figures[impl]
                        kept = (rps, p99) if rps > best[0] else best[:2]
                        figures[impl] = (*kept, best[2] + failures)
                rows.append((workers, label, figures))
        finally:
            for process, _ in servers.values():
                stop(process)
        forget_posts(url, directory)
    return startup, rows


def main() -> None:
    if shutil.which("wrk") is None:
        print("\n== service: wrk is not installed (make bench installs it); rows left out")
        return
    python = str(ROOT / ".venv" / "bin" / "python")
    print(f"\n== service: the example service under load (wrk -t1, {CONNECTIONS} keep-alive connections, "
          f"best of {ROUNDS} rounds of {SECONDS:g} s, with that round's p99)")
    with tempfile.TemporaryDirectory() as directory, postgres_database() as postgres:
        backends = [("SQLite", None)] + ([("PostgreSQL", postgres)] if postgres else [])
        results = []
        for name, url in backends:
            folder = Path(directory) / name
            folder.mkdir()
            results.append((name, *measure_backend(python, folder, url)))
    if not postgres:
        print("PostgreSQL rows left out: no local server to make a database on (KELVORA_BENCH_POSTGRES)")
    for name, startup, rows in results:
        print(f"\n{name}: make run to the first answered request {startup * 1000:.0f} ms")
        print(f"{'':40} {'native req/s':>12} {'p99 ms':>7} {'python req/s':>12} {'p99 ms':>7} {'ratio':>6}")
        for workers, label, figures in rows:
            native, native_p99, bad_native = figures["native"]
            python_rps, python_p99, bad_python = figures["python"]
            assert bad_native == bad_python == 0, f"{label}: answers other than 2xx under load"
            row = f"  {label}, {workers} worker{'s' if workers > 1 else ''}"
            print(f"{row:40} {native:12.0f} {native_p99:7.1f} {python_rps:12.0f} {python_p99:7.1f} "
                  f"{native / python_rps:5.2f}x")
    print("\nratio = native requests/s / plain Python requests/s (above 1: native is faster)")


if __name__ == "__main__":
    main()
