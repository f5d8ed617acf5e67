// Declarations made into functions: the objects they describe, then the
// FunctionSpec every function is made from.
#include "kelvora/declaration.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace kelvora {

namespace {

nb::object module_global(nb::handle module, const char* name, const char* what) {
    if (!module)
        throw std::invalid_argument(std::string(what) + ": the global '" + name +
                                    "' is read from the module; declare the function instead");
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(PyModule_GetDict(module.ptr()), name, &value) < 0) raise_pending();
    if (!value)
        throw std::invalid_argument(std::string(what) + ": the module has no global '" + name +
                                    "' yet (import or set it before the function is made)");
    return nb::steal(value);
}

Param param_of(const Parameter& p, nb::handle module, const char* function) {
    std::string what = std::string(function) + "(" + p.name + ")";
    return {.name = p.name,
            .kind = p.kind,
            .default_value = detail::object_of(p.default_value, module, what.c_str()),
            .annotation = detail::object_of(p.annotation, module, what.c_str()),
            .exact = p.exact};
}

}  // namespace

Parameter::operator Param() const {
    return param_of(*this, nb::handle(), name);
}

namespace detail {

nb::object object_of(const Value& value, nb::handle module, const char* what) {
    switch (value.of) {
        case Value::Of::nothing:
            return {};
        case Value::Of::none:
            return nb::none();
        case Value::Of::boolean:
            return nb::bool_(value.boolean);
        case Value::Of::integer: {
            PyObject* v = PyLong_FromLongLong(value.integer);
            if (!v) raise_pending();
            return nb::steal(v);
        }
        case Value::Of::real:
            return nb::float_(value.real);
        case Value::Of::text:
            return nb::str(value.text);
        case Value::Of::global:
            return module_global(module, value.text, what);
        case Value::Of::made:
            if (value.make) return value.make();
            if (!module)
                throw std::invalid_argument(std::string(what) +
                                            ": the default is made in the module; declare the function instead");
            return value.make_in(module);
    }
    return {};
}

nb::object object_of(const Annotation& annotation, nb::handle module, const char* what) {
    switch (annotation.of) {
        case Annotation::Of::nothing:
            return {};
        case Annotation::Of::text:
            return text(annotation.text);
        case Annotation::Of::type:
            return type_object(annotation.type);
        case Annotation::Of::global:
            return module_global(module, annotation.text, what);
        case Annotation::Of::made:
            return object_of(annotation.made, module, what);
    }
    return {};
}

FunctionSpec spec_of(nb::handle module, const char* name, const char* doc, const Parameter* params, std::size_t count,
                     const Annotation& returns, const char* decorator, std::source_location where, FunctionBody body) {
    std::vector<Param> list;
    list.reserve(count);
    for (std::size_t i = 0; i < count; ++i) list.push_back(param_of(params[i], module, name));
    return {.name = name,
            .doc = doc,
            .params = std::move(list),
            .returns = object_of(returns, module, name),
            .decorator = decorator ? module_global(module, decorator, name) : nb::object(),
            .body = std::move(body),
            .where = where};
}

}  // namespace detail

}  // namespace kelvora
