"""Database-layer fixtures: configured databases, a log recorder, clean registries."""

import pytest

from kelvora_core.config import app_config
from kelvora_core.services import conduit
from kelvora_core.services.conduit import AsyncConduit

from _database import LogRecorder, configure


@pytest.fixture
def sqlite_urls(tmp_path):
    return {"Auth": f"sqlite+aiosqlite:///{tmp_path / 'auth.db'}",
            "Main": f"sqlite+aiosqlite:///{tmp_path / 'main.db'}"}


@pytest.fixture
async def databases(sqlite_urls):
    """Auth and Main on SQLite files; tests add servers through configure()."""
    saved = app_config.AppConfig.model_copy(deep=True)
    configure(**sqlite_urls)
    yield sqlite_urls
    await AsyncConduit().close_all()  # engines belong to this test's event loop
    app_config.install(saved)


@pytest.fixture
def log(monkeypatch):
    AsyncConduit()  # the instance's own creation lines are tested apart
    recorder = LogRecorder()
    monkeypatch.setattr(conduit, "logging", recorder)
    return recorder
