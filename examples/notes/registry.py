"""The model registry of the "Notes" database."""

from sqlmodel import SQLModel

from kelvora_core.portal_auth.registry import ModelRegistry

NOTES_DATABASE = "Notes"

notes_registry = ModelRegistry(NOTES_DATABASE)


class NotesTable(SQLModel, registry=notes_registry):
    """Base of the tables of the "Notes" database."""
