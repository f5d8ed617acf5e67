"""Enumeration (code dictionary) package."""

# The core's EnumService reads its enumerations from this package's tables once it is imported.
from .services import enum_source as _enum_source  # noqa: F401
