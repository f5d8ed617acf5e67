"""Enumeration queries."""
