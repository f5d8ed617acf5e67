"""The local database servers the suite may use: skip when absent, fail under CI."""

import os
import socket

import pytest

SERVERS = {
    "postgresql": ("127.0.0.1", 5432, "postgresql+asyncpg://postgres@127.0.0.1:5432/test"),
    "mariadb": ("127.0.0.1", 3306, "mysql+aiomysql://root:@127.0.0.1:3306/test"),
    "redis": ("127.0.0.1", 6379, "redis://127.0.0.1:6379/0"),
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
