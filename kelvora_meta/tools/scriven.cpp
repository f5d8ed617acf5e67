// Scrivener: class and file names from table/view names, and the column questions
// (private, primary, unique, foreign) a model generator asks of stored metadata.
#include <nanobind/nanobind.h>

#include <string_view>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace {

// Scrivener's own get_file_name as stored in its class dict. Strong reference, so a
// replaced attribute can never be mistaken for it by address.
PyObject* own_get_file_name = nullptr;

// Whether `cls.<name>` is exactly `stored` (not overridden in a subclass, patched, or
// shadowed by the metaclass); then the native work can skip the attribute call.
bool resolves_to(nb::handle cls, PyObject* name, PyObject* stored) {
    if (!stored || !PyType_Check(cls.ptr())) return false;
    PyTypeObject* meta = Py_TYPE(cls.ptr());
    if (meta->tp_getattro != PyType_Type.tp_getattro) return false;
    if (meta != &PyType_Type && _PyType_Lookup(meta, name)) return false;
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name) == stored;
}

// What `value.<method>` would raise for a value that is not a str.
[[noreturn]] void no_str_method(nb::handle value, const char* method) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                 Py_TYPE(value.ptr())->tp_name, method);
    raise_pending();
}

[[noreturn]] void not_a_mapped_name(nb::handle value) {
    PyErr_Format(PyExc_TypeError, "case_mapping values must be str, not %.100s",
                 Py_TYPE(value.ptr())->tp_name);
    raise_pending();
}

bool is_dropped_prefix(TextView piece) {
    return piece.lower_equals("t") || piece.lower_equals("v") || piece.lower_equals("sys");
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
        static Name get("get");
        value = mapping.attr(get.handle())(key, key);
    }
    if (!PyUnicode_Check(value.ptr())) not_a_mapped_name(value);
    out.append_upper_first(TextView(value));
}

nb::object get_class_name(Args& a) {
    static Name get_file_name("get_file_name"), case_mapping("case_mapping");
    nb::handle cls = a[0];
    nb::object name = resolves_to(cls, get_file_name, own_get_file_name)
                          ? nb::borrow(a[1])
                          : cls.attr(get_file_name.handle())(a[1]);
    if (!PyUnicode_Check(name.ptr())) no_str_method(name, "split");
    nb::object mapping = cls.attr(case_mapping.handle());

    TextBuilder out;
    bool first = true;
    split_each(TextView(name), '_', [&](TextView piece, Py_ssize_t) {
        if (piece.empty()) return;  // leading, trailing and doubled underscores vanish
        if (first) {
            first = false;
            if (is_dropped_prefix(piece)) return;
        }
        append_mapped(out, mapping, piece);
    });
    return out.str();
}

nb::object json_loads(Args& a, nb::handle text) {
    static Name json("json"), loads("loads");
    return a.global(json).attr(loads.handle())(text);
}

// json.loads of a stored column list. Anything but an array is refused: `in` on a
// JSON string would match substrings of a column name.
nb::object column_list(Args& a, nb::handle text, const char* what) {
    nb::object columns = json_loads(a, text);
    if (!PyList_Check(columns.ptr())) {
        PyErr_Format(PyExc_ValueError, "%s must be a JSON array of column names, got %.100s", what,
                     Py_TYPE(columns.ptr())->tp_name);
        raise_pending();
    }
    return columns;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) raise_pending();
    return r;
}

// Whether `column` is the single column of one of `records` (each record's `field`
// holds a JSON column list); with `need_unique`, only records whose `unique` is true
// count. Every record is asked, so a table's second unique index or foreign key
// answers for its own column.
bool single_column_of(Args& a, nb::handle column, nb::handle records, PyObject* field,
                      const char* what, bool need_unique) {
    static Name unique("unique");
    PyObject* it = PyObject_GetIter(records.ptr());
    if (!it) raise_pending();
    nb::object iter = nb::steal(it);
    while (PyObject* r = PyIter_Next(iter.ptr())) {
        nb::object record = nb::steal(r);
        nb::object columns = column_list(a, record.attr(field), what);
        if (need_unique && !truthy(record.attr(unique.handle()))) continue;
        if (PyList_GET_SIZE(columns.ptr()) == 1 && contains(columns, column)) return true;
    }
    if (PyErr_Occurred()) raise_pending();
    return false;
}

// model_fields of a model class or instance. Pydantic deprecates reading it from an
// instance, so an instance's class is asked first.
nb::object model_fields(nb::handle model) {
    static Name name("model_fields");
    if (!PyType_Check(model.ptr())) {
        PyObject* fields = nullptr;
        if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(model.ptr())), name,
                                     &fields) < 0)
            raise_pending();
        if (fields && PyDict_Check(fields)) return nb::steal(fields);
        Py_XDECREF(fields);
    }
    return model.attr(name.handle());
}

nb::object set_update_property(Args& a) {
    static Name sort_order("sort_order"), is_active("is_active"), pop("pop");
    nb::handle data = a[0], meta = a[1];

    PyObject* it = PyObject_GetIter(model_fields(meta).ptr());
    if (!it) raise_pending();
    nb::object iter = nb::steal(it);
    PyObject* first = PyIter_Next(iter.ptr());
    if (!first) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_StopIteration, "the model declares no fields");
        raise_pending();
    }
    nb::object first_value = meta.attr(nb::steal(first));

    for (PyObject* key : {sort_order.ptr, is_active.ptr}) {
        if (PyDict_CheckExact(data.ptr())) {
            if (PyDict_Pop(data.ptr(), key, nullptr) < 0) raise_pending();
        } else if (PyDict_Check(data.ptr())) {
            data.attr(pop.handle())(nb::handle(key), nb::none());
        } else {
            PyObject* value = nullptr;
            if (PyObject_GetOptionalAttr(data.ptr(), key, &value) < 0) raise_pending();
            if (!value) continue;
            bool set = truthy(nb::steal(value));
            if (set && PyObject_SetAttr(data.ptr(), key, Py_None) < 0) raise_pending();
        }
    }
    return first_value;
}

}  // namespace

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
            .staticmethod({.name = "set_update_property",
                           .params = {{.name = "data_model"}, {.name = "meta_model"}},
                           .body = set_update_property})
            .staticmethod({.name = "get_file_name",
                           .params = {{.name = "table_or_view_name",
                                       .annotation = text("str"),
                                       .exact = &PyUnicode_Type}},
                           .returns = text("str"),
                           .body = [](Args& a) { return nb::borrow(a[0]); }})
            .classmethod({.name = "get_class_name",
                          .doc = "（驼峰命名，去除前缀 t/v/sys）",
                          .params = {{.name = "cls"},
                                     {.name = "table_or_view_name",
                                      .annotation = text("str"),
                                      .exact = &PyUnicode_Type}},
                          .returns = text("str"),
                          .body = get_class_name})
            .staticmethod({.name = "dump_json",
                           .params = {{.name = "data"}},
                           .body = [](Args& a) -> nb::object {
                               static Name json("json"), dumps("dumps");
                               return a.global(json).attr(dumps.handle())(a[0], "ensure_ascii"_a = false);
                           }})
            .classmethod({.name = "is_private",
                          .params = {{.name = "cls"}, {.name = "column_name"}},
                          .body = [](Args& a) -> nb::object {
                              static Name private_mapping("private_mapping");
                              return nb::bool_(contains(a[0].attr(private_mapping.handle()), a[1]));
                          }})
            .classmethod({.name = "is_primary",
                          .params = {{.name = "cls"}, {.name = "column_name"}, {.name = "constrained_columns"}},
                          .body = [](Args& a) -> nb::object {
                              return nb::bool_(contains(column_list(a, a[2], "constrained_columns"), a[1]));
                          }})
            .classmethod({.name = "is_unique",
                          .params = {{.name = "cls"}, {.name = "column_name"}, {.name = "meta_indexes"}},
                          .body = [](Args& a) -> nb::object {
                              static Name column_names("column_names");
                              return nb::bool_(single_column_of(a, a[1], a[2], column_names,
                                                                "column_names", true));
                          }})
            .classmethod({.name = "is_foreign",
                          .params = {{.name = "cls"}, {.name = "column_name"}, {.name = "linkage_keys"}},
                          .body = [](Args& a) -> nb::object {
                              static Name constrained_columns("constrained_columns");
                              return nb::bool_(single_column_of(a, a[1], a[2], constrained_columns,
                                                                "constrained_columns", false));
                          }})
            .build();

    static Name get_file_name("get_file_name");
    PyObject* previous = own_get_file_name;
    own_get_file_name = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), get_file_name);
    Py_XINCREF(own_get_file_name);
    Py_XDECREF(previous);
}
