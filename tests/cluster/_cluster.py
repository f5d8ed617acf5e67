"""Several hosts of the example service behind nginx, on one machine's loopback addresses.

Each host is ``python -m examples.service`` on an address of its own (127.0.0.2, .3, ...) with
its own temporary directory (so its own worker-slot locks, as on a separate machine) and no
instance id configured; all share PostgreSQL (databases made empty for the run), one Redis and
one token key. Revocation and the failed-login counts live in that Redis.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import httpx
import yaml

from _http import free_port

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
ADDRESSES = ("127.0.0.2", "127.0.0.3", "127.0.0.4")
WORKERS = 2
LEASE_SECONDS = 6
ADMIN = "cluster-admin"
USER = "cluster-user"  # for failed logins, so the administrator is never throttled
#: Measurements of this run, printed at the end of the session.
FIGURES: dict[str, object] = {}
TOKEN_KEY = "cluster-test-token-key-shared-by-every-host"


def nginx_binary() -> str | None:
    return shutil.which("nginx") or next(
        (path for path in ("/usr/sbin/nginx", "/sbin/nginx") if os.access(path, os.X_OK)), None)


async def _run_sql(url: str, *statements: str) -> None:
    from sqlalchemy.ext.asyncio import create_async_engine

    engine = create_async_engine(url, isolation_level="AUTOCOMMIT")
    try:
        async with engine.connect() as conn:
            for statement in statements:
                await conn.exec_driver_sql(statement)
    finally:
        await engine.dispose()


@contextlib.contextmanager
def empty_databases(server: str, *names: str):
    """URLs of databases ``<server's database>_<name>`` made empty for the run, dropped after it."""
    base, own = server.rsplit("/", 1)
    full = [f"{own}_{name}" for name in names]
    drop = [f"DROP DATABASE IF EXISTS {name} WITH (FORCE)" for name in full]
    asyncio.run(_run_sql(server, *drop, *(f"CREATE DATABASE {name}" for name in full)))
    try:
        yield [f"{base}/{name}" for name in full]
    finally:
        asyncio.run(_run_sql(server, *drop))


def host_config(directory: Path, databases: dict[str, str], redis_url: str) -> Path:
    """The example's configuration, on the shared servers, with the id route and no instance id.
    DEBUG logging: the start-up checks say there what they created and what they found."""
    config = yaml.safe_load((ROOT / "examples" / "config.yaml").read_text(encoding="utf-8"))
    config["webapp"]["workers"] = WORKERS
    config["environment"]["logging_level"] = "DEBUG"
    config["routers"].append({"name": "cluster_ids", "enabled": True, "prefix": "/cluster"})
    config["auth"].update(default_admin_users=[ADMIN, USER], token_secret_key=TOKEN_KEY)
    config["auth"]["revocation"] = {"enabled": True, "store": "redis"}
    config["generate_snowflake"] = {"lease_seconds": LEASE_SECONDS}
    config["databases"] = {name: {"url": url} for name, url in databases.items()}
    config["redis"] = {"url": redis_url}
    config["disk"] = {"path": str(directory / "storage")}
    path = directory / "config.yaml"
    path.write_text(yaml.safe_dump(config, allow_unicode=True), encoding="utf-8")
    return path


class Host:
    """One host: the service's supervisor and its workers in a process group of their own."""

    def __init__(self, address: str, directory: Path, config: Path) -> None:
        self.address, self.directory, self.config = address, directory, config
        self.port = free_port(address)
        self.url = f"http://{address}:{self.port}"
        self.process: subprocess.Popen | None = None
        (directory / "tmp").mkdir(parents=True, exist_ok=True)

    def start(self) -> None:
        env = dict(os.environ, KELVORA_CONFIG=str(self.config), PYTHONUNBUFFERED="1",
                   TMPDIR=str(self.directory / "tmp"),
                   PYTHONPATH=os.pathsep.join([str(ROOT), str(HERE)]))
        with open(self.directory / "service.log", "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "examples.service", "--host", self.address, "--port", str(self.port)],
                cwd=ROOT, env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)

    def log(self, tail: int = 4000) -> str:
        text = (self.directory / "service.log").read_text(encoding="utf-8", errors="replace")
        return text[-tail:] if tail else text

    def wait_ready(self, deadline: float) -> None:
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"host {self.address} exited:\n{self.log()}")
            try:
                if httpx.get(self.url + "/openapi.json", timeout=2).status_code == 200:
                    return
            except httpx.TransportError:
                pass
            time.sleep(0.2)
        raise TimeoutError(f"host {self.address} did not answer:\n{self.log()}")

    def _signal_group(self, sig: int) -> None:
        try:
            os.killpg(self.process.pid, sig)
        except ProcessLookupError:
            pass

    def kill(self) -> None:
        """A crash: every process of the host ends at once, nothing cleans up."""
        self._signal_group(signal.SIGKILL)
        self.process.wait()

    def stop(self, timeout: float = 30) -> int:
        """A clean stop, as an init system does it: SIGTERM to the supervisor."""
        if self.process is None or self.process.poll() is not None:
            return self.process.returncode if self.process else 0
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._signal_group(signal.SIGKILL)
            self.process.wait()
        # Workers end with their supervisor; any that does not is not left behind.
        self._signal_group(signal.SIGKILL)
        return self.process.returncode


NGINX_CONFIG = """\
worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
{user}
events {{ worker_connections 1024; }}

http {{
    access_log {dir}/access.log;
    client_body_temp_path {dir}/client_body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;

    upstream kelvora {{
{servers}
    }}

    server {{
        listen 127.0.0.1:{port};
        location / {{
            proxy_pass http://kelvora;
            proxy_set_header Host $host;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
            proxy_set_header X-Forwarded-Proto $scheme;
            proxy_connect_timeout 2s;
            proxy_read_timeout 30s;
            proxy_next_upstream error timeout http_502 http_503 http_504;
            proxy_next_upstream_tries 3;
            proxy_max_temp_file_size 0;
        }}
    }}
}}
"""


class Nginx:
    """nginx in the foreground with a configuration of its own, on a free loopback port."""

    def __init__(self, binary: str, directory: Path, hosts: list[Host]) -> None:
        directory.mkdir(parents=True, exist_ok=True)
        self.binary, self.directory = binary, directory
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        servers = "\n".join(f"        server {host.address}:{host.port} max_fails=1 fail_timeout=10s;"
                            for host in hosts)
        # Started as root, workers would drop to 'nobody', who cannot open this directory.
        user = "user root;" if os.geteuid() == 0 else ""
        self.config = directory / "nginx.conf"
        self.config.write_text(NGINX_CONFIG.format(dir=directory, user=user, servers=servers, port=self.port))
        self.process: subprocess.Popen | None = None

    def start(self, timeout: float = 20) -> None:
        self.process = subprocess.Popen(
            [self.binary, "-p", str(self.directory), "-c", str(self.config), "-e", str(self.directory / "error.log")],
            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nginx exited:\n" + self.errors())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise TimeoutError("nginx did not listen:\n" + self.errors())

    def errors(self) -> str:
        path = self.directory / "error.log"
        return path.read_text(errors="replace")[-4000:] if path.exists() else ""

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()


@dataclass
class Answer:
    started: float
    ended: float
    status: int | str  # the HTTP status, or the name of the transport error
    body: dict = field(default_factory=dict)


def draw(client: httpx.Client, count: int) -> Answer:
    started = time.monotonic()
    try:
        response = client.get("/cluster/ids", params={"count": count})
    except httpx.TransportError as exc:
        return Answer(started, time.monotonic(), type(exc).__name__)
    body = response.json() if response.status_code == 200 else {}
    return Answer(started, time.monotonic(), response.status_code, body)


def hammer(url: str, headers: dict, threads: int, until: threading.Event, count: int = 10) -> list[Answer]:
    """Clients drawing ids through ``url`` on ``threads`` connections until ``until`` is set."""
    answers: list[Answer] = []

    def client_loop() -> None:
        with httpx.Client(base_url=url, headers=headers, timeout=30) as client:
            while not until.is_set():
                answers.append(draw(client, count))

    workers = [threading.Thread(target=client_loop) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return answers
