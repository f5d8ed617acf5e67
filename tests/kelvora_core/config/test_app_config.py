import logging
from pathlib import Path

import pytest

from kelvora_core.config import app_config
from kelvora_core.config.app_config import AppConfig, ConfigError, RouterConfigSetting

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "config.yaml"
OWN_KEY = "a-production-secret-that-is-long-enough-0123456789"


def write(tmp_path, text, name="config.yaml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


def load_error(path):
    with pytest.raises(ConfigError) as info:
        app_config.load(path)
    return str(info.value)


def test_defaults_without_a_file_and_which_file_is_read(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    config = app_config.load()
    assert config is AppConfig and config.source == "<defaults>"
    assert config.environment.is_prod is False
    assert [(r.name, r.check_database) for r in config.routers] == [("kelvora_core", True)]
    assert config.databases["Auth"].url.startswith("sqlite+aiosqlite://")
    assert config.get_default_tenant_id() == config.auth.tenant.default_tenant_id

    write(tmp_path, "webapp:\n  name: from-cwd\nauth:\nenvironment:\n")
    assert app_config.load().webapp.name == "from-cwd"
    assert AppConfig.webapp.workers == 1  # untouched keys keep their defaults
    monkeypatch.setenv(app_config.ENV_VAR, str(write(tmp_path, "webapp: {name: from-env}", "o.yaml")))
    assert app_config.load().webapp.name == "from-env"
    monkeypatch.setenv(app_config.ENV_VAR, str(tmp_path / "nowhere.yaml"))
    with pytest.raises(ConfigError, match="nowhere.yaml: no such configuration file"):
        app_config.load()


def test_full_file_and_shipped_example(tmp_path):
    path = write(
        tmp_path,
        f"""
webapp: {{name: 服务, version: "2.1", reload: true, workers: 3}}
environment: {{model: prod, logging_level: info}}
routers:
  - {{name: shop.api, enabled: false, prefix: /shop, tags: [商店]}}
auth:
  token_secret_key: {OWN_KEY}
  token_expire_minutes: 0.5
  tenant: {{enabled: true, default_tenant_id: main}}
databases:
  Auth: {{url: "sqlite+aiosqlite:///a.db"}}
  Main: {{url: "postgresql+asyncpg://u:p@h/db", pool_timeout: 2.5}}
""",
    )
    config = app_config.load(path)
    assert (config.webapp.name, config.webapp.version, config.webapp.reload) == ("服务", "2.1", True)
    env = config.environment
    assert (env.is_prod, env.model_desc, env.logging_level, env.logging_level_desc) == (
        True, "生产环境", "INFO", "信息"
    )
    shop = config.routers[0]
    assert (shop.enabled, shop.prefix, shop.tags, shop.check_database) == (False, "/shop", ["商店"], True)
    assert config.auth.token_expire_minutes == 0.5 and config.get_default_tenant_id() == "main"
    assert config.databases["Main"].pool_timeout == 2.5
    assert app_config.load(EXAMPLE).routers[0].name == "kelvora_core"


def test_load_and_reload_update_the_imported_object_in_place(tmp_path):
    held = AppConfig
    path = write(tmp_path, "webapp:\n  name: first\n")
    app_config.load(path)
    path.write_text("webapp:\n  name: second\n", encoding="utf-8")
    app_config.reload()
    assert held.webapp.name == "second" and app_config.AppConfig is held
    with pytest.raises(ConfigError):
        app_config.load(write(tmp_path, "webapp:\n  name: bad\n  workers: many\n", "bad.yaml"))
    assert held.webapp.name == "second" and held.source == str(path)


def test_missing_keys_raise_attribute_error_and_records_are_mutable():
    with pytest.raises(AttributeError):
        _ = AppConfig.no_such_section
    with pytest.raises(AttributeError):
        _ = AppConfig.auth.tenant.default_tenant
    AppConfig.routers.append(RouterConfigSetting(name="kelvora_common"))
    AppConfig.routers[-1].prefix = ""
    assert (AppConfig.routers[-1].enabled, AppConfig.routers[-1].prefix) == (True, "")


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("webapp:\n  workers: x\n", "webapp.workers must be an integer, got 'x'"),
        ("webapp:\n  reload: 1\n", "webapp.reload must be true or false, got 1"),
        ("webapp:\n  version: 1.0\n", "webapp.version must be a text, got 1.0 (quote it to keep it as text)"),
        ("webapp:\n  wokers: 2\n", "webapp.wokers is not a known key"),
        ("webapp:\n  loop: trio\n", "webapp.loop must be one of 'auto', 'uvloop' or 'asyncio'"),
        ("environment: {logging_level: loud}", "environment.logging_level must be one of DEBUG, INFO,"),
        ("routers:\n  - name: a\n  - enabled: yes\n", "routers[1].name is required"),
        ("routers:\n  - {name: a, prefix: api/}", "routers[0].prefix must start with '/' and not end with '/'"),
        ("routers:\n  - name: a\n  - name: a\n", "routers lists the package 'a' twice"),
        ("auth: {tenant: {enabled: maybe}}", "auth.tenant.enabled must be true or false, got 'maybe'"),
        ("auth: {token_expire_minutes: -5}", "auth.token_expire_minutes must be greater than 0, got -5"),
        ("auth: {default_admin_users: ['']}", "auth.default_admin_users[0] must not be empty, got ''"),
        ("generate_snowflake: {instance_id: 1024}", "generate_snowflake.instance_id must be at most 1023"),
        ("generate_snowflake: {epoch_time: 2020-01-01}",
         "generate_snowflake.epoch_time must be an integer, got datetime.date(2020, 1, 1)"),
        ("databases: {Main: {url: 'sqlite://'}}", "databases must define 'Auth'"),
        ("databases: {Auth: {url: 'sqlite://'}, AUTH: {url: 'sqlite://'}}",
         "databases names 'Auth' and 'AUTH' differ only in case"),
        ("databases: {Auth: {url: kelvora.db}}", "databases.Auth.url must be a database URL"),
        ("http: {max_body_bytes: 0}", "http.max_body_bytes must be at least 1, got 0"),
        ("http: {cors: {allow_origins: ['*'], allow_credentials: true}}",
         "http.cors allow_origins must name the origins when allow_credentials is true"),
        ("paging: {default_size: 200, max_size: 100}", "paging default_size (200) must not exceed max_size (100)"),
        ("webapp:\n  name: [unclosed\n", "not valid YAML: "),
        ("webapp:\n  workers: 1\n  workers: 2\n",
         "not valid YAML: the key 'workers' is given twice (line 3, column 3)"),
        ("- webapp\n", "the top level must be a mapping of sections, got list"),
        ("!!python/object:os.system {}\n", "not valid YAML: "),
    ],
)
def test_bad_file_names_file_and_key(tmp_path, text, message):
    path = write(tmp_path, text)
    assert load_error(path).startswith(f"{path}: {message}")


def test_every_fault_is_reported_and_merge_keys_are_not_duplicates(tmp_path):
    path = write(tmp_path, "webapp:\n  workers: x\nauth:\n  token_expire_minutes: soon\n")
    assert load_error(path).splitlines() == [
        f"{path}: webapp.workers must be an integer, got 'x'",
        f"{path}: auth.token_expire_minutes must be a number, got 'soon'",
    ]
    merged = write(tmp_path, "routers:\n  - &c {name: a, check_database: false}\n  - <<: *c\n    name: b\n")
    assert [(r.name, r.check_database) for r in app_config.load(merged).routers] == [("a", False), ("b", False)]


def test_secret_key_rules(tmp_path, caplog):
    message = load_error(write(tmp_path, "auth:\n  token_secret_key: hunter2\n"))
    assert "auth.token_secret_key must be at least 32 bytes long" in message and "hunter2" not in message
    prod = "environment:\n  model: prod\n"
    assert "auth.token_secret_key must be set in production" in load_error(write(tmp_path, prod))
    caplog.set_level(logging.WARNING, logger="kelvora")
    app_config.load(write(tmp_path, "webapp: {}\n"))
    assert any("development key" in r.getMessage() for r in caplog.records)
    caplog.clear()
    app_config.load(write(tmp_path, prod + f"auth:\n  token_secret_key: {OWN_KEY}\n"))
    assert AppConfig.environment.is_prod and not caplog.records


def test_unreadable_files(tmp_path):
    assert load_error(tmp_path / "nowhere.yaml").endswith("nowhere.yaml: no such configuration file")
    assert load_error(tmp_path).startswith(f"{tmp_path}: cannot be read: ")
    latin = tmp_path / "latin.yaml"
    latin.write_bytes("webapp:\n  name: caf\xe9\n".encode("latin-1"))
    assert load_error(latin).startswith(f"{latin}: not UTF-8 text")
