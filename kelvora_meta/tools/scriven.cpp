// Scrivener: class and file names from table/view names, and the column questions
// (private, primary, unique, foreign) a model generator asks of stored metadata.
#include <nanobind/nanobind.h>

#include <string_view>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace scriven {

// Scrivener's own get_file_name: while cls.get_file_name is still that, the
// name needs no call.
OwnAttribute own_get_file_name;

[[noreturn]] void not_a_mapped_name(nb::handle value) {
    PyErr_Format(PyExc_TypeError, "case_mapping values must be str, not %.100s", Py_TYPE(value.ptr())->tp_name);
    raise_pending();
}

// Appends case_mapping.get(piece, piece) with its first character upper-cased.
void append_mapped(TextBuilder& out, nb::handle mapping, TextView piece) {
    // The usual mapping is a small dict of str keys: compare code points, no key objects.
    if (PyDict_CheckExact(mapping.ptr()) && PyDict_GET_SIZE(mapping.ptr()) <= 8) {
        bool plain = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                plain = false;
                break;
            }
            if (TextView(key) == piece) {
                if (!PyUnicode_Check(value)) not_a_mapped_name(value);
                out.append_upper_first(TextView(value));
                return;
            }
        }
        if (plain) {
            out.append_upper_first(piece);
            return;
        }
    }
    nb::str key = piece.str();
    nb::object value;
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(mapping.ptr(), key.ptr(), &v) < 0) raise_pending();
        value = v ? nb::steal(v) : nb::object(key);
    } else {
        value = mapping.attr("get"_n)(key, key);
    }
    if (!PyUnicode_Check(value.ptr())) not_a_mapped_name(value);
    out.append_upper_first(TextView(value));
}

// Annotations are texts here, as in a module written with postponed annotations.
constexpr Parameter table_or_view_name{.name = "table_or_view_name", .annotation = "str", .exact = &PyUnicode_Type};

constexpr auto get_class_name_decl = classmethod("get_class_name", {{.name = "cls"}, table_or_view_name},
                                                 {.doc = "（驼峰命名，去除前缀 t/v/sys）", .returns = "str"});
nb::object get_class_name(Call<get_class_name_decl> a) {
    auto [cls, table] = a.params();
    nb::object name = own_get_file_name.resolves(cls) ? nb::borrow(table) : cls.attr("get_file_name"_n)(table);
    if (!PyUnicode_Check(name.ptr())) raise_not_str(name, "split"_n, "_"_n);
    nb::object mapping = cls.attr("case_mapping"_n);

    TextBuilder out;
    bool first = true;
    split_each(TextView(name), '_', [&](TextView piece, Py_ssize_t) {
        if (piece.empty()) return;  // leading, trailing and doubled underscores vanish
        if (first) {
            first = false;
            if (piece.lower_in({"t", "v", "sys"})) return;
        }
        append_mapped(out, mapping, piece);
    });
    return out.str();
}

// json.loads of a stored column list. Anything but an array is refused: `in` on a
// JSON string would match substrings of a column name.
nb::object column_list(Args& a, nb::handle text, const char* what) {
    nb::object columns = a.global("json"_n).attr("loads"_n)(text);
    if (!PyList_Check(columns.ptr())) {
        PyErr_Format(PyExc_ValueError, "%s must be a JSON array of column names, got %.100s", what,
                     Py_TYPE(columns.ptr())->tp_name);
        raise_pending();
    }
    return columns;
}

// Whether `column` is the single column of one of `records` (each record's `field`
// holds a JSON column list); with `need_unique`, only records whose `unique` is true
// count. Every record is asked, so a table's second unique index or foreign key
// answers for its own column.
bool single_column_of(Args& a, nb::handle column, nb::handle records, nb::handle field, const char* what,
                      bool need_unique) {
    for (nb::handle record : records) {
        nb::object columns = column_list(a, record.attr(field), what);
        if (need_unique && !truthy(record.attr("unique"_n))) continue;
        if (PyList_GET_SIZE(columns.ptr()) == 1 && contains(columns, column)) return true;
    }
    return false;
}

// model_fields of a model class or instance. Pydantic deprecates reading it from an
// instance, so an instance's class is asked first.
nb::object model_fields(nb::handle model) {
    if (!PyType_Check(model.ptr())) {
        nb::object fields = attr_or(model.type(), "model_fields"_n, nb::none());
        if (PyDict_Check(fields.ptr())) return fields;
    }
    return model.attr("model_fields"_n);
}

constexpr auto set_update_property_decl =
    staticmethod("set_update_property", {{.name = "data_model"}, {.name = "meta_model"}});
nb::object set_update_property(Call<set_update_property_decl> a) {
    auto [data, meta] = a.params();

    nb::object fields = model_fields(meta);
    nb::iterator names = fields.begin();
    if (names == fields.end()) raise(PyExc_StopIteration, "the model declares no fields");
    nb::object first_value = meta.attr(*names);

    for (nb::handle key : {nb::handle("sort_order"_n), nb::handle("is_active"_n)}) {
        if (PyDict_CheckExact(data.ptr())) {
            if (PyDict_Pop(data.ptr(), key.ptr(), nullptr) < 0) raise_pending();
        } else if (PyDict_Check(data.ptr())) {
            data.attr("pop"_n)(key, nb::none());
        } else if (truthy(attr_or(data, key, nb::bool_(false)))) {
            nb::setattr(data, key, nb::none());
        }
    }
    return first_value;
}

constexpr auto get_file_name_decl = staticmethod("get_file_name", {table_or_view_name}, {.returns = "str"});
nb::object get_file_name(Call<get_file_name_decl> a) {
    return nb::borrow(a.get<0>());
}

constexpr auto dump_json_decl = staticmethod("dump_json", {{.name = "data"}});
nb::object dump_json(Call<dump_json_decl> a) {
    return a.global("json"_n).attr("dumps"_n)(a.get<"data">(), "ensure_ascii"_a = false);
}

constexpr auto is_private_decl = classmethod("is_private", {{.name = "cls"}, {.name = "column_name"}});
nb::object is_private(Call<is_private_decl> a) {
    auto [cls, column_name] = a.params();
    return nb::bool_(contains(cls.attr("private_mapping"_n), column_name));
}

constexpr auto is_primary_decl =
    classmethod("is_primary", {{.name = "cls"}, {.name = "column_name"}, {.name = "constrained_columns"}});
nb::object is_primary(Call<is_primary_decl> a) {
    auto [cls, column_name, constrained_columns] = a.params();
    return nb::bool_(contains(column_list(a, constrained_columns, "constrained_columns"), column_name));
}

constexpr auto is_unique_decl =
    classmethod("is_unique", {{.name = "cls"}, {.name = "column_name"}, {.name = "meta_indexes"}});
nb::object is_unique(Call<is_unique_decl> a) {
    auto [cls, column_name, meta_indexes] = a.params();
    return nb::bool_(single_column_of(a, column_name, meta_indexes, "column_names"_n, "column_names", true));
}

constexpr auto is_foreign_decl =
    classmethod("is_foreign", {{.name = "cls"}, {.name = "column_name"}, {.name = "linkage_keys"}});
nb::object is_foreign(Call<is_foreign_decl> a) {
    auto [cls, column_name, linkage_keys] = a.params();
    return nb::bool_(
        single_column_of(a, column_name, linkage_keys, "constrained_columns"_n, "constrained_columns", false));
}

}  // namespace scriven

NB_MODULE(scriven, m) {
    import_module(m, "json");

    nb::dict case_mapping;
    case_mapping["sqlmodel"] = "SQLModel";
    nb::list private_mapping;
    for (const char* column : {"tenant_id", "create_by", "create_at", "update_by", "update_at"})
        private_mapping.append(column);

    nb::object cls =
        ClassBuilder(m, "Scrivener")
            .attr("case_mapping", case_mapping)
            .attr("private_mapping", private_mapping)
            .add(scriven::set_update_property, scriven::get_file_name, scriven::get_class_name, scriven::dump_json,
                 scriven::is_private, scriven::is_primary, scriven::is_unique, scriven::is_foreign)
            .build();
    scriven::own_get_file_name.remember(cls, "get_file_name"_n);
}
