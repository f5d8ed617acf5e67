"""The router class of the framework: only routers of this class are discovered and included."""

from __future__ import annotations

from typing import ClassVar

from fastapi import APIRouter

from .gatepost import Gatepost

__all__ = ["AuthRouter"]


class AuthRouter(APIRouter):
    """A FastAPI router that router discovery includes.

    ``permission_rules`` is shared by every router of the process: the data-permission rules
    declared with :meth:`permission_rule` are loaded into the permission service at start-up.
    """

    permission_rules: ClassVar[list[Gatepost]] = []

    def permission_rule(self, method: str, path: str, *, data_role: str, data_act: str,
                        data_obj: str) -> Gatepost:
        """Declare that ``method`` on ``path`` (a route template of this router) is the action
        ``data_act`` on ``data_obj``, which ``data_role`` may perform.

        The pattern is anchored at the end only, so it matches whatever prefix the router is
        later included under.
        """
        for name, value in (("method", method), ("path", path), ("data_role", data_role),
                            ("data_act", data_act), ("data_obj", data_obj)):
            if not isinstance(value, str) or not value:
                raise ValueError(f"{name} must be a non-empty text, got {value!r}")
        rule = Gatepost(method.upper(), Gatepost.convert_path_to_regex(self.prefix + path),
                        data_role, data_act, data_obj)
        AuthRouter.permission_rules.append(rule)
        return rule
