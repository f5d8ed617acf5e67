"""Shared test set-up: import paths, the database servers, the configuration, log recorders,
databases for a test and the example service (tests/README.md lists them)."""

import functools
import os
import sys

import pytest
from hypothesis import settings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for path in (ROOT, os.path.join(ROOT, "tests"), os.path.join(ROOT, "tests", "runtime")):
    if path not in sys.path:
        sys.path.insert(0, path)

from _servers import server_url  # noqa: E402
from _service import Service, backend_database, example_config, login, run_sql  # noqa: E402

# Three hosts behind nginx take a while: only `make test-cluster` runs them.
collect_ignore = [] if os.environ.get("KELVORA_CLUSTER") else ["cluster"]

# The suite is one process on one host: a fixed instance id for the process-wide generator, made
# when a test first imports the id module; leases are tested with generators of their own.
from kelvora_core.config import app_config  # noqa: E402

app_config.AppConfig.generate_snowflake.instance_id = 1

# Under qemu (cross/armhf/python) an example takes 10 to 30 times as long, more on a busy machine:
# the same examples there, without the per-example deadline.
settings.register_profile("emulated", deadline=None)
if os.environ.get("KELVORA_EMULATED"):
    settings.load_profile("emulated")


@pytest.fixture(scope="session")
def native_modules():
    """The native modules the build makes, as the root CMakeLists.txt lists them: {dotted name: source}."""
    import re

    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        listed = re.findall(r'^\s*"(\w+);([\w/]+)"', f.read(), re.M)
    assert listed, "no module list found in CMakeLists.txt"
    return {".".join([*folder.split("/"), name]): os.path.join(ROOT, folder, name + ".cpp") for name, folder in listed}


@pytest.fixture
def postgres_url():
    return server_url("postgresql")


@pytest.fixture
def mariadb_url():
    return server_url("mariadb")


@pytest.fixture
def redis_url():
    return server_url("redis")


@pytest.fixture(autouse=True)
def saved_config():
    """The process configuration, to change freely: every test gets it back as it was, and none
    reads a file named by the environment. (Not through monkeypatch: a test's own patches must
    be undone before the fixtures it asked for are torn down.)"""
    named = os.environ.pop(app_config.ENV_VAR, None)
    saved = app_config.AppConfig.model_copy(deep=True)
    yield app_config.AppConfig
    app_config.install(saved)
    if named is not None:
        os.environ[app_config.ENV_VAR] = named


@pytest.fixture
def sqlite_urls(tmp_path):
    return {"Auth": f"sqlite+aiosqlite:///{tmp_path / 'auth.db'}",
            "Main": f"sqlite+aiosqlite:///{tmp_path / 'main.db'}"}


@pytest.fixture
async def databases(sqlite_urls, saved_config):
    """Auth and Main on SQLite files; tests add servers through configure()."""
    from _database import configure
    from kelvora_core.services.conduit import AsyncConduit

    configure(**sqlite_urls)
    yield sqlite_urls
    await AsyncConduit().close_all()  # engines belong to this test's event loop


@pytest.fixture(autouse=True)
def no_open_outages():
    """Outages are counted per process: none is left open for the next test."""
    yield
    from kelvora_core.engine.availability import outages

    outages.clear()


@pytest.fixture
def log_into(monkeypatch):
    """log_into(module): a recorder in place of the module's logging facade, for this test."""
    from _database import LogRecorder

    def into(module):
        recorder = LogRecorder()
        monkeypatch.setattr(module, "logging", recorder)
        return recorder

    return into


@pytest.fixture
def log(request, log_into):
    """Records what the module a test file names as LOGGED writes through its logging facade."""
    return log_into(request.module.LOGGED)


# ---- the example service in its own process, started once for the session -------------------

SECRET = "live-test-secret-key-of-more-than-32-bytes"


@pytest.fixture(scope="session")
def service(tmp_path_factory):
    directory = tmp_path_factory.mktemp("service")
    config = example_config(directory, auth={"default_admin_users": ["admin", "guest"], "token_secret_key": SECRET})
    running = Service(config)
    try:
        running.wait_ready()
        yield running
    finally:
        running.stop()


@pytest.fixture(scope="session", params=["sqlite", "postgresql", "mariadb"])
def backend(request, tmp_path_factory):
    """The example service on an empty database of each backend, with tenancy on: "admin" and
    "guest" in tenant 1, "other" in tenant 2."""
    directory = tmp_path_factory.mktemp(request.param)
    with backend_database(request.param, directory) as url:
        config = example_config(directory, url, auth={
            "default_admin_users": ["admin", "guest", "other"], "token_secret_key": SECRET,
            "tenant": {"enabled": True, "default_tenant_id": "1"}})
        running = Service(config)
        try:
            running.wait_ready()
            run_sql(url, "UPDATE auth_user SET tenant_id = '2' WHERE username = 'other'")
            running.backend = request.param
            running.login = functools.cache(functools.partial(login, running.url))  # bcrypt is slow
            yield running
        finally:
            running.stop()
