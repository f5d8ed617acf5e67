"""Enumeration (code dictionary) package."""
