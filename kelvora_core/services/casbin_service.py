"""Data permissions of routes: which roles may call which method on which path.

``initialize(rules)`` takes the route rules (``Gatepost`` records: method, path pattern, role,
action, data object), grants each rule's action on its object to its role, and remembers which
routes stand for which object and action. A request is allowed when no rule covers its method
and path, or when the user holds a role that one of the covering rules grants.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

from fastapi import Depends, Request

from ..auth.gatepost import Gatepost
from ..engine.casbin_engine import PermissionEngine
from ..exception.service_exception import ForbiddenError
from ..logger.logging_ import logging

__all__ = ["PermissionService"]


def _check_rule(rule: Any) -> Gatepost:
    if not isinstance(rule, Gatepost):
        raise TypeError(f"permission rules must be Gatepost records, got {type(rule).__name__}")
    for name in ("method", "data_role", "data_act", "data_obj"):
        value = getattr(rule, name)
        if not isinstance(value, str) or not value:
            raise ValueError(f"permission rule {rule!r}: {name} must be a non-empty text")
    if not callable(getattr(rule.pattern, "search", None)):
        raise ValueError(f"permission rule {rule!r}: pattern must be a compiled regular expression")
    return rule


class PermissionService:
    """A view of the process-wide :class:`PermissionEngine`; cheap to create."""

    def __init__(self) -> None:
        self._engine = PermissionEngine()

    @property
    def enforcer(self):
        return self._engine.enforcer

    async def initialize(self, rules: Iterable[Gatepost]) -> None:
        """Load ``rules`` in place of the rules loaded before; role assignments stay."""
        checked = [_check_rule(rule) for rule in rules]
        policies = list(dict.fromkeys((r.data_role, r.data_obj, r.data_act) for r in checked))
        engine = self._engine
        with engine.lock:
            enforcer = engine.enforcer
            old = enforcer.get_policy()
            if old:
                enforcer.remove_policies(old)
            if policies:
                enforcer.add_policies([list(policy) for policy in policies])
            engine.routes = checked
        logging.debug(f"权限规则: {len(checked)} 条路由规则, {len(policies)} 条策略")

    def add_role(self, username: str, role: str) -> bool:
        """Give ``username`` the role; False when it already had it."""
        with self._engine.lock:
            return self.enforcer.add_role_for_user(username, role)

    def remove_role(self, username: str, role: str) -> bool:
        with self._engine.lock:
            return self.enforcer.delete_role_for_user(username, role)

    def get_roles(self, username: str) -> list[str]:
        return list(self.enforcer.get_roles_for_user(username))

    def rules_for(self, method: str, path: str) -> list[Gatepost]:
        """The rules that cover a request (patterns are anchored at the end only, so a rule
        matches under whatever prefix its router was included)."""
        method = method.upper()
        return [rule for rule in self._engine.routes
                if rule.method.upper() == method and rule.pattern.search(path)]

    def is_allowed(self, username: str | None, method: str, path: str) -> bool:
        rules = self.rules_for(method, path)
        if not rules:
            return True
        if not isinstance(username, str) or not username:
            return False
        return any(self.enforcer.enforce(username, rule.data_obj, rule.data_act) for rule in rules)

    @classmethod
    def dependency(cls, user_dependency: Callable[..., Any] | None = None) -> Callable[..., Any]:
        """A route dependency that resolves the current user with ``user_dependency`` (default:
        the bearer-token user) and refuses with 403 when the user may not call the route."""
        if user_dependency is None:
            # Imported here: the authentication module imports this one.
            from .warden import Warden  # type: ignore[import-not-found, unused-ignore]

            user_dependency = Warden.get_current_user

        async def check_permission(request: Request, user: Any = Depends(user_dependency)) -> Any:
            username = getattr(user, "username", None)
            if not cls().is_allowed(username, request.method, request.url.path):
                logging.warning(f"拒绝访问: {username} {request.method} {request.url.path}")
                raise ForbiddenError(message="没有访问权限",
                                     errors={"method": request.method, "path": request.url.path})
            return user

        check_permission.error_statuses = (401, 403)  # type: ignore[attr-defined]  # for the OpenAPI document
        return check_permission
