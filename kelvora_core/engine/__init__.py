"""Engines: databases, Redis, disk and permissions."""
