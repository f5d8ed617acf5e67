"""Three hosts behind nginx sharing PostgreSQL and Redis: a start together on empty databases,
ids, a crashed host, logout and failed logins seen by every host, a clean stop.

The cases run in order on one cluster; the crash case restarts the host it killed.
"""

import threading
import time

import httpx

from _cluster import ADMIN, FIGURES, LEASE_SECONDS, USER, WORKERS, draw, hammer
from kelvora_core.config.app_config import read

IDS = 100_000
PER_REQUEST = 500


def held_by(cluster, host_number):
    """pid -> instance of a host's workers, checked against the leases in Redis."""
    workers = cluster.workers[host_number]
    leased = cluster.leased()
    for pid, instance in workers.items():
        assert leased.get(instance, "").split(":")[1] == str(pid), (instance, leased)
    return workers


def test_hosts_started_together_on_empty_databases_create_schema_and_accounts_once(cluster):
    logs = "\n".join(cluster.startup_logs)
    processes = len(cluster.hosts) * WORKERS
    # Each registry's tables: created by one process, found by the others; nothing failed.
    created, found = logs.count("所有表已创建完成"), logs.count("所有表已存在，跳过创建")
    assert created >= 2 and created * processes == created + found, (created, found)
    for name in (ADMIN, USER):
        assert (logs.count(f"创建 - {name} [密码与账号相同]"), logs.count(f"{name} 已存在")) == (1, processes - 1)
    assert not [line for line in logs.splitlines() if any(
        word in line for word in ("ERROR", "Traceback", "发生异常", "exited"))]
    FIGURES["simultaneous start on empty databases"] = (
        f"{processes} processes: {created} table sets created once each, found {found} times; "
        f"each default account created once, found {processes - 1} times")


def test_ids_drawn_through_nginx_are_unique_across_hosts_and_workers(cluster):
    workers = {pid: instance for host in cluster.workers for pid, instance in host.items()}
    assert len(workers) == 6 and len(set(workers.values())) == 6
    answers, lock = [], threading.Lock()

    def client(requests):
        with httpx.Client(base_url=cluster.url, headers=cluster.token_headers, timeout=60) as http:
            for _ in range(requests):
                answer = draw(http, PER_REQUEST)
                with lock:
                    answers.append(answer)

    started = time.monotonic()
    clients = [threading.Thread(target=client, args=(IDS // PER_REQUEST // 4,)) for _ in range(4)]
    for thread in clients:
        thread.start()
    for thread in clients:
        thread.join()
    FIGURES["ids drawn through nginx"] = f"{IDS} in {time.monotonic() - started:.1f} s"
    assert [a.status for a in answers if a.status != 200] == []
    ids = [i for a in answers for i in a.body["ids"]]
    assert len(ids) == len(set(ids)) == IDS
    # Every worker of every host drew some, each under its own leased instance.
    assert {a.body["pid"] for a in answers} == set(workers)
    assert all(workers[a.body["pid"]] == a.body["instance"] for a in answers)
    cluster.drawn = set(ids)


def test_a_killed_host_is_routed_around_and_its_leases_come_back(cluster):
    victim = cluster.hosts[1]
    lost = held_by(cluster, 1)
    stop = threading.Event()
    result = {}
    load = threading.Thread(target=lambda: result.update(answers=hammer(cluster.url, cluster.token_headers, 6, stop)))
    load.start()
    time.sleep(2)
    killed_at = time.monotonic()
    victim.kill()
    time.sleep(4)
    stop.set()
    load.join()
    answers = result["answers"]
    errors = [a.status for a in answers if a.status != 200]
    in_flight = sum(a.started <= killed_at <= a.ended for a in answers)
    FIGURES["requests through nginx while a host was SIGKILLed"] = (
        f"{len(answers)}, errors {len(errors)} {errors}, in flight at the kill {in_flight}")
    assert len(errors) <= in_flight
    assert not {a.body["pid"] for a in answers if a.started > killed_at + 0.5} & set(lost)
    ids = [i for a in answers if a.status == 200 for i in a.body["ids"]]
    assert len(set(ids)) == len(ids) and not cluster.drawn & set(ids)
    cluster.drawn.update(ids)

    # Not renewed, the killed workers' leases run out in Redis: neither before the lease time
    # less one renewal period, nor long after it.
    while set(lost.values()) & set(cluster.leased()) and time.monotonic() - killed_at < LEASE_SECONDS + 5:
        time.sleep(0.05)
    recovered = time.monotonic() - killed_at
    FIGURES["lease recovery after the kill (s)"] = f"{recovered:.2f} (leases of {LEASE_SECONDS} s)"
    assert LEASE_SECONDS * 2 / 3 - 0.5 <= recovered <= LEASE_SECONDS + 1.5

    # Back on its feet, the host's workers lease the instances that came free.
    victim.start()
    victim.wait_ready(time.monotonic() + 180)
    cluster.workers[1] = cluster.workers_of(victim)
    assert set(held_by(cluster, 1).values()) == set(lost.values())


def test_a_token_logged_out_through_one_host_is_refused_by_the_others(cluster):
    first, *others = cluster.hosts
    token = httpx.post(first.url + "/auth/token", data={"username": ADMIN, "password": ADMIN}).json()
    bearer = {"Authorization": "Bearer " + token["access_token"]}
    asked = [httpx.get(host.url + "/auth/me", headers=bearer).status_code for host in others]
    assert httpx.post(first.url + "/auth/logout", headers=bearer).status_code == 200
    # The other hosts may answer from their token cache until its ttl (1 s) has passed.
    time.sleep(1.1)
    asked += [httpx.get(host.url + "/auth/me", headers=bearer).status_code for host in others]
    assert asked == [200, 200, 401, 401]
    FIGURES["token logged out through one host"] = "refused (401) by the other 2 within the cache ttl"


def test_failed_logins_spread_over_hosts_are_throttled_as_one_count(cluster):
    settings = read(cluster.hosts[0].config).auth.login_throttle
    limit = settings.max_failures_per_user
    assert settings.enabled and limit < settings.max_failures_per_address and limit >= len(cluster.hosts)
    wrong = {"username": USER, "password": "wrong"}
    # Round the hosts: none of them sees more than a third of the failures.
    statuses = [httpx.post(cluster.hosts[i % 3].url + "/auth/token", data=wrong).status_code for i in range(limit)]
    assert statuses == [401] * limit
    # Together they reach the limit: every host, and nginx, hold back even the right password.
    refused = [httpx.post(url + "/auth/token", data={"username": USER, "password": USER})
               for url in [host.url for host in cluster.hosts] + [cluster.url]]
    assert [answer.status_code for answer in refused] == [429] * 4
    assert all(0 < int(answer.headers["retry-after"]) <= settings.window_seconds for answer in refused)
    FIGURES["failed logins over 3 hosts"] = f"{limit} (the per-user limit) answered 401, then 429 on every host"


def test_a_clean_stop_gives_every_lease_back_at_once(cluster):
    for host, workers in zip(cluster.hosts, cluster.workers, strict=True):
        pids = {host.process.pid, *workers}
        deadline = cluster.lease_deadline(pids)
        assert host.stop() == 0, host.log()
        # Given back on the way out, before they could have run out by themselves.
        assert time.monotonic() < deadline
        assert not {int(holder.split(":")[1]) for holder in cluster.leased().values()} & pids
    assert cluster.leased() == {}
