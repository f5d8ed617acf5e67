"""The enumerations of the service, loaded once at start-up and read from memory.

``EnumService.load()`` asks the registered source for every active schema, field and value and
keeps them as a snapshot that request code can read without a database round trip: labels of
stored codes, the values a field offers. The enumeration package (``kelvora_enum``) registers the
reader of its tables when it is imported; without a source, or when the source finds no tables
(a service that does not use enumerations, a database not created yet), the snapshot stays empty.
"""

from __future__ import annotations

import threading
from collections.abc import Awaitable, Callable, Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import ClassVar

from ..logger.logging_ import logging

__all__ = ["EnumEntry", "EnumService", "EnumSnapshot", "EnumSource"]


@dataclass(frozen=True, slots=True)
class EnumEntry:
    """One value of an enumeration field."""

    label: str
    value: str
    pid: str
    disabled: bool
    children: tuple[EnumEntry, ...] = field(default=())


#: schema name -> field name -> the field's top-level entries (children nested).
EnumSnapshot = Mapping[str, Mapping[str, tuple[EnumEntry, ...]]]
#: Reads the enumerations; None when there is nothing to read (it says why in the log).
EnumSource = Callable[[], Awaitable[EnumSnapshot | None]]


class EnumService:
    """Namespace of the enumeration snapshot; ``load()`` replaces it as a whole."""

    _snapshot: ClassVar[MappingProxyType] = MappingProxyType({})
    _loaded: ClassVar[bool] = False
    _lock: ClassVar[threading.Lock] = threading.Lock()
    _source: ClassVar[EnumSource | None] = None

    @classmethod
    def use_source(cls, source: EnumSource | None) -> None:
        """Where ``load()`` reads the enumerations from (None: nowhere)."""
        EnumService._source = source

    @classmethod
    async def load(cls) -> None:
        """Read the enumerations from the source; nothing changes when there is none or it finds no tables."""
        source = EnumService._source
        if source is None:
            logging.debug("没有枚举数据来源，跳过加载枚举")
            return
        snapshot = await source()
        if snapshot is None:
            return
        frozen = MappingProxyType({name: MappingProxyType(dict(f)) for name, f in snapshot.items()})
        with cls._lock:
            EnumService._snapshot = frozen
            EnumService._loaded = True
        field_count = sum(len(f) for f in frozen.values())
        logging.debug("加载枚举: " + str(len(frozen)) + " 个 schema, " + str(field_count) + " 个字段")

    @classmethod
    def loaded(cls) -> bool:
        """Whether a load has found the tables (the snapshot may still be empty)."""
        return EnumService._loaded

    @classmethod
    def schemas(cls) -> MappingProxyType:
        """The whole snapshot: schema name -> field name -> top-level entries."""
        return EnumService._snapshot

    @classmethod
    def values(cls, schema_name: str, field_name: str) -> tuple[EnumEntry, ...]:
        """The top-level entries of a field (children nested); empty when unknown."""
        return EnumService._snapshot.get(schema_name, {}).get(field_name, ())

    @classmethod
    def label(cls, schema_name: str, field_name: str, value: str, default: str | None = None) -> str | None:
        """The label of a stored code at any level of the field's tree, else ``default``."""
        pending = list(cls.values(schema_name, field_name))
        while pending:
            entry = pending.pop()
            if entry.value == value:
                return entry.label
            pending.extend(entry.children)
        return default
