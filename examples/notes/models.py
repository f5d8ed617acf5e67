"""Projects and their notes; ids come from the process-wide id generator."""

from __future__ import annotations

from datetime import UTC, datetime

from pydantic import ConfigDict, NaiveDatetime
from sqlalchemy import BigInteger
from sqlmodel import Field, SQLModel

from kelvora_core.utils.minter import get_primary_id

from .registry import NotesTable


def utc_now() -> datetime:
    return datetime.now(UTC).replace(tzinfo=None)


class ProjectCreate(SQLModel):
    # Unique: a second project of the same name is refused by the database.
    name: str = Field(min_length=1, max_length=64, unique=True)
    description: str | None = Field(default=None, max_length=500)


class Project(ProjectCreate, NotesTable, table=True):
    __tablename__ = "notes_project"

    project_id: int | None = Field(default_factory=get_primary_id, primary_key=True, sa_type=BigInteger,
                                   sa_column_kwargs={"autoincrement": False})
    owner: str | None = Field(default=None, max_length=64)
    created_at: NaiveDatetime = Field(default_factory=utc_now)


class ProjectRead(ProjectCreate):
    # Ids are 64-bit: JavaScript clients lose precision above 2**53, so they travel as text.
    model_config = ConfigDict(coerce_numbers_to_str=True)  # type: ignore[assignment]

    project_id: str
    owner: str | None = None
    created_at: datetime


class NoteCreate(SQLModel):
    title: str = Field(min_length=1, max_length=120)
    body: str = Field(default="", max_length=10_000)


class Note(NoteCreate, NotesTable, table=True):
    __tablename__ = "notes_note"

    note_id: int | None = Field(default_factory=get_primary_id, primary_key=True, sa_type=BigInteger,
                                sa_column_kwargs={"autoincrement": False})
    project_id: int = Field(foreign_key="notes_project.project_id", sa_type=BigInteger, index=True)
    created_at: NaiveDatetime = Field(default_factory=utc_now)


class NoteRead(NoteCreate):
    model_config = ConfigDict(coerce_numbers_to_str=True)  # type: ignore[assignment]

    note_id: str
    project_id: str
    created_at: datetime
