"""The example service under load: start-up time of `make run`, and requests per second of a
protected endpoint (GET /api/projects: bearer token, the user's row, a query of the "Notes"
database) with one uvicorn worker and with two, beside the same endpoint in plain Python on the
same host services (bench/plain_service.py).

The load comes from wrk on loopback (one thread, a fixed number of keep-alive connections for a
fixed time), or, where wrk is missing, from a small keep-alive HTTP/1.1 client on asyncio.
Everything runs on this machine's cores, client included: compare the figures of one run.
"""

from __future__ import annotations

import asyncio
import os
import re
import shutil
import signal
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
LENGTH = re.compile(rb"content-length:\s*(\d+)", re.I)


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


async def load(port: int, path: str, token: str) -> tuple[float, int]:
    request = (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
               f"Authorization: Bearer {token}\r\n\r\n").encode()
    deadline = time.monotonic() + SECONDS
    failures = 0

    async def connection() -> int:
        nonlocal failures
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        done = 0
        try:
            while time.monotonic() < deadline:
                writer.write(request)
                head = await reader.readuntil(b"\r\n\r\n")
                await reader.readexactly(int(LENGTH.search(head).group(1)))
                if not head.startswith(b"HTTP/1.1 200"):
                    failures += 1
                done += 1
        finally:
            writer.close()
        return done

    began = time.monotonic()
    counts = await asyncio.gather(*(connection() for _ in range(CONNECTIONS)))
    return sum(counts) / (time.monotonic() - began), failures


def wrk(port: int, path: str, token: str) -> tuple[float, int]:
    out = subprocess.run(["wrk", "-t1", f"-c{CONNECTIONS}", f"-d{SECONDS:g}s", "--timeout", "30s",
                          "-H", f"Authorization: Bearer {token}", f"http://127.0.0.1:{port}{path}"],
                         capture_output=True, text=True, check=True).stdout
    failures = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return float(re.search(r"Requests/sec:\s*([\d.]+)", out).group(1)), int(failures.group(1)) if failures else 0


def measure(port: int, path: str, token: str) -> tuple[float, int]:
    if shutil.which("wrk"):
        return wrk(port, path, token)
    return asyncio.run(load(port, path, token))


def token_for(url: str) -> str:
    answer = httpx.post(url + "/auth/token", data={"username": "admin", "password": "admin"})
    answer.raise_for_status()
    return answer.json()["access_token"]


def seed(url: str, token: str) -> None:
    headers = {"Authorization": f"Bearer {token}"}
    for n in range(10):
        httpx.post(url + "/api/projects", json={"name": f"项目 {n}", "description": "基准"},
                   headers=headers).raise_for_status()


def main() -> None:
    python = str(ROOT / ".venv" / "bin" / "python")
    with tempfile.TemporaryDirectory() as directory:
        directory = Path(directory)
        quiet = {"model": "test", "logging_level": "WARNING"}
        port = free_port()
        config = example_config(directory, environment=quiet)

        # Cold start on empty databases: tables and the administrator are made on the way.
        process, startup = start(["make", "--no-print-directory", "run", f"RUN_ARGS=--port {port}"], config, port)
        url = f"http://127.0.0.1:{port}"
        token = token_for(url)
        seed(url, token)
        stop(process)
        client = "wrk -t1" if shutil.which("wrk") else "asyncio client"
        print("\n== service: the example service under load "
              f"({client}, {CONNECTIONS} keep-alive connections, best of {ROUNDS} rounds of {SECONDS:g} s)")
        print(f"{'make run to the first answered request':44} {startup * 1000:8.0f} ms")

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
                    measure(port, "/api/projects", token)  # warm-up, discarded
                # Rounds taken in turn, best of each: the machine's other load shifts over time.
                figures = {impl: (0.0, 0) for impl in servers}
                for _ in range(ROUNDS):
                    for impl, (_, port) in servers.items():
                        rps, failures = measure(port, "/api/projects", token)
                        best, bad = figures[impl]
                        figures[impl] = (max(best, rps), bad + failures)
            finally:
                for process, _ in servers.values():
                    stop(process)
            rows.append((workers, figures))

        print(f"{'GET /api/projects (protected), requests/s':44} {'native':>10} {'python':>10} {'ratio':>7}")
        for workers, figures in rows:
            (native, bad_native), (python_rps, bad_python) = figures["native"], figures["python"]
            assert bad_native == bad_python == 0, "non-200 answers under load"
            label = f"  {workers} worker{'s' if workers > 1 else ''}"
            print(f"{label:44} {native:10.0f} {python_rps:10.0f} {native / python_rps:6.2f}x")
        print("\nratio = native requests/s / plain Python requests/s (above 1: native is faster)")


if __name__ == "__main__":
    main()
