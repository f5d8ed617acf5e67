"""The example service as a user runs it: its own process, a loopback port, stopped with Ctrl-C."""

from __future__ import annotations

import asyncio
import atexit
import contextlib
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import httpx
import yaml

from _http import free_port
from _servers import server_url

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE_CONFIG = ROOT / "examples" / "config.yaml"


def example_config(directory: Path, database_url: str | None = None, **changes) -> Path:
    """The example's configuration with its files under ``directory``; ``changes`` replace sections.
    ``database_url`` holds both databases when given (a server), else two SQLite files do."""
    config = yaml.safe_load(EXAMPLE_CONFIG.read_text(encoding="utf-8"))
    config["databases"] = ({"Auth": {"url": database_url}, "Notes": {"url": database_url}} if database_url else
                           {"Auth": {"url": f"sqlite+aiosqlite:///{directory / 'auth.db'}"},
                            "Notes": {"url": f"sqlite+aiosqlite:///{directory / 'notes.db'}"}})
    config["disk"] = {"path": str(directory / "storage")}
    for section, value in changes.items():
        config[section] = value
    path = directory / "config.yaml"
    path.write_text(yaml.safe_dump(config, allow_unicode=True), encoding="utf-8")
    return path


class Service:
    """``python -m examples.service`` from the repository root, output collected as it comes."""

    def __init__(self, config: Path, port: int | None = None, command: tuple[str, ...] = ("examples.service",)) -> None:
        """``command``: the module run with ``python -m`` and its arguments; ``--port`` follows."""
        self.port = port or free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        env = dict(os.environ, KELVORA_CONFIG=str(config), PYTHONUNBUFFERED="1")
        self.process = subprocess.Popen(
            [sys.executable, "-m", *command, "--port", str(self.port)], cwd=ROOT, env=env,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, encoding="utf-8",
            start_new_session=True)  # a group of its own: killed with its workers
        self._lines: list[str] = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        # Never outlive the test run, whatever happens to the fixture that started it.
        atexit.register(self._kill)

    def _kill(self) -> None:
        if self.process.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def _read(self) -> None:
        for line in self.process.stdout:
            self._lines.append(line.rstrip("\n"))

    @property
    def output(self) -> list[str]:
        return list(self._lines)

    def wait_ready(self, timeout: float = 60) -> float:
        """Seconds until the first answered request."""
        start = time.monotonic()
        while time.monotonic() - start < timeout:
            if self.process.poll() is not None:
                raise RuntimeError("the service exited:\n" + "\n".join(self.output))
            try:
                if httpx.get(self.url + "/openapi.json", timeout=1).status_code == 200:
                    return time.monotonic() - start
            except httpx.TransportError:
                pass
            time.sleep(0.05)
        raise TimeoutError("the service did not answer:\n" + "\n".join(self.output))

    def stop(self, timeout: float = 30, sig: int = signal.SIGINT) -> int:
        """Ctrl-C, as in a terminal (or ``sig``); the exit status. Killed after ``timeout``."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self._kill()
        self._reader.join(5)
        self.process.stdout.close()
        atexit.unregister(self._kill)
        return self.process.returncode


async def _run_sql(url: str, *statements: str, autocommit: bool = False) -> None:
    from sqlalchemy.ext.asyncio import create_async_engine

    engine = create_async_engine(url, **({"isolation_level": "AUTOCOMMIT"} if autocommit else {}))
    try:
        async with engine.begin() as conn:
            for statement in statements:
                await conn.exec_driver_sql(statement)
    finally:
        await engine.dispose()


def run_sql(url: str, *statements: str, autocommit: bool = False) -> None:
    asyncio.run(_run_sql(url, *statements, autocommit=autocommit))


@contextlib.contextmanager
def backend_database(kind: str, directory: Path):
    """The URL of an empty database of ``kind``: a SQLite file, or a server database of its own
    (dropped afterwards), so the service's tables never meet another test's."""
    if kind == "sqlite":
        yield f"sqlite+aiosqlite:///{directory / 'service.db'}"
        return
    server = server_url(kind)
    name = "svc_" + os.urandom(6).hex()
    run_sql(server, f"CREATE DATABASE {name}", autocommit=True)
    try:
        yield server.rsplit("/", 1)[0] + "/" + name
    finally:
        force = " WITH (FORCE)" if kind == "postgresql" else ""
        run_sql(server, f"DROP DATABASE {name}{force}", autocommit=True)


def login(url: str, username: str) -> dict[str, str]:
    answer = httpx.post(url + "/auth/token", data={"username": username, "password": username})
    assert answer.status_code == 200, answer.text
    return {"Authorization": "Bearer " + answer.json()["access_token"]}
