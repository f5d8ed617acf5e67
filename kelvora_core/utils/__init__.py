"""Utilities: unique ids and helpers."""
