"""Generic writes over SQLModel tables: create a row, update one by its primary key.

Rows of a table with a ``tenant_id`` column are created under the current tenant (unless the
data names one) and, while tenant filtering is on, only the current tenant's rows can be
updated. Columns with an ``onupdate`` default (such as ``updated_at``) follow every update.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from pydantic import BaseModel, ValidationError
from sqlalchemy import update as sa_update
from sqlmodel import select
from sqlmodel.ext.asyncio.session import AsyncSession

from ..exception.service_exception import ValidError
from ..tools.tenant_manager import TenantManager
from .query_service import TENANT_COLUMN, _coerce, _first_entity, _mapper, _result, _tenant_criteria

__all__ = ["DataService"]

def _as_dict(data: Any, *, changed_only: bool) -> dict[str, Any]:
    if isinstance(data, Mapping):
        return dict(data)
    if isinstance(data, BaseModel):
        return data.model_dump(exclude_unset=changed_only)
    raise TypeError(f"expected a dict or a model, got {type(data).__name__}")


def _shape(row: Any, model_class: Any, response_class: Any) -> Any:
    if response_class is None or response_class is model_class:
        return row
    return response_class.model_validate(row, from_attributes=True)


def _changes(model_class: Any, data: Mapping[str, Any]) -> dict[str, Any]:
    """``data`` limited to real columns; the primary key cannot be changed."""
    mapper = _mapper(model_class)
    keys = {mapper.get_property_by_column(column).key for column in mapper.primary_key}
    changes = {}
    for name, value in data.items():
        if name not in mapper.column_attrs:
            raise ValidError(f"未知的字段: {name}", fields=name)
        if name not in keys:
            changes[name] = value
    return changes


def _by_key(model_class: Any, key: Any) -> list[Any]:
    columns = _mapper(model_class).primary_key
    if len(columns) != 1:
        raise TypeError(f"{model_class.__name__} has no single-column primary key")
    attribute = getattr(model_class, _mapper(model_class).get_property_by_column(columns[0]).key)
    return [attribute == _coerce(attribute, key), *_tenant_criteria(model_class)]


class DataService:
    """Creates and updates rows; commits only when ``auto_commit`` says so."""

    @classmethod
    async def create(cls, db: AsyncSession, *, model_class: Any, create_model: Any,
                     response_class: Any = None, auto_commit: bool = True) -> Any:
        """Add a row built from ``create_model`` (a model or a dict).

        Without ``auto_commit`` the row is flushed (so constraint errors surface here) and the
        transaction is left to the caller.
        """
        data = _as_dict(create_model, changed_only=False)
        try:
            row = model_class.model_validate({key: value for key, value in data.items()
                                              if key in _mapper(model_class).column_attrs})
        except ValidationError as exc:
            problems = exc.errors(include_input=False, include_url=False)
            fields = [".".join(str(part) for part in problem["loc"]) for problem in problems]
            raise ValidError(errors=[{"field": field, "message": problem["msg"]}
                                     for field, problem in zip(fields, problems, strict=True)],
                             fields=fields) from exc
        if TENANT_COLUMN in _mapper(model_class).column_attrs and getattr(row, TENANT_COLUMN) is None:
            tenant = getattr(model_class, TENANT_COLUMN)
            setattr(row, TENANT_COLUMN, _coerce(tenant, TenantManager.get_tenant_id()))
        db.add(row)
        if auto_commit:
            await db.commit()
            await db.refresh(row)
        else:
            await db.flush()
        return _shape(row, model_class, response_class)

    @classmethod
    async def update(cls, db: AsyncSession, key: Any, *, model_class: Any, update_model: Any,
                     response_class: Any = None, auto_commit: bool = True) -> Any:
        """Change the row with primary key ``key`` through the ORM.

        ``update_model`` is a dict, a model with the fields to change (those set on it), or the
        row object itself after changing it. Returns the updated row (shaped by
        ``response_class``), or None when no such row exists.
        """
        row = await _first_entity(db, select(model_class).where(*_by_key(model_class, key)))
        if row is None:
            return None
        if update_model is not row:
            if isinstance(update_model, model_class):
                # Another instance of the table: every column counts, as on a loaded row.
                data = {prop.key: getattr(update_model, prop.key) for prop in _mapper(model_class).column_attrs}
            else:
                data = _as_dict(update_model, changed_only=True)
            for name, value in _changes(model_class, data).items():
                setattr(row, name, value)
        db.add(row)
        if auto_commit:
            await db.commit()
            await db.refresh(row)
        else:
            await db.flush()
        return _shape(row, model_class, response_class)

    @classmethod
    async def db_update(cls, db: AsyncSession, key: Any, *, model_class: Any, update_model: Any,
                        response_class: Any = None, auto_commit: bool = False) -> Any:
        """Change columns of the row with primary key ``key`` with one UPDATE statement.

        ``update_model`` is a dict of column values (or a model: the fields set on it). The
        change stays in the open transaction unless ``auto_commit``. Returns the row as stored
        afterwards, or None when no row was updated.
        """
        changes = _changes(model_class, _as_dict(update_model, changed_only=True))
        if not changes:
            raise ValidError("没有需要更新的字段")
        criteria = _by_key(model_class, key)
        statement = (sa_update(model_class).where(*criteria).values(changes)
                     .execution_options(synchronize_session=False))
        result = await _result(db, statement)
        if not result.rowcount:
            return None
        if auto_commit:
            await db.commit()
        # Read back, replacing whatever the session still holds for this row.
        fresh = select(model_class).where(*criteria).execution_options(populate_existing=True)
        row = await _first_entity(db, fresh)
        return None if row is None else _shape(row, model_class, response_class)
