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

namespace linkage {

// The class's own methods: while cls still resolves to them, the naming is
// done here without calling them.
OwnAttribute own_make_plural, own_get_camel_name;

struct Irregular {
    std::string_view singular, plural;
};

constexpr Irregular irregular_plurals[] = {
    {"person", "people"},
    {"child", "children"},
    {"man", "men"},
    {"woman", "women"},
    {"foot", "feet"},
    {"tooth", "teeth"},
    {"mouse", "mice"},
    {"goose", "geese"},
    {"ox", "oxen"},
    {"criterion", "criteria"},
    {"phenomenon", "phenomena"},
    {"datum", "data"},
    {"analysis", "analyses"},
    {"thesis", "theses"},
    {"crisis", "crises"},
    {"index", "indexes"},
    {"matrix", "matrices"},
    {"vertex", "vertices"},
    {"focus", "foci"},
    {"staff", "staffs"},
};

// The irregular entry whose singular is tail.lower(), if any.
const Irregular* find_irregular(TextView tail) {
    if (const unsigned char* p = tail.ascii_bytes()) {
        // Lower-case a short ASCII tail once instead of once per entry.
        constexpr size_t longest = 10;  // "phenomenon"
        if (size_t(tail.size()) > longest) return nullptr;
        char buf[longest];
        for (Py_ssize_t i = 0; i < tail.size(); ++i) buf[i] = char(unsigned(p[i] - 'A') < 26u ? p[i] + 32 : p[i]);
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

constexpr auto _make_plural_entity_decl = staticmethod(
    "_make_plural_entity", {{.name = "entity_name"}},
    {.doc = "将实体名称转换为复数形式\n注意：这是一个简单的规则实现，可能不适用于所有情况", .returns = "str"});
nb::object _make_plural_entity(Call<_make_plural_entity_decl> a) {
    auto [entity_name] = a.params();
    if (!PyUnicode_Check(entity_name.ptr())) raise_not_str(entity_name, "rpartition"_n, "_"_n);
    TextBuilder out;
    append_plural(out, TextView(entity_name));
    return out.str();
}

// get_camel_name of `source`. `view` holds its code points when it is a str; with a
// null `source`, `view` is part of the caller's argument and a str is made from it
// only if an overriding _make_plural_entity needs one.
nb::object camel_name(nb::handle cls, nb::handle source, std::optional<TextView> view, nb::handle is_plural) {
    TextBuilder plural;
    nb::object overridden;
    TextView name;
    if (truthy(is_plural)) {
        if (own_make_plural.resolves(cls)) {
            if (!view) raise_not_str(source, "rpartition"_n, "_"_n);
            append_plural(plural, *view);
            name = plural.view();
        } else {
            overridden = cls.attr("_make_plural_entity"_n)(source ? nb::borrow(source) : view->str());
            if (!PyUnicode_Check(overridden.ptr())) raise_not_str(overridden, "split"_n, "_"_n);
            name = TextView(overridden);
        }
    } else {
        if (!view) raise_not_str(source, "split"_n, "_"_n);
        name = *view;
    }
    TextBuilder out;
    split_each(name, '_', [&](TextView piece, Py_ssize_t index) {
        // Only the very first piece is a prefix candidate; an empty one blocks the test.
        if (index == 0 && piece.lower_in({"t", "v", "sys"})) return;
        out.append_capitalize(piece);
    });
    return out.str();
}

constexpr auto get_camel_name_decl =
    classmethod("get_camel_name", {{.name = "cls"}, {.name = "source"}, {.name = "is_plural"}}, {.returns = "str"});
nb::object get_camel_name(Call<get_camel_name_decl> a) {
    auto [cls, source, is_plural] = a.params();
    std::optional<TextView> view;
    if (PyUnicode_Check(source.ptr())) view = TextView(source);
    return camel_name(cls, source, view, is_plural);
}

constexpr auto get_property_name_decl = classmethod(
    "get_property_name",
    {{.name = "cls"}, {.name = "source", .annotation = "str", .exact = &PyUnicode_Type}, {.name = "is_plural"}},
    {.returns = "str"});
nb::object get_property_name(Call<get_property_name_decl> a) {
    auto [cls, source, is_plural] = a.params();
    TextView view(source);
    bool id = view.ends_with("_id");
    if (own_get_camel_name.resolves(cls)) {
        if (id) return camel_name(cls, nb::handle(), view.slice(0, view.size() - 3), is_plural);
        return camel_name(cls, source, view, is_plural);
    }
    nb::object name = id ? nb::object(view.slice(0, view.size() - 3).str()) : nb::borrow(source);
    return cls.attr("get_camel_name"_n)(name, is_plural);
}

}  // namespace linkage

NB_MODULE(linkage, m) {
    import_from(m, "dataclasses", "dataclass");

    // Annotations are texts here, as in a module written with postponed annotations.
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
    builder.add(linkage::get_camel_name, linkage::get_property_name, linkage::_make_plural_entity);
    nb::object cls = dataclass(m, builder.build());
    linkage::own_make_plural.remember(cls, "_make_plural_entity"_n);
    linkage::own_get_camel_name.remember(cls, "get_camel_name"_n);
}
