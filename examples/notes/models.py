"""Projects and their notes; ids come from the process-wide id generator.

Projects belong to a tenant (``tenant_id``, set from the signed-in user when a project is made):
with ``auth.tenant.enabled`` the routes read and change the current tenant's projects only, and
a project's notes are reached through their project. Names are unique within a tenant.
"""

from __future__ import annotations

from datetime import UTC, datetime

from pydantic import ConfigDict, NaiveDatetime
from sqlalchemy import BigInteger, UniqueConstraint
from sqlmodel import Field, SQLModel

from kelvora_core.schemas.types import NUL_FREE, UtcDateTime
from kelvora_core.utils.minter import get_primary_id

from .registry import NotesTable


def utc_now() -> datetime:
    return datetime.now(UTC).replace(tzinfo=None)


class ProjectCreate(SQLModel):
    # The examples also keep the documentation page from inventing texts out of the pattern.
    name: str = Field(min_length=1, max_length=64, schema_extra={"pattern": NUL_FREE, "examples": ["图书馆"]})
    description: str | None = Field(default=None, max_length=500,
                                    schema_extra={"pattern": NUL_FREE, "examples": ["书目"]})


class Project(ProjectCreate, NotesTable, table=True):
    __tablename__ = "notes_project"
    # A second project of the same name in one tenant is refused by the database.
    __table_args__ = (UniqueConstraint("tenant_id", "name"),)

    project_id: int | None = Field(default_factory=get_primary_id, primary_key=True, sa_type=BigInteger,
                                   sa_column_kwargs={"autoincrement": False})
    owner: str | None = Field(default=None, max_length=64)
    tenant_id: str | None = Field(default=None, max_length=64, index=True)
    created_at: NaiveDatetime = Field(default_factory=utc_now)


class ProjectRead(SQLModel):
    # Ids are 64-bit: JavaScript clients lose precision above 2**53, so they travel as text.
    model_config = ConfigDict(coerce_numbers_to_str=True)  # type: ignore[assignment]

    project_id: str
    name: str
    description: str | None = None
    owner: str | None = None
    created_at: UtcDateTime


class NoteCreate(SQLModel):
    title: str = Field(min_length=1, max_length=120, schema_extra={"pattern": NUL_FREE, "examples": ["第一条"]})
    body: str = Field(default="", max_length=10_000, schema_extra={"pattern": NUL_FREE, "examples": ["内容"]})


class Note(NoteCreate, NotesTable, table=True):
    __tablename__ = "notes_note"

    note_id: int | None = Field(default_factory=get_primary_id, primary_key=True, sa_type=BigInteger,
                                sa_column_kwargs={"autoincrement": False})
    project_id: int = Field(foreign_key="notes_project.project_id", sa_type=BigInteger, index=True)
    created_at: NaiveDatetime = Field(default_factory=utc_now)


class NoteRead(SQLModel):
    model_config = ConfigDict(coerce_numbers_to_str=True)  # type: ignore[assignment]

    note_id: str
    project_id: str
    title: str
    body: str
    created_at: UtcDateTime
