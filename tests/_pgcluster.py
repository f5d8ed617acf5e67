"""A PostgreSQL cluster of a test's own, to stop, kill and start at will (the shared server on
5432 is never touched): initdb into a temporary directory with the server binaries of the
machine, on a free loopback port, as the "postgres" user when the tests run as root (the
server refuses root). Skips with the reason when that cannot be done, and fails under CI."""

from __future__ import annotations

import contextlib
import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

from _http import free_port
from _servers import unavailable


def _binaries() -> Path | None:
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                   key=lambda path: int(Path(path).parts[-3]) if Path(path).parts[-3].isdigit() else 0)
    if found:
        return Path(found[-1]).parent
    pg_ctl = shutil.which("pg_ctl")
    return Path(pg_ctl).resolve().parent if pg_ctl else None


class Cluster:
    def __init__(self, directory: Path, binaries: Path, user: str | None) -> None:
        self.directory, self.binaries, self.user = directory, binaries, user
        self.data, self.port = directory / "data", free_port()

    def _run(self, tool: str, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        # The server's own tools run without the sanitizer runtime the suite may be preloaded
        # with (make asan): they are not ours, and initdb under it does not finish in time.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
        return subprocess.run([str(self.binaries / tool), *args], user=self.user, cwd=self.directory, env=env,
                              capture_output=True, text=True, timeout=60, check=check)

    def url(self, database: str) -> str:
        return f"postgresql+asyncpg://postgres@127.0.0.1:{self.port}/{database}"

    def start(self) -> None:
        options = (f"-p {self.port} -k {self.directory} -c listen_addresses=127.0.0.1 "
                   "-c fsync=off -c full_page_writes=off")
        self._run("pg_ctl", "-D", str(self.data), "-o", options, "-l", str(self.directory / "log"), "-w", "start")

    def stop(self, mode: str = "immediate") -> None:
        """'immediate' ends every backend at once, as a killed server; 'fast' is an orderly stop."""
        self._run("pg_ctl", "-D", str(self.data), "-m", mode, "-w", "stop", check=False)

    def sql(self, statement: str, database: str = "postgres") -> str:
        return self._run("psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", "postgres", "-d", database,
                         "-tAc", statement).stdout.strip()


@contextlib.contextmanager
def private_cluster():
    binaries = _binaries()
    if binaries is None or not (binaries / "initdb").exists():
        unavailable("PostgreSQL server binaries (initdb, pg_ctl) not found")
    user = None
    if os.geteuid() == 0:
        try:
            owner = pwd.getpwnam("postgres")
        except KeyError:
            unavailable("running as root and no 'postgres' user to run a private PostgreSQL server as")
        user = "postgres"
    directory, cluster = Path(tempfile.mkdtemp(prefix="kelvora-pg-")), None
    try:
        if user is not None:
            os.chown(directory, owner.pw_uid, owner.pw_gid)
        cluster = Cluster(directory, binaries, user)
        initialised = cluster._run("initdb", "-D", str(cluster.data), "-U", "postgres", "--auth=trust",
                                   "-E", "UTF8", "--locale=C", check=False)
        if initialised.returncode:
            unavailable(f"initdb failed: {initialised.stderr.strip()[-300:]}")
        cluster.start()
        yield cluster
    finally:
        if cluster is not None and (directory / "data" / "postmaster.pid").exists():
            cluster.stop()
        shutil.rmtree(directory, ignore_errors=True)
