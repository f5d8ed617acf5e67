"""Database-layer fixtures: configured databases, a log recorder, clean registries."""

import pytest

from kelvora_core.services.conduit import AsyncConduit

from _database import configure


@pytest.fixture
def sqlite_urls(tmp_path):
    return {"Auth": f"sqlite+aiosqlite:///{tmp_path / 'auth.db'}",
            "Main": f"sqlite+aiosqlite:///{tmp_path / 'main.db'}"}


@pytest.fixture
async def databases(sqlite_urls, saved_config):
    """Auth and Main on SQLite files; tests add servers through configure()."""
    configure(**sqlite_urls)
    yield sqlite_urls
    await AsyncConduit().close_all()  # engines belong to this test's event loop


@pytest.fixture
def log(request, log_into):
    AsyncConduit()  # the instance's own creation lines are tested apart
    return log_into(request.module.LOGGED)
