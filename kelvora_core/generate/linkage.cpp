// LinkageColumn: one foreign-key link between two tables, and the naming rules for
// relationship properties (upper camel case, English plurals).
#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace {

// The class's own methods as stored in its dict, held strongly so a replacement can
// never be mistaken for them by address.
PyObject* own_make_plural = nullptr;
PyObject* own_get_camel_name = nullptr;

// Whether `cls.<name>` is exactly `stored` (not overridden in a subclass, patched, or
// shadowed by the metaclass); then the native work can skip the attribute call.
bool resolves_to(nb::handle cls, PyObject* name, PyObject* stored) {
    if (!stored || !PyType_Check(cls.ptr())) return false;
    PyTypeObject* meta = Py_TYPE(cls.ptr());
    if (meta->tp_getattro != PyType_Type.tp_getattro) return false;
    if (meta != &PyType_Type && _PyType_Lookup(meta, name)) return false;
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name) == stored;
}

PyObject* name_make_plural() {
    static Name n("_make_plural_entity");
    return n;
}

PyObject* name_get_camel_name() {
    static Name n("get_camel_name");
    return n;
}

// What `value.<method>` raises for a value that is not a str.
[[noreturn]] void no_str_method(nb::handle value, const char* method) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                 Py_TYPE(value.ptr())->tp_name, method);
    raise_pending();
}

struct Irregular {
    std::string_view singular, plural;
};

constexpr Irregular irregular_plurals[] = {
    {"person", "people"},       {"child", "children"},      {"man", "men"},
    {"woman", "women"},         {"foot", "feet"},           {"tooth", "teeth"},
    {"mouse", "mice"},          {"goose", "geese"},         {"ox", "oxen"},
    {"criterion", "criteria"},  {"phenomenon", "phenomena"}, {"datum", "data"},
    {"analysis", "analyses"},   {"thesis", "theses"},       {"crisis", "crises"},
    {"index", "indexes"},       {"matrix", "matrices"},     {"vertex", "vertices"},
    {"focus", "foci"},          {"staff", "staffs"},
};

// The irregular entry whose singular is tail.lower(), if any.
const Irregular* find_irregular(TextView tail) {
    if (const unsigned char* p = tail.ascii_bytes()) {
        // Lower-case a short ASCII tail once instead of once per entry.
        constexpr size_t longest = 10;  // "phenomenon"
        if (size_t(tail.size()) > longest) return nullptr;
        char buf[longest];
        for (Py_ssize_t i = 0; i < tail.size(); ++i)
            buf[i] = char(unsigned(p[i] - 'A') < 26u ? p[i] + 32 : p[i]);
        std::string_view lower(buf, size_t(tail.size()));
        for (const Irregular& entry : irregular_plurals)
            if (entry.singular == lower) return &entry;
        return nullptr;
    }
    for (const Irregular& entry : irregular_plurals)
        if (tail.lower_equals(entry.singular)) return &entry;
    return nullptr;
}

constexpr std::string_view es_endings[] = {"s", "x", "z", "sh", "ch"};

bool is_lower_vowel(Py_UCS4 c) {
    return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u';
}

// The plural of the last underscore-separated piece of `name`, the rest kept. Only the
// irregular lookup ignores case; the ending tests are case-sensitive.
void append_plural(TextBuilder& out, TextView name) {
    Py_ssize_t cut = name.rfind('_') + 1;
    out.append(name.slice(0, cut));
    TextView tail = name.slice(cut, name.size());
    if (const Irregular* entry = find_irregular(tail)) {
        out.append(entry->plural);
        return;
    }
    for (std::string_view ending : es_endings) {
        if (tail.ends_with(ending)) {
            out.append(tail);
            out.append("es");
            return;
        }
    }
    Py_ssize_t n = tail.size();
    if (tail.ends_with("y") && n > 1 && !is_lower_vowel(tail[n - 2])) {
        out.append(tail.slice(0, n - 1));
        out.append("ies");
    } else if (tail.ends_with("f")) {
        out.append(tail.slice(0, n - 1));
        out.append("ves");
    } else if (tail.ends_with("fe")) {
        out.append(tail.slice(0, n - 2));
        out.append("ves");
    } else {
        out.append(tail);
        out.append("s");
    }
}

nb::object make_plural_entity(Args& a) {
    if (!PyUnicode_Check(a[0].ptr())) no_str_method(a[0], "rpartition");
    TextBuilder out;
    append_plural(out, TextView(a[0]));
    return out.str();
}

// get_camel_name of `source`. `view` holds its code points when it is a str; with a
// null `source`, `view` is part of the caller's argument and a str is made from it
// only if an overriding _make_plural_entity needs one.
nb::object camel_name(nb::handle cls, nb::handle source, std::optional<TextView> view,
                      nb::handle is_plural) {
    TextBuilder plural;
    nb::object overridden;
    TextView name;
    if (truthy(is_plural)) {
        if (resolves_to(cls, name_make_plural(), own_make_plural)) {
            if (!view) no_str_method(source, "rpartition");
            append_plural(plural, *view);
            name = plural.view();
        } else {
            overridden = cls.attr(name_make_plural())(source ? nb::borrow(source) : view->str());
            if (!PyUnicode_Check(overridden.ptr())) no_str_method(overridden, "split");
            name = TextView(overridden);
        }
    } else {
        if (!view) no_str_method(source, "split");
        name = *view;
    }
    TextBuilder out;
    split_each(name, '_', [&](TextView piece, Py_ssize_t index) {
        // Only the very first piece is a prefix candidate; an empty one blocks the test.
        if (index == 0 && (piece.lower_equals("t") || piece.lower_equals("v") ||
                           piece.lower_equals("sys")))
            return;
        out.append_capitalize(piece);
    });
    return out.str();
}

nb::object get_camel_name(Args& a) {
    std::optional<TextView> view;
    if (PyUnicode_Check(a[1].ptr())) view = TextView(a[1]);
    return camel_name(a[0], a[1], view, a[2]);
}

nb::object get_property_name(Args& a) {
    nb::handle cls = a[0], source = a[1], is_plural = a[2];
    TextView view(source);
    bool id = view.ends_with("_id");
    if (resolves_to(cls, name_get_camel_name(), own_get_camel_name)) {
        if (id) return camel_name(cls, nb::handle(), view.slice(0, view.size() - 3), is_plural);
        return camel_name(cls, source, view, is_plural);
    }
    nb::object name = id ? nb::object(view.slice(0, view.size() - 3).str()) : nb::borrow(source);
    return cls.attr(name_get_camel_name())(name, is_plural);
}

}  // namespace

NB_MODULE(linkage, m) {
    import_from(m, "dataclasses", "dataclass");

    nb::object str_type = text("str"), bool_type = text("bool");
    ClassBuilder builder(m, "LinkageColumn");
    builder.field("schema_name", str_type)
        .field("alias_index", str_type)
        .field("sort_order", bool_type)
        .field("unique", bool_type);
    for (const char* side : {"constrained", "referred"})
        for (const char* what : {"table", "class", "column", "name"}) {
            std::string field = std::string(side) + "_" + what;
            builder.field(field.c_str(), str_type);
        }
    builder
        .classmethod({.name = "get_camel_name",
                      .params = {{.name = "cls"}, {.name = "source"}, {.name = "is_plural"}},
                      .returns = text("str"),
                      .body = get_camel_name})
        .classmethod({.name = "get_property_name",
                      .params = {{.name = "cls"},
                                 {.name = "source", .annotation = text("str"), .exact = &PyUnicode_Type},
                                 {.name = "is_plural"}},
                      .returns = text("str"),
                      .body = get_property_name})
        .staticmethod({.name = "_make_plural_entity",
                       .doc = "将实体名称转换为复数形式\n注意：这是一个简单的规则实现，可能不适用于所有情况",
                       .params = {{.name = "entity_name"}},
                       .returns = text("str"),
                       .body = make_plural_entity});
    nb::object cls = m.attr("dataclass")(builder.build());
    nb::setattr(m, "LinkageColumn", cls);

    auto remember = [&](PyObject*& slot, PyObject* name) {
        PyObject* previous = slot;
        slot = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name);
        Py_XINCREF(slot);
        Py_XDECREF(previous);
    };
    remember(own_make_plural, name_make_plural());
    remember(own_get_camel_name, name_get_camel_name());
}
