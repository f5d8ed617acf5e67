// Database exceptions to a short user-facing message and the raw detail.
#include <nanobind/nanobind.h>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace faultmap {

// The detail of an exception: its args as texts, or str(exc) when it has none.
nb::object detail_of(nb::handle exc) {
    nb::object args = exc.attr("args"_n);
    nb::list detail;
    if (PyTuple_CheckExact(args.ptr()))  // the usual case: walked by index, no iterator made
        for (nb::handle item : nb::borrow<nb::tuple>(args)) detail.append(str_of(item));
    else
        for (nb::handle item : args) detail.append(str_of(item));
    if (nb::len(detail)) return detail;
    return str_of(exc);
}

constexpr auto _format_integrity_error_decl =
    function("_format_integrity_error", {{.name = "exc", .annotation = "IntegrityError"}},
             {.doc = "格式化完整性错误，提供更具体的约束冲突提示", .returns = "Tuple[str, str]"});
nb::object _format_integrity_error(Call<_format_integrity_error_decl> a) {
    auto [exc] = a.params();
    nb::object exc_orig = attr_or(exc, "orig"_n, nb::none());
    nb::object detail = detail_of(exc);
    if (truthy(exc_orig)) {
        nb::str lowered = str_lower(str_of(exc_orig));
        // Keywords anywhere in the driver's text; the first rule that holds wins.
        auto mentions = [&](nb::handle keyword) {
            int hit = PyUnicode_Contains(lowered.ptr(), keyword.ptr());
            if (hit < 0) raise_pending();
            return hit == 1;
        };
        if (mentions("unique"_n) || mentions("duplicate"_n))
            return nb::make_tuple("您提交的数据已存在，请勿重复添加"_n, detail);
        if (mentions("foreignkey"_n) || mentions("foreign key"_n))
            return nb::make_tuple("外键不存在，请检查关联数据"_n, detail);
        if (mentions("not null"_n)) return nb::make_tuple("必填字段不能为空"_n, detail);
        if (mentions("check constraint"_n)) return nb::make_tuple("数据未通过校验规则"_n, detail);
        if (mentions("too long"_n)) return nb::make_tuple("输入数据长度超出限制"_n, detail);
    }
    return nb::make_tuple("您提交的数据，违反了数据库约束。"_n, detail);
}

constexpr auto format_faultmap_decl =
    function("format_faultmap", {{.name = "exc", .annotation = "SQLAlchemyError"}},
             {.doc = "格式化 SQLAlchemy 异常，返回 (友好提示, 原始错误信息)\n"
                     "\n"
                     "按完整性、数据、操作、语句错误的顺序判断异常类别，给出面向用户的中文提示；\n"
                     "原始错误信息取自异常的 args（每个参数转为文本的列表），args 为空时为 str(exc)。\n",
              .returns = "Tuple[str, str]"});
nb::object format_faultmap(Call<format_faultmap_decl> a) {
    auto [exc] = a.params();
    nb::object detail = detail_of(exc);
    if (is_instance(exc, a.global("IntegrityError"_n))) return a.global("_format_integrity_error"_n)(exc);
    if (is_instance(exc, a.global("DataError"_n)))
        return nb::make_tuple("提交的数据格式或长度不正确，请检查输入"_n, detail);
    if (is_instance(exc, a.global("OperationalError"_n)))
        return nb::make_tuple("数据库连接或操作失败，请检查服务状态或稍后重试"_n, detail);
    if (is_instance(exc, a.global("ProgrammingError"_n)))
        return nb::make_tuple("数据库操作语句有误，请联系管理员"_n, detail);
    if (is_instance(exc, a.global("StatementError"_n)))
        return nb::make_tuple("执行的数据库语句存在问题，请检查查询条件或参数"_n, detail);
    return nb::make_tuple("访问数据库异常，请联系管理员"_n, detail);
}

}  // namespace faultmap

NB_MODULE(faultmap, m) {
    import_from(m, "typing", "Tuple");
    for (const char* name : {"SQLAlchemyError", "IntegrityError", "DataError", "OperationalError", "ProgrammingError",
                             "DatabaseError", "InterfaceError", "StatementError"})
        import_from(m, "sqlalchemy.exc", name);

    def(m, faultmap::format_faultmap);
    def(m, faultmap::_format_integrity_error);
}
