// The native function type: a method descriptor that binds arguments like a
// Python function and carries everything inspect reads from one. Calling it
// is binding.cpp, its globals globals.cpp.
#include <cstddef>
#include <memory>
#include <new>
#include <source_location>

#include "native_function.hpp"

namespace kelvora {

using detail::as_function;
using detail::NativeFunction;
using detail::ParamSlot;

namespace {

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

int clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void dealloc(PyObject* self) {
    NativeFunction* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    delete f->params;
    f->body.~Body();
    delete f->where;
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// ---- attributes ------------------------------------------------------------

template <PyObject* NativeFunction::*field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = as_function(self)->*field;
    return Py_NewRef(v ? v : Py_None);
}

template <PyObject* NativeFunction::*field>
int set_text(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->*field, Py_NewRef(value));
    return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || value == Py_None) {
        value = PyDict_New();
        if (!value) return -1;
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    } else {
        Py_INCREF(value);
    }
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

PyGetSetDef getset[] = {
    {"__name__", get_field<&NativeFunction::name>, set_text<&NativeFunction::name>, nullptr, nullptr},
    {"__qualname__", get_field<&NativeFunction::qualname>, set_text<&NativeFunction::qualname>, nullptr, nullptr},
    {"__defaults__", get_field<&NativeFunction::defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_field<&NativeFunction::kwdefaults>, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_field<&NativeFunction::annotations>, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(NativeFunction, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(NativeFunction, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(NativeFunction, builtins), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(NativeFunction, code), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Test hook, a static method of this copy's function type: the names this
// module reads by literal (NameUse) as (global, attribute or None, line).
PyObject* name_uses_of_module(PyObject*, PyObject*) {
    try {
        nb::list out;
        for (const NameUse& use : name_uses())
            out.append(nb::make_tuple(nb::str(use.global),
                                      use.attribute ? nb::object(nb::str(use.attribute)) : nb::none(),
                                      int(use.site & detail::site_line_mask)));
        return out.release().ptr();
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

PyMethodDef methods[] = {
    {"_name_uses", name_uses_of_module, METH_NOARGS | METH_STATIC,
     "The module globals, and attributes read from them, that this module's native code names "
     "(for the name check): a list of (global, attribute or None, line)."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* ready_type() {
    static bool ready = false;
    if (!ready) {
        function_type.tp_name = "kelvora.native_function";
        function_type.tp_basicsize = sizeof(NativeFunction);
        function_type.tp_flags =
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
        function_type.tp_doc = "A function implemented in native code.";
        function_type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
        function_type.tp_call = PyVectorcall_Call;
        function_type.tp_descr_get = descr_get;
        function_type.tp_dictoffset = offsetof(NativeFunction, dict);
        function_type.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
        function_type.tp_traverse = traverse;
        function_type.tp_clear = clear;
        function_type.tp_dealloc = dealloc;
        function_type.tp_repr = repr;
        function_type.tp_getset = getset;
        function_type.tp_members = members;
        function_type.tp_methods = methods;
        if (PyType_Ready(&function_type) < 0) raise_pending();
        ready = true;
    }
    return &function_type;
}

nb::object make_code(nb::handle module, const FunctionSpec& spec, nb::handle qualname) {
    nb::object file = nb::getattr(module, "__file__", nb::none());
    std::string filename = file.is_none() ? "<native>" : nb::cast<std::string>(nb::str(file));
    PyCodeObject* empty = PyCode_NewEmpty(filename.c_str(), spec.name, int(spec.where.line()));
    if (!empty) raise_pending();
    nb::object code = nb::steal(reinterpret_cast<PyObject*>(empty));

    int argcount = 0, posonly = 0, kwonly = 0;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    nb::list names;
    // Python orders locals: positional, keyword-only, then *args, then **kwargs.
    for (const auto& p : spec.params) {
        if (p.kind == Kind::positional_only) ++posonly, ++argcount;
        if (p.kind == Kind::positional_or_keyword) ++argcount;
        if (p.kind == Kind::keyword_only) ++kwonly;
    }
    for (Kind k : {Kind::positional_only, Kind::positional_or_keyword, Kind::keyword_only, Kind::var_positional,
                   Kind::var_keyword})
        for (const auto& p : spec.params)
            if (p.kind == k) names.append(nb::str(p.name));
    for (const auto& p : spec.params) {
        if (p.kind == Kind::var_positional) flags |= CO_VARARGS;
        if (p.kind == Kind::var_keyword) flags |= CO_VARKEYWORDS;
    }
    if (spec.body.flavor == Flavor::coroutine) flags |= CO_COROUTINE;
    if (spec.body.flavor == Flavor::async_generator) flags |= CO_ASYNC_GENERATOR;

    nb::dict kw;
    kw["co_argcount"] = argcount;
    kw["co_posonlyargcount"] = posonly;
    kw["co_kwonlyargcount"] = kwonly;
    kw["co_nlocals"] = nb::len(names);
    kw["co_varnames"] = nb::tuple(names);
    kw["co_flags"] = flags;
    kw["co_qualname"] = qualname;
    return code.attr("replace")(**kw);
}

}  // namespace

bool is_native_function(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == ready_type();
}

nb::object make_function(nb::handle module, FunctionSpec spec) {
    PyTypeObject* tp = ready_type();
    // Validate the declared order the way `def` would.
    Kind last = Kind::positional_only;
    bool seen_default = false;
    for (const auto& p : spec.params) {
        if (p.kind < last) throw std::invalid_argument(std::string(spec.name) + ": parameters out of order");
        last = p.kind;
        if (p.kind == Kind::positional_only || p.kind == Kind::positional_or_keyword) {
            if (p.default_value)
                seen_default = true;
            else if (seen_default)
                throw std::invalid_argument(std::string(spec.name) + ": non-default parameter follows default");
        }
    }
    if (!spec.body.call) throw std::invalid_argument(std::string(spec.name) + ": no body");

    nb::str qualname(spec.qualname.empty() ? spec.name : spec.qualname.c_str());
    nb::object code = make_code(module, spec, qualname);

    nb::list defaults;
    nb::dict kwdefaults, annotations;
    auto params = std::make_unique<std::vector<ParamSlot>>();
    Py_ssize_t n_positional = 0, n_posonly = 0, varargs_at = -1, varkw_at = -1;
    for (const auto& p : spec.params) {
        PyObject* name = PyUnicode_InternFromString(p.name);
        if (!name) raise_pending();
        nb::object owned = nb::steal(name);
        Py_ssize_t at = Py_ssize_t(params->size());
        if (p.kind == Kind::positional_only) ++n_posonly;
        if (p.kind == Kind::positional_only || p.kind == Kind::positional_or_keyword) {
            ++n_positional;
            if (p.default_value) defaults.append(p.default_value);
        }
        if (p.kind == Kind::keyword_only && p.default_value) kwdefaults[owned] = p.default_value;
        if (p.kind == Kind::var_positional) varargs_at = at;
        if (p.kind == Kind::var_keyword) varkw_at = at;
        if (p.annotation)
            annotations[owned] = p.annotation;
        else if (p.exact)
            annotations[owned] = nb::handle(reinterpret_cast<PyObject*>(p.exact));
        // Interned names live as long as the interpreter; no reference kept here.
        params->push_back(ParamSlot{name, p.kind, p.exact});
    }
    if (spec.returns) annotations["return"] = spec.returns;

    NativeFunction* f = PyObject_GC_New(NativeFunction, tp);
    if (!f) raise_pending();
    f->vectorcall = detail::call_function;
    f->name = nb::str(spec.name).release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = nb::getattr(module, "__name__", nb::none()).release().ptr();
    f->doc = spec.doc ? nb::str(spec.doc).release().ptr() : Py_NewRef(Py_None);
    f->dict = nullptr;
    f->globals = Py_NewRef(PyModule_GetDict(module.ptr()));
    f->builtins = detail::builtins_for(f->globals);
    f->watched = detail::watch_globals(f->globals, f->builtins);
    f->code = code.release().ptr();
    f->defaults = nb::len(defaults) ? nb::tuple(defaults).release().ptr() : nullptr;
    f->kwdefaults = nb::len(kwdefaults) ? kwdefaults.release().ptr() : nullptr;
    f->annotations = annotations.release().ptr();
    f->weakrefs = nullptr;
    f->params = params.release();
    new (&f->body) Body(std::move(spec.body.call));
    f->n_positional = n_positional;
    f->plain_positional = Py_ssize_t(f->params->size()) == n_positional;
    for (const auto& p : *f->params)
        if (p.exact) f->plain_positional = false;
    f->n_posonly = n_posonly;
    f->varargs_at = varargs_at;
    f->varkw_at = varkw_at;
    f->where = new std::source_location(spec.where);
    PyObject_GC_Track(f);
    nb::object made = nb::steal(reinterpret_cast<PyObject*>(f));
    return spec.decorator ? spec.decorator(made) : made;
}

}  // namespace kelvora