"""Enumeration models."""
