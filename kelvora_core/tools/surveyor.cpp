// Start-up schema synchronisation: copy a registry's tables into the one schema
// of their database and create the schema and tables that are missing there.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace surveyor {

bool is_empty_text(nb::handle value) {
    return value.is_none() || (PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) == 0);
}

bool starts_with(nb::handle text, nb::handle prefix) {
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) raise_pending();
    return r == 1;
}

// The CREATE SCHEMA statement with the name as a quoted identifier: embedded
// double quotes are doubled so the name cannot end the identifier early, and
// colons are escaped because text() would read ":word" as a bind parameter.
nb::object create_schema_sql(nb::handle schema_name) {
    nb::object name = str_of(schema_name).attr("replace"_n)("\""_n, "\"\""_n).attr("replace"_n)(":"_n, "\\:"_n);
    return "CREATE SCHEMA \"{}\";"_n.format(name);
}

// ---- run inside conn.run_sync, on the synchronous connection -------------------

// Table names of `schema` (None: the default schema), qualified with the schema
// so they compare with MetaData keys.
constexpr auto _table_names_decl =
    function("_table_names", {{.name = "sync_conn"}, {.name = "schema"}},
             {.doc = "Existing table names, schema-qualified when a schema is given (for run_sync)."});
nb::object _table_names(Call<_table_names_decl> a) {
    auto [conn, schema] = a.params();
    nb::object get = conn.attr("dialect"_n).attr("get_table_names"_n);
    nb::set existing;
    if (schema.is_none()) {
        for (nb::handle name : get(conn)) existing.add(name);
    } else {
        for (nb::handle name : get(conn, "schema"_a = schema)) existing.add("{}.{}"_n.format(schema, name));
    }
    return existing;
}

constexpr auto _schema_names_decl =
    function("_schema_names", {{.name = "sync_conn"}}, {.doc = "The database's schema names (for run_sync)."});
nb::object _schema_names(Call<_schema_names_decl> a) {
    return a.global("inspect"_n)(a.get<"sync_conn">()).attr("get_schema_names"_n)();
}

constexpr auto _create_all_decl =
    function("_create_all", {{.name = "sync_conn"}, {.name = "metadata"}},
             {.doc = "Create the metadata's missing tables in dependency order (for run_sync)."});
nb::object _create_all(Call<_create_all_decl> a) {
    auto [sync_conn, metadata] = a.params();
    return metadata.attr("create_all"_n)("bind"_a = sync_conn, "checkfirst"_a = true);
}

// referred_schema_fn of to_metadata (bound by partial to the tables being
// copied): a foreign key to one of them follows it into the chosen schema. Left
// alone, a reference stays in the old schema and names a table that is never
// created there, so create_all fails.
constexpr auto _referred_schema_decl = function(
    "_referred_schema",
    {{.name = "copied"}, {.name = "table"}, {.name = "to_schema"}, {.name = "constraint"}, {.name = "referred_schema"}},
    {.doc = "Schema for a copied foreign key: the chosen one when it refers to a copied table."});
nb::object _referred_schema(Call<_referred_schema_decl> a) {
    nb::handle copied = a.get<"copied">(), to_schema = a.get<"to_schema">(), constraint = a.get<"constraint">();
    PyObject* referred = PyObject_GetAttr(constraint.ptr(), "referred_table"_n.ptr());
    if (!referred) {
        // An unresolvable reference is create_all's to report; keep it as it is.
        if (!PyErr_ExceptionMatches(a.global("NoReferenceError"_n).ptr())) raise_pending();
        PyErr_Clear();
        return nb::none();
    }
    nb::object target = nb::steal(referred);
    int moved = PySequence_Contains(copied.ptr(), target.ptr());
    if (moved < 0) raise_pending();
    if (!moved) return nb::none();
    return to_schema.is_none() ? a.global("BLANK_SCHEMA"_n) : nb::borrow(to_schema);
}

// ---- the coroutine -------------------------------------------------------------

// The schema the registry's tables go to: that of the first table in dependency
// order, else of the last; none where the database has no schemas. An empty
// schema text means no schema, like None.
nb::object chosen_schema(nb::handle source, bool supports_schema) {
    if (!supports_schema) return nb::none();
    nb::object ordered = source.attr("sorted_tables"_n);
    Py_ssize_t count = nb::len(ordered);
    nb::object schema = nb::none();
    if (count > 0) schema = ordered[0].attr("schema"_n);
    if (is_empty_text(schema) && count >= 2) schema = ordered[count - 1].attr("schema"_n);
    return is_empty_text(schema) ? nb::none() : schema;
}

// A MetaData holding copies of the source's tables in `schema`, views left out.
nb::object copy_tables(Args& a, nb::handle source, nb::handle schema) {
    nb::object view_prefix = schema.is_none() ? nb::borrow("v_"_n) : "{}.v_"_n.format(schema);
    nb::list copied;
    for (nb::handle item : source.attr("tables"_n).attr("items"_n)())
        if (!starts_with(str_of(item[0]), view_prefix)) copied.append(item[1]);
    nb::object follow = a.global("partial"_n)(a.global("_referred_schema"_n), nb::set(copied));
    nb::object target = a.global("MetaData"_n)();
    for (nb::handle table : copied)
        table.attr("to_metadata"_n)(target, "schema"_a = schema, "referred_schema_fn"_a = follow);
    return target;
}

// Creates the schema when missing, then the missing tables, and commits. A
// failure is logged and answered with None; cancellation propagates.
Coro create_missing(Args& a, nb::handle engine_name, nb::handle conn, nb::handle schema, nb::handle target) {
    Caught creation;
    try {
        if (!schema.is_none()) {
            nb::object schemas = co_await conn.attr("run_sync"_n)(a.global("_schema_names"_n));
            if (!contains(schemas, schema)) {
                co_await conn.attr("execute"_n)(a.global("text"_n)(create_schema_sql(schema)));
                logger(a).debug("创建 schema: {}"_n.format(schema));
            }
        }
        co_await conn.attr("run_sync"_n)(a.global("_create_all"_n), target);
        logger(a).debug("所有表已创建完成"_n);
        co_await conn.attr("commit"_n)();
        co_return nb::borrow(target);
    } catch (...) {
        creation.capture();
    }
    if (!creation.matches(PyExc_Exception)) creation.rethrow();
    logger(a).warning("创建 {} 数据库时，发生异常"_n.format(engine_name));
    if (creation.matches(a.global("OperationalError"_n))) {
        for (nb::handle item : creation.value().attr("args"_n)) logger(a).warning(item);
    } else {
        logger(a).warning(str_of(creation.value()));
    }
    co_return nb::none();
}

constexpr auto metadata_to_database_decl =
    staticmethod("metadata_to_database",
                 {{.name = "source_metadata"}, {.name = "engine_name"}, {.name = "auto_create", .default_value = true}},
                 {.doc = "返回复制到选定 schema 的元数据；没有表时原样返回；创建失败时返回 None。"});
Coro metadata_to_database(Call<metadata_to_database_decl> a) {
    auto [source, engine_name, auto_create_value] = a.params();
    bool auto_create = truthy(auto_create_value);
    nb::object tables = source.attr("tables"_n);
    if (nb::len(tables) == 0) co_return nb::borrow(source);

    nb::object database = a.global("DatabaseEngine"_n)();
    nb::object schema = chosen_schema(source, truthy(database.attr("support_schema"_n)(engine_name)));
    nb::object engine = database.attr("get_async_engine"_n)(engine_name);
    nb::object target = copy_tables(a, source, schema);

    nb::object result;
    AsyncWith connection(engine.attr("connect"_n)());
    nb::object conn = co_await connection.enter();
    Caught body;
    try {
        nb::object existing = co_await conn.attr("run_sync"_n)(a.global("_table_names"_n), schema);
        bool missing = false;
        for (nb::handle key : target.attr("tables"_n))
            if (!contains(existing, key)) {
                missing = true;
                break;
            }
        if (!missing) {
            logger(a).debug("所有表已存在，跳过创建"_n);
            result = target;
        } else if (!auto_create) {
            result = target;
        } else {
            result = co_await create_missing(a, engine_name, conn, schema, target);
        }
    } catch (...) {
        body.capture();
    }
    // Leaving the connection uncommitted rolls back whatever a failure left behind.
    co_await connection.exit(body);
    co_return result;
}

}  // namespace surveyor

NB_MODULE(surveyor, m) {
    import_from(m, "sqlalchemy", {"MetaData", "inspect", "text", "BLANK_SCHEMA"});
    import_from(m, "sqlalchemy.exc", {"OperationalError", "NoReferenceError"});
    import_from(m, "functools", "partial");
    import_from(m, "..engine.database_engine", "DatabaseEngine");
    import_from(m, "..logger.logging_", "logging");

    def(m, surveyor::_referred_schema);
    def(m, surveyor::_table_names);
    def(m, surveyor::_schema_names);
    def(m, surveyor::_create_all);

    ClassBuilder(m, "Surveyor")
        .doc("把表模型的元数据同步到数据库：选定 schema，补建缺失的 schema 与表。")
        .add(surveyor::metadata_to_database)
        .build();
}
