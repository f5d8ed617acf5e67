// Start-up schema synchronisation: copy a registry's tables into the one schema
// of their database and create the schema and tables that are missing there.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
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
    nb::object name = str_of(schema_name);
    name = name.attr("replace")("\"", "\"\"").attr("replace")(":", "\\:");
    static Name head("CREATE SCHEMA \""), tail("\";");
    return concat({head, name, tail});
}

// ---- run inside conn.run_sync, on the synchronous connection -------------------

// Table names of `schema` (None: the default schema), qualified with the schema
// so they compare with MetaData keys.
nb::object table_names(Args& a) {
    static Name dialect("dialect"), get_table_names("get_table_names"), dot(".");
    nb::handle conn = a[0], schema = a[1];
    nb::object get = conn.attr(dialect).attr(get_table_names);
    nb::set existing;
    if (schema.is_none()) {
        for (nb::handle name : get(conn)) existing.add(name);
    } else {
        for (nb::handle name : get(conn, nb::arg("schema") = schema))
            existing.add(concat({schema, dot, str_of(name)}));
    }
    return existing;
}

nb::object schema_names(Args& a) {
    static Name inspect("inspect"), get_schema_names("get_schema_names");
    return a.global(inspect)(a[0]).attr(get_schema_names)();
}

nb::object create_all(Args& a) {
    static Name create("create_all");
    return a[1].attr(create)(nb::arg("bind") = a[0], nb::arg("checkfirst") = true);
}

// referred_schema_fn of to_metadata (bound by partial to the tables being
// copied): a foreign key to one of them follows it into the chosen schema. Left
// alone, a reference stays in the old schema and names a table that is never
// created there, so create_all fails.
nb::object referred_schema(Args& a) {
    static Name referred_table("referred_table"), blank("BLANK_SCHEMA"), no_reference("NoReferenceError");
    nb::handle copied = a[0], to_schema = a[2], constraint = a[3];
    PyObject* table = PyObject_GetAttr(constraint.ptr(), referred_table);
    if (!table) {
        // An unresolvable reference is create_all's to report; keep it as it is.
        if (!PyErr_ExceptionMatches(a.global(no_reference).ptr())) raise_pending();
        PyErr_Clear();
        return nb::none();
    }
    nb::object target = nb::steal(table);
    int moved = PySequence_Contains(copied.ptr(), target.ptr());
    if (moved < 0) raise_pending();
    if (!moved) return nb::none();
    return to_schema.is_none() ? a.global(blank) : nb::borrow(to_schema);
}

// ---- the coroutine -------------------------------------------------------------

Coro metadata_to_database(Args a) {
    static Name tables_name("tables"), sorted_tables("sorted_tables"), schema_attr("schema"),
        database_engine("DatabaseEngine"), support_schema("support_schema"), get_async_engine("get_async_engine"),
        metadata_class("MetaData"), to_metadata("to_metadata"), connect("connect"), aenter("__aenter__"),
        aexit("__aexit__"), run_sync("run_sync"), execute("execute"), commit("commit"), text_name("text"),
        logging_name("logging"), debug("debug"), warning("warning"), args_name("args"),
        operational("OperationalError"), table_names_fn("_table_names"), schema_names_fn("_schema_names"),
        create_all_fn("_create_all"), plain_view_prefix("v_"), view_suffix(".v_"),
        all_present("所有表已存在，跳过创建"), schema_created("创建 schema: "), all_created("所有表已创建完成"),
        failed_head("创建 "), failed_tail(" 数据库时，发生异常"), items("items"), partial("partial"),
        referred_schema_fn("_referred_schema");
    nb::handle source = a[0], engine_name = a[1];
    bool auto_create = truthy(a[2]);

    nb::object source_tables = source.attr(tables_name);
    if (nb::len(source_tables) == 0) co_return nb::borrow(source);

    nb::object database = a.global(database_engine)();
    bool supports = truthy(database.attr(support_schema)(engine_name));
    nb::object engine = database.attr(get_async_engine)(engine_name);

    // An empty schema text means no schema, like None.
    nb::object schema_name = nb::none();
    if (supports) {
        nb::object ordered = source.attr(sorted_tables);
        Py_ssize_t count = nb::len(ordered);
        if (count > 0) schema_name = ordered[0].attr(schema_attr);
        if (is_empty_text(schema_name) && count >= 2) schema_name = ordered[count - 1].attr(schema_attr);
        if (is_empty_text(schema_name)) schema_name = nb::none();
    }

    nb::object view_prefix =
        schema_name.is_none() ? nb::object(nb::borrow(plain_view_prefix.handle())) : concat({str_of(schema_name), view_suffix});
    nb::list copied;
    for (nb::handle item : source_tables.attr(items)()) {
        if (!starts_with(str_of(item[0]), view_prefix)) copied.append(item[1]);
    }
    nb::set copied_tables(copied);
    nb::object follow = a.global(partial)(a.global(referred_schema_fn), copied_tables);
    nb::object target = a.global(metadata_class)();
    for (nb::handle table : copied)
        table.attr(to_metadata)(target, nb::arg("schema") = schema_name, nb::arg("referred_schema_fn") = follow);
    nb::object target_tables = target.attr(tables_name);
    nb::object log = a.global(logging_name);

    nb::object connection = engine.attr(connect)();
    nb::object connection_exit = connection.attr(aexit);
    nb::object entering = connection.attr(aenter)();
    nb::object conn = co_await entering;

    nb::object result;
    Caught body;
    try {
        nb::object reading = conn.attr(run_sync)(a.global(table_names_fn), schema_name);
        nb::object existing = co_await reading;
        bool missing = false;
        for (nb::handle key : target_tables) {
            int found = PySequence_Contains(existing.ptr(), key.ptr());
            if (found < 0) raise_pending();
            if (!found) {
                missing = true;
                break;
            }
        }
        if (!missing) {
            log.attr(debug)(all_present.handle());
            result = target;
        } else if (!auto_create) {
            result = target;
        } else {
            Caught creation;
            try {
                if (!schema_name.is_none()) {
                    nb::object listing = conn.attr(run_sync)(a.global(schema_names_fn));
                    nb::object schemas = co_await listing;
                    int present = PySequence_Contains(schemas.ptr(), schema_name.ptr());
                    if (present < 0) raise_pending();
                    if (!present) {
                        nb::object statement = a.global(text_name)(create_schema_sql(schema_name));
                        nb::object executing = conn.attr(execute)(statement);
                        co_await executing;
                        log.attr(debug)(concat({schema_created, str_of(schema_name)}));
                    }
                }
                nb::object creating = conn.attr(run_sync)(a.global(create_all_fn), target);
                co_await creating;
                log.attr(debug)(all_created.handle());
                nb::object committing = conn.attr(commit)();
                co_await committing;
                result = target;
            } catch (...) {
                creation.capture();
            }
            if (creation) {
                // Cancellation and other non-errors belong to the caller.
                if (!creation.matches(PyExc_Exception)) creation.rethrow();
                log.attr(warning)(concat({failed_head, str_of(engine_name), failed_tail}));
                nb::handle error = creation.value();
                if (creation.matches(a.global(operational).ptr())) {
                    for (nb::handle item : error.attr(args_name)) log.attr(warning)(item);
                } else {
                    log.attr(warning)(str_of(error));
                }
                result = nb::none();
            }
        }
    } catch (...) {
        body.capture();
    }
    // Leaving the connection uncommitted rolls back whatever a failure left behind.
    nb::object leaving = exit_call(connection_exit, body);
    nb::object suppressed = co_await leaving;
    if (body && !truthy(suppressed)) body.rethrow();
    co_return result;
}

}  // namespace surveyor

NB_MODULE(surveyor, m) {
    import_from(m, "sqlalchemy", "MetaData");
    import_from(m, "sqlalchemy", "inspect");
    import_from(m, "sqlalchemy", "text");
    import_from(m, "sqlalchemy", "BLANK_SCHEMA");
    import_from(m, "sqlalchemy.exc", "OperationalError");
    import_from(m, "sqlalchemy.exc", "NoReferenceError");
    import_from(m, "functools", "partial");
    import_from(m, "..engine.database_engine", "DatabaseEngine");
    import_from(m, "..logger.logging_", "logging");

    def(m, {.name = "_referred_schema",
            .doc = "Schema for a copied foreign key: the chosen one when it refers to a copied table.",
            .params = {{.name = "copied"}, {.name = "table"}, {.name = "to_schema"}, {.name = "constraint"},
                       {.name = "referred_schema"}},
            .body = surveyor::referred_schema});
    def(m, {.name = "_table_names",
            .doc = "Existing table names, schema-qualified when a schema is given (for run_sync).",
            .params = {{.name = "sync_conn"}, {.name = "schema"}},
            .body = surveyor::table_names});
    def(m, {.name = "_schema_names",
            .doc = "The database's schema names (for run_sync).",
            .params = {{.name = "sync_conn"}},
            .body = surveyor::schema_names});
    def(m, {.name = "_create_all",
            .doc = "Create the metadata's missing tables in dependency order (for run_sync).",
            .params = {{.name = "sync_conn"}, {.name = "metadata"}},
            .body = surveyor::create_all});

    ClassBuilder(m, "Surveyor")
        .doc("把表模型的元数据同步到数据库：选定 schema，补建缺失的 schema 与表。")
        .staticmethod({.name = "metadata_to_database",
                       .doc = "返回复制到选定 schema 的元数据；没有表时原样返回；创建失败时返回 None。",
                       .params = {{.name = "source_metadata"},
                                  {.name = "engine_name"},
                                  {.name = "auto_create", .default_value = nb::bool_(true)}},
                       .body = coroutine_body(surveyor::metadata_to_database),
                       .flavor = Flavor::coroutine,
                       .qualname = "Surveyor.metadata_to_database"})
        .build();
}
