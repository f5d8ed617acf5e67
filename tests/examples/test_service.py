"""The example service in its own process, over HTTP on a loopback port, stopped with Ctrl-C."""

import importlib.util
import time
from pathlib import Path

import httpx
import pytest
import yaml

from _pages import REDOC_PAGE
from _service import EXAMPLE_CONFIG, Service, example_config

STARTUP = [
    "启动应用: Kelvora Example",
    "┌" + "─" * 80 + "┐",
    "FastAPI 初始化...",
    "name -> kelvora_core - prefix: None - tags: None",
    "name -> examples.notes - prefix: /api - tags: ['项目与笔记']",
    "加载: 全局异常处理 ",
    "搜索 kelvora_core 的数据源....",
    "检查 RegistryModel - Auth 的数据库...",
    "搜索 examples.notes 的数据源....",
    "检查 RegistryModel - Notes 的数据库...",
    "检查默认管理员账户...",
    "创建 - admin [密码与账号相同]",
    "创建 - guest [密码与账号相同]",
    "添加示例枚举: demo",
    "启动结束: Kelvora Example",
]
SHUTDOWN = ["应用正在关闭...", "开始关闭所有数据库资源", "所有数据库资源关闭完成，共清理"]


def in_order(output, expected):
    """Whether every expected piece appears in a later line than the one before it."""
    position = 0
    for piece in expected:
        while position < len(output) and piece not in output[position]:
            position += 1
        if position == len(output):
            return False
        position += 1
    return True


def login(client, username):
    answer = client.post("/auth/token", data={"username": username, "password": username})
    assert answer.status_code == 200, answer.text
    return {"Authorization": "Bearer " + answer.json()["access_token"]}


def test_start_up_report_and_checks_in_order(service):
    assert in_order(service.output, STARTUP), "\n".join(service.output)


def test_documentation_and_openapi(service):
    with httpx.Client(base_url=service.url) as client:
        docs, redoc = client.get("/docs"), client.get("/redoc")
        schema = client.get("/openapi.json").json()
        assets = [client.get(f"/static/{name}") for name in
                  ("swagger-ui-bundle.js", "swagger-ui.css", "redoc.standalone.js", "favicon.png")]
    assert docs.status_code == 200 and "/static/swagger-ui-bundle.js" in docs.text
    assert redoc.status_code == 200 and redoc.content == REDOC_PAGE.encode("utf-8")
    assert all(asset.status_code == 200 and asset.content for asset in assets)
    paths = schema["paths"]
    assert "/docs" not in paths and "/redoc" not in paths
    assert {"/auth/token", "/auth/me", "/enum/{schema_name}/fields"} <= set(paths)
    assert {"/api/projects", "/api/projects/{project_id}", "/api/projects/{project_id}/notes"} <= set(paths)
    assert all(operation["tags"] == ["项目与笔记"]
               for path, item in paths.items() if path.startswith("/api/") for operation in item.values())


def test_default_administrator_works_with_projects(service):
    with httpx.Client(base_url=service.url) as client:
        assert client.get("/api/projects").status_code == 401
        admin, guest = login(client, "admin"), login(client, "guest")
        me = client.get("/auth/me", headers=admin)
        assert me.status_code == 200 and me.json()["username"] == "admin"

        created = client.post("/api/projects", json={"name": "图书馆", "description": "书目"}, headers=guest)
        assert created.status_code == 201, created.text
        project = created.json()
        assert project["owner"] == "guest" and int(project["project_id"]) > 0
        pid = project["project_id"]

        # The unique name is the database's to enforce; its refusal reaches the user readably.
        duplicate = client.post("/api/projects", json={"name": "图书馆"}, headers=admin)
        assert duplicate.status_code == 409 and duplicate.json()["type"] == "database_error"
        assert duplicate.json()["message"]

        note = client.post(f"/api/projects/{pid}/notes", json={"title": "第一条", "body": "内容"}, headers=guest)
        assert note.status_code == 201 and note.json()["project_id"] == pid
        notes = client.get(f"/api/projects/{pid}/notes", headers=guest).json()
        assert [n["title"] for n in notes["items"]] == ["第一条"] and notes["total"] == 1
        assert [p["name"] for p in client.get("/api/projects", headers=guest).json()["items"]] == ["图书馆"]
        # A newcomer's enumeration queries answer the sample added at the development start.
        assert [f["name"] for f in client.get("/enum/demo/fields", headers=guest).json()] == ["region", "status", "tag"]

        # Deleting is the admin role's; the guest is refused by the route's data rule.
        assert client.delete(f"/api/projects/{pid}", headers=guest).status_code == 403
        assert client.delete(f"/api/projects/{pid}", headers=admin).status_code == 204
        assert client.get(f"/api/projects/{pid}", headers=admin).status_code == 404


@pytest.mark.parametrize("server", [{}, {"loop": "asyncio", "http": "h11"}], ids=["auto", "asyncio-h11"])
def test_ctrl_c_runs_shutdown_then_releases_engines(tmp_path, server):
    webapp = yaml.safe_load(EXAMPLE_CONFIG.read_text(encoding="utf-8"))["webapp"] | server
    service = Service(example_config(tmp_path, webapp=webapp))
    try:
        service.wait_ready(300)  # returns at once when ready; a busy emulated run starts slowly
        with httpx.Client(base_url=service.url) as client:
            login(client, "admin")  # the Auth session factory exists, so there is something to release
        # "auto" runs on uvloop and httptools where they are installed; the settings choose otherwise.
        loaded = Path(f"/proc/{service.process.pid}/maps").read_text()
    finally:
        assert service.stop() == 0
    for package in ("uvloop", "httptools"):
        assert (f"/{package}/" in loaded) == (not server and importlib.util.find_spec(package) is not None), package
    output = service.output
    assert in_order(output, ["启动结束: Kelvora Example", *SHUTDOWN]), "\n".join(output)
    assert any("所有数据库资源关闭完成，共清理 1 个会话工厂" in line for line in output)
    assert not any("Traceback" in line for line in output)


def test_four_workers_start_cleanly_on_empty_databases(tmp_path):
    config = example_config(tmp_path, webapp={"name": "Kelvora Example", "version": "0.1.0", "reload": False,
                                              "workers": 4})
    service = Service(config)
    try:
        service.wait_ready(600)  # returns at once when ready; emulated runs import slowly
        with httpx.Client(base_url=service.url, timeout=60) as client:
            login(client, "admin")
        output = service.output
        for _ in range(300):  # the last workers may still be starting
            if sum("Application startup complete" in line for line in output) == 4:
                break
            time.sleep(1)
            output = service.output
    finally:
        service.stop()
    output = service.output
    assert sum("Application startup complete" in line for line in output) == 4, "\n".join(output)
    # The workers' checks take turns: the first creates the account, the others find it.
    assert sum("创建 - admin [密码与账号相同]" in line for line in output) == 1
    assert sum("admin 已存在" in line for line in output) == 3
    assert sum("添加示例枚举: demo" in line for line in output) == 1  # added once, under the same lock
    assert not any("ERROR" in line or "died" in line or "Traceback" in line for line in output), "\n".join(output)
