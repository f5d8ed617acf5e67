"""Database-layer fixtures: configured databases, a log recorder, clean registries."""

import pytest

from kelvora_core.config import app_config
from kelvora_core.services import conduit
from kelvora_core.services.conduit import AsyncConduit


class LogRecorder:
    """Stands in for the logging facade; keeps (level, message) pairs."""

    def __init__(self):
        self.lines = []

    def __getattr__(self, level):
        def record(*args, **kwargs):
            self.lines.append((level, *args, *kwargs.values()))
        return record

    def messages(self, *levels):
        return [line[1] for line in self.lines if not levels or line[0] in levels]


def configure(**databases):
    settings = app_config.AppConfig.model_copy(deep=True)
    settings.databases = {name: app_config.DatabaseSetting(url=url) for name, url in databases.items()}
    app_config.install(settings)


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
