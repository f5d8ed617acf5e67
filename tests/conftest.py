"""Shared test set-up: import paths and the database servers the suite may use."""

import os
import socket
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for path in (ROOT, os.path.join(ROOT, "tests", "runtime")):
    if path not in sys.path:
        sys.path.insert(0, path)

SERVERS = {
    "postgresql": ("127.0.0.1", 5432, "postgresql+asyncpg://postgres@127.0.0.1:5432/test"),
    "mariadb": ("127.0.0.1", 3306, "mysql+aiomysql://root:@127.0.0.1:3306/test"),
}


def server_url(kind: str) -> str:
    """The URL of a local server, or skip — except under CI, where a missing server fails."""
    host, port, url = SERVERS[kind]
    try:
        socket.create_connection((host, port), timeout=1).close()
    except OSError as exc:
        reason = f"{kind} not reachable at {host}:{port} ({exc})"
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(reason + "; CI requires it", pytrace=False)
        pytest.skip(reason)
    return url


@pytest.fixture
def postgres_url():
    return server_url("postgresql")


@pytest.fixture
def mariadb_url():
    return server_url("mariadb")
