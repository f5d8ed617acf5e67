"""The directory where the service keeps stored files (uploads, exports).

``disk.path`` names it (relative paths are taken from the working directory); the first
``DiskEngine()`` creates it when missing, and every later one reaches the same directory
until the configured path changes.
"""

from __future__ import annotations

import os
import threading
from pathlib import Path, PurePosixPath
from typing import ClassVar

from ..config.app_config import AppConfig

__all__ = ["DiskEngine", "UnsafePathError"]


class UnsafePathError(ValueError):
    """A stored-file name that would reach outside the storage directory."""


class DiskEngine:
    """Access to the storage directory; cheap to create, all instances share it."""

    _root: ClassVar[Path | None] = None
    _configured: ClassVar[str | None] = None
    _lock: ClassVar[threading.Lock] = threading.Lock()

    def __init__(self) -> None:
        configured = AppConfig.disk.path
        if DiskEngine._root is not None and DiskEngine._configured == configured:
            return
        with DiskEngine._lock:
            if DiskEngine._root is None or DiskEngine._configured != configured:
                root = Path(configured).expanduser().resolve()
                if root.exists() and not root.is_dir():
                    raise NotADirectoryError(f"disk.path '{configured}' is not a directory")
                root.mkdir(parents=True, exist_ok=True)
                DiskEngine._root, DiskEngine._configured = root, configured

    @property
    def root(self) -> Path:
        """The storage directory, absolute."""
        assert DiskEngine._root is not None  # set by __init__
        return DiskEngine._root

    def resolve(self, name: str) -> Path:
        """The path of the stored file ``name`` ("reports/2026/a.pdf").

        Names are relative and use "/" between directories; anything that would leave the
        storage directory (absolute names, "..", a symbolic link pointing outside) is refused.
        """
        if not isinstance(name, str):
            raise TypeError(f"file name must be a str, got {type(name).__name__}")
        parts = PurePosixPath(name).parts
        if (
            not name
            or "\x00" in name
            or "\\" in name
            or name.startswith("/")
            or any(part in ("..", ".") for part in parts)
        ):
            raise UnsafePathError(f"not a safe stored-file name: {name!r}")
        path = self.root.joinpath(*parts)
        if not path.resolve().is_relative_to(self.root):
            raise UnsafePathError(f"not a safe stored-file name: {name!r}")
        return path

    def write_bytes(self, name: str, data: bytes) -> Path:
        """Store ``data`` under ``name`` (directories made as needed); replaces atomically."""
        path = self.resolve(name)
        path.parent.mkdir(parents=True, exist_ok=True)
        temporary = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}.tmp")
        try:
            temporary.write_bytes(data)
            os.replace(temporary, path)
        finally:
            temporary.unlink(missing_ok=True)
        return path

    def read_bytes(self, name: str) -> bytes:
        return self.resolve(name).read_bytes()

    def delete(self, name: str) -> bool:
        """Remove a stored file; False when there was none."""
        try:
            self.resolve(name).unlink()
        except FileNotFoundError:
            return False
        return True
