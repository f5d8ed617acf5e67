"""The cluster: three hosts behind nginx, started once for the module's tests (make test-cluster)."""

import os
import threading
import time

import httpx
import pytest
import redis

from _cluster import ADDRESSES, ADMIN, FIGURES, Host, Nginx, host_config, nginx_binary
from _servers import server_url
from kelvora_core.utils.lease.redis_store import DEFAULT_PREFIX


def _need_nginx() -> str:
    binary = nginx_binary()
    if binary is None:
        reason = "nginx is not installed (make test-cluster installs Debian's package where it can)"
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(reason + "; CI requires it", pytrace=False)
        pytest.skip(reason)
    return binary


class Cluster:
    def __init__(self, hosts, nginx, store):
        self.hosts, self.nginx, self.store = hosts, nginx, store
        self.url = nginx.url
        self.token_headers = {}

    def leased(self) -> dict[int, str]:
        """Leased instance -> holder, as the shared Redis has them now."""
        held = {}
        for key in self.store.scan_iter(f"{DEFAULT_PREFIX}:lease:*"):
            holder = self.store.get(key)
            if holder is not None:
                held[int(key.rsplit(":", 1)[1])] = holder
        return held

    def lease_deadline(self, pids) -> float:
        """When the first lease held by one of ``pids`` would run out if it were not renewed."""
        remaining = [self.store.pttl(f"{DEFAULT_PREFIX}:lease:{instance}")
                     for instance, holder in self.leased().items() if int(holder.split(":")[1]) in pids]
        assert remaining, f"no leases of {pids}"
        return time.monotonic() + min(remaining) / 1000

    def workers_of(self, host, seconds=60) -> dict[int, int]:
        """pid -> instance of every worker of ``host``, asked directly until all have answered."""
        seen, deadline = {}, time.monotonic() + seconds
        with httpx.Client(base_url=host.url, headers=self.token_headers, timeout=10) as client:
            while len(seen) < 2 and time.monotonic() < deadline:
                # Fresh connections, so the host's workers take turns accepting them.
                answer = client.get("/cluster/ids", headers={"Connection": "close"})
                assert answer.status_code == 200, answer.text
                seen[answer.json()["pid"]] = answer.json()["instance"]
        assert len(seen) == 2, f"only {seen} of {host.address} answered\n{host.log()}"
        return seen


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    binary = _need_nginx()
    database_url, redis_url = server_url("postgresql"), server_url("redis")
    store = redis.Redis.from_url(redis_url, decode_responses=True)
    for key in store.scan_iter(f"{DEFAULT_PREFIX}:*"):  # our own keys only, from an earlier run
        store.delete(key)
    root = tmp_path_factory.mktemp("cluster")
    hosts = []
    for number, address in enumerate(ADDRESSES, 1):
        directory = root / f"host{number}"
        directory.mkdir()
        hosts.append(Host(address, directory, host_config(directory, database_url, redis_url)))
    nginx = Nginx(binary, root / "nginx", hosts)
    started = time.monotonic()
    try:
        # The first host makes the tables and the account; the others start together after it.
        hosts[0].start()
        hosts[0].wait_ready(time.monotonic() + 180)
        for host in hosts[1:]:
            host.start()
        for host in hosts[1:]:
            host.wait_ready(time.monotonic() + 180)
        nginx.start()
        running = Cluster(hosts, nginx, store)
        login = httpx.post(nginx.url + "/auth/token", data={"username": ADMIN, "password": ADMIN}, timeout=30)
        assert login.status_code == 200, login.text
        running.token_headers = {"Authorization": "Bearer " + login.json()["access_token"]}
        running.workers = [running.workers_of(host) for host in hosts]
        FIGURES["start-up of 3 hosts x 2 workers and nginx (s)"] = round(time.monotonic() - started, 1)
        yield running
    finally:
        for host in hosts:
            if host.process is not None:
                host.stop()
        nginx.stop()
        store.close()


def pytest_terminal_summary(terminalreporter):
    if FIGURES:
        terminalreporter.section("cluster figures")
        for name, value in FIGURES.items():
            terminalreporter.write_line(f"{name}: {value}")
