// Test-only module: small functions and classes that exercise the runtime's
// function, class and error layers from Python.
#include <nanobind/nanobind.h>

#include "kelvora/module.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace {

nb::object echo_args(Args& a) {
    nb::list out;
    for (size_t i = 0; i < a.size(); ++i) out.append(a[i]);
    return nb::tuple(out);
}

}  // namespace

NB_MODULE(_runtime_probe, m) {
    // def full(a, b=2, /, c=3, *args, d, e=5, **kwargs)
    def(m, {.name = "full",
            .doc = "Binds like its Python twin.",
            .params = {{.name = "a", .kind = Kind::positional_only},
                       {.name = "b", .kind = Kind::positional_only, .default_value = nb::int_(2)},
                       {.name = "c", .default_value = nb::int_(3), .annotation = text("int")},
                       {.name = "args", .kind = Kind::var_positional},
                       {.name = "d", .kind = Kind::keyword_only},
                       {.name = "e", .kind = Kind::keyword_only, .default_value = nb::int_(5)},
                       {.name = "kwargs", .kind = Kind::var_keyword}},
            .returns = text("tuple"),
            .body = echo_args});
    // def simple(x, y, z=None)
    def(m, {.name = "simple",
            .params = {{.name = "x"}, {.name = "y"}, {.name = "z", .default_value = nb::none()}},
            .body = echo_args});
    // def kwonly(x, *, k)
    def(m, {.name = "kwonly",
            .params = {{.name = "x"}, {.name = "k", .kind = Kind::keyword_only}},
            .body = echo_args});
    def(m, {.name = "nothing", .body = [](Args&) { return nb::object(); }});
    def(m, {.name = "typed",
            .params = {{.name = "path", .annotation = nb::borrow(&PyUnicode_Type), .exact = &PyUnicode_Type},
                       {.name = "data", .default_value = nb::dict(), .exact = &PyDict_Type}},
            .body = echo_args});

    // Calls its argument; Python errors pass through unchanged.
    def(m, {.name = "call", .params = {{.name = "fn"}},
            .body = [](Args& a) { return a[0](); }});
    // Calls fn(); on an exception raises ValueError("wrapped") while handling it.
    def(m, {.name = "raise_while_handling", .params = {{.name = "fn"}},
            .body = [](Args& a) -> nb::object {
                try {
                    return a[0]();
                } catch (nb::python_error& e) {
                    Handling scope(e.value());
                    raise(PyExc_ValueError, "wrapped");
                }
            }});
    // Catches the exception of fn(), then re-raises the very same object.
    def(m, {.name = "catch_and_reraise", .params = {{.name = "fn"}},
            .body = [](Args& a) -> nb::object {
                try {
                    return a[0]();
                } catch (nb::python_error& e) {
                    nb::object exc = nb::borrow(e.value());
                    raise_object(exc);
                }
            }});
    // A C++ exception becomes the interpreter's matching error.
    def(m, {.name = "throw_cpp", .params = {{.name = "kind"}},
            .body = [](Args& a) -> nb::object {
                std::string kind = nb::cast<std::string>(a[0]);
                if (kind == "value") throw std::invalid_argument("bad value");
                if (kind == "index") throw std::out_of_range("out of range");
                if (kind == "type") throw nb::type_error("bad type");
                throw std::runtime_error("plain failure");
            }});
    // Reads the module global `target` at call time.
    def(m, {.name = "read_global", .body = [](Args& a) { return a.global("target"_n); }});

    ClassBuilder(m, "Sample")
        .doc("A class built from native functions.")
        .attr("counter", nb::int_(0))
        .method({.name = "describe",
                 .params = {{.name = "self"}, {.name = "suffix", .default_value = nb::str("!")}},
                 .returns = text("str"),
                 .body = [](Args& a) {
                     return nb::object(nb::str("{}{}").format(nb::type_name(a[0].type()), a[1]));
                 }})
        .classmethod({.name = "make",
                      .params = {{.name = "cls"}},
                      .body = [](Args& a) { return a[0](); }})
        .staticmethod({.name = "twice",
                       .params = {{.name = "value", .exact = &PyLong_Type}},
                       .body = [](Args& a) { return nb::object(a[0] * nb::int_(2)); }})
        .build();

    nb::object record = ClassBuilder(m, "Record")
                            .doc("A plain record.")
                            .field("name", nb::borrow(&PyUnicode_Type))
                            .field("size", nb::borrow(&PyLong_Type), nb::int_(0))
                            .build();
    dataclass(m, record);
}
