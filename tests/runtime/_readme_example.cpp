// The example module of native/README.md: the README's code is cut from this
// file (test_readme.py keeps them the same), the build compiles it, and
// test_readme.py runs it against Python twins.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"  // only if it has coroutines
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"  // only if it works on texts

namespace nb = nanobind;
using namespace nb::literals;  // "keyword"_a
using namespace kelvora;

namespace readme_example {  // the module's own name, never anonymous

// text.encode("utf-8"), through the C API: a call that reports failure is
// followed by raise_pending(), which throws the error it set.
nb::object utf8(nb::handle text) {
    PyObject* bytes = PyUnicode_AsUTF8String(text.ptr());
    if (!bytes) raise_pending();
    return nb::steal(bytes);
}

constexpr Parameter cls{.name = "cls"};

// @classmethod def hash_password(cls, password: str) -> str
constexpr auto hash_password_decl =
    classmethod("hash_password", {cls, {.name = "password", .annotation = "str", .exact = &PyUnicode_Type}},
                {.doc = "对明文密码进行哈希处理。", .returns = "str"});
nb::object hash_password(Call<hash_password_decl> a) {
    auto [cls, password] = a.params();  // one name per declared parameter
    nb::object bcrypt = a.global("bcrypt"_n);
    nb::object hashed = bcrypt.attr("hashpw"_n)(utf8(password), bcrypt.attr("gensalt"_n)());
    return hashed.attr("decode"_n)("utf-8"_n);
}

constexpr auto verify_password_decl =
    classmethod("verify_password", {cls, exact_str("plain_password"), exact_str("hashed_password")},
                {.doc = "验证明文密码与哈希值是否匹配。", .returns = "bool"});
nb::object verify_password(Call<verify_password_decl> a) {
    try {
        nb::object plain = utf8(a.get<"plain_password">()), hashed = utf8(a.get<2>());
        return a.global("bcrypt"_n).attr("checkpw"_n)(plain, hashed);
    } catch (nb::python_error& e) {
        Handling scope(e.value());
        logger(a).error("密码验证系统错误: {}"_n.format(e.value()), "exc_info"_a = true);
        raise_object(e.value());  // the same object, re-raised
    }
}

// def table_title(name: str, prefix="", *, upper: bool = False) -> str
constexpr auto table_title_decl =
    function("table_title",
             {exact_str("name"),                        // name: str, exactly
              {.name = "prefix", .default_value = ""},  // prefix="": no annotation
              {.name = "upper",                         // *, upper: bool = False
               .kind = Kind::keyword_only,
               .default_value = false,
               .annotation = &PyBool_Type}},
             {.doc = "The class name of a table: its words capitalised, a t_, v_ or sys_ prefix left out.",
              .returns = &PyUnicode_Type});
nb::object table_title(Call<table_title_decl> a) {
    auto [name, prefix, upper] = a.params();
    TextBuilder out;
    out.append(TextView(prefix));
    split_each(TextView(name), '_', [&](TextView piece, Py_ssize_t i) {
        if (!(i == 0 && piece.lower_in({"t", "v", "sys"}))) out.append_capitalize(piece);
    });
    nb::str title = out.str();
    return truthy(upper) ? str_upper(title) : title;
}

// def to_json(value): from json import dumps; return dumps(value, sort_keys=True)
constexpr auto to_json_decl = function("to_json", {{.name = "value"}});
nb::object to_json(Call<to_json_decl> a) {
    nb::object dumps = import_local(a, "json", "dumps");
    return dumps(a.get<0>(), "sort_keys"_a = true);
}

// async def close_all(self)
constexpr auto close_all_decl = function("close_all", {{.name = "self"}});
Coro close_all(Call<close_all_decl> a) {
    logger(a).debug("开始关闭所有数据库资源"_n);
    co_await a.get<"self">().attr("engine"_n).attr("dispose"_n)();
    co_return nb::none();
}

constexpr auto commit_decl = function("commit", {{.name = "session"}});
Coro commit(Call<commit_decl> a) {
    auto [session] = a.params();
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

constexpr auto first_row_decl = function("first_row", {{.name = "engine"}, {.name = "statement"}});
Coro first_row(Call<first_row_decl> a) {
    auto [engine, statement] = a.params();
    AsyncWith scope(engine.attr("connect"_n)());
    nb::object connection = co_await scope.enter();
    nb::object row;
    Caught body;
    try {
        row = co_await connection.attr("execute"_n)(statement);
        row = row.attr("first"_n)();
    } catch (...) {
        body.capture();
    }
    co_await scope.exit(body);
    co_return row;
}

// def count_words(text: str) -> int: return len(text.split())
constexpr auto count_words_decl =
    function("count_words", {exact_str("text")}, {.doc = "How many words the text has.", .returns = &PyLong_Type});
nb::object count_words(Call<count_words_decl> a) {
    PyObject* words = PyUnicode_Split(a.get<"text">().ptr(), nullptr, -1);
    if (!words) raise_pending();
    return nb::int_(PyList_GET_SIZE(nb::steal(words).ptr()));
}

// async def count_words_later(text: str, delay=0.0) -> int
constexpr auto count_words_later_decl =
    function("count_words_later", {exact_str("text"), {.name = "delay", .default_value = 0.0}},
             {.doc = "count_words(text), after asyncio.sleep(delay).", .returns = &PyLong_Type});
Coro count_words_later(Call<count_words_later_decl> a) {
    auto [text, delay] = a.params();
    co_await a.global("asyncio"_n).attr("sleep"_n)(delay);
    co_return a.global("count_words"_n)(text);
}

}  // namespace readme_example

NB_MODULE(_readme_example, m) {
    import_module(m, "asyncio");
    import_module(m, "bcrypt");
    import_from(m, "kelvora_core.logger.logging_", "logging");
    ClassBuilder(m, "Warden").add(readme_example::hash_password, readme_example::verify_password).build();
    def(m, readme_example::table_title);
    def(m, readme_example::to_json);
    def(m, readme_example::close_all);
    def(m, readme_example::commit);
    def(m, readme_example::first_row);
    def(m, readme_example::count_words);
    def(m, readme_example::count_words_later);
}
