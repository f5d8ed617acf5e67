"""Generic reads over SQLModel tables, described by data rather than written as SQL.

Every name in a request (field, relation, operator) is looked up among the model's mapped
columns and relationships, and every value becomes a bound parameter converted to the
column's Python type: nothing a caller sends is ever spliced into SQL text. Unknown names,
operators and values that do not fit their column raise :class:`QueryError` (an HTTP 400
through the exception handlers).

When the tenant context asks for it (``TenantManager.is_enabled()``), every table with a
``tenant_id`` column is read for the current tenant only.

Requests are bounded: at most ``AppConfig.paging.max_size`` rows a page (``default_size`` when a
request names no size), at most ``MAX_LIST_VALUES`` values in one "in" list, whole numbers
within the column's integer type. Texts compare byte for byte on every backend: MySQL and
MariaDB collations would otherwise match "REGION" to "region" and "a " to "a".
"""

from __future__ import annotations

import re
import uuid
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field as dataclass_field
from datetime import date, datetime, time
from decimal import Decimal, InvalidOperation
from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field
from sqlalchemy import func, inspect as sa_inspect, select
from sqlalchemy.exc import NoInspectionAvailable
from sqlalchemy.ext.compiler import compiles
from sqlalchemy.orm import Mapper, RelationshipProperty
from sqlalchemy.sql.elements import ColumnElement
from sqlalchemy.sql.visitors import InternalTraversal
from sqlalchemy.types import BigInteger, Boolean, Integer, SmallInteger, String, TypeDecorator
from sqlmodel import select as select_entity
from sqlmodel.ext.asyncio.session import AsyncSession

from ..config.app_config import AppConfig
from ..exception.service_exception import QueryError
from ..schemas.paging import MAX_PAGE, Page
from ..tools.tenant_manager import TenantManager

__all__ = ["MAX_LIST_VALUES", "OPERATORS", "QueryFilter", "QueryRequest", "QueryService"]

TENANT_COLUMN = "tenant_id"
CHILDREN = "children"
#: Column that links a row of a tree to its parent row; top-level rows hold -1.
TREE_PARENT = "enum_pid"
#: Column of the parent row that ``TREE_PARENT`` names (the primary key when absent).
TREE_KEY = "enum_value"
#: Rows come in this column's order when the table has it, then by primary key.
SORT_COLUMN = "sort_order"

# Enough for SQLite's and PostgreSQL's limits on bound parameters per statement.
_IN_CHUNK = 500
#: Values one "in" / "not in" condition may list; far below every backend's parameter limit.
MAX_LIST_VALUES = 1000

# Labels of the columns the service selects for itself; a field alias (a \w+ name) never
# looks like these.
_OWNER, _KEY, _PARENT = "#owner", "#key", "#parent"

_FIELD = re.compile(r"(?:(\w+)\.)?(\w+)(?:\s+as\s+(\w+))?", re.IGNORECASE)

OPERATORS = {
    "=": lambda column, value: column == value,
    "!=": lambda column, value: column != value,
    ">": lambda column, value: column > value,
    ">=": lambda column, value: column >= value,
    "<": lambda column, value: column < value,
    "<=": lambda column, value: column <= value,
    "in": lambda column, value: column.in_(value),
    "not in": lambda column, value: column.not_in(value),
    "like": lambda column, value: column.like(value),
    "is null": lambda column, value: column.is_(None),
    "is not null": lambda column, value: column.is_not(None),
}
_LIST_OPERATORS = frozenset({"in", "not in"})
_NO_VALUE_OPERATORS = frozenset({"is null", "is not null"})


class QueryFilter(BaseModel):
    """One condition: ``field`` (``column`` or ``Relation.column``), ``op`` and ``val``."""

    model_config = ConfigDict(extra="forbid")

    field: str
    op: str = "="
    val: Any = None


class QueryRequest(BaseModel):
    """What to read.

    - ``fields``: texts of comma-separated items ``column [as alias]``, where ``column`` may be
      qualified with a relation (``EnumValues.enum_label as label``); none means every column;
    - ``filter``: conditions on the rows (a relation-qualified field keeps the rows that have
      at least one such related row);
    - ``filter_relation``: conditions on the related rows that are attached;
    - ``relation``: relationships of the model to attach;
    - ``format``: "list" (rows, related rows as a list under the relation's name) or "tree"
      (nodes, related rows nested by their parent column under "children");
    - ``size`` and ``page``: at most ``size`` rows, page ``page`` of them; without ``size``,
      ``AppConfig.paging.default_size``, and never more than ``AppConfig.paging.max_size``.

    Rows come in ``sort_order`` order when the table has that column, then by primary key;
    related rows in their relationship's ``order_by`` when it declares one.
    """

    model_config = ConfigDict(extra="forbid")

    fields: list[str] | None = None
    filter: list[QueryFilter] | None = None
    filter_relation: list[QueryFilter] | None = None
    relation: list[str] | None = None
    format: Literal["list", "tree"] = "list"
    size: int | None = Field(default=None, ge=1)
    page: int = Field(default=1, ge=1, le=MAX_PAGE)


# --- model introspection -------------------------------------------------------------------

def _mapper(model_class: Any) -> Mapper:
    try:
        return sa_inspect(model_class)
    except NoInspectionAvailable:
        raise TypeError(f"model_class must be a mapped table class, got {model_class!r}") from None


def _column(model_class: Any, name: str) -> Any:
    prop = _mapper(model_class).column_attrs.get(name)
    if prop is None:
        raise QueryError(f"未知的查询字段: {name}", fields=name)
    return getattr(model_class, prop.key)


def _primary_key(model_class: Any) -> Any:
    columns = _mapper(model_class).primary_key
    if len(columns) != 1:
        raise QueryError(f"{model_class.__name__} 没有单列主键，无法关联查询")
    return _attribute_of(model_class, columns[0])


def _attribute_of(model_class: Any, column: Any) -> Any:
    prop = _mapper(model_class).get_property_by_column(column)
    return getattr(model_class, prop.key)


def _all_columns(model_class: Any) -> list[tuple[str, Any]]:
    return [(prop.key, getattr(model_class, prop.key)) for prop in _mapper(model_class).column_attrs]


def _relationship(model_class: Any, name: str) -> RelationshipProperty:
    """A relationship named by its attribute, its target class or its target table."""
    relationships = _mapper(model_class).relationships
    if name in relationships:
        return relationships[name]
    for prop in relationships:
        target = prop.mapper
        if name in (target.class_.__name__, getattr(target.local_table, "name", None)):
            return prop
    raise QueryError(f"未知的关联: {name}", fields=name)


def _is_own_name(model_class: Any, name: str) -> bool:
    return name in (model_class.__name__, getattr(_mapper(model_class).local_table, "name", None))


# --- values --------------------------------------------------------------------------------

_TRUE, _FALSE = frozenset({"true", "1", "yes", "on"}), frozenset({"false", "0", "no", "off"})


def _convert(python_type: type, value: Any) -> Any:
    if python_type is bool:
        if isinstance(value, str) and value.strip().lower() in _TRUE | _FALSE:
            return value.strip().lower() in _TRUE
        if isinstance(value, int) and value in (0, 1):
            return bool(value)
        raise ValueError
    if python_type is int:
        if isinstance(value, bool):
            raise ValueError
        if isinstance(value, str):
            return int(value.strip())
        if isinstance(value, (float, Decimal)) and value == int(value):
            return int(value)
        raise ValueError
    if python_type in (float, Decimal):
        if isinstance(value, bool):
            raise ValueError
        return python_type(value.strip() if isinstance(value, str) else value)
    if python_type is str:
        if isinstance(value, (int, float, Decimal, uuid.UUID)) and not isinstance(value, bool):
            return str(value)
        raise ValueError
    if python_type in (datetime, date, time) and isinstance(value, str):
        return python_type.fromisoformat(value.strip())
    if python_type is uuid.UUID and isinstance(value, str):
        return uuid.UUID(value.strip())
    raise ValueError


def _integer_bits(sa_type: Any) -> int | None:
    if isinstance(sa_type, BigInteger):
        return 64
    if isinstance(sa_type, SmallInteger):
        return 16
    if isinstance(sa_type, Integer):
        return 32  # PostgreSQL's INTEGER; the strictest backend decides for all
    return None


def _coerce(attribute: Any, value: Any) -> Any:
    """``value`` as the column's Python type, so that strict drivers (asyncpg) accept it and a
    text such as "7" compares with an integer column; a number the column cannot hold is
    refused here rather than by the driver."""
    if value is None:
        return None
    sa_type = attribute.type
    if isinstance(sa_type, TypeDecorator):
        sa_type = sa_type.impl_instance
    try:
        python_type = sa_type.python_type
    except NotImplementedError:
        return value
    try:
        if isinstance(value, python_type) and not (isinstance(value, bool) and python_type is not bool):
            result = value
        else:
            result = _convert(python_type, value)
        bits = _integer_bits(sa_type)
        if bits is not None and not -(2 ** (bits - 1)) <= result < 2 ** (bits - 1):
            raise ValueError
        return result
    except (ValueError, TypeError, ArithmeticError, InvalidOperation):
        name = attribute.key
        shown = repr(value) if len(repr(value)) <= 60 else repr(value)[:57] + "..."
        raise QueryError(f"字段 {name} 的值不正确: {shown}", fields=name) from None


class _ExactText(ColumnElement[bool]):
    """A text comparison that is exact on every backend.

    ``plain`` is the comparison as written; ``exact`` compares the bytes. MySQL and MariaDB
    compare texts by collation (case, accents and trailing spaces ignored), so there both must
    hold (``plain`` keeps an index usable); elsewhere ``plain`` already is exact.
    """

    inherit_cache = True
    type = Boolean()
    _traverse_internals = [("plain", InternalTraversal.dp_clauseelement),
                           ("exact", InternalTraversal.dp_clauseelement),
                           ("negated", InternalTraversal.dp_boolean)]

    def __init__(self, plain: ColumnElement, exact: ColumnElement, negated: bool) -> None:
        self.plain, self.exact, self.negated = plain, exact, negated


@compiles(_ExactText)
def _compile_exact_text(element: _ExactText, compiler: Any, **kw: Any) -> str:
    return compiler.process(element.plain, **kw)


@compiles(_ExactText, "mysql")
@compiles(_ExactText, "mariadb")
def _compile_exact_text_mysql(element: _ExactText, compiler: Any, **kw: Any) -> str:
    exact = compiler.process(element.exact, **kw)
    if element.negated:  # "!=" and "not in": a byte difference is a difference
        return exact
    return f"({compiler.process(element.plain, **kw)} AND {exact})"


_EXACT_TEXT_OPERATORS = frozenset({"=", "!=", "in", "not in"})


def _is_text(attribute: Any) -> bool:
    sa_type = attribute.type
    if isinstance(sa_type, TypeDecorator):
        sa_type = sa_type.impl_instance
    return isinstance(sa_type, String)


def _compare(attribute: Any, key: str, value: Any) -> ColumnElement:
    plain = OPERATORS[key](attribute, value)
    if key not in _EXACT_TEXT_OPERATORS or not _is_text(attribute):
        return plain
    return _ExactText(plain, OPERATORS[key](func.binary(attribute), value), key in ("!=", "not in"))


def _comparison(attribute: Any, op: Any, value: Any) -> ColumnElement:
    if not isinstance(op, str) or (key := " ".join(op.split()).lower()) not in OPERATORS:
        raise QueryError(f"不支持的查询操作符: {op}", fields=attribute.key)
    if key in _NO_VALUE_OPERATORS:
        value = None
    elif key in _LIST_OPERATORS:
        items = value if isinstance(value, (list, tuple, set, frozenset)) else [value]
        if len(items) > MAX_LIST_VALUES:
            raise QueryError(f"{key} 最多 {MAX_LIST_VALUES} 个值，收到 {len(items)} 个", fields=attribute.key)
        value = [_coerce(attribute, item) for item in items]
    elif key == "like":
        if not isinstance(value, str):
            raise QueryError(f"like 的值必须是文本: {value!r}", fields=attribute.key)
    else:
        value = _coerce(attribute, value)
    return _compare(attribute, key, value)


def _tenant_criteria(model_class: Any) -> list[ColumnElement]:
    if not TenantManager.is_enabled():
        return []
    prop = _mapper(model_class).column_attrs.get(TENANT_COLUMN)
    if prop is None:
        return []
    attribute = getattr(model_class, prop.key)
    return [_compare(attribute, "=", _coerce(attribute, TenantManager.get_tenant_id()))]


def _text_condition(model_class: Any, condition: str) -> ColumnElement:
    """``"column = value"``: the first "=" separates them; one blank after it belongs to the
    separator, everything after that (blanks, quotes, "=" included) is the value."""
    name, separator, value = condition.partition("=")
    name = name.strip()
    if not separator or not name:
        raise QueryError(f"查询条件格式不正确，应为「字段 = 值」: {condition!r}")
    if value.startswith(" "):
        value = value[1:]
    attribute = _column(model_class, name)
    return _compare(attribute, "=", _coerce(attribute, value))


async def _result(db: Any, statement: Any) -> Any:
    if isinstance(db, AsyncSession):
        return await db.exec(statement)
    return await db.execute(statement)


async def _first_entity(db: Any, statement: Any) -> Any:
    """First row object of a ``select(Model)``, from a SQLModel or a plain SQLAlchemy session."""
    result = await _result(db, statement)
    if not isinstance(db, AsyncSession):
        result = result.scalars()
    return result.first()


# --- query plans ---------------------------------------------------------------------------

@dataclass
class _Relation:
    name: str  # as the request spells it; the key of the related rows in "list" format
    prop: RelationshipProperty
    fields: list[tuple[str, Any]] | None = None
    filters: list[ColumnElement] = dataclass_field(default_factory=list)

    @property
    def target(self) -> Any:
        return self.prop.mapper.class_


def _parse_fields(texts: Sequence[str]) -> Iterable[tuple[str | None, str, str]]:
    for text in texts:
        for item in text.split(","):
            match = _FIELD.fullmatch(item.strip())
            if match is None:
                raise QueryError(f"查询字段格式不正确: {item.strip()!r}", fields=item.strip())
            owner, name, alias = match.groups()
            yield owner, name, alias or name


class _Plan:
    """A request checked against the model: columns, relations and conditions resolved."""

    def __init__(self, model_class: Any, request: QueryRequest) -> None:
        self.model = model_class
        self.request = request
        self.relations: dict[str, _Relation] = {}
        for name in request.relation or []:
            self._relation(name)
        self.fields = self._resolve_fields()
        self.filters = [self._filter(item) for item in request.filter or []]
        for item in request.filter_relation or []:
            self._relation_filter(item)
        if request.format == "tree" and len(self.relations) > 1:
            raise QueryError("树形查询最多包含一个关联")

    def _relation(self, name: str) -> _Relation:
        prop = _relationship(self.model, name)
        for relation in self.relations.values():
            if relation.prop is prop:
                return relation
        relation = self.relations[name] = _Relation(name, prop)
        return relation

    def _resolve_fields(self) -> list[tuple[str, Any]] | None:
        if not self.request.fields:
            return None
        own: list[tuple[str, Any]] = []
        for owner, name, alias in _parse_fields(self.request.fields):
            if owner is None or _is_own_name(self.model, owner):
                target, model = own, self.model
            else:
                relation = self._relation(owner)
                if relation.fields is None:
                    relation.fields = []
                target, model = relation.fields, relation.target
            if any(existing == alias for existing, _ in target):
                raise QueryError(f"重复的字段别名: {alias}", fields=alias)
            target.append((alias, _column(model, name)))
        return own

    def _split(self, name: str) -> tuple[str | None, str]:
        owner, dot, column = name.partition(".")
        return (owner, column) if dot else (None, name)

    def _filter(self, item: QueryFilter) -> ColumnElement:
        owner, name = self._split(item.field)
        if owner is None or _is_own_name(self.model, owner):
            return _comparison(_column(self.model, name), item.op, item.val)
        prop = _relationship(self.model, owner)
        related = prop.mapper.class_
        condition = _comparison(_column(related, name), item.op, item.val)
        attribute = getattr(self.model, prop.key)
        return attribute.any(condition) if prop.uselist else attribute.has(condition)

    def _relation_filter(self, item: QueryFilter) -> None:
        owner, name = self._split(item.field)
        if owner is None:
            if len(self.relations) != 1:
                raise QueryError(f"关联条件必须写明关联名称: {item.field}", fields=item.field)
            relation = next(iter(self.relations.values()))
        else:
            relation = self._relation(owner)
        relation.filters.append(_comparison(_column(relation.target, name), item.op, item.val))


def _chunks(values: list[Any], size: int = _IN_CHUNK) -> Iterable[list[Any]]:
    for start in range(0, len(values), size):
        yield values[start:start + size]


def _tree_columns(model_class: Any) -> tuple[Any, Any] | None:
    """Key and parent columns of a self-nesting table, or None when it does not nest.

    The parent column is ``enum_pid``; it holds the parent row's ``enum_value``, or its
    primary key when the table has no such column. A model may name other columns in
    ``__tree_parent__`` and ``__tree_key__``.
    """
    columns = _mapper(model_class).column_attrs
    parent = columns.get(getattr(model_class, "__tree_parent__", TREE_PARENT))
    if parent is None:
        return None
    key_name = getattr(model_class, "__tree_key__", TREE_KEY if TREE_KEY in columns else None)
    key = _primary_key(model_class) if key_name is None else _column(model_class, key_name)
    return key, getattr(model_class, parent.key)


def _order(model_class: Any) -> list[Any]:
    mapper = _mapper(model_class)
    sort = mapper.column_attrs.get(SORT_COLUMN)
    return ([getattr(model_class, sort.key)] if sort is not None else []) + list(mapper.primary_key)


def _nest(rows: Sequence[Mapping[str, Any]], aliases: Sequence[str]) -> list[dict[str, Any]]:
    """Nodes of ``rows`` nested under the row whose key their parent names; rows whose parent
    is absent (-1, or not among the rows) are the top level. A cycle is cut at its first row."""
    nodes = [{alias: row[alias] for alias in aliases} for row in rows]
    index: dict[str, int] = {}
    for position, row in enumerate(rows):
        index.setdefault(str(row[_KEY]), position)
    parents: list[int | None] = []
    for row in rows:
        parent = row[_PARENT]
        parents.append(None if parent is None else index.get(str(parent)))
    for position in range(len(rows)):
        seen, current = set(), parents[position]
        while current is not None and current not in seen:
            if current == position:
                parents[position] = None
                break
            seen.add(current)
            current = parents[current]
    roots: list[dict[str, Any]] = []
    for node, parent in zip(nodes, parents, strict=True):
        if parent is None:
            roots.append(node)
        else:
            nodes[parent].setdefault(CHILDREN, []).append(node)
    return roots


def _request(query_request: QueryRequest | Mapping[str, Any]) -> QueryRequest:
    return (query_request if isinstance(query_request, QueryRequest)
            else QueryRequest.model_validate(query_request))


def _page_size(request: QueryRequest) -> int:
    paging = AppConfig.paging
    size = paging.default_size if request.size is None else request.size
    if size > paging.max_size:
        raise QueryError(f"每页最多 {paging.max_size} 行，请求了 {size} 行", fields="size")
    return size


class QueryService:
    """Reads of rows by condition or by a :class:`QueryRequest`."""

    @classmethod
    async def query_columns_first(cls, db: AsyncSession, *, model_class: Any, condition: Any) -> Any:
        """The first row of ``model_class`` meeting ``condition``, or None.

        ``condition`` is a column expression (``AuthUser.username == name``), a text
        ``"column = value"`` (compared as a bound value of the column's type) or None (any row).
        """
        statement = select_entity(model_class)
        if isinstance(condition, str):
            statement = statement.where(_text_condition(model_class, condition))
        elif isinstance(condition, ColumnElement):
            statement = statement.where(condition)
        elif condition is not None:
            raise TypeError("condition must be a column expression or a text 'column = value', "
                            f"got {type(condition).__name__}")
        statement = statement.where(*_tenant_criteria(model_class))
        statement = statement.order_by(*_mapper(model_class).primary_key).limit(1)
        return await _first_entity(db, statement)

    @classmethod
    async def query(cls, db: AsyncSession, *, query_request: QueryRequest | Mapping[str, Any],
                    model_class: Any, response_class: Any = None) -> list[Any]:
        """Rows of ``model_class`` as ``query_request`` describes them, one page of them.

        "list": one item per row, shaped by ``response_class`` when given (else a dict).
        "tree": one dict per row, its related rows (or, without a relation, its child rows)
        nested under "children" by their ``enum_pid``.
        """
        request = _request(query_request)
        return await cls._rows(db, request, _Plan(model_class, request), _page_size(request), response_class)

    @classmethod
    async def query_page(cls, db: AsyncSession, *, query_request: QueryRequest | Mapping[str, Any],
                         model_class: Any, response_class: Any = None) -> Page:
        """:meth:`query`'s rows as a :class:`Page`, with the number of rows of all pages."""
        request = _request(query_request)
        plan = _Plan(model_class, request)
        size = _page_size(request)
        items, fetched = await cls._fetch(db, request, plan, size, response_class)
        offset = (request.page - 1) * size
        if 0 < fetched < size or (fetched == 0 and offset == 0):
            total = offset + fetched  # the last page, read whole: no count needed
        else:
            counted = (select(func.count()).select_from(model_class)
                       .where(*plan.filters, *_tenant_criteria(model_class)))
            total = (await _result(db, counted)).scalar_one()
        return Page[Any](items=items, total=total, page=request.page, size=size)

    @classmethod
    async def _rows(cls, db: Any, request: QueryRequest, plan: _Plan, size: int, response_class: Any) -> list[Any]:
        return (await cls._fetch(db, request, plan, size, response_class))[0]

    @classmethod
    async def _fetch(cls, db: Any, request: QueryRequest, plan: _Plan, size: int,
                     response_class: Any) -> tuple[list[Any], int]:
        """The items of one page, and how many rows of the table it read (a tree nests some)."""
        model_class = plan.model
        tree = request.format == "tree"
        own = plan.fields if plan.fields is not None else _all_columns(model_class)
        aliases = [alias for alias, _ in own]

        columns = [attribute.label(alias) for alias, attribute in own]
        self_tree = _tree_columns(model_class) if tree and not plan.relations else None
        if plan.relations:
            columns.append(_primary_key(model_class).label(_OWNER))
        if self_tree:
            columns += [self_tree[0].label(_KEY), self_tree[1].label(_PARENT)]
        statement = (select(*columns).select_from(model_class)
                     .where(*plan.filters, *_tenant_criteria(model_class))
                     .order_by(*_order(model_class))
                     .limit(size).offset((request.page - 1) * size))
        rows = (await _result(db, statement)).mappings().all()

        if self_tree:
            return _nest(rows, aliases), len(rows)
        items = [{alias: row[alias] for alias in aliases} for row in rows]
        for relation in plan.relations.values():
            related = await cls._related(db, model_class, relation, [row[_OWNER] for row in rows], tree)
            for item, row in zip(items, rows, strict=True):
                item[CHILDREN if tree else relation.name] = related.get(row[_OWNER], [])
        if tree or response_class is None:
            return items, len(rows)
        return [response_class.model_validate(item) for item in items], len(rows)

    @classmethod
    async def _related(cls, db: Any, model_class: Any, relation: _Relation, owners: list[Any],
                       tree: bool) -> dict[Any, list[dict[str, Any]]]:
        """Related rows of each owner key: as rows ("list") or nested by parent ("tree")."""
        target = relation.target
        fields = relation.fields if relation.fields is not None else _all_columns(target)
        aliases = [alias for alias, _ in fields]
        owner_key = _primary_key(model_class)
        columns = [owner_key.label(_OWNER)] + [attribute.label(alias) for alias, attribute in fields]
        nesting = _tree_columns(target) if tree else None
        if nesting:
            columns += [nesting[0].label(_KEY), nesting[1].label(_PARENT)]
        # The relationship's own order when it declares one.
        order = list(relation.prop.order_by or []) or _order(target)
        grouped: dict[Any, list[Mapping[str, Any]]] = {}
        for chunk in _chunks(list(dict.fromkeys(owners))):
            statement = (select(*columns).select_from(model_class)
                         .join(getattr(model_class, relation.prop.key))
                         .where(owner_key.in_(chunk), *relation.filters, *_tenant_criteria(target))
                         .order_by(owner_key, *order))
            for row in (await _result(db, statement)).mappings():
                grouped.setdefault(row[_OWNER], []).append(row)
        if nesting:
            return {owner: _nest(rows, aliases) for owner, rows in grouped.items()}
        return {owner: [{alias: row[alias] for alias in aliases} for row in rows]
                for owner, rows in grouped.items()}
