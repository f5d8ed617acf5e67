// Database exceptions to a short user-facing message and the raw detail.
#include <nanobind/nanobind.h>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace faultmap {


// The detail of an exception: its args as texts, or str(exc) when it has none.
nb::object detail_of(nb::handle exc) {
    static Name args_name("args");
    PyObject* args = PyObject_GetAttr(exc.ptr(), args_name);
    if (!args) raise_pending();
    nb::object owned = nb::steal(args);
    PyObject* it = PyObject_GetIter(args);
    if (!it) raise_pending();
    nb::object iter = nb::steal(it);
    nb::list detail;
    while (PyObject* item = PyIter_Next(it)) {
        nb::object element = nb::steal(item);
        detail.append(str_of(element));
    }
    if (PyErr_Occurred()) raise_pending();
    if (nb::len(detail)) return detail;
    return str_of(exc);
}

bool is_instance(nb::handle obj, const Args& a, PyObject* class_name) {
    int r = PyObject_IsInstance(obj.ptr(), a.global(class_name).ptr());
    if (r < 0) raise_pending();
    return r == 1;
}

// Messages are built once and kept (interned), like a Python module's constants.
nb::object pair(const Name& message, nb::handle detail) {
    return nb::make_tuple(message.handle(), detail);
}

nb::object format_integrity_error(Args& a) {
    static Name orig_name("orig");
    nb::handle exc = a[0];
    PyObject* orig = nullptr;
    if (PyObject_GetOptionalAttr(exc.ptr(), orig_name, &orig) < 0) raise_pending();
    nb::object exc_orig = nb::steal(orig ? orig : Py_NewRef(Py_None));
    static const Name starting("您提交的数据，违反了数据库约束。");
    const Name* message = &starting;
    nb::object detail = detail_of(exc);
    if (truthy(exc_orig)) {
        nb::str lowered = str_lower(str_of(exc_orig));
        // Keywords anywhere in the driver's text; the first rule that holds wins.
        struct Rule {
            Name first;
            Name second;
            Name message;
        };
        static const Rule rules[] = {
            {Name("unique"), Name("duplicate"), Name("您提交的数据已存在，请勿重复添加")},
            {Name("foreignkey"), Name("foreign key"), Name("外键不存在，请检查关联数据")},
            {Name("not null"), Name("not null"), Name("必填字段不能为空")},
            {Name("check constraint"), Name("check constraint"), Name("数据未通过校验规则")},
            {Name("too long"), Name("too long"), Name("输入数据长度超出限制")},
        };
        for (const auto& rule : rules) {
            int hit = PyUnicode_Contains(lowered.ptr(), rule.first);
            if (hit == 0 && rule.second.ptr != rule.first.ptr)
                hit = PyUnicode_Contains(lowered.ptr(), rule.second);
            if (hit < 0) raise_pending();
            if (hit) {
                message = &rule.message;
                break;
            }
        }
    }
    return pair(*message, detail);
}

nb::object format_faultmap(Args& a) {
    static Name integrity("IntegrityError"), data("DataError"), operational("OperationalError"),
        programming("ProgrammingError"), statement("StatementError"),
        integrity_formatter("_format_integrity_error");
    static const Name data_message("提交的数据格式或长度不正确，请检查输入"),
        operational_message("数据库连接或操作失败，请检查服务状态或稍后重试"),
        programming_message("数据库操作语句有误，请联系管理员"),
        statement_message("执行的数据库语句存在问题，请检查查询条件或参数"),
        other_message("访问数据库异常，请联系管理员");
    nb::handle exc = a[0];
    nb::object detail = detail_of(exc);
    if (is_instance(exc, a, integrity)) return a.global(integrity_formatter)(exc);
    if (is_instance(exc, a, data)) return pair(data_message, detail);
    if (is_instance(exc, a, operational)) return pair(operational_message, detail);
    if (is_instance(exc, a, programming)) return pair(programming_message, detail);
    if (is_instance(exc, a, statement)) return pair(statement_message, detail);
    return pair(other_message, detail);
}

}  // namespace faultmap

NB_MODULE(faultmap, m) {
    import_from(m, "typing", "Tuple");
    for (const char* name : {"SQLAlchemyError", "IntegrityError", "DataError", "OperationalError",
                             "ProgrammingError", "DatabaseError", "InterfaceError", "StatementError"})
        import_from(m, "sqlalchemy.exc", name);

    def(m, {.name = "format_faultmap",
            .doc = "格式化 SQLAlchemy 异常，返回 (友好提示, 原始错误信息)\n"
                   "\n"
                   "按完整性、数据、操作、语句错误的顺序判断异常类别，给出面向用户的中文提示；\n"
                   "原始错误信息取自异常的 args（每个参数转为文本的列表），args 为空时为 str(exc)。\n",
            .params = {{.name = "exc", .annotation = text("SQLAlchemyError")}},
            .returns = text("Tuple[str, str]"),
            .body = faultmap::format_faultmap});
    def(m, {.name = "_format_integrity_error",
            .doc = "格式化完整性错误，提供更具体的约束冲突提示",
            .params = {{.name = "exc", .annotation = text("IntegrityError")}},
            .returns = text("Tuple[str, str]"),
            .body = faultmap::format_integrity_error});
}
