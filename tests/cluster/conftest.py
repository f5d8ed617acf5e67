"""The cluster: three hosts behind nginx, started once for the module's tests (make test-cluster)."""

import os
import time

import httpx
import pytest
import redis

from _cluster import ADDRESSES, ADMIN, FIGURES, Host, Nginx, empty_databases, host_config, nginx_binary
from _servers import server_url
from kelvora_core.services.revocation.redis_store import PREFIX as REVOKED_PREFIX
from kelvora_core.services.sliding_window import RedisWindows
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
    server, redis_url = server_url("postgresql"), server_url("redis")
    store = redis.Redis.from_url(redis_url, decode_responses=True)
    # Our own keys only, from an earlier run: leases, revocations, failed-login counts.
    for prefix in (f"{DEFAULT_PREFIX}:", REVOKED_PREFIX, RedisWindows.PREFIX):
        for key in store.scan_iter(prefix + "*"):
            store.delete(key)
    root = tmp_path_factory.mktemp("cluster")
    with empty_databases(server, "cluster_auth", "cluster_notes") as (auth, notes):
        hosts = []
        for number, address in enumerate(ADDRESSES, 1):
            directory = root / f"host{number}"
            directory.mkdir()
            config = host_config(directory, {"Auth": auth, "Notes": notes}, redis_url)
            hosts.append(Host(address, directory, config))
        nginx = Nginx(binary, root / "nginx", hosts)
        started = time.monotonic()
        try:
            # All at once, on empty databases: the start-up checks must take turns.
            for host in hosts:
                host.start()
            for host in hosts:
                host.wait_ready(time.monotonic() + 180)
            nginx.start()
            running = Cluster(hosts, nginx, store)
            login = httpx.post(nginx.url + "/auth/token", data={"username": ADMIN, "password": ADMIN}, timeout=30)
            assert login.status_code == 200, login.text
            running.token_headers = {"Authorization": "Bearer " + login.json()["access_token"]}
            running.workers = [running.workers_of(host) for host in hosts]
            running.startup_logs = [host.log(tail=0) for host in hosts]
            FIGURES["start-up of 3 hosts x 2 workers together on empty databases, and nginx (s)"] = round(
                time.monotonic() - started, 1)
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
