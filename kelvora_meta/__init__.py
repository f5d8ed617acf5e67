"""Metadata naming tools."""
