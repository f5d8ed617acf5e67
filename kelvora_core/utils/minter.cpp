// Process-wide unique ids: one snowflake generator behind a single instance.
#include <nanobind/nanobind.h>

#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
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

// Double-checked: the unlocked read is the fast path once the instance exists.
nb::object construct(Args& a) {
    static Name instance_name("_instance"), lock_name("_lock"), load_name("__load__"),
        new_name("__new__");
    nb::handle cls = a[0];
    nb::object instance = nb::steal(PyObject_GetAttr(cls.ptr(), instance_name));
    if (!instance) raise_pending();
    if (!instance.is_none()) return instance;

    nb::object lock = nb::steal(PyObject_GetAttr(cls.ptr(), lock_name));
    if (!lock) raise_pending();
    {
        ContextScope locked(lock);
        instance = nb::steal(PyObject_GetAttr(cls.ptr(), instance_name));
        if (!instance) raise_pending();
        if (instance.is_none()) {
            nb::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
            nb::object fresh = object_type.attr(new_name)(cls, *a[1], **a[2]);
            if (PyObject_SetAttr(cls.ptr(), instance_name, fresh.ptr()) < 0) raise_pending();
            fresh.attr(load_name)();
        }
    }
    instance = nb::steal(PyObject_GetAttr(cls.ptr(), instance_name));
    if (!instance) raise_pending();
    return instance;
}

nb::object load(Args& a) {
    static Name generator_class("SnowflakeGenerator"), config("AppConfig"), section("generate_snowflake"),
        instance_id("instance_id"), epoch_time("epoch_time"), generator("generator");
    nb::object make = a.global(generator_class);
    nb::object settings = a.global(config).attr(section);
    nb::object instance = settings.attr(instance_id);
    nb::object epoch = a.global(config).attr(section).attr(epoch_time);
    nb::object made = make(nb::arg("instance") = instance, nb::arg("epoch") = epoch);
    if (PyObject_SetAttr(a[0].ptr(), generator, made.ptr()) < 0) raise_pending();
    return nb::none();
}

nb::object generate_id(Args& a) {
    static Name generator("generator");
    nb::object it = nb::steal(PyObject_GetAttr(a[0].ptr(), generator));
    if (!it) raise_pending();
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

nb::object get_primary_id(Args& a) {
    static Name util("minter_util"), generate("generate_id");
    PyObject* r = PyObject_CallMethodNoArgs(a.global(util).ptr(), generate);
    if (!r) raise_pending();
    return checked_id(nb::steal(r));
}

nb::object get_primary_str(Args& a) {
    static Name primary("get_primary_id");
    return str_of(a.global(primary)());
}

}  // namespace minter

NB_MODULE(minter, m) {
    nb::object lock = import_from(m, "threading", "Lock");
    import_from(m, "typing", "Optional");
    import_from(m, ".base.snowflake", "SnowflakeGenerator");
    import_from(m, "..config.app_config", "AppConfig");

    nb::object cls =
        ClassBuilder(m, "MinterUtil")
            .attr("_instance", nb::none())
            .attr("_lock", lock())
            .staticmethod({.name = "__new__",
                           .params = {{.name = "cls"},
                                      {.name = "args", .kind = Kind::var_positional},
                                      {.name = "kwargs", .kind = Kind::var_keyword}},
                           .body = minter::construct})
            .method({.name = "__load__", .params = {{.name = "self"}}, .body = minter::load})
            .method({.name = "generate_id",
                     .params = {{.name = "self"}},
                     .returns = text("Optional[int]"),
                     .body = minter::generate_id})
            .build();

    def(m, {.name = "get_primary_id", .returns = text("Optional[int]"), .body = minter::get_primary_id});
    def(m, {.name = "get_primary_str", .returns = text("Optional[str]"), .body = minter::get_primary_str});

    // The single instance exists from import on, configured from AppConfig now.
    m.attr("minter_util") = cls();
}
