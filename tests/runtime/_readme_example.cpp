// The example module of native/README.md: the README's code is cut from this
// file (test_readme.py keeps them the same), the build compiles it, and
// test_readme.py runs it against Python twins.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"    // only if it has coroutines
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"    // only if it works on texts

namespace nb = nanobind;
using namespace nb::literals;  // "keyword"_a
using namespace kelvora;

namespace readme_example {     // the module's own name, never anonymous

// text.encode("utf-8"), through the C API: a call that reports failure is
// followed by raise_pending(), which throws the error it set.
nb::object utf8(nb::handle text) {
    PyObject* bytes = PyUnicode_AsUTF8String(text.ptr());
    if (!bytes) raise_pending();
    return nb::steal(bytes);
}

nb::object hash_password(Args& a) {
    nb::object bcrypt = a.global("bcrypt"_n);
    nb::object hashed = bcrypt.attr("hashpw"_n)(utf8(a[1]), bcrypt.attr("gensalt"_n)());
    return hashed.attr("decode"_n)("utf-8"_n);
}

nb::object verify_password(Args& a) {
    try {
        return a.global("bcrypt"_n).attr("checkpw"_n)(utf8(a[1]), utf8(a[2]));
    } catch (nb::python_error& e) {
        Handling scope(e.value());
        logger(a).error("密码验证系统错误: {}"_n.format(e.value()), "exc_info"_a = true);
        raise_object(e.value());  // the same object, re-raised
    }
}

// def table_title(name: str, prefix="", *, upper: bool = False) -> str
nb::object table_title(Args& a) {
    TextBuilder out;
    out.append(TextView(a[1]));
    split_each(TextView(a[0]), '_', [&](TextView piece, Py_ssize_t i) {
        if (!(i == 0 && piece.lower_in({"t", "v", "sys"}))) out.append_capitalize(piece);
    });
    nb::str title = out.str();
    return truthy(a[2]) ? str_upper(title) : title;
}

// def to_json(value): from json import dumps; return dumps(value, sort_keys=True)
nb::object to_json(Args& a) {
    nb::object dumps = import_local(a, "json", "dumps");
    return dumps(a[0], "sort_keys"_a = true);
}

Coro close_all(Args a) {
    logger(a).debug("开始关闭所有数据库资源"_n);
    co_await a[0].attr("engine"_n).attr("dispose"_n)();
    co_return nb::none();
}

Coro commit(Args a) {
    nb::handle session = a[0];
    Caught failure;
    try {
        co_await session.attr("commit"_n)();
    } catch (...) {
        failure.capture();
    }
    if (failure) co_await session.attr("rollback"_n)();
    failure.rethrow();
    co_return nb::none();
}

Coro first_row(Args a) {
    AsyncWith scope(a[0].attr("connect"_n)());
    nb::object connection = co_await scope.enter();
    nb::object row;
    Caught body;
    try {
        row = co_await connection.attr("execute"_n)(a[1]);
        row = row.attr("first"_n)();
    } catch (...) {
        body.capture();
    }
    co_await scope.exit(body);
    co_return row;
}

}  // namespace readme_example

NB_MODULE(_readme_example, m) {
    import_module(m, "bcrypt");
    import_from(m, "kelvora_core.logger.logging_", "logging");
    Param cls{.name = "cls"};
    ClassBuilder(m, "Warden")
        .classmethod({.name = "hash_password",
                      .doc = "对明文密码进行哈希处理。",
                      .params = {cls, {.name = "password", .annotation = text("str"), .exact = &PyUnicode_Type}},
                      .returns = text("str"),
                      .body = readme_example::hash_password})
        .classmethod({.name = "verify_password",
                      .doc = "验证明文密码与哈希值是否匹配。",
                      .params = {cls, exact_str("plain_password"), exact_str("hashed_password")},
                      .returns = text("bool"),
                      .body = readme_example::verify_password})
        .build();

    def(m, {.name = "table_title",
            .doc = "The class name of a table: its words capitalised, a t_, v_ or sys_ prefix left out.",
            .params = {exact_str("name"),                                   // name: str, exactly
                       {.name = "prefix", .default_value = nb::str("")},     // prefix="": no annotation
                       {.name = "upper",                                     // *, upper: bool = False
                        .kind = Kind::keyword_only,
                        .default_value = nb::bool_(false),
                        .annotation = type_object(&PyBool_Type)}},
            .returns = type_object(&PyUnicode_Type),
            .body = readme_example::table_title});
    def(m, {.name = "to_json", .params = {{.name = "value"}}, .body = readme_example::to_json});

    def(m, {.name = "close_all", .params = {{.name = "self"}}, .body = readme_example::close_all});
    def(m, {.name = "commit", .params = {{.name = "session"}}, .body = readme_example::commit});
    def(m, {.name = "first_row", .params = {{.name = "engine"}, {.name = "statement"}},
            .body = readme_example::first_row});
}
