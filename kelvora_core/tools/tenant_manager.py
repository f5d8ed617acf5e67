"""The tenant context of the running request (or task).

The context lives in a :class:`contextvars.ContextVar`: every asyncio task (and so every
request) works on its own copy, so what one request sets is never seen by another, and a task
started from a request inherits the request's context at that moment.

Until something is set, the context follows the configuration: tenant filtering is on when
``AppConfig.auth.tenant.enabled`` is, under the default tenant id.
"""

from __future__ import annotations

from contextvars import ContextVar
from dataclasses import dataclass
from typing import Any

from ..config.app_config import AppConfig

__all__ = ["TenantContext", "TenantManager"]


@dataclass(frozen=True, slots=True)
class TenantContext:
    """Who is working and under which tenant; ``enabled`` says whether queries filter by it."""

    enabled: bool
    username: str | None = None
    tenant_id: Any = None


_current: ContextVar[TenantContext | None] = ContextVar("kelvora_tenant", default=None)


class TenantManager:
    """Class-level access to the tenant context of the current task."""

    @staticmethod
    def get_default_tenant_id() -> Any:
        return AppConfig.get_default_tenant_id()

    @classmethod
    def current(cls) -> TenantContext:
        """The context in force: the one set in this task, else the configured default."""
        context = _current.get()
        if context is None:
            return TenantContext(enabled=bool(AppConfig.auth.tenant.enabled))
        return context

    @classmethod
    def disable(cls) -> None:
        """Stop filtering by tenant in this task (for example to find a user before its tenant
        is known). The user name and tenant already recorded are kept."""
        context = cls.current()
        _current.set(TenantContext(False, context.username, context.tenant_id))

    @classmethod
    def set(cls, *, username: str | None, tenant_id: Any) -> None:
        """Record the working user and tenant; filtering follows the configuration."""
        _current.set(TenantContext(bool(AppConfig.auth.tenant.enabled), username, tenant_id))

    @classmethod
    def set_from_token(cls, *, tenant_enabled: Any, username: str | None, tenant_id: Any) -> None:
        """Record the context carried by a verified token; its "tenant" claim says whether to
        filter."""
        _current.set(TenantContext(bool(tenant_enabled), username, tenant_id))

    @classmethod
    def clear(cls) -> None:
        """Forget what this task set; the configured default applies again."""
        _current.set(None)

    @classmethod
    def is_enabled(cls) -> bool:
        return cls.current().enabled

    @classmethod
    def get_username(cls) -> str | None:
        return cls.current().username

    @classmethod
    def get_tenant_id(cls) -> Any:
        """The tenant to filter and stamp rows with: the one recorded in this task (None for
        a user without a tenant, whose rows have none either), else the default tenant."""
        context = _current.get()
        return cls.get_default_tenant_id() if context is None else context.tenant_id
