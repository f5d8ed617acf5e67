// Data-permission rules bound to routes: an HTTP method, a path pattern and the
// rule's role/action/object triple.
#include <nanobind/nanobind.h>

#include <vector>

#include "kelvora/module.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace gatepost {

// Word characters exactly as `re` reads \w in a str pattern.
template <class Char>
bool is_word(Char c) {
    if (c < 128) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    return Py_UNICODE_ISALNUM(Py_UCS4(c));
}

// End of the parameter name after the brace at `at`, or 0 when no name follows.
template <class Char>
size_t name_end(const Char* s, size_t size, size_t at) {
    size_t i = at + 1;
    while (i < size && is_word(s[i])) ++i;
    return i > at + 1 ? i : 0;
}

template <class Char>
void append(std::vector<Char>& out, const char* ascii) {
    while (*ascii) out.push_back(Char(*ascii++));
}

// The rewrite `\{(\w+):[^}]+}` -> `{\1}`, then `\{(\w+)}` -> `(?P<\1>[^/]+)`,
// scanned left to right as re.sub does, then "$" appended.
template <class Char>
std::vector<Char> convert(const Char* data, size_t size) {
    std::vector<Char> bare;
    bare.reserve(size);
    for (size_t i = 0; i < size;) {
        if (data[i] == '{') {
            size_t end = name_end(data, size, i);
            // A name, a colon, at least one character that is not '}', then '}'.
            if (end && end + 1 < size && data[end] == ':' && data[end + 1] != '}') {
                size_t close = end + 1;
                while (close < size && data[close] != '}') ++close;
                if (close < size) {
                    bare.insert(bare.end(), data + i, data + end);
                    bare.push_back('}');
                    i = close + 1;
                    continue;
                }
            }
        }
        bare.push_back(data[i++]);
    }

    std::vector<Char> out;
    out.reserve(bare.size() + 16);
    for (size_t i = 0; i < bare.size();) {
        if (bare[i] == '{') {
            size_t end = name_end(bare.data(), bare.size(), i);
            if (end && end < bare.size() && bare[end] == '}') {
                append(out, "(?P<");
                out.insert(out.end(), bare.begin() + i + 1, bare.begin() + end);
                append(out, ">[^/]+)");
                i = end + 1;
                continue;
            }
        }
        out.push_back(bare[i++]);
    }
    out.push_back('$');
    return out;
}

constexpr auto convert_path_to_regex_decl =
    staticmethod("convert_path_to_regex", {exact_str("path")},
                 {.doc = "将 FastAPI 路径模板转换为用于精确结尾匹配的正则表达式。\n"
                         "\n"
                         "先去掉路径参数的类型注解，再把每个参数变成命名分组，最后追加 \"$\"，\n"
                         "使规则只在路径结尾完整匹配，不会误匹配以它开头的更长路径。\n"
                         "\n"
                         "示例:\n"
                         "    \"/users/{user_id:int}\" -> \"/users/(?P<user_id>[^/]+)$\"\n"
                         "    \"/orders/{order_id}\" -> \"/orders/(?P<order_id>[^/]+)$\"\n"
                         "    \"/api/v1/users/{uid}\" -> \"/api/v1/users/(?P<uid>[^/]+)$\"\n",
                  .returns = global("Pattern")});
nb::object convert_path_to_regex(Call<convert_path_to_regex_decl> a) {
    PyObject* path = a.get<"path">().ptr();
    int kind = PyUnicode_KIND(path);
    const void* data = PyUnicode_DATA(path);
    size_t size = size_t(PyUnicode_GET_LENGTH(path));
    PyObject* expression = nullptr;
    if (kind == PyUnicode_1BYTE_KIND) {
        auto out = convert(static_cast<const Py_UCS1*>(data), size);
        expression = PyUnicode_FromKindAndData(kind, out.data(), Py_ssize_t(out.size()));
    } else if (kind == PyUnicode_2BYTE_KIND) {
        auto out = convert(static_cast<const Py_UCS2*>(data), size);
        expression = PyUnicode_FromKindAndData(kind, out.data(), Py_ssize_t(out.size()));
    } else {
        auto out = convert(static_cast<const Py_UCS4*>(data), size);
        expression = PyUnicode_FromKindAndData(kind, out.data(), Py_ssize_t(out.size()));
    }
    if (!expression) raise_pending();
    nb::object regex = nb::steal(expression);
    return a.global("re"_n).attr("compile"_n)(regex);
}

}  // namespace gatepost

NB_MODULE(gatepost, m) {
    import_module(m, "re");
    import_from(m, "dataclasses", "dataclass");
    nb::object pattern = import_from(m, "typing", "Pattern");
    nb::object str_type = type_object(&PyUnicode_Type);

    nb::object cls = ClassBuilder(m, "Gatepost")
                         .doc(
                             "表示一条数据权限控制规则。\n"
                             "\n"
                             "将 Casbin 的一条数据权限策略（p 规则）绑定到 Web 路由。\n"
                             "\n"
                             "Attributes:\n"
                             "    method: HTTP 方法，如 'GET'、'POST'\n"
                             "    pattern: 匹配请求路径的已编译正则表达式（由 convert_path_to_regex 生成）\n"
                             "    data_role: Casbin 中的角色标识，如 'admin'、'user'\n"
                             "    data_act: 操作，如 'read'、'write'\n"
                             "    data_obj: 数据对象类型，如 'order'、'user_profile'\n")
                         .field("method", str_type)
                         .field("pattern", pattern)
                         .field("data_role", str_type)
                         .field("data_act", str_type)
                         .field("data_obj", str_type)
                         .add(gatepost::convert_path_to_regex)
                         .build();
    dataclass(m, cls);
}
