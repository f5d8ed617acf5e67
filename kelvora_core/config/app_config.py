"""The process-wide configuration, read from one YAML file.

``AppConfig`` is a module-level instance of :class:`Settings`, loaded when this module is
first imported: from the file named by the environment variable ``KELVORA_CONFIG`` when the
launcher sets it, else from ``config.yaml`` in the current working directory. An absent
``config.yaml`` means "all defaults"; a file named explicitly (by the variable or by
``load(path)``) must exist. Sections and keys left out take their defaults.

``load()``, ``reload()`` and ``install()`` update that same object in place, so every module
that did ``from ..config.app_config import AppConfig`` sees the new values. A file that fails
to validate raises :class:`ConfigError` and leaves ``AppConfig`` as it was.

Unknown keys are errors rather than ignored, so a misspelt key cannot silently fall back to
its default.
"""

from __future__ import annotations

import logging as _stdlib_logging
import os
from collections.abc import Mapping
from pathlib import Path
from typing import Annotated, Any, Literal

import yaml
from pydantic import BaseModel, ConfigDict, Field, PlainValidator, PrivateAttr, ValidationError
from pydantic import field_validator, model_validator
from pydantic_core import PydanticCustomError

from ..utils.base.instance_lease import MIN_LEASE_SECONDS
from ..utils.base.snowflake import AUTO, DEFAULT_EPOCH_MS, MAX_INSTANCE
from .schemas.routers import RouterConfigSetting

__all__ = [
    "AppConfig",
    "ConfigError",
    "CorsSettings",
    "DatabaseSetting",
    "DiskSettings",
    "HttpSettings",
    "PagingSettings",
    "RedisSettings",
    "RouterConfigSetting",
    "Settings",
    "from_mapping",
    "install",
    "load",
    "read",
    "reload",
]

ENV_VAR = "KELVORA_CONFIG"
DEFAULT_FILE = "config.yaml"
#: Names the token key outside the file (a secret store, a container's environment); wins over
#: auth.token_secret_key.
SECRET_ENV_VAR = "KELVORA_TOKEN_SECRET_KEY"

#: Public, so never acceptable in production; long enough for HS256 (32 bytes).
DEV_SECRET_KEY = "kelvora-development-secret-key-do-not-use-in-production"
MIN_SECRET_BYTES = 32
#: Every key written in this repository (defaults, the example service, the test services):
#: anyone can read them, so production refuses each.
SHIPPED_SECRET_KEYS = frozenset({
    DEV_SECRET_KEY,
    "change-me-to-a-long-random-text-of-32-bytes-or-more",
    "live-test-secret-key-of-more-than-32-bytes",
    "hostile-test-secret-key-of-more-than-32-bytes",
})

LOGGING_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")
_LEVEL_DESC = {"DEBUG": "调试", "INFO": "信息", "WARNING": "警告", "ERROR": "错误", "CRITICAL": "严重"}
_MODEL_DESC = {"dev": "开发环境", "test": "测试环境", "prod": "生产环境", "production": "生产环境"}
_PROD_MODELS = frozenset({"prod", "production"})


class ConfigError(ValueError):
    """The configuration file cannot be read or does not have the expected shape."""


def _invalid(message: str) -> PydanticCustomError:
    # One error type for all our own checks; the text is already the final wording.
    return PydanticCustomError("kelvora", message)


def _number(value: Any) -> int | float:
    if type(value) is bool or not isinstance(value, (int, float)):
        raise _invalid("must be a number")
    if not value > 0:
        raise _invalid("must be greater than 0")
    return value


def _seconds(value: Any) -> int | float:
    if type(value) is bool or not isinstance(value, (int, float)):
        raise _invalid("must be a number of seconds")
    if not value >= 0:  # NaN too
        raise _invalid("must be at least 0")
    return value


def _secret(value: Any) -> str | bytes:
    if isinstance(value, str):
        size = len(value.encode("utf-8"))
    elif isinstance(value, bytes):
        size = len(value)
    else:
        raise _invalid("must be a text")
    if size < MIN_SECRET_BYTES:
        raise _invalid(f"must be at least {MIN_SECRET_BYTES} bytes long, got {size} bytes")
    return value


def _tenant_id(value: Any) -> int | str:
    if isinstance(value, str) and value:
        return value
    if isinstance(value, int) and type(value) is not bool:
        return value
    raise _invalid("must be an integer or a non-empty text")


PositiveNumber = Annotated[int | float, PlainValidator(_number)]
Seconds = Annotated[int | float, PlainValidator(_seconds)]
SecretKey = Annotated[str | bytes, PlainValidator(_secret)]
TenantId = Annotated[int | str, PlainValidator(_tenant_id)]
NonEmptyText = Annotated[str, Field(min_length=1)]


class _Section(BaseModel):
    # YAML already types its scalars, so no coercion: "4" is not a worker count.
    model_config = ConfigDict(strict=True, extra="forbid")

    @model_validator(mode="before")
    @classmethod
    def _empty_section(cls, data: Any) -> Any:
        # "webapp:" with every key commented out reads as null; treat it as empty.
        return {} if data is None else data


class WebAppSettings(_Section):
    name: str = "Kelvora"
    version: str = "0.1.0"
    reload: bool = False
    workers: int = Field(1, ge=1)
    #: Seconds a request in progress may still run after a stop signal (0: none).
    graceful_timeout: Seconds = 10
    #: uvicorn's event loop and HTTP/1.1 parser; "auto": uvloop and httptools where they are
    #: installed, else asyncio and h11.
    loop: Literal["auto", "uvloop", "asyncio"] = "auto"
    http: Literal["auto", "httptools", "h11"] = "auto"


class EnvironmentSettings(_Section):
    """The active environment; descriptions and ``is_prod`` follow ``model`` unless given."""

    model: NonEmptyText = "dev"
    model_desc: str = _MODEL_DESC["dev"]
    is_prod: bool = False
    logging_level: str = "DEBUG"
    logging_level_desc: str = _LEVEL_DESC["DEBUG"]

    @model_validator(mode="before")
    @classmethod
    def _derived_defaults(cls, data: Any) -> Any:
        if not isinstance(data, dict):
            return data
        data = dict(data)
        model = data.get("model", "dev")
        if isinstance(model, str):
            data.setdefault("model_desc", _MODEL_DESC.get(model.lower(), model))
            data.setdefault("is_prod", model.lower() in _PROD_MODELS)
        level = data.get("logging_level", "DEBUG")
        if isinstance(level, str):
            data.setdefault("logging_level_desc", _LEVEL_DESC.get(level.upper(), level))
        return data

    @field_validator("logging_level")
    @classmethod
    def _known_level(cls, value: str) -> str:
        level = value.upper()
        if level not in LOGGING_LEVELS:
            raise _invalid("must be one of " + ", ".join(LOGGING_LEVELS))
        return level


class TenantSettings(_Section):
    enabled: bool = False
    default_tenant_id: TenantId = 1


class PasswordHashingSettings(_Section):
    """The threads that hash and check passwords, away from the event loop."""

    #: None: half the machine's cores, at least one.
    threads: int | None = Field(None, ge=1, le=256)
    #: Checks that may wait for a thread; one more is refused with 429.
    queue: int = Field(16, ge=0, le=100_000)

    def thread_count(self) -> int:
        return self.threads or max(1, (os.cpu_count() or 2) // 2)


class LoginThrottleSettings(_Section):
    """Failed logins counted per user name and per client address in a sliding window."""

    enabled: bool = True
    window_seconds: PositiveNumber = 900
    max_failures_per_user: int = Field(10, ge=1)
    max_failures_per_address: int = Field(100, ge=1)


class RevocationSettings(_Section):
    """Logout, password change and refresh-token rotation end tokens before they expire."""

    enabled: bool = False
    #: "database": a table of the "Auth" database; "redis": the configured Redis server;
    #: "memory": this process only (a single-process service).
    store: Literal["database", "redis", "memory"] = "database"


class UserCacheSettings(_Section):
    """Verified tokens and their users, kept in the process for a moment (README: "The user
    cache"). Off by default: a change made by another worker or host is then seen at once."""

    enabled: bool = False
    #: Seconds a checked token and its user are used without checking again: the longest a
    #: change made elsewhere (deactivation, password change, logout) goes unseen. At most 1.
    ttl_seconds: PositiveNumber = 1
    #: Tokens kept at most; the one used least recently goes first.
    max_entries: int = Field(10_000, ge=1, le=1_000_000)

    @field_validator("ttl_seconds")
    @classmethod
    def _within_a_second(cls, value: int | float) -> int | float:
        if value > 1:
            raise _invalid("must be at most 1 second")
        return value


class AuthSettings(_Section):
    default_admin_users: list[NonEmptyText] = Field(default_factory=lambda: ["admin"])
    token_secret_key: SecretKey = Field(DEV_SECRET_KEY, repr=False)
    token_expire_minutes: PositiveNumber = 30
    token_refresh_expire_days: PositiveNumber = 7
    #: Seconds of clock difference allowed on "exp", "iat" and "nbf".
    token_leeway_seconds: float = Field(0, ge=0, le=3600)
    #: When set, issued tokens carry it and tokens without it (or with another) are refused.
    token_audience: NonEmptyText | None = None
    token_issuer: NonEmptyText | None = None
    tenant: TenantSettings = Field(default_factory=TenantSettings)
    password_hashing: PasswordHashingSettings = Field(default_factory=PasswordHashingSettings)
    login_throttle: LoginThrottleSettings = Field(default_factory=LoginThrottleSettings)
    revocation: RevocationSettings = Field(default_factory=RevocationSettings)
    user_cache: UserCacheSettings = Field(default_factory=UserCacheSettings)

    @field_validator("token_leeway_seconds", mode="before")
    @classmethod
    def _leeway_number(cls, value: Any) -> Any:
        # Strict mode takes no int for a float; a whole number of seconds is the usual way to write it.
        if isinstance(value, int) and type(value) is not bool:
            return float(value)
        return value

    @field_validator("default_admin_users")
    @classmethod
    def _distinct_users(cls, users: list[str]) -> list[str]:
        seen: set[str] = set()
        for user in users:
            if user in seen:
                raise _invalid(f"lists {user!r} twice")
            seen.add(user)
        return users


def _instance_id(value: Any) -> int | str:
    if value is None or value == AUTO:
        return AUTO
    if type(value) is not int:
        raise _invalid(f"must be {AUTO!r} or an integer from 0 to {MAX_INSTANCE}")
    if value < 0:
        raise _invalid("must be at least 0")
    if value > MAX_INSTANCE:
        raise _invalid(f"must be at most {MAX_INSTANCE}")
    return value


InstanceId = Annotated[int | str, PlainValidator(_instance_id)]


class SnowflakeSettings(_Section):
    #: "auto" (or left out): leased from Redis or the "Auth" database while the process lives.
    instance_id: InstanceId = AUTO
    #: Milliseconds since 1970-01-01T00:00:00Z.
    epoch_time: int = Field(DEFAULT_EPOCH_MS, ge=0)
    #: How long a leased instance id stays taken without renewal (after a crash, say).
    lease_seconds: float = Field(30.0, ge=MIN_LEASE_SECONDS)

    @field_validator("lease_seconds", mode="before")
    @classmethod
    def _seconds(cls, value: Any) -> Any:
        # Strict mode takes no int for a float; a whole number of seconds is the usual case.
        return float(value) if type(value) is int else value


class DatabaseSetting(_Section):
    """Connection of one named database; unset pool options keep the driver's defaults."""

    url: NonEmptyText = Field(repr=False)  # may hold a password
    echo: bool = False
    pool_size: int | None = Field(None, ge=1)
    max_overflow: int | None = Field(None, ge=0)
    pool_timeout: float | None = Field(None, gt=0)
    pool_recycle: int | None = Field(None, gt=0)
    #: A round trip before every checkout. Off: a connection the driver knows is closed is
    #: replaced at checkout without one (engine.connection_health).
    pool_pre_ping: bool = False

    @field_validator("url")
    @classmethod
    def _looks_like_url(cls, value: str) -> str:
        if "://" not in value:
            raise _invalid("must be a database URL such as 'sqlite+aiosqlite:///kelvora.db'")
        return value


class RedisSettings(_Section):
    """The optional Redis server; without a URL the service runs without one."""

    url: str | None = Field(None, repr=False)  # may hold a password
    max_connections: int | None = Field(None, ge=1)

    @field_validator("url")
    @classmethod
    def _redis_url(cls, value: str | None) -> str | None:
        if value is not None and not value.startswith(("redis://", "rediss://", "unix://")):
            raise _invalid("must be a Redis URL such as 'redis://127.0.0.1:6379/0'")
        return value


class DiskSettings(_Section):
    """Where stored files live; a relative path is taken from the working directory."""

    path: NonEmptyText = "storage"


class CorsSettings(_Section):
    """Cross-origin requests from browsers; off unless enabled, and then only from the listed
    origins ("*" for any origin, never together with credentials)."""

    enabled: bool = False
    allow_origins: list[NonEmptyText] = Field(default_factory=list)
    allow_methods: list[NonEmptyText] = Field(default_factory=lambda: ["GET", "POST", "PUT", "DELETE"])
    allow_headers: list[NonEmptyText] = Field(default_factory=lambda: ["Authorization", "Content-Type"])
    allow_credentials: bool = False
    max_age: int = Field(600, ge=0)  # seconds a browser may keep a preflight answer

    @model_validator(mode="after")
    def _no_wildcard_with_credentials(self) -> CorsSettings:
        if self.allow_credentials and "*" in self.allow_origins:
            raise _invalid("allow_origins must name the origins when allow_credentials is true, not '*'")
        return self


class HttpSettings(_Section):
    """What every request and answer of the web application is held to."""

    max_body_bytes: int = Field(1024 * 1024, ge=1)  # larger request bodies answer 413
    max_header_bytes: int = Field(64 * 1024, ge=1024)  # a longer request line and headers answer 431 (400 under h11)
    security_headers: bool = True  # nosniff, frame-ancestors, Referrer-Policy, no-store on JSON
    cors: CorsSettings = Field(default_factory=CorsSettings)


class PagingSettings(_Section):
    """Rows per page of list answers: the size when a request names none, and the most it may ask."""

    default_size: int = Field(50, ge=1)
    max_size: int = Field(1000, ge=1)

    @model_validator(mode="after")
    def _default_within_max(self) -> PagingSettings:
        if self.default_size > self.max_size:
            raise _invalid(f"default_size ({self.default_size}) must not exceed max_size ({self.max_size})")
        return self


AUTH_DATABASE = "Auth"


def _default_routers() -> list[RouterConfigSetting]:
    return [RouterConfigSetting(name="kelvora_core")]


def _default_databases() -> dict[str, DatabaseSetting]:
    return {AUTH_DATABASE: DatabaseSetting(url="sqlite+aiosqlite:///kelvora.db")}


class Settings(_Section):
    """The whole configuration; ``AppConfig`` is the process's instance."""

    webapp: WebAppSettings = Field(default_factory=WebAppSettings)
    environment: EnvironmentSettings = Field(default_factory=EnvironmentSettings)
    routers: list[RouterConfigSetting] = Field(default_factory=_default_routers)
    auth: AuthSettings = Field(default_factory=AuthSettings)
    generate_snowflake: SnowflakeSettings = Field(default_factory=SnowflakeSettings)
    databases: dict[str, DatabaseSetting] = Field(default_factory=_default_databases)
    redis: RedisSettings = Field(default_factory=RedisSettings)
    disk: DiskSettings = Field(default_factory=DiskSettings)
    http: HttpSettings = Field(default_factory=HttpSettings)
    paging: PagingSettings = Field(default_factory=PagingSettings)

    _source: str = PrivateAttr(default="<defaults>")

    @field_validator("routers")
    @classmethod
    def _distinct_routers(cls, routers: list[RouterConfigSetting]) -> list[RouterConfigSetting]:
        seen: set[str] = set()
        for router in routers:
            if router.name in seen:
                raise _invalid(f"lists the package {router.name!r} twice")
            seen.add(router.name)
        return routers

    @field_validator("databases")
    @classmethod
    def _database_names(cls, databases: dict[str, DatabaseSetting]) -> dict[str, DatabaseSetting]:
        # Databases are looked up without regard to case.
        seen: dict[str, str] = {}
        for name in databases:
            if name.lower() in seen:
                raise _invalid(f"names {seen[name.lower()]!r} and {name!r} differ only in case")
            seen[name.lower()] = name
        if AUTH_DATABASE.lower() not in seen:
            raise _invalid(f"must define {AUTH_DATABASE!r}, the database of the user accounts")
        return databases

    @model_validator(mode="after")
    def _production_secret(self) -> Settings:
        key = self.auth.token_secret_key
        text = key.decode("utf-8", "replace") if isinstance(key, bytes) else key
        if self.environment.is_prod and text in SHIPPED_SECRET_KEYS:
            raise _invalid(
                "auth.token_secret_key must be set in production: "
                "this key ships with Kelvora and is public (set your own, or "
                f"{SECRET_ENV_VAR})"
            )
        return self

    @model_validator(mode="after")
    def _revocation_store(self) -> Settings:
        if self.auth.revocation.enabled and self.auth.revocation.store == "redis" and not self.redis.url:
            raise _invalid("auth.revocation.store is 'redis', but redis.url is not set")
        return self

    @property
    def source(self) -> str:
        """The file these settings came from, or a placeholder such as '<defaults>'."""
        return self._source

    def get_default_tenant_id(self) -> int | str:
        """Tenant under which the default administrator accounts are created."""
        return self.auth.tenant.default_tenant_id


# --- reading -------------------------------------------------------------------------------

_MESSAGES = {
    "int_type": "must be an integer",
    "int_from_float": "must be an integer",
    "bool_type": "must be true or false",
    "string_type": "must be a text",
    "float_type": "must be a number",
    "list_type": "must be a list",
    "dict_type": "must be a mapping",
    "model_type": "must be a mapping",
    "string_too_short": "must not be empty",
    "greater_than": "must be greater than {gt}",
    "greater_than_equal": "must be at least {ge}",
    "less_than": "must be less than {lt}",
    "less_than_equal": "must be at most {le}",
    "missing": "is required",
    "extra_forbidden": "is not a known key",
    "literal_error": "must be one of {expected}",
}
_NO_VALUE_SHOWN = frozenset({"missing", "extra_forbidden"})
_SECRET_KEYS = frozenset({"token_secret_key"})


def _dotted(loc: tuple[Any, ...]) -> str:
    key = ""
    for index, part in enumerate(loc):
        is_name = index + 1 < len(loc) and loc[index + 1] == "[key]"
        if part == "[key]":
            key += " (the name)"
        elif isinstance(part, int) and not is_name:
            key += f"[{part}]"
        else:
            key += f".{part}" if key else str(part)
    return key


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _describe(error: Any) -> str:
    kind = error["type"]
    template = _MESSAGES.get(kind)
    if kind == "kelvora":
        text = error["msg"]
    elif template is not None:
        text = template.format(**error.get("ctx", {}))
    else:
        text = error["msg"]
    secret = bool(error["loc"]) and error["loc"][-1] in _SECRET_KEYS
    # A check of the whole file (no key) would show the file's first values, secrets included.
    if kind not in _NO_VALUE_SHOWN and not secret and error["loc"]:
        value = error.get("input")
        text += f", got {_shown(value)}"
        if kind == "string_type" and isinstance(value, (int, float)):
            text += " (quote it to keep it as text)"
    key = _dotted(error["loc"])
    return f"{key} {text}" if key else text


def from_mapping(data: Any, source: str = "<mapping>") -> Settings:
    """Validate already-parsed configuration data; ``source`` names it in error messages."""
    if data is None:
        data = {}
    if not isinstance(data, Mapping):
        raise ConfigError(
            f"{source}: the top level must be a mapping of sections, got {type(data).__name__}"
        )
    try:
        settings = Settings.model_validate(dict(data))
    except ValidationError as exc:
        raise ConfigError("\n".join(f"{source}: {_describe(e)}" for e in exc.errors())) from None
    settings._source = source
    return settings


class _Loader(yaml.SafeLoader):
    """Safe YAML that refuses a key given twice in one mapping (the last would silently win)."""


def _construct_mapping(loader: _Loader, node: yaml.MappingNode) -> dict[Any, Any]:
    seen = set()
    for key_node, _ in node.value:
        if key_node.tag == "tag:yaml.org,2002:merge" or not isinstance(key_node, yaml.ScalarNode):
            continue
        key = loader.construct_object(key_node)
        if key in seen:
            raise yaml.constructor.ConstructorError(
                None, None, f"the key {key!r} is given twice", key_node.start_mark
            )
        seen.add(key)
    return loader.construct_mapping(node)


_Loader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_MAPPING_TAG, _construct_mapping)


def _parse_yaml(text: str, source: str) -> Any:
    try:
        return yaml.load(text, Loader=_Loader)  # noqa: S506 - a SafeLoader subclass
    except yaml.YAMLError as exc:
        mark = getattr(exc, "problem_mark", None)
        problem = getattr(exc, "problem", None) or str(exc)
        where = f" (line {mark.line + 1}, column {mark.column + 1})" if mark else ""
        raise ConfigError(f"{source}: not valid YAML: {problem}{where}") from None


def _config_path(path: str | os.PathLike[str] | None) -> tuple[Path, bool]:
    """The file to read, and whether it was named explicitly (and so must exist)."""
    if path is not None:
        return Path(path), True
    named = os.environ.get(ENV_VAR)
    if named:
        return Path(named), True
    return Path(DEFAULT_FILE), False


def read(path: str | os.PathLike[str] | None = None) -> Settings:
    """Read and validate a configuration file without installing it."""
    file, explicit = _config_path(path)
    source = str(file)
    try:
        text = file.read_text(encoding="utf-8")
    except FileNotFoundError:
        if explicit:
            raise ConfigError(f"{source}: no such configuration file") from None
        settings = from_mapping({}, "<defaults>")
    except UnicodeDecodeError as exc:
        raise ConfigError(f"{source}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except OSError as exc:
        raise ConfigError(f"{source}: cannot be read: {exc.strerror or exc}") from None
    else:
        settings = from_mapping(_with_secret_from_environment(_parse_yaml(text, source)), source)
        _warn_development_secret(settings)
        return settings
    if os.environ.get(SECRET_ENV_VAR):
        settings = from_mapping(_with_secret_from_environment({}), "<defaults>")
    _warn_development_secret(settings)
    return settings


def _with_secret_from_environment(data: Any) -> Any:
    """The file's data with the token key from $KELVORA_TOKEN_SECRET_KEY, when that is set."""
    secret = os.environ.get(SECRET_ENV_VAR)
    if not secret or (data is not None and not isinstance(data, Mapping)):
        return data  # a malformed file is still reported as such
    data = dict(data or {})
    auth = data.get("auth")
    auth = dict(auth) if isinstance(auth, Mapping) else {} if auth is None else auth
    if isinstance(auth, dict):
        auth["token_secret_key"] = secret
    data["auth"] = auth
    return data


def _warn_development_secret(settings: Settings) -> None:
    if settings.auth.token_secret_key == DEV_SECRET_KEY:
        # The logging facade depends on this module, so go to the same logger directly.
        _stdlib_logging.getLogger("kelvora").warning(
            "%s: auth.token_secret_key is the built-in development key; "
            "set your own before going to production",
            settings.source,
        )


def install(settings: Settings) -> Settings:
    """Make ``AppConfig`` hold the values of ``settings``; returns ``AppConfig``."""
    for name in Settings.model_fields:
        setattr(AppConfig, name, getattr(settings, name))
    AppConfig._source = settings._source
    return AppConfig


def load(path: str | os.PathLike[str] | None = None) -> Settings:
    """Read ``path`` (default: $KELVORA_CONFIG, else ./config.yaml) into ``AppConfig``."""
    return install(read(path))


def reload() -> Settings:
    """Read again the file ``AppConfig`` came from (or look for one again if it had none)."""
    source = AppConfig.source
    return load(None if source.startswith("<") else source)


AppConfig: Settings = read()
