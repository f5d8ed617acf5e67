"""Find the instances of a class that live in a package and all of its modules."""

from __future__ import annotations

import importlib
import pkgutil
from collections.abc import Callable
from types import ModuleType
from typing import Any

__all__ = ["ClassScanError", "ClassScanner"]


class ClassScanError(ImportError):
    """A module of the scanned package could not be imported; ``name`` says which."""


class ClassScanner:
    """Namespace of the scanning functions."""

    @staticmethod
    def find_classes_instances(
        package_name: str,
        base_class: type | tuple[type, ...],
        predicate: Callable[[Any], bool] | None = None,
    ) -> dict[str, Any]:
        """Import ``package_name`` and every module below it; collect instances of ``base_class``.

        Returns a dict from "module.attribute" to the object, in a stable order: the package
        first, then its modules and subpackages depth first in name order, and within a module
        the order of its attributes. An object reachable under several names (re-exported by
        a package, say) is listed once, under the first. ``predicate``, when given, is called
        with each instance and keeps those for which it is true.

        A module that fails to import raises :class:`ClassScanError` naming that module, with
        the original exception as its cause.
        """
        if not isinstance(package_name, str) or not package_name:
            raise TypeError(f"package_name must be a non-empty str, got {package_name!r}")
        if not (
            isinstance(base_class, type)
            or (isinstance(base_class, tuple) and all(isinstance(c, type) for c in base_class))
        ):
            raise TypeError(f"base_class must be a class or a tuple of classes, got {base_class!r}")
        if predicate is not None and not callable(predicate):
            raise TypeError(f"predicate must be callable or None, got {predicate!r}")

        found: dict[str, Any] = {}
        seen: set[int] = set()
        for module in _modules(package_name):
            for attr, value in list(vars(module).items()):
                if not isinstance(value, base_class) or id(value) in seen:
                    continue
                if predicate is not None and not predicate(value):
                    continue
                seen.add(id(value))
                found[f"{module.__name__}.{attr}"] = value
        return found


def _import(name: str, package_name: str) -> ModuleType:
    try:
        return importlib.import_module(name)
    except Exception as exc:
        raise ClassScanError(
            f"cannot import module '{name}' while scanning '{package_name}': "
            f"{type(exc).__name__}: {exc}",
            name=name,
        ) from exc


def _modules(package_name: str):
    """The package, then every module below it, depth first in name order."""
    pending = [package_name]
    while pending:
        name = pending.pop()
        module = _import(name, package_name)
        yield module
        path = getattr(module, "__path__", None)
        if path is None:
            continue
        children = sorted(
            info.name
            for info in pkgutil.iter_modules(path, module.__name__ + ".")
            if info.name.rsplit(".", 1)[-1] != "__main__"
        )
        # Reversed onto the stack, so the first name is scanned first.
        pending.extend(reversed(children))
