// Process-wide unique ids: one snowflake generator behind a single instance.
#include <nanobind/nanobind.h>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace minter {

// Ids are exact ints (or None); anything else is refused, as the return
// annotation promises.
nb::object checked_id(nb::object value) {
    PyObject* v = value.ptr();
    if (v != Py_None && !PyLong_CheckExact(v)) {
        PyErr_Format(PyExc_TypeError, "Expected int, got %.200s", Py_TYPE(v)->tp_name);
        raise_pending();
    }
    return value;
}

// The instance is stored before __load__ runs, so a generator that asks for
// MinterUtil() while loading gets this instance instead of a second one.
constexpr auto new_decl = staticmethod(
    "__new__",
    {{.name = "cls"}, {.name = "args", .kind = Kind::var_positional}, {.name = "kwargs", .kind = Kind::var_keyword}});
nb::object new_(Call<new_decl> a) {
    auto [cls, args, kwargs] = a.params();
    return single_instance(cls, "__load__"_n, Publish::before_load, args, kwargs);
}

constexpr auto load_decl = method("__load__", {{.name = "self"}});
nb::object load_(Call<load_decl> a) {
    nb::object settings = a.global("AppConfig"_n).attr("generate_snowflake"_n);
    nb::object instance = settings.attr("instance_id"_n);
    nb::object epoch = a.global("AppConfig"_n).attr("generate_snowflake"_n).attr("epoch_time"_n);
    nb::object made = a.global("SnowflakeGenerator"_n)("instance"_a = instance, "epoch"_a = epoch);
    nb::setattr(a.get<"self">(), "generator"_n, made);
    return nb::none();
}

constexpr auto generate_id_decl = method("generate_id", {{.name = "self"}}, {.returns = "Optional[int]"});
nb::object generate_id(Call<generate_id_decl> a) {
    nb::object it = a.get<"self">().attr("generator"_n);
    // next(it): a non-iterator is refused, exhaustion is StopIteration.
    if (!PyIter_Check(it.ptr())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(it.ptr())->tp_name);
        raise_pending();
    }
    PyObject* next = PyIter_Next(it.ptr());
    if (!next) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        raise_pending();
    }
    return checked_id(nb::steal(next));
}

constexpr auto get_primary_id_decl = function("get_primary_id", {.returns = "Optional[int]"});
nb::object get_primary_id(Call<get_primary_id_decl> a) {
    return checked_id(a.global("minter_util"_n).attr("generate_id"_n)());
}

constexpr auto get_primary_str_decl = function("get_primary_str", {.returns = "Optional[str]"});
nb::object get_primary_str(Call<get_primary_str_decl> a) {
    return str_of(a.global("get_primary_id"_n)());
}

}  // namespace minter

NB_MODULE(minter, m) {
    nb::object lock = import_from(m, "threading", "Lock");
    import_from(m, "typing", "Optional");
    import_from(m, ".base.snowflake", "SnowflakeGenerator");
    import_from(m, "..config.app_config", "AppConfig");

    nb::object cls = ClassBuilder(m, "MinterUtil")
                         .attr("_instance", nb::none())
                         .attr("_lock", lock())
                         .add(minter::new_, minter::load_, minter::generate_id)
                         .build();
    def(m, minter::get_primary_id);
    def(m, minter::get_primary_str);

    // The single instance exists from import on, configured from AppConfig now.
    m.attr("minter_util") = cls();
}
