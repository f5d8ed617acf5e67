"""The example service as a hostile client meets it, on every backend: bounded bodies and lists,
values outside what a column holds, malformed requests; each refused with the error shape and
the security headers, none answered 500. Then paging, tenants, and the schema-driven fuzzer."""

import json
import math
import os
import re
import socket
import subprocess
import sys
from pathlib import Path
from urllib.parse import urlsplit

import httpx
import pytest

FUZZ_CONFIG = Path(__file__).with_name("schemathesis.toml")
LIMIT = 1024 * 1024  # http.max_body_bytes as shipped
SECURITY = {"x-content-type-options": "nosniff", "content-security-policy": "frame-ancestors 'none'",
            "referrer-policy": "no-referrer"}


def raw(url, head, body=b""):
    """One request written by hand (a lying Content-Length, a chunked body cut off past the
    limit); the status, headers and body of the answer."""
    parts = urlsplit(url)
    with socket.create_connection((parts.hostname, parts.port), timeout=30) as sock:
        sock.sendall(head.encode("ascii") + b"\r\n" + body)
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    head_bytes, _, payload = data.partition(b"\r\n\r\n")
    lines = head_bytes.decode("latin-1").split("\r\n")
    headers = dict(line.split(": ", 1) for line in lines[1:])
    return int(lines[0].split()[1]), {k.lower(): v for k, v in headers.items()}, payload


def chunked(size):
    piece = b"x" * 65536
    out, sent = b"", 0
    while sent < size:
        step = piece[:min(len(piece), size - sent)]
        out += f"{len(step):x}\r\n".encode() + step + b"\r\n"
        sent += len(step)
    return out  # no closing chunk: the server must answer before the body ends


def declared_huge(url, auth):
    return raw(url, f"POST /api/projects HTTP/1.1\r\nHost: t\r\nAuthorization: {auth}\r\n"
                    f"Content-Type: application/json\r\nContent-Length: {100 * LIMIT}\r\n")


def streamed_past_limit(url, auth):
    return raw(url, f"POST /api/projects HTTP/1.1\r\nHost: t\r\nAuthorization: {auth}\r\n"
                    "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n", chunked(LIMIT + 1))


# (case, method, path, request options, status, error type or None, check of the answer)
CASES = [
    ("declared body over the limit", declared_huge, None, None, 413, "http_error", None),
    ("streamed body over the limit", streamed_past_limit, None, None, 413, "http_error", None),
    ("field list over its bound", "POST", "/enum/demo/values", {"json": {"key": ["k"] * 100_000}},
     422, "request_validation", lambda body: body["fields"] == ["key"]),
    ("id past signed 64 bits", "GET", "/api/projects/9223372036854775808", {}, 422, "request_validation",
     lambda body: body["fields"] == ["project_id"]),
    ("NUL in a body text", "POST", "/api/projects", {"json": {"name": "a\x00b"}}, 422, "request_validation", None),
    ("NUL in a path text", "GET", "/enum/de%00mo/fields", {}, 422, "request_validation", None),
    ("NUL in a list entry", "POST", "/enum/demo/values", {"json": {"key": ["reg\x00ion"]}}, 422,
     "request_validation", None),
    ("text over its column", "POST", "/api/projects", {"json": {"name": "x" * 65}}, 422, "request_validation", None),
    ("name matched by collation only", "POST", "/enum/demo/values", {"json": {"key": ["REGION"], "name": ["r"]}},
     200, None, lambda body: body == {}),
    ("malformed JSON", "POST", "/api/projects",
     {"content": b'{"name": x}', "headers": {"content-type": "application/json"}}, 422, "request_validation",
     lambda body: body["fields"] == ["body"] and "position 9" in body["errors"][0]["message"]),
    ("method the path lacks", "PUT", "/api/projects", {}, 405, "http_error", None),
    ("preflight without CORS", "OPTIONS", "/api/projects",
     {"headers": {"Origin": "http://elsewhere", "Access-Control-Request-Method": "POST"}}, 405, "http_error", None),
    ("page size over the maximum", "GET", "/api/projects?size=1001", {}, 422, "request_validation", None),
    ("token answer", "POST", "/auth/token", {"data": {"username": "admin", "password": "admin"}, "headers": {}},
     200, None, None),
]


@pytest.mark.parametrize("case, method, path, options, status, kind, check", CASES, ids=[c[0] for c in CASES])
def test_hostile_requests(backend, case, method, path, options, status, kind, check):
    auth = backend.login("admin")
    if callable(method):
        code, headers, payload = method(backend.url, auth["Authorization"])
    else:
        options = {"headers": auth} | (options or {})
        response = httpx.request(method, backend.url + path, timeout=60, **options)
        code, headers, payload = response.status_code, response.headers, response.content
    assert code == status, payload[:500]
    body = json.loads(payload)
    if kind:
        assert (body["code"], body["type"]) == (status, kind)
    if check:
        assert check(body), body
    assert {name: headers.get(name) for name in SECURITY} == SECURITY
    if status == 405:
        assert headers["allow"] == "GET, POST"
    if headers.get("content-type", "").startswith("application/json"):
        assert headers["cache-control"] == "no-store"


def test_list_pages_with_total(backend):
    # "other" is alone in its tenant, so the fuzzer's projects stay out of its list.
    with httpx.Client(base_url=backend.url, headers=backend.login("other")) as client:
        for name in ("page-a", "page-b", "page-c"):
            assert client.post("/api/projects", json={"name": name}).status_code == 201
        everything = client.get("/api/projects", params={"size": 1000}).json()
        last = math.ceil(everything["total"] / 2)
        pages = [client.get("/api/projects", params={"size": 2, "page": page}).json() for page in (1, 2, last)]
    assert everything["total"] == len(everything["items"]) >= 3
    assert [page["items"] for page in pages] == [everything["items"][:2], everything["items"][2:4],
                                                everything["items"][2 * last - 2:]]
    assert {(page["total"], page["size"]) for page in pages} == {(everything["total"], 2)}
    assert {"page-a", "page-b", "page-c"} <= {item["name"] for item in everything["items"]}


def test_tenants_reach_only_their_own_projects(backend):
    admin, other = backend.login("admin"), backend.login("other")
    with httpx.Client(base_url=backend.url) as client:
        mine = client.post("/api/projects", json={"name": "tenant-one"}, headers=admin).json()["project_id"]
        path = f"/api/projects/{mine}"
        assert client.get(path, headers=other).status_code == 404
        assert client.get(path + "/notes", headers=other).status_code == 404
        assert client.post(path + "/notes", json={"title": "x"}, headers=other).status_code == 404
        assert client.delete(path, headers=other).status_code in (403, 404)
        # The same name is free in another tenant, and there it is out of the first tenant's reach.
        theirs = client.post("/api/projects", json={"name": "tenant-one"}, headers=other)
        assert theirs.status_code == 201, theirs.text
        assert client.get(f"/api/projects/{theirs.json()['project_id']}", headers=admin).status_code == 404
        assert client.get(path, headers=admin).status_code == 200
        page = client.get("/api/projects", params={"size": 1000}, headers=other).json()
        listed = {p["project_id"] for p in page["items"]}
    assert theirs.json()["project_id"] in listed and mine not in listed


@pytest.mark.skipif(bool(os.environ.get("KELVORA_EMULATED")),
                    reason="a build-host tool (its jsonschema_rs has no armv7l wheel); the native run fuzzes")
@pytest.mark.parametrize("backend", ["sqlite", "postgresql"], indirect=True)
def test_schema_fuzzer_finds_nothing(backend, tmp_path):
    """Every operation of /openapi.json, every check, about a minute: no answer the document
    does not describe, no 5xx, no slow answer."""
    token = backend.login("admin")["Authorization"]
    seconds = os.environ.get("KELVORA_FUZZ_SECONDS", "50")
    command = [sys.executable, "-m", "schemathesis.cli", "--no-color", "--config-file", str(FUZZ_CONFIG), "run",
               backend.url + "/openapi.json", "--checks", "all", "--max-time", seconds,
               "--max-response-time", "30", "--seed", os.environ.get("KELVORA_FUZZ_SEED", "19"),
               "--generation-database", "none", "-H", f"Authorization: {token}"]
    result = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-20000:] + result.stderr[-5000:]
    generated = re.search(r"(\d+) generated", result.stdout)
    assert generated and int(generated.group(1)) > 100, result.stdout[-5000:]


def head_of(url, header_bytes):
    """A GET whose one header holds ``header_bytes`` bytes, sent in pieces as long as the server
    reads; the status line of the answer, or None when none came."""
    parts = urlsplit(url)
    with socket.create_connection((parts.hostname, parts.port), timeout=30) as sock:
        try:
            sock.sendall(b"GET /auth/me HTTP/1.1\r\nHost: t\r\nX-Filler: ")
            for sent in range(0, header_bytes, 65536):
                sock.sendall(b"a" * min(65536, header_bytes - sent))
            sock.sendall(b"\r\n\r\n")
        except OSError:
            pass  # refused and closed while the head was still coming
        answer = sock.recv(65536)
    return answer.split(b"\r\n", 1)[0] or None


@pytest.mark.parametrize("header_bytes, status", [(60_000, b"401"), (4 * 1024 * 1024, b"431")])
def test_request_heads_are_bounded(service, header_bytes, status):
    # http.max_header_bytes (64 KiB) holds under httptools too, which would otherwise gather any size.
    assert status in head_of(service.url, header_bytes)
    assert httpx.get(service.url + "/openapi.json", timeout=10).status_code == 200
