"""Small helpers shared by the framework: the service's root directory, tree clean-up."""

from __future__ import annotations

import os
from collections.abc import Iterable, MutableMapping
from typing import Any

__all__ = ["CoreUtil"]


class CoreUtil:
    """Namespace of helper functions; not meant to be instantiated."""

    @staticmethod
    def get_root_path() -> str:
        """The service's root directory: the working directory it was started in.

        Relative paths of the service (the configuration file, "static", stored files) are
        taken from there.
        """
        return os.getcwd()

    @staticmethod
    def remove_node_attr(
        nodes: list[Any] | None,
        children_node_name: str = "children",
        remove_attrs: Iterable[str] = (),
    ) -> list[Any] | None:
        """Remove the keys ``remove_attrs`` from every node of a tree, in place.

        ``nodes`` is a list of dict nodes; each may hold its child nodes in a list under
        ``children_node_name``, to any depth. The same list is returned. Non-dict nodes and
        missing keys are left alone. The walk is iterative and visits a node once, so deep or
        self-referencing trees cannot exhaust the stack or loop forever.
        """
        if nodes is None:
            return None
        if not isinstance(children_node_name, str):
            raise TypeError(
                f"children_node_name must be a str, got {type(children_node_name).__name__}"
            )
        if isinstance(remove_attrs, str):
            # A bare "tag" would otherwise be taken as the keys "t", "a" and "g".
            remove_attrs = (remove_attrs,)
        attrs = tuple(remove_attrs)
        seen: set[int] = set()
        pending: list[Any] = [nodes]
        while pending:
            level = pending.pop()
            if not isinstance(level, list) or id(level) in seen:
                continue
            seen.add(id(level))
            for node in level:
                if not isinstance(node, MutableMapping) or id(node) in seen:
                    continue
                seen.add(id(node))
                for attr in attrs:
                    node.pop(attr, None)
                children = node.get(children_node_name)
                if children is not None:
                    pending.append(children)
        return nodes
