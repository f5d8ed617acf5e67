"""Host pieces the application stands on: class scanner, tree clean-up, router settings, engines, static files."""

import asyncio
import json
import sys
import textwrap
import uuid
from pathlib import Path

import pytest
from sqlalchemy.orm import registry

from kelvora_core.config import app_config
from kelvora_core.config.app_config import AppConfig, ConfigError
from kelvora_core.config.schemas.routers import RouterConfigSetting
from kelvora_core.engine.disk_engine import DiskEngine, UnsafePathError
from kelvora_core.engine.redis_engine import RedisEngine, RedisNotConfiguredError
from kelvora_core.tools.class_scaner import ClassScanError, ClassScanner
from kelvora_core.utils.core_utils import CoreUtil

ROOT = Path(__file__).resolve().parents[2]


class Marker:
    def __init__(self, label):
        self.label = label


@pytest.fixture
def make_package(tmp_path, monkeypatch):
    """Writes a package {relative path: source} under a unique name; forgets it afterwards."""
    name = "scan_" + uuid.uuid4().hex[:8]
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules["scan_marker"] = sys.modules[__name__]

    def make(files):
        for relative, source in files.items():
            path = tmp_path / name / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(source))
        return name

    yield make
    for module in [m for m in sys.modules if m == name or m.startswith(name + ".")]:
        del sys.modules[module]
    del sys.modules["scan_marker"]


IMPORT = "from scan_marker import Marker\n"


def test_scanner_walks_every_module_in_a_stable_order_once_per_object(make_package):
    name = make_package({
        "__init__.py": IMPORT + "from .b_mod import shared\nfirst = Marker('init')\n",
        "b_mod.py": IMPORT + "shared = Marker('b')\nother = Marker('b2')\nnot_one = 3\n",
        "a_mod.py": IMPORT + "a = Marker('a')\nalias = a\n",
        "sub/__init__.py": "",
        "sub/deep.py": IMPORT + "deep = Marker('deep')\n",
        "c_mod.py": IMPORT + "c = Marker('c')\n",
        "__main__.py": "raise SystemExit('never imported')\n",
    })
    found = ClassScanner.find_classes_instances(package_name=name, base_class=Marker, predicate=None)
    assert [(key.removeprefix(name + "."), value.label) for key, value in found.items()] == [
        ("shared", "b"), ("first", "init"), ("a_mod.a", "a"),
        ("b_mod.other", "b2"), ("c_mod.c", "c"), ("sub.deep.deep", "deep"),
    ]
    kept = ClassScanner.find_classes_instances(
        package_name=name, base_class=Marker, predicate=lambda m: m.label.startswith("b"))
    assert [m.label for m in kept.values()] == ["b", "b2"]
    assert ClassScanner.find_classes_instances(package_name=name, base_class=registry) == {}


def test_scanner_names_the_module_that_fails(make_package):
    name = make_package({"__init__.py": "", "good.py": "", "broken.py": "x = 1 / 0\n"})
    with pytest.raises(ClassScanError, match=rf"'{name}\.broken'.*ZeroDivisionError") as caught:
        ClassScanner.find_classes_instances(package_name=name, base_class=Marker)
    assert caught.value.name == f"{name}.broken"
    assert isinstance(caught.value.__cause__, ZeroDivisionError)
    with pytest.raises(ClassScanError, match="no_such_package_x"):
        ClassScanner.find_classes_instances(package_name="no_such_package_x", base_class=Marker)


@pytest.mark.parametrize(
    ("arguments", "match"),
    [({"package_name": None, "base_class": Marker}, "package_name"),
     ({"package_name": "json", "base_class": Marker("x")}, "base_class"),
     ({"package_name": "json", "base_class": Marker, "predicate": 3}, "predicate")],
)
def test_scanner_refuses_bad_arguments(arguments, match):
    with pytest.raises(TypeError, match=match):
        ClassScanner.find_classes_instances(**arguments)


def test_remove_node_attr_cleans_every_level_in_place():
    loop = {"name": "loop", "tag": 1}
    loop["children"] = [loop]  # a self-reference must not loop forever
    deep = leaf = {"name": "leaf", "tag": "x"}
    for depth in range(5000):  # deeper than the recursion limit
        deep = {"name": depth, "tag": depth, "children": [deep]}
    nodes = [
        {"name": "a", "tag": 1, "keep": 2, "children": [{"name": "b", "tag": 1, "children": None}]},
        {"name": "c", "children": [{"name": "d", "tag": 3, "other": 4}, "not a node"]},
        loop, deep,
    ]
    result = CoreUtil.remove_node_attr(nodes=nodes, children_node_name="children", remove_attrs=["tag", "other"])
    assert result is nodes
    assert nodes[:2] == [
        {"name": "a", "keep": 2, "children": [{"name": "b", "children": None}]},
        {"name": "c", "children": [{"name": "d"}, "not a node"]},
    ]
    assert "tag" not in loop and "tag" not in leaf and "tag" not in deep
    assert CoreUtil.remove_node_attr(nodes=[{"tag": 1, "t": 2}], remove_attrs="tag") == [{"t": 2}]
    assert CoreUtil.remove_node_attr(nodes=None, remove_attrs=["tag"]) is None


def test_router_setting_from_name_alone_and_in_the_configuration():
    setting = RouterConfigSetting(name="kelvora_core")
    assert (setting.enabled, setting.prefix, setting.tags, setting.check_database) == (True, None, None, True)
    assert app_config.RouterConfigSetting is RouterConfigSetting
    settings = app_config.from_mapping({"routers": [{"name": "shop", "prefix": "/shop", "tags": ["Shop"]}]})
    assert settings.routers == [RouterConfigSetting(name="shop", prefix="/shop", tags=["Shop"])]
    for bad, message in [
        ({"name": "a-b"}, "routers[0].name must be an importable package name"),
        ({"name": "shop", "prefix": "shop/"}, "routers[0].prefix must start with '/'"),
        ({"name": "shop", "enabeld": False}, "routers[0].enabeld is not a known key"),
    ]:
        with pytest.raises(ConfigError, match=message.replace("[", r"\[").replace("]", r"\]")):
            app_config.from_mapping({"routers": [bad]})


@pytest.fixture
def fresh_engines():
    RedisEngine()._detach()
    DiskEngine._root = DiskEngine._configured = None
    yield
    RedisEngine()._detach()
    DiskEngine._root = DiskEngine._configured = None


def test_redis_engine_is_inert_without_a_url(fresh_engines):
    engine = RedisEngine()
    assert (engine.enabled, engine.client) == (False, None)
    engine.close()  # nothing to close
    with pytest.raises(RedisNotConfiguredError, match="redis.url"):
        engine.get_client()
    with pytest.raises(ConfigError, match="redis.url must be a Redis URL"):
        app_config.from_mapping({"redis": {"url": "http://127.0.0.1:6379"}})


async def test_redis_engine_shares_one_client_and_closes_it(fresh_engines, redis_url):
    AppConfig.redis.url = redis_url
    client = RedisEngine().get_client()
    assert RedisEngine().client is client
    key = "kelvora-test-" + uuid.uuid4().hex
    await client.set(key, "值", ex=30)
    assert await RedisEngine().client.get(key) == "值"
    connection = next(iter(client.connection_pool._available_connections))
    RedisEngine().close()  # a plain call, as the lifespan makes it
    assert RedisEngine._client is None and not connection.is_connected
    renewed = RedisEngine().get_client()  # a later construction starts a new client
    assert renewed is not client
    assert await renewed.get(key) == "值"
    await renewed.delete(key)
    await RedisEngine().aclose()
    assert RedisEngine().client is not None  # the configuration still names a server
    await RedisEngine().aclose()


def test_redis_engine_closes_after_its_loop_ended(fresh_engines, redis_url):
    AppConfig.redis.url = redis_url

    async def use():
        await RedisEngine().get_client().ping()

    asyncio.run(use())
    RedisEngine().close()  # no loop running: the sockets are dropped, no ResourceWarning
    assert RedisEngine._client is None


def test_disk_engine_makes_its_directory_and_keeps_files_inside(fresh_engines, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    AppConfig.disk.path = "data/files"
    engine = DiskEngine()
    assert engine.root == tmp_path / "data" / "files" and engine.root.is_dir()
    assert DiskEngine().root == engine.root
    path = engine.write_bytes("reports/2026/a.txt", b"one")
    assert path.read_bytes() == b"one" and engine.read_bytes("reports/2026/a.txt") == b"one"
    engine.write_bytes("reports/2026/a.txt", b"two")
    assert engine.read_bytes("reports/2026/a.txt") == b"two"
    assert sorted(p.name for p in path.parent.iterdir()) == ["a.txt"]  # no temporary left
    assert engine.delete("reports/2026/a.txt") and not engine.delete("reports/2026/a.txt")
    (tmp_path / "outside").mkdir()
    (engine.root / "link").symlink_to(tmp_path / "outside")
    for name in ["../x", "/etc/passwd", "a/../../x", "", "a\\b", "a\x00b", "link/x"]:
        with pytest.raises(UnsafePathError):
            engine.resolve(name)
    AppConfig.disk.path = str(tmp_path / "elsewhere")
    assert DiskEngine().root == tmp_path / "elsewhere"  # follows a changed configuration
    (tmp_path / "plain").write_text("")
    AppConfig.disk.path = str(tmp_path / "plain")
    with pytest.raises(NotADirectoryError, match="plain"):
        DiskEngine()


def test_static_directory_holds_the_pinned_documentation_assets():
    lock = json.loads((ROOT / "webassets" / "package-lock.json").read_text())
    wanted = json.loads((ROOT / "webassets" / "package.json").read_text())["dependencies"]
    for package, version in wanted.items():
        assert version[0].isdigit(), f"{package} must be pinned exactly"
        assert lock["packages"][f"node_modules/{package}"]["version"] == version
    sources = {
        "swagger-ui-bundle.js": "swagger-ui-dist/swagger-ui-bundle.js",
        "swagger-ui.css": "swagger-ui-dist/swagger-ui.css",
        "redoc.standalone.js": "redoc/bundles/redoc.standalone.js",
        "favicon.png": "swagger-ui-dist/favicon-32x32.png",
    }
    for name, source in sources.items():
        copied = ROOT / "static" / name
        assert copied.is_file(), f"{copied} missing: run make build"
        expected = (ROOT / "webassets" / "node_modules" / source).read_bytes()
        if name == "redoc.standalone.js":
            # ReDoc's side-menu logo is the local icon instead of one from its CDN.
            expected = expected.replace(b"https://cdn.redoc.ly/redoc/logo-mini.svg", b"/static/favicon.png")
        assert copied.read_bytes() == expected
    assert (ROOT / "static" / "favicon.png").read_bytes().startswith(b"\x89PNG")


def test_core_package_offers_the_names_other_packages_import():
    import kelvora_core
    from kelvora_core import AsyncSession, CoreUtil as Exported, QueryRequest, QueryService
    from kelvora_core.services import query_service
    from sqlmodel.ext.asyncio import session

    assert (AsyncSession, Exported) == (session.AsyncSession, CoreUtil)
    assert (QueryRequest, QueryService) == (query_service.QueryRequest, query_service.QueryService)
    with pytest.raises(AttributeError, match="no attribute 'Nothing'"):
        _ = kelvora_core.Nothing
