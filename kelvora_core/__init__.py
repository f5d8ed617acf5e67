"""Kelvora core: the application, authentication, database sessions and the host package around them.

A few names that services and the enumeration package use are offered here too
(``from kelvora_core import QueryService``); each is imported on first use, so importing one
submodule does not load the rest.
"""

import importlib

_EXPORTS = {
    "AsyncSession": "sqlmodel.ext.asyncio.session",
    "CoreUtil": "kelvora_core.utils.core_utils",
    "QueryRequest": "kelvora_core.services.query_service",
    "QueryService": "kelvora_core.services.query_service",
}

__all__ = ["AsyncSession", "CoreUtil", "QueryRequest", "QueryService"]  # the names of _EXPORTS


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'kelvora_core' has no attribute '{name}'")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS))
