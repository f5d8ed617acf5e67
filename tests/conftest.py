"""Shared test set-up: import paths, the database servers, the configuration and log recorders."""

import os
import sys

import pytest
from hypothesis import settings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for path in (ROOT, os.path.join(ROOT, "tests"), os.path.join(ROOT, "tests", "runtime")):
    if path not in sys.path:
        sys.path.insert(0, path)

from _servers import server_url  # noqa: E402

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
def saved_config():
    """The process configuration, to change freely: put back as it was afterwards."""
    from kelvora_core.config import app_config

    saved = app_config.AppConfig.model_copy(deep=True)
    yield app_config.AppConfig
    app_config.install(saved)


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
