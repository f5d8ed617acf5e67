// Test-only module: the text helpers, callable from Python so tests can hold them
// against the str methods.
#include <nanobind/nanobind.h>

#include <string>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace {

using Append = void (TextBuilder::*)(TextView);

// op(s) through a TextBuilder. With `copied`, s is first copied into another TextBuilder, so
// the operation reads four-byte code points (the path names built natively take).
nb::object through_builder(Args& a, Append op) {
    TextView v(a[0]);
    TextBuilder copy;
    if (nb::cast<bool>(a[1])) {
        copy.append(v);
        v = copy.view();
    }
    TextBuilder out;
    (out.*op)(v);
    return out.str();
}

FunctionSpec op(const char* name, Append append, nb::str (*whole)(nb::handle)) {
    return {.name = name,
            .params = {{.name = "s", .exact = &PyUnicode_Type}, {.name = "via", .default_value = nb::none()}},
            .body = [append, whole](Args& a) -> nb::object {
                if (a[1].is_none()) return whole(a[0]);
                return through_builder(a, append);
            }};
}

}  // namespace

NB_MODULE(_text_probe, m) {
    // lower(s, via=None): the whole-string helper; via=False/True goes through a
    // TextBuilder, reading s directly or from a four-byte copy.
    def(m, op("lower", &TextBuilder::append_lower, str_lower));
    def(m, op("upper", &TextBuilder::append_upper, str_upper));
    def(m, op("capitalize", &TextBuilder::append_capitalize, str_capitalize));
    def(m, op("upper_first", &TextBuilder::append_upper_first, str_upper_first));

    // Each code point's full title-case mapping, concatenated.
    def(m,
        {.name = "title_each", .params = {{.name = "s", .exact = &PyUnicode_Type}}, .body = [](Args& a) -> nb::object {
             TextView v(a[0]);
             TextBuilder out;
             Py_UCS4 buf[3];
             for (Py_ssize_t i = 0; i < v.size(); ++i) {
                 int k = case_title(v[i], buf);
                 for (int j = 0; j < k; ++j) out.push(buf[j]);
             }
             return out.str();
         }});
    def(m, {.name = "split",
            .params = {{.name = "s", .exact = &PyUnicode_Type},
                       {.name = "sep", .exact = &PyUnicode_Type},
                       {.name = "copied", .default_value = nb::bool_(false)}},
            .body = [](Args& a) -> nb::object {
                TextView v(a[0]);
                TextBuilder copy;
                if (nb::cast<bool>(a[2])) {
                    copy.append(v);
                    v = copy.view();
                }
                nb::list out;
                split_each(v, TextView(a[1])[0], [&](TextView piece, Py_ssize_t) { out.append(piece.str()); });
                return out;
            }});
    // s.rfind(c) for one character.
    def(m, {.name = "rfind",
            .params = {{.name = "s", .exact = &PyUnicode_Type}, {.name = "c", .exact = &PyUnicode_Type}},
            .body = [](Args& a) -> nb::object { return nb::int_(TextView(a[0]).rfind(TextView(a[1])[0])); }});
    def(m, {.name = "ends_with",
            .params = {{.name = "s", .exact = &PyUnicode_Type}, {.name = "suffix"}},
            .body = [](Args& a) -> nb::object {
                return nb::bool_(TextView(a[0]).ends_with(nb::cast<std::string>(a[1])));
            }});
    def(m, {.name = "equals",
            .params = {{.name = "a", .exact = &PyUnicode_Type}, {.name = "b", .exact = &PyUnicode_Type}},
            .body = [](Args& a) -> nb::object {
                TextBuilder copy;
                copy.append(TextView(a[1]));
                return nb::make_tuple(TextView(a[0]) == TextView(a[1]), TextView(a[0]) == copy.view());
            }});
    // s.lower() == ascii, decided without building the lower-case text.
    def(m, {.name = "lower_equals",
            .params = {{.name = "s", .exact = &PyUnicode_Type}, {.name = "ascii"}},
            .body = [](Args& a) -> nb::object {
                std::string target = nb::cast<std::string>(a[1]);
                TextBuilder copy;
                copy.append(TextView(a[0]));
                return nb::make_tuple(TextView(a[0]).lower_equals(target), copy.view().lower_equals(target));
            }});
    def(m, {.name = "unicode_version", .body = [](Args&) -> nb::object { return nb::str(casing_unicode_version()); }});
}
