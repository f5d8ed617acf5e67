"""The local database servers the suite may use: skip when absent, fail under CI."""

import os
import socket

import pytest

# KELVORA_TEST_DB / KELVORA_TEST_REDIS_DB let two checkouts run their suites side by side.
_DB = os.environ.get("KELVORA_TEST_DB", "test")
_REDIS_DB = os.environ.get("KELVORA_TEST_REDIS_DB", "0")
SERVERS = {
    "postgresql": ("127.0.0.1", 5432, f"postgresql+asyncpg://postgres@127.0.0.1:5432/{_DB}"),
    "mariadb": ("127.0.0.1", 3306, f"mysql+aiomysql://root:@127.0.0.1:3306/{_DB}"),
    "redis": ("127.0.0.1", 6379, f"redis://127.0.0.1:6379/{_REDIS_DB}"),
}


def unavailable(reason: str):
    """Skip the test for ``reason`` — except under CI, where it fails."""
    if os.environ.get("CI", "").lower() == "true":
        pytest.fail(reason + "; CI requires it", pytrace=False)
    pytest.skip(reason)


def server_url(kind: str) -> str:
    """The URL of a local server, or skip — except under CI, where a missing server fails."""
    host, port, url = SERVERS[kind]
    try:
        socket.create_connection((host, port), timeout=1).close()
    except OSError as exc:
        unavailable(f"{kind} not reachable at {host}:{port} ({exc})")
    return url
