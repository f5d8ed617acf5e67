// Test-only module: small functions and classes that exercise the runtime's
// function, class and error layers from Python.
#include <nanobind/nanobind.h>

#include <cstdint>

#include "kelvora/module.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace {

nb::object echo_args(Args& a) {
    nb::list out;
    for (size_t i = 0; i < a.size(); ++i) out.append(a[i]);
    return nb::tuple(out);
}

// Stands for a module's loader: records the instance it sees on its class.
nb::object record_load(Args& a) {
    nb::object seen = a[0].type().attr("_instance"_n);
    a.global("loads"_n).attr("append"_n)(nb::make_tuple(a[0], seen));
    if (truthy(a[0].type().attr("fail"_n))) raise(PyExc_RuntimeError, "load failed");
    return nb::none();
}

OwnAttribute own_shout;

// Fails at the statement its step names; each statement before it succeeds.
// The traceback entry names the line marked with that step.
constexpr auto fail_at_decl = function("fail_at", {{.name = "step"}, {.name = "target"}});
nb::object fail_at(Call<fail_at_decl> a) {
    auto [step_value, target] = a.params();
    std::int64_t step = nb::cast<std::int64_t>(step_value);
    nb::object value = target.attr("value"_n);         // fails: attribute
    if (step == 1) a.global("no_such_global"_n);       // fails: global
    if (step == 2) value = target.attr("value"_n)();   // fails: call
    if (step == 3) raise(PyExc_ValueError, "step 3");  // fails: raise
    // target.run calls a native function of this file, which returns, then raises:
    if (step == 4) target.attr("run"_n)();  // fails: nested
    return value;
}

// def pack(x, y, z=None): return (x, y, z) -- the bench's twin of a small def
constexpr auto pack_decl = function("pack", {{.name = "x"}, {.name = "y"}, {.name = "z", .default_value = none}});
nb::object pack(Call<pack_decl> a) {
    auto [x, y, z] = a.params();
    return nb::make_tuple(x, y, z);
}

constexpr auto nothing_decl = function("nothing");
nb::object nothing(Call<nothing_decl>) {
    return nb::object();
}

// Declared defaults and annotations of every kind, made when the module is built.
constexpr auto described_decl = function(
    "described",
    {{.name = "flag", .default_value = true, .annotation = &PyBool_Type},
     {.name = "count", .default_value = -3, .annotation = "int"},
     {.name = "ratio", .default_value = 0.5},
     {.name = "label", .default_value = "ü", .annotation = global("Sample")},
     {.name = "items", .kind = Kind::keyword_only, .default_value = made([] { return nb::object(nb::list()); })},
     {.name = "target", .kind = Kind::keyword_only, .default_value = global("loads")},
     {.name = "home", .kind = Kind::keyword_only, .default_value = made([](nb::handle m) {
                                                      return nb::object(nb::make_tuple(m.attr("Sample")));
                                                  })}},
    {.doc = "Its defaults, in order.", .returns = "tuple"});
nb::object described(Call<described_decl> a) {
    auto [flag, count, ratio, label, items, target, home] = a.params();
    return nb::make_tuple(flag, count, ratio, label, items, target, home);
}

// Passed through a module global before it is bound, as under `@lru_cache`; its
// return annotation made from the module's globals.
constexpr auto cached_decl =
    function("cached", {{.name = "x"}},
             {.returns = made([](nb::handle m) -> nb::object { return nb::make_tuple(m.attr("Sample")); }),
              .decorator = global("lru_cache")});
nb::object cached(Call<cached_decl> a) {
    return nb::make_tuple(a.get<"x">());  // a new tuple per call: the cache answers repeats
}

// A read-only property of Sample: its getter.
constexpr auto kind_decl = property("kind", {{.name = "self"}}, {.doc = "The class name."});
nb::object kind(Call<kind_decl> a) {
    return nb::str(nb::type_name(a.get<"self">().type()));
}

}  // namespace

NB_MODULE(_runtime_probe, m) {
    // A FunctionSpec body reading past its one parameter.
    def(m, {.name = "past", .params = {{.name = "x"}}, .body = [](Args& a) { return nb::borrow(a[1]); }});
    // Interned literals and message templates.
    def(m, {.name = "interned", .body = [](Args&) { return nb::borrow("commit"_n); }});
    def(m, {.name = "template", .params = {{.name = "name"}, {.name = "value"}}, .body = [](Args& a) {
                return "健康检查: {} 通过 - result: {}"_n.format(a[0], a[1]);
            }});
    def(m,
        {.name = "wide_template", .params = {{.name = "value"}}, .body = [](Args& a) { return "𝔘{}"_n.format(a[0]); }});
    // Writes one line at each level through the module's `logging` global.
    def(m, {.name = "log_lines", .params = {{.name = "value"}}, .body = [](Args& a) -> nb::object {
                logger(a).debug_line();
                logger(a).debug("固定的一行"_n);
                logger(a).info("值: {}"_n.format(a[0]));
                logger(a).warning("警告 {}"_n.format(a[0]));
                logger(a).error("错误 {}"_n.format(a[0]), nb::arg("exc_info") = true);
                return nb::none();
            }});
    // Single instances stored before / after their loader runs.
    for (auto [name, publish] :
         {std::pair{"StoredFirst", Publish::before_load}, std::pair{"StoredLast", Publish::after_load}}) {
        Publish order = publish;
        ClassBuilder(m, name)
            .attr("_instance", nb::none())
            .attr("_lock", nb::module_::import_("threading").attr("Lock")())
            .attr("fail", nb::bool_(false))
            .staticmethod({.name = "__new__",
                           .params = {{.name = "cls"}},
                           .body = [order](Args& a) { return single_instance(a[0], "load"_n, order); }})
            .method({.name = "load", .params = {{.name = "self"}}, .body = record_load})
            .build();
    }
    m.attr("loads") = nb::list();
    // Whether cls.shout is still Shouter's own.
    nb::object shouter =
        ClassBuilder(m, "Shouter")
            .staticmethod(
                {.name = "shout", .params = {{.name = "text"}}, .body = [](Args& a) { return nb::borrow(a[0]); }})
            .build();
    own_shout.remember(shouter, "shout"_n);
    def(m, {.name = "shout_is_own", .params = {{.name = "cls"}}, .body = [](Args& a) {
                return nb::bool_(own_shout.resolves(a[0]));
            }});

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
    // def items(iterable): return [item for item in iterable] -- the modules' loop idiom
    def(m, {.name = "items", .params = {{.name = "iterable"}}, .body = [](Args& a) {
                nb::list out;
                for (nb::handle item : a[0]) out.append(item);
                return nb::object(out);
            }});
    def(m, pack);
    // def kwonly(x, *, k)
    def(m, {.name = "kwonly", .params = {{.name = "x"}, {.name = "k", .kind = Kind::keyword_only}}, .body = echo_args});
    def(m, nothing);
    def(m, {.name = "typed",
            .params = {{.name = "path", .annotation = nb::borrow(&PyUnicode_Type), .exact = &PyUnicode_Type},
                       {.name = "data", .default_value = nb::dict(), .exact = &PyDict_Type}},
            .body = echo_args});

    // Calls its argument; Python errors pass through unchanged.
    def(m, {.name = "call", .params = {{.name = "fn"}}, .body = [](Args& a) { return a[0](); }});
    // A new function like `call`, held by nobody but the caller.
    def(m, {.name = "fresh_call", .body = [](Args&) {
                return make_function(
                    nb::module_::import_("_runtime_probe"),
                    {.name = "call", .params = {{.name = "fn"}}, .body = [](Args& a) { return a[0](); }});
            }});
    // Calls fn(); on an exception raises ValueError("wrapped") while handling it.
    def(m, {.name = "raise_while_handling", .params = {{.name = "fn"}}, .body = [](Args& a) -> nb::object {
                try {
                    return a[0]();
                } catch (nb::python_error& e) {
                    Handling scope(e.value());
                    raise(PyExc_ValueError, "wrapped");
                }
            }});
    // Catches the exception of fn(), then re-raises the very same object.
    def(m, {.name = "catch_and_reraise", .params = {{.name = "fn"}}, .body = [](Args& a) -> nb::object {
                try {
                    return a[0]();
                } catch (nb::python_error& e) {
                    nb::object exc = nb::borrow(e.value());
                    raise_object(exc);
                }
            }});
    // A C++ exception becomes the interpreter's matching error.
    def(m, {.name = "throw_cpp", .params = {{.name = "kind"}}, .body = [](Args& a) -> nb::object {
                std::string kind = nb::cast<std::string>(a[0]);
                if (kind == "value") throw std::invalid_argument("bad value");
                if (kind == "index") throw std::out_of_range("out of range");
                if (kind == "type") throw nb::type_error("bad type");
                throw std::runtime_error("plain failure");
            }});
    def(m, fail_at);
    // Reads the module global `target` at call time.
    def(m, {.name = "read_global", .body = [](Args& a) { return a.global("target"_n); }});

    ClassBuilder(m, "Sample")
        .doc("A class built from native functions.")
        .attr("counter", nb::int_(0))
        .method({.name = "describe",
                 .params = {{.name = "self"}, {.name = "suffix", .default_value = nb::str("!")}},
                 .returns = text("str"),
                 .body = [](Args& a) { return nb::object(nb::str("{}{}").format(nb::type_name(a[0].type()), a[1])); }})
        .classmethod({.name = "make", .params = {{.name = "cls"}}, .body = [](Args& a) { return a[0](); }})
        .staticmethod({.name = "twice",
                       .params = {{.name = "value", .exact = &PyLong_Type}},
                       .body = [](Args& a) { return nb::object(a[0] * nb::int_(2)); }})
        .add(kind)
        .build();
    def(m, described);
    import_from(m, "functools", "lru_cache");
    def(m, cached);

    nb::object record = ClassBuilder(m, "Record")
                            .doc("A plain record.")
                            .field("name", nb::borrow(&PyUnicode_Type))
                            .field("size", nb::borrow(&PyLong_Type), nb::int_(0))
                            .build();
    dataclass(m, record);
}
