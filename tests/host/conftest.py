"""Host package tests: every test gets the process configuration back as it found it."""

import pytest

from kelvora_core.config import app_config


@pytest.fixture(autouse=True)
def restore_app_config(monkeypatch):
    monkeypatch.delenv(app_config.ENV_VAR, raising=False)
    saved = app_config.AppConfig.model_copy(deep=True)
    yield app_config.AppConfig
    app_config.install(saved)


@pytest.fixture
def redis_url():
    from _servers import server_url

    return server_url("redis")
