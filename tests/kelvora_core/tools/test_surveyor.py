"""Schema synchronisation against real databases: SQLite (no schemas) and PostgreSQL."""

import asyncio
import uuid

import pytest
import sqlalchemy as sa
from sqlalchemy.exc import OperationalError
from sqlalchemy.ext.asyncio import create_async_engine

from kelvora_core.engine.database_engine import DatabaseEngine, UnknownDatabaseError
from kelvora_core.tools import surveyor
from kelvora_core.tools.surveyor import Surveyor

from _database import configure

LOGGED = surveyor
ALL_PRESENT = "所有表已存在，跳过创建"
ALL_CREATED = "所有表已创建完成"


@pytest.fixture
async def sqlite_url(tmp_path, saved_config):
    url = f"sqlite+aiosqlite:///{tmp_path / 'main.db'}"
    configure(Main=url)
    yield url
    await DatabaseEngine().async_close()


@pytest.fixture
async def pg(postgres_url, saved_config):
    """PostgreSQL as database "Pg"; every schema a test names through `pg.schema()` is dropped after."""
    configure(Pg=postgres_url)
    admin = create_async_engine(postgres_url)

    class Pg:
        schemas = []

        def schema(self, name=None, prefix="s_"):
            name = name or prefix + uuid.uuid4().hex[:10]
            self.schemas.append(name)
            return name

        async def run(self, fn):
            async with admin.connect() as conn:
                return await conn.run_sync(fn)

        async def schema_exists(self, name):
            return name in await self.run(lambda c: sa.inspect(c).get_schema_names())

        async def tables(self, schema):
            return set(await self.run(lambda c: sa.inspect(c).get_table_names(schema=schema)))

    yield Pg()
    await DatabaseEngine().async_close()
    async with admin.begin() as conn:
        for name in Pg.schemas:
            quoted = conn.dialect.identifier_preparer.quote_identifier(name)
            await conn.exec_driver_sql(f"DROP SCHEMA IF EXISTS {quoted} CASCADE")
    await admin.dispose()


def shop(schema=None, other_schema=None):
    """customer <- orders (foreign key), a view-named table, and one view key elsewhere."""
    md = sa.MetaData()
    customer = sa.Table("customer", md, sa.Column("id", sa.Integer, primary_key=True),
                        sa.Column("name", sa.String(40), unique=True), schema=other_schema)
    sa.Table("orders", md, sa.Column("id", sa.Integer, primary_key=True),
             sa.Column("customer_id", sa.ForeignKey(customer.c.id)),
             sa.Index("ix_orders_customer", "customer_id"), schema=schema)
    sa.Table("v_totals", md, sa.Column("id", sa.Integer), schema=schema)
    return md


def record_sql(engine_name):
    statements = []
    sync = DatabaseEngine().get_async_engine(engine_name).sync_engine
    sa.event.listen(sync, "before_cursor_execute",
                    lambda conn, cursor, statement, *rest: statements.append(statement))
    return statements


def ddl(statements):
    return [s for s in statements if s.lstrip().upper().startswith(("CREATE", "DROP", "ALTER"))]


async def sqlite_tables(url):
    engine = create_async_engine(url)
    try:
        async with engine.connect() as conn:
            return await conn.run_sync(
                lambda c: {t: sa.inspect(c).get_foreign_keys(t) for t in sa.inspect(c).get_table_names()})
    finally:
        await engine.dispose()


async def test_metadata_without_tables_comes_back_untouched(log):
    empty = sa.MetaData()
    # The name is not even configured: the database is never asked for.
    assert await Surveyor.metadata_to_database(empty, "nowhere") is empty
    assert log.lines == []


class TestSqlite:
    async def test_missing_tables_are_created_in_dependency_order(self, sqlite_url, log):
        statements = record_sql("Main")
        # No schemas here: customer leaves "ignored" and the foreign key to it follows.
        target = await Surveyor.metadata_to_database(shop(other_schema="ignored"), "Main")
        assert isinstance(target, sa.MetaData) and list(target.tables) == ["customer", "orders"]
        assert all(t.schema is None for t in target.tables.values())
        created = [s.split("(")[0].split()[-1] for s in ddl(statements) if "TABLE" in s]
        assert created == ["customer", "orders"]
        tables = await sqlite_tables(sqlite_url)
        assert set(tables) == {"customer", "orders"}
        assert [fk["referred_table"] for fk in tables["orders"]] == ["customer"]
        assert log.lines == [("debug", ALL_CREATED)]

        # A second run (names ignore case) finds everything and changes nothing ...
        statements.clear()
        log.lines.clear()
        md = shop()
        target = await Surveyor.metadata_to_database(md, "main")
        assert list(target.tables) == ["customer", "orders"] and ddl(statements) == []
        assert log.lines == [("debug", ALL_PRESENT)]
        # ... and when only some are missing, creates those.
        sa.Table("extra", md, sa.Column("id", sa.Integer, primary_key=True))
        await Surveyor.metadata_to_database(md, "Main")
        assert ddl(statements) and all("extra" in s for s in ddl(statements))
        assert set(await sqlite_tables(sqlite_url)) == {"customer", "orders", "extra"}

    async def test_only_views_is_nothing_to_do(self, sqlite_url, log):
        md = sa.MetaData()
        sa.Table("v_report", md, sa.Column("id", sa.Integer))
        target = await Surveyor.metadata_to_database(md, "Main")
        assert target is not md and len(target.tables) == 0
        assert log.lines == [("debug", ALL_PRESENT)]

    async def test_auto_create_false_leaves_the_database_alone(self, sqlite_url, log):
        statements = record_sql("Main")
        target = await Surveyor.metadata_to_database(shop(), "Main", auto_create=False)
        assert list(target.tables) == ["customer", "orders"]
        assert ddl(statements) == [] and await sqlite_tables(sqlite_url) == {} and log.lines == []

    async def test_read_only_database_gives_warnings_and_none(self, sqlite_url, tmp_path, log):
        path = tmp_path / "ro.db"
        await sqlite_tables(f"sqlite+aiosqlite:///{path}")  # the file must exist for mode=ro
        configure(Ro=f"sqlite+aiosqlite:///file:{path}?mode=ro&uri=true")
        assert await Surveyor.metadata_to_database(shop(), "Ro") is None
        assert DatabaseEngine().get_async_engine("Ro").sync_engine.pool.checkedout() == 0
        assert log.lines[0] == ("warning", "创建 Ro 数据库时，发生异常")
        assert len(log.lines) == 2 and "readonly database" in log.lines[1][1]

    @pytest.mark.parametrize("error, lines", [
        (OperationalError("CREATE TABLE", None, Exception("x")), None),
        (ValueError("bad column"), ["bad column"]),
    ], ids=["operational", "other"])
    async def test_creation_failures_are_logged_not_raised(self, sqlite_url, log, monkeypatch, error, lines):
        if lines is None:  # an OperationalError's args go out one warning each, unchanged
            error.args = ("first", ("second", 2))
            lines = ["first", ("second", 2)]

        def failing(sync_conn, metadata):
            raise error

        monkeypatch.setattr(surveyor, "_create_all", failing)
        assert await Surveyor.metadata_to_database(shop(), "Main") is None
        assert log.lines == [("warning", "创建 Main 数据库时，发生异常")] + [("warning", x) for x in lines]
        assert await sqlite_tables(sqlite_url) == {}

    async def test_failures_before_creation_propagate_and_close(self, sqlite_url, log, monkeypatch):
        with pytest.raises(UnknownDatabaseError, match="nope"):
            await Surveyor.metadata_to_database(shop(), "nope")

        def broken(sync_conn, schema):
            raise RuntimeError("catalogue unreadable")

        monkeypatch.setattr(surveyor, "_table_names", broken)
        with pytest.raises(RuntimeError, match="catalogue unreadable"):
            await Surveyor.metadata_to_database(shop(), "Main")
        assert DatabaseEngine().get_async_engine("Main").sync_engine.pool.checkedout() == 0
        assert log.lines == []


class TestPostgres:
    async def test_schema_from_the_last_table_when_the_first_has_none(self, pg, log):
        schema = pg.schema()
        md = shop(schema=schema)  # customer (first in dependency order) has no schema
        sa.Table("v_elsewhere", md, sa.Column("id", sa.Integer), schema="public")
        target = await Surveyor.metadata_to_database(md, "Pg")
        # Every table moved into the schema; only keys "<schema>.v_..." count as views.
        assert sorted(target.tables) == [f"{schema}.customer", f"{schema}.orders", f"{schema}.v_elsewhere"]
        assert await pg.tables(schema) == {"customer", "orders", "v_elsewhere"}
        (fk,) = await pg.run(lambda c: sa.inspect(c).get_foreign_keys("orders", schema=schema))
        assert (fk["referred_schema"], fk["referred_table"]) == (schema, "customer")  # followed its table
        assert log.lines == [("debug", f"创建 schema: {schema}"), ("debug", ALL_CREATED)]
        log.lines.clear()
        await Surveyor.metadata_to_database(md, "Pg")
        assert log.lines == [("debug", ALL_PRESENT)]

    async def test_schema_from_the_first_table(self, pg, log):
        # Keys break ties in dependency order: "a_..." tables come first.
        first, other = pg.schema(prefix="a_"), pg.schema(prefix="b_")
        md = shop(schema=other, other_schema=first)
        target = await Surveyor.metadata_to_database(md, "Pg")
        # "<other>.v_totals" is not a view of the chosen schema: copied like a table.
        assert sorted(target.tables) == [f"{first}.customer", f"{first}.orders", f"{first}.v_totals"]
        assert await pg.tables(first) == {"customer", "orders", "v_totals"}
        assert not await pg.schema_exists(other)

    async def test_single_table_without_schema_stays_in_the_default(self, pg, log):
        name = "t_" + uuid.uuid4().hex[:10]
        md = sa.MetaData()
        sa.Table(name, md, sa.Column("id", sa.Integer, primary_key=True))
        try:
            target = await Surveyor.metadata_to_database(md, "Pg")
            assert list(target.tables) == [name] and name in await pg.tables(None)
            assert log.lines == [("debug", ALL_CREATED)]
        finally:
            await pg.run(lambda c: (c.exec_driver_sql(f'DROP TABLE "{name}"'), c.commit()))

    async def test_existing_schema_is_not_created_again(self, pg, log):
        schema = pg.schema()
        await pg.run(lambda c: (c.exec_driver_sql(f'CREATE SCHEMA "{schema}"'), c.commit()))
        await Surveyor.metadata_to_database(shop(schema=schema, other_schema=schema), "Pg")
        assert await pg.tables(schema) == {"customer", "orders"}
        assert log.lines == [("debug", ALL_CREATED)]

    async def test_auto_create_false(self, pg, log):
        schema = pg.schema()
        target = await Surveyor.metadata_to_database(shop(schema=schema, other_schema=schema), "Pg", False)
        assert sorted(target.tables) == [f"{schema}.customer", f"{schema}.orders"]
        assert not await pg.schema_exists(schema) and log.lines == []

    @pytest.mark.parametrize("name", ['we"ird', 'x"; CREATE TABLE public.injected (id int); --', "a:b\\:c"])
    async def test_schema_names_are_quoted_as_identifiers(self, pg, log, name):
        schema = pg.schema(name)
        target = await Surveyor.metadata_to_database(shop(schema=schema, other_schema=schema), "Pg")
        assert sorted(target.tables) == [f"{schema}.customer", f"{schema}.orders"]
        assert await pg.schema_exists(schema) and await pg.tables(schema) == {"customer", "orders"}
        assert "injected" not in await pg.tables("public")
        assert log.lines[0] == ("debug", f"创建 schema: {schema}")

    async def test_failed_creation_commits_nothing(self, pg, log):
        schema = pg.schema()
        md = sa.MetaData()
        # The default calls a function that does not exist: CREATE TABLE fails after CREATE SCHEMA ran.
        sa.Table("orphan", md, sa.Column("id", sa.Integer, primary_key=True),
                 sa.Column("x", sa.Integer, server_default=sa.text("no_such_function()")), schema=schema)
        assert await Surveyor.metadata_to_database(md, "Pg") is None
        assert log.lines[:2] == [("debug", f"创建 schema: {schema}"), ("warning", "创建 Pg 数据库时，发生异常")]
        assert "no_such_function" in log.lines[2][1] and len(log.lines) == 3
        assert not await pg.schema_exists(schema)  # rolled back with the rest
        assert DatabaseEngine().get_async_engine("Pg").sync_engine.pool.checkedout() == 0

    async def test_cancellation_during_creation_propagates(self, pg, log, monkeypatch):
        schema = pg.schema()
        monkeypatch.setattr(surveyor, "text", lambda sql: sa.text("SELECT pg_sleep(5)"))
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.3):
                await Surveyor.metadata_to_database(shop(schema=schema, other_schema=schema), "Pg")
        assert log.lines == [] and not await pg.schema_exists(schema)
        assert DatabaseEngine().get_async_engine("Pg").sync_engine.pool.checkedout() == 0
