// Module-level names and classes, made the way Python source makes them.
#include "kelvora/module.hpp"

#include <stdexcept>
#include <string>

namespace kelvora {

namespace {

// `from <source> import <name>` as the statement runs in code whose globals are
// `globals` (a module dict): relative sources resolve against its package.
nb::object import_name(nb::handle globals, const char* source, const char* name) {
    int level = 0;
    while (source[level] == '.') ++level;
    nb::list fromlist;
    fromlist.append(nb::str(name));
    PyObject* m = PyImport_ImportModuleLevel(source + level, globals.ptr(), nullptr, fromlist.ptr(), level);
    if (!m) raise_pending();
    nb::object mod = nb::steal(m);
    PyObject* v = PyObject_GetAttrString(mod.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    // `from pkg import submodule` imports the submodule, as the statement does.
    PyErr_Clear();
    std::string full = nb::cast<std::string>(nb::str(nb::getattr(mod, "__name__"))) + "." + name;
    PyObject* sub = PyImport_ImportModule(full.c_str());
    if (!sub) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, source);
        raise_pending();
    }
    return nb::steal(sub);
}

}  // namespace

nb::object import_from(nb::handle module, const char* source, const char* name, const char* alias) {
    nb::object value = import_name(PyModule_GetDict(module.ptr()), source, name);
    nb::setattr(module, alias ? alias : name, value);
    return value;
}

void import_from(nb::handle module, const char* source, std::initializer_list<const char*> names) {
    for (const char* name : names) import_from(module, source, name);
}

nb::object import_local(const Args& a, const char* source, const char* name, Site where) {
    where.record();
    return import_name(a.globals(), source, name);
}

nb::object import_module(nb::handle module, const char* source, const char* alias) {
    PyObject* m = PyImport_ImportModule(source);
    if (!m) raise_pending();
    nb::object mod = nb::steal(m);
    if (alias) {
        nb::setattr(module, alias, mod);
    } else {
        std::string top(source);
        top = top.substr(0, top.find('.'));
        PyObject* t = PyImport_ImportModule(top.c_str());
        if (!t) raise_pending();
        nb::setattr(module, top.c_str(), nb::steal(t));
    }
    return mod;
}

ClassBuilder::ClassBuilder(nb::handle module, const char* name) : module_(module), name_(name) {
    namespace_["__module__"] = nb::getattr(module, "__name__");
    namespace_["__qualname__"] = nb::str(name);
}

ClassBuilder& ClassBuilder::doc(const char* text) {
    namespace_["__doc__"] = nb::str(text);
    return *this;
}

ClassBuilder& ClassBuilder::base(nb::handle cls) {
    bases_.append(cls);
    return *this;
}

ClassBuilder& ClassBuilder::metaclass(nb::handle meta) {
    metaclass_ = nb::borrow(meta);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, nb::handle value) {
    namespace_[name] = value;
    return *this;
}

ClassBuilder& ClassBuilder::field(const char* name, nb::handle annotation, nb::handle value) {
    annotations_[name] = annotation;
    if (value) namespace_[name] = value;
    return *this;
}

nb::object ClassBuilder::function_for(FunctionSpec& spec) {
    if (spec.qualname.empty()) spec.qualname = std::string(name_) + "." + spec.name;
    return make_function(module_, std::move(spec));
}

ClassBuilder& ClassBuilder::method(FunctionSpec spec) {
    const char* name = spec.name;
    namespace_[name] = function_for(spec);
    return *this;
}

ClassBuilder& ClassBuilder::classmethod(FunctionSpec spec) {
    const char* name = spec.name;
    PyObject* cm = PyClassMethod_New(function_for(spec).ptr());
    if (!cm) raise_pending();
    namespace_[name] = nb::steal(cm);
    return *this;
}

ClassBuilder& ClassBuilder::staticmethod(FunctionSpec spec) {
    const char* name = spec.name;
    PyObject* sm = PyStaticMethod_New(function_for(spec).ptr());
    if (!sm) raise_pending();
    namespace_[name] = nb::steal(sm);
    return *this;
}

ClassBuilder& ClassBuilder::property(FunctionSpec spec) {
    const char* name = spec.name;
    nb::object getter = function_for(spec);
    PyObject* made = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.ptr());
    if (!made) raise_pending();
    namespace_[name] = nb::steal(made);
    return *this;
}

void ClassBuilder::add_declared(Role role, FunctionSpec spec) {
    switch (role) {
        case Role::method:
            method(std::move(spec));
            return;
        case Role::classmethod:
            classmethod(std::move(spec));
            return;
        case Role::staticmethod:
            staticmethod(std::move(spec));
            return;
        case Role::property:
            property(std::move(spec));
            return;
        case Role::function:
            break;  // refused at compile time (add_one)
    }
    throw std::invalid_argument(std::string(spec.name) + ": a module-level function is bound with def(m, f)");
}

nb::object ClassBuilder::build() {
    if (nb::len(annotations_)) namespace_["__annotations__"] = annotations_;
    nb::tuple bases = nb::tuple(bases_);
    nb::object meta = metaclass_;
    if (!meta) {
        // As `class` does: the most derived metaclass of the bases.
        meta = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
        for (nb::handle b : bases) {
            nb::handle m = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(b.ptr())));
            if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(m.ptr()), reinterpret_cast<PyTypeObject*>(meta.ptr())))
                meta = nb::borrow(m);
        }
    }
    nb::object cls = meta(nb::str(name_), bases, namespace_);
    nb::setattr(module_, name_, cls);
    return cls;
}

nb::object dataclass(nb::handle module, nb::handle cls) {
    PyObject* dc = PyImport_ImportModule("dataclasses");
    if (!dc) raise_pending();
    nb::object decorated = nb::steal(dc).attr("dataclass")(cls);
    nb::setattr(module, nb::cast<std::string>(nb::getattr(cls, "__name__")).c_str(), decorated);
    return decorated;
}

ContextScope::ContextScope(nb::handle manager, Site where) {
    where.record();
    // As the statement does: __exit__ first, so that leaving never needs a lookup.
    exit_ = manager.attr("__exit__"_n);
    PyObject* r = PyObject_CallMethodNoArgs(manager.ptr(), "__enter__"_n.ptr());
    if (!r) raise_pending();
    Py_DECREF(r);
}

ContextScope::~ContextScope() noexcept(false) {
    if (thread_is_ending()) {  // the thread dies inside the block: nothing to run it with
        exit_.release();
        return;
    }
    // Runs during unwinding too: keep a pending error, drop one from __exit__.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* r = PyObject_CallFunctionObjArgs(exit_.ptr(), Py_None, Py_None, Py_None, nullptr);
    if (r)
        Py_DECREF(r);
    else if (!pending)
        PyErr_WriteUnraisable(exit_.ptr());
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

nb::object single_instance(nb::handle cls, nb::handle load, Publish publish, nb::handle args, nb::handle kwargs) {
    nb::object instance = cls.attr("_instance"_n);
    if (!instance.is_none()) return instance;
    {
        nb::object lock = cls.attr("_lock"_n);
        ContextScope locked(lock);
        if (cls.attr("_instance"_n).is_none()) {
            nb::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
            nb::object fresh =
                args ? object_type.attr("__new__"_n)(cls, *args, **kwargs) : object_type.attr("__new__"_n)(cls);
            if (publish == Publish::before_load) nb::setattr(cls, "_instance"_n, fresh);
            fresh.attr(load)();
            if (publish == Publish::after_load) nb::setattr(cls, "_instance"_n, fresh);
        }
    }
    return cls.attr("_instance"_n);
}

void OwnAttribute::remember(nb::handle cls, nb::handle name) {
    if (!PyType_Check(cls.ptr())) throw std::invalid_argument("OwnAttribute: not a class");
    PyObject* stored = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
    Py_XINCREF(stored);
    Py_XSETREF(stored_, stored);
    Py_XSETREF(name_, Py_NewRef(name.ptr()));
}

bool OwnAttribute::resolves(nb::handle cls) const {
    if (!stored_ || !PyType_Check(cls.ptr())) return false;
    PyTypeObject* meta = Py_TYPE(cls.ptr());
    if (meta->tp_getattro != PyType_Type.tp_getattro) return false;
    if (meta != &PyType_Type && _PyType_Lookup(meta, name_)) return false;
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name_) == stored_;
}

nb::object def(nb::handle module, FunctionSpec spec) {
    const char* name = spec.name;
    nb::object f = make_function(module, std::move(spec));
    nb::setattr(module, name, f);
    return f;
}

}  // namespace kelvora
