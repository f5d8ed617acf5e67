"""One route match per request for the routers the application includes.

FastAPI keeps an included router as one entry of the application's route table. Routing a
request to one of its routes matches the router's routes twice: once to learn that the entry
matches, once more while handling it, to pick the route. Entries made by :func:`match_once`
remember in the request's scope what the first pass found, and the second pass takes it from
there instead of matching again. With a FastAPI that routes included routers differently the
entries are left as they are.
"""

from __future__ import annotations

from typing import Any

from fastapi import FastAPI, routing
from starlette.routing import Match
from starlette.types import Scope

__all__ = ["match_once"]

_SCOPE_KEY = "kelvora.included_match"
_Included: Any = getattr(routing, "_IncludedRouter", None)
_SUPPORTED = _Included is not None and all(hasattr(_Included, name) for name in ("_match", "_handle_selected"))

if _SUPPORTED:
    class _MatchedOnce(_Included):
        """An included router whose full match is found once per request."""

        def _match(self, scope: Scope) -> Any:
            remembered = scope.pop(_SCOPE_KEY, None)
            # Used once, by the same entry, for the same path; anything else matches afresh.
            if remembered is not None and remembered[0] is self and remembered[1] == scope.get("path"):
                return remembered[2]
            found = super()._match(scope)
            if found[0] is Match.FULL:
                scope[_SCOPE_KEY] = (self, scope.get("path"), found)
            return found


def match_once(app: FastAPI) -> None:
    """Make the included routers of ``app``'s route table match once per request."""
    if not _SUPPORTED:
        return
    routes = app.router.routes
    for index, route in enumerate(routes):
        if type(route) is _Included:
            included: Any = route
            routes[index] = _MatchedOnce(original_router=included.original_router,
                                         include_context=included.include_context)
