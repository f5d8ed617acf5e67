"""The process-wide permission engine: one Casbin enforcer and the route rules it decides.

Policies are role-based: ``p, role, object, action`` grants an action on a data object to a
role, ``g, user, role`` gives a user a role (a user name also counts as its own role). Which
object and action a request stands for comes from the route rules (``Gatepost`` records)
loaded by the permission service.
"""

from __future__ import annotations

import threading
from typing import ClassVar

import casbin  # type: ignore[import-untyped]

from ..auth.gatepost import Gatepost

__all__ = ["MODEL_TEXT", "PermissionEngine"]

MODEL_TEXT = """
[request_definition]
r = sub, obj, act

[policy_definition]
p = sub, obj, act

[role_definition]
g = _, _

[policy_effect]
e = some(where (p.eft == allow))

[matchers]
m = g(r.sub, p.sub) && r.obj == p.obj && r.act == p.act
"""


class PermissionEngine:
    """``PermissionEngine()`` always returns the one engine of the process."""

    _instance: ClassVar[PermissionEngine | None] = None
    _instance_lock: ClassVar[threading.Lock] = threading.Lock()

    enforcer: casbin.Enforcer
    routes: list[Gatepost]
    lock: threading.RLock

    def __new__(cls) -> PermissionEngine:
        instance = cls._instance
        if instance is None:
            with cls._instance_lock:
                instance = cls._instance
                if instance is None:
                    instance = super().__new__(cls)
                    instance.lock = threading.RLock()
                    instance.reset()
                    cls._instance = instance
        return instance

    def reset(self) -> None:
        """Start over: no policies, no roles, no route rules."""
        model = casbin.Model()
        model.load_model_from_text(MODEL_TEXT)
        with self.lock:
            self.enforcer = casbin.Enforcer(model)
            self.routes = []
