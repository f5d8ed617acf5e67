// Enumeration queries: the fields of a schema, and the values of fields as
// trees, described as query requests for the generic query service.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace lexicon {

// ---- query descriptions -----------------------------------------------------

nb::dict filter_item(nb::handle field, nb::handle op, nb::handle val) {
    nb::dict item;
    item["field"_n] = field;
    item["op"_n] = op;
    item["val"_n] = val;
    return item;
}

nb::list texts(std::initializer_list<nb::handle> items) {
    nb::list list;
    for (nb::handle item : items) list.append(item);
    return list;
}

constexpr auto _get_query_request_schema_decl = classmethod(
    "_get_query_request_schema", {{.name = "cls"}, {.name = "schema_id"}}, {.doc = "schema 字段列表的查询描述。"});
nb::object _get_query_request_schema(Call<_get_query_request_schema_decl> a) {
    nb::handle schema_id = a.get<"schema_id">();
    nb::dict request;
    request["fields"_n] = texts({"field_name as name"_n, "field_label as label"_n});
    request["filter"_n] =
        texts({filter_item("schema_id"_n, "="_n, schema_id), filter_item("is_active"_n, "="_n, Py_True)});
    request["format"_n] = "list"_n;
    request["size"_n] = nb::int_(1000);
    return request;
}

constexpr auto _get_query_request_flied_decl = classmethod(
    "_get_query_request_flied",
    {{.name = "cls"}, {.name = "schema_id"}, {.name = "key_op"}, {.name = "key_value"}, {.name = "enum_pid"}},
    {.doc = "字段枚举值的查询描述。"});
nb::object _get_query_request_flied(Call<_get_query_request_flied_decl> a) {
    auto [cls, schema_id, key_op, key_value, enum_pid] = a.params();
    nb::dict request;
    request["fields"_n] = texts({"field_name as name, field_label as label"_n,
                                 "EnumValues.enum_label as label,EnumValues.enum_value as value"_n,
                                 "EnumValues.enum_disabled as disabled"_n});
    if (key_value.is_none()) {
        // Every field: values of every level, nested by the tree.
        request["filter"_n] =
            texts({filter_item("schema_id"_n, "="_n, schema_id), filter_item("is_active"_n, "="_n, Py_True)});
        request["filter_relation"_n] = texts({filter_item("EnumValues.is_active"_n, "="_n, Py_True)});
    } else {
        request["filter"_n] =
            texts({filter_item("schema_id"_n, "="_n, schema_id), filter_item("field_name"_n, key_op, key_value),
                   filter_item("is_active"_n, "="_n, Py_True)});
        request["filter_relation"_n] = texts({filter_item("EnumValues.is_active"_n, "="_n, Py_True),
                                              filter_item("EnumValues.enum_pid"_n, "="_n, enum_pid)});
    }
    request["relation"_n] = texts({"EnumValues"_n});
    request["format"_n] = "tree"_n;
    request["size"_n] = nb::int_(1000);
    return request;
}

// QueryRequest(**mapping): a replaced description builder may hand back any
// mapping, so it is copied into a dict of keywords the way ** would.
nb::object query_request(Args& a, nb::handle mapping) {
    nb::object request_class = a.global("QueryRequest"_n);
    if (!PyDict_Check(mapping.ptr()) && !PyObject_HasAttrWithError(mapping.ptr(), "keys"_n.ptr())) {
        if (PyErr_Occurred()) raise_pending();
        raise(PyExc_TypeError,
              "QueryRequest() argument after ** must be a mapping, not {}"_n.format(nb::type_name(mapping.type())));
    }
    nb::dict keywords;
    if (PyDict_Merge(keywords.ptr(), mapping.ptr(), 1) < 0) raise_pending();
    nb::object request = nb::steal(PyObject_Call(request_class.ptr(), nb::tuple().ptr(), keywords.ptr()));
    if (!request) raise_pending();
    return request;
}

// The enumeration fields a request describes, from the generic query service.
nb::object query_fields(Args& a, nb::handle db, nb::handle request) {
    return a.global("QueryService"_n)
        .attr("query"_n)(db, "query_request"_a = request, "model_class"_a = a.global("EnumField"_n),
                         "response_class"_a = a.global("EnumFieldResponse"_n));
}

nb::object remove_tags(Args& a, nb::handle nodes) {
    return a.global("CoreUtil"_n)
        .attr("remove_node_attr"_n)("nodes"_a = nodes, "children_node_name"_a = "children"_n,
                                    "remove_attrs"_a = texts({"tag"_n}));
}

// The schema row named `schema_name`, or None. The name goes into the condition
// as it is: the query service binds it as a value, so it never becomes SQL.
nb::object find_schema(Args& a, nb::handle db, nb::handle schema_name) {
    return a.global("QueryService"_n)
        .attr("query_columns_first"_n)("db"_a = db, "model_class"_a = a.global("EnumSchema"_n),
                                       "condition"_a = "schema_name = {}"_n.format(schema_name));
}

// ---- coroutines -------------------------------------------------------------

constexpr Parameter cls{.name = "cls"};
// Annotations are texts here, as in a module written with postponed annotations.
constexpr Parameter keyword(const char* name, Annotation annotation = {}) {
    return {.name = name, .kind = Kind::keyword_only, .annotation = annotation};
}

constexpr auto query_schema_decl =
    classmethod("query_schema", {cls, keyword("schema_name"), keyword("db", "AsyncSession")},
                {.doc = "查询 schema 的字段；没有该 schema 时返回空列表。"});
Coro query_schema(Call<query_schema_decl> a) {
    auto [cls, schema_name, db] = a.params();
    nb::object schema = co_await find_schema(a, db, schema_name);
    if (schema.is_none()) co_return nb::list();
    nb::object mapping = cls.attr("_get_query_request_schema"_n)(schema.attr("schema_id"_n));
    nb::object request = query_request(a, mapping);
    nb::object fields = co_await query_fields(a, db, request);
    co_return fields;
}

constexpr auto _query_field_all_decl = classmethod("_query_field_all", {cls, {.name = "db"}, {.name = "schema"}},
                                                   {.doc = "schema 全部有效字段的枚举值树。"});
Coro _query_field_all(Call<_query_field_all_decl> a) {
    auto [cls, db, schema] = a.params();
    nb::object mapping =
        cls.attr("_get_query_request_flied"_n)("schema_id"_a = schema.attr("schema_id"_n), "key_op"_a = nb::none(),
                                               "key_value"_a = nb::none(), "enum_pid"_a = nb::none());
    nb::object request = query_request(a, mapping);
    nb::object data = co_await query_fields(a, db, request);
    co_return remove_tags(a, data);
}

constexpr auto _query_field_no_pid_decl = classmethod(
    "_query_field_no_pid", {cls, {.name = "db"}, {.name = "key_length"}, {.name = "quest_request"}, {.name = "schema"}},
    {.doc = "所请求字段的顶层枚举值。"});
Coro _query_field_no_pid(Call<_query_field_no_pid_decl> a) {
    auto [cls, db, key_length, quest_request, schema] = a.params();
    nb::object key = quest_request.attr("key"_n);
    nb::object key_op, key_value;
    int several = PyObject_RichCompareBool(key_length.ptr(), nb::int_(1).ptr(), Py_GT);
    if (several < 0) raise_pending();
    if (several) {
        key_op = nb::borrow("in"_n);
        key_value = key;
    } else {
        key_op = nb::borrow("="_n);
        key_value = key[nb::int_(0)];
    }
    nb::object mapping =
        cls.attr("_get_query_request_flied"_n)("schema_id"_a = schema.attr("schema_id"_n), "key_op"_a = key_op,
                                               "key_value"_a = key_value, "enum_pid"_a = nb::int_(-1));
    nb::object request = query_request(a, mapping);
    nb::object data = co_await query_fields(a, db, request);
    co_return remove_tags(a, data);
}

constexpr auto _query_field_pid_decl = classmethod("_query_field_pid",
                                                   {cls,
                                                    {.name = "db"},
                                                    {.name = "index"},
                                                    {.name = "key_value"},
                                                    {.name = "query_data"},
                                                    {.name = "quest_request"},
                                                    {.name = "schema"}},
                                                   {.doc = "把一个字段在某个父值下的枚举值追加到 query_data。"});
Coro _query_field_pid(Call<_query_field_pid_decl> a) {
    auto [cls, db, index, key_value, query_data, quest_request, schema] = a.params();
    nb::object enum_pid = quest_request.attr("pid"_n)[index];
    nb::object mapping =
        cls.attr("_get_query_request_flied"_n)("schema_id"_a = schema.attr("schema_id"_n), "key_op"_a = "="_n,
                                               "key_value"_a = key_value, "enum_pid"_a = enum_pid);
    nb::object request = query_request(a, mapping);
    nb::object data = co_await query_fields(a, db, request);
    data = remove_tags(a, data);
    query_data.attr("extend"_n)(data);
    co_return nb::none();
}

// pid == ["-1"] * key_length: every field asked for at its top level.
bool top_level_only(nb::handle pid, nb::handle key_length) {
    if (pid.is_none()) return true;
    nb::object tops = nb::steal(PySequence_Repeat(texts({"-1"_n}).ptr(), PyLong_AsSsize_t(key_length.ptr())));
    if (!tops) raise_pending();
    return pid.equal(tops);
}

constexpr auto query_field_decl = classmethod(
    "query_field",
    {cls, keyword("db", "AsyncSession"), keyword("schema_name"), keyword("quest_request", "LexiconRequest")},
    {.doc = "查询字段的枚举值树，按字段名（或请求中的别名）返回；没有该 schema 时返回空列表。"});
Coro query_field(Call<query_field_decl> a) {
    auto [cls, db, schema_name, quest_request] = a.params();
    nb::object schema = co_await find_schema(a, db, schema_name);
    if (schema.is_none()) co_return nb::list();

    nb::object query_data = nb::list();
    nb::object key = quest_request.attr("key"_n);
    if (!truthy(key)) {
        query_data = co_await cls.attr("_query_field_all"_n)(db, schema);
    } else {
        nb::object key_length = nb::int_(nb::len(key));
        if (top_level_only(quest_request.attr("pid"_n), key_length)) {
            query_data = co_await cls.attr("_query_field_no_pid"_n)(db, key_length, quest_request, schema);
        } else {
            // One query per field, one after another on the one session, in key order.
            Py_ssize_t index = 0;
            for (nb::handle key_value : key) {
                co_await cls.attr("_query_field_pid"_n)(db, nb::int_(index++), key_value, query_data, quest_request,
                                                        schema);
            }
        }
    }

    nb::dict result_data;
    for (nb::handle data : query_data) {
        nb::object node_key = data["name"_n];
        nb::object keys = quest_request.attr("key"_n);
        if (truthy(keys)) {
            nb::object names = quest_request.attr("name"_n);
            if (truthy(names)) node_key = names[keys.attr("index"_n)(data["name"_n])];
        }
        PyObject* children = nullptr;
        if (PyMapping_GetOptionalItem(data.ptr(), "children"_n.ptr(), &children) < 0) raise_pending();
        nb::object value = children ? nb::steal(children) : nb::object(nb::list());
        result_data[node_key] = value;
    }
    co_return result_data;
}

}  // namespace lexicon

NB_MODULE(lexicon, m) {
    import_from(m, "kelvora_core", {"AsyncSession", "QueryRequest", "QueryService", "CoreUtil"});
    import_from(m, "..generate.entity_table.sys_enum_field", {"EnumField", "EnumFieldResponse"});
    import_from(m, "..generate.entity_table.sys_enum_schema", "EnumSchema");
    import_from(m, "..schema.enum", "LexiconRequest");

    ClassBuilder(m, "LexiconService")
        .doc("枚举查询：枚举 schema 的字段列表，以及字段的枚举值树。")
        .add(lexicon::query_schema, lexicon::query_field, lexicon::_query_field_all, lexicon::_query_field_no_pid,
             lexicon::_query_field_pid, lexicon::_get_query_request_flied, lexicon::_get_query_request_schema)
        .build();
}
