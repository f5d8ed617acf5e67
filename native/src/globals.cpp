// The native function type: a method descriptor that binds arguments like a
// Python function and carries everything inspect reads from one.
#include "kelvora/function.hpp"

#include <cstdint>
#include <memory>
#include <new>

#include <cstddef>
#include <source_location>

namespace kelvora {

namespace {

struct ParamSlot {
    PyObject* name;  // interned
    Kind kind;
    PyTypeObject* exact;
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict
    PyObject* weakrefs;
    PyObject* builtins;     // what globals fall back to, fixed when made (as for `def`)
    bool watched;           // globals and builtins are watched: literal lookups may be remembered
    Body body;              // constructed in place
    // Signature layout, fixed at creation.
    std::vector<ParamSlot>* params;
    Py_ssize_t n_positional;  // positional-only + positional-or-keyword
    bool plain_positional;    // only positional parameters, no type checks
    Py_ssize_t n_posonly;
    Py_ssize_t varargs_at;  // slot of *args, or -1
    Py_ssize_t varkw_at;    // slot of **kwargs, or -1
    std::source_location* where;
};

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

// ---- argument-binding errors, worded as the interpreter words them ----------

std::string utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = s ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return "?";
    }
    return std::string(p, size_t(n));
}

// "<qualname>() <rest>": the name as it is (any str, as Python prints it).
[[noreturn]] void type_error(NativeFunction* f, const std::string& rest) {
    if (f->qualname)
        PyErr_Format(PyExc_TypeError, "%U() %s", f->qualname, rest.c_str());
    else
        PyErr_Format(PyExc_TypeError, "?() %s", rest.c_str());
    throw nb::python_error();
}

std::string quoted_list(const std::vector<PyObject*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + utf8(names[i]) + "'";
    }
    return out;
}

[[noreturn]] void missing(NativeFunction* f, const std::vector<PyObject*>& names, const char* kind) {
    type_error(f, "missing " + std::to_string(names.size()) + " required " +
               kind + " argument" + (names.size() == 1 ? "" : "s") + ": " + quoted_list(names));
}

[[noreturn]] void too_many_positional(NativeFunction* f, Py_ssize_t given, Py_ssize_t kwonly_given) {
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    std::string sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = "from " + std::to_string(f->n_positional - defcount) + " to " +
              std::to_string(f->n_positional);
    } else {
        plural = f->n_positional != 1;
        sig = std::to_string(f->n_positional);
    }
    std::string kwonly_sig;
    if (kwonly_given)
        kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" +
                     (kwonly_given != 1 ? "s" : "") + ")";
    type_error(f, "takes " + sig + " positional argument" + (plural ? "s" : "") +
               " but " + std::to_string(given) + kwonly_sig + " " +
               (given == 1 && !kwonly_given ? "was" : "were") + " given");
}

[[noreturn]] void unexpected_keyword(NativeFunction* f, PyObject* keyword) {
    std::string message =
        "got an unexpected keyword argument '" + utf8(keyword) + "'";
    // The interpreter's own "Did you mean" hint, from its suggestions module.
    nb::list candidates;
    for (const auto& p : *f->params)
        if (p.kind == Kind::positional_or_keyword || p.kind == Kind::keyword_only)
            candidates.append(nb::handle(p.name));
    if (PyObject* mod = PyImport_ImportModule("_suggestions")) {
        PyObject* hint = PyObject_CallMethod(mod, "_generate_suggestions", "OO", candidates.ptr(), keyword);
        if (hint && PyUnicode_Check(hint)) message += ". Did you mean '" + utf8(hint) + "'?";
        Py_XDECREF(hint);
        Py_DECREF(mod);
    }
    PyErr_Clear();
    type_error(f, message);
}

bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

}  // namespace

[[noreturn]] void raise_wrong_type(const char* what, PyTypeObject* expected, nb::handle got, Site where) {
    where.record();
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 what, expected->tp_name, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

// ---- module globals, remembered while unchanged ----------------------------------
//
// One dict watcher for every copy of this runtime in the process (the
// interpreter has only a few): the first copy registers it and keeps its state
// in the interpreter's dict, later copies find it there. Any change to a
// watched dict (a native module's globals, or its builtins) moves the epoch on,
// and every remembered lookup is made again.

namespace {

struct GlobalsWatch {
    std::uint64_t epoch;
    int watcher;
};

constexpr const char* watch_key = "kelvora.runtime.globals_watch.1";
GlobalsWatch* own_watch = nullptr;  // the state this copy registered, if it did
GlobalsWatch* shared_watch = nullptr;
bool watch_looked_up = false;
const std::uint64_t never_remembered = 0;

int on_watched_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++own_watch->epoch;
    return 0;
}

GlobalsWatch* find_watch() {
    if (watch_looked_up) return shared_watch;
    watch_looked_up = true;
    PyObject* store = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!store) return nullptr;
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(store, watch_key, &found) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (found) {
        shared_watch = static_cast<GlobalsWatch*>(PyCapsule_GetPointer(found, watch_key));
        Py_DECREF(found);
        if (!shared_watch) PyErr_Clear();
        return shared_watch;
    }
    int watcher = PyDict_AddWatcher(on_watched_change);
    if (watcher < 0) {  // none left: look everything up every time
        PyErr_Clear();
        return nullptr;
    }
    // Kept for the process: watchers may fire until the very end.
    own_watch = new GlobalsWatch{1, watcher};
    PyObject* capsule = PyCapsule_New(own_watch, watch_key, nullptr);
    if (!capsule || PyDict_SetItemString(store, watch_key, capsule) < 0) {
        PyErr_Clear();
        Py_XDECREF(capsule);
        PyDict_ClearWatcher(watcher);
        return nullptr;
    }
    Py_DECREF(capsule);
    return shared_watch = own_watch;
}

// Where the current epoch is read; a site filled never matches while unwatched.
const std::uint64_t* globals_epoch = &never_remembered;

// A function's builtins, as `def` finds them: the globals' __builtins__ (a
// module stands for its dict), else the interpreter's.
PyObject* builtins_for(PyObject* globals) {
    PyObject* b = nullptr;
    if (PyDict_GetItemRef(globals, nb::handle("__builtins__"_n).ptr(), &b) < 0) raise_pending();
    if (b && PyModule_Check(b)) {
        PyObject* dict = Py_NewRef(PyModule_GetDict(b));
        Py_DECREF(b);
        return dict;
    }
    if (b) return b;
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (!builtins) raise_pending();
    return Py_NewRef(builtins);
}

bool watch_globals(PyObject* globals, PyObject* builtins) {
    GlobalsWatch* watch = find_watch();
    if (!watch || !PyDict_CheckExact(globals) || !PyDict_CheckExact(builtins)) return false;
    if (PyDict_Watch(watch->watcher, globals) < 0 || PyDict_Watch(watch->watcher, builtins) < 0) {
        PyErr_Clear();
        return false;
    }
    globals_epoch = &watch->epoch;
    return true;
}

}  // namespace

struct FunctionAccess {
    static void bind(NativeFunction* f, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                     Args& out);
};

void FunctionAccess::bind(NativeFunction* f, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames, Args& out) {
    const auto& params = *f->params;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    out.function_ = reinterpret_cast<PyObject*>(f);
    out.resize(params.size());
    PyObject** v = out.data();
    // The common call: arguments by position only, the rest from the defaults,
    // nothing to check.
    if (f->plain_positional && !kwnames && nargs <= f->n_positional) {
        PyObject* defaults = f->defaults;
        Py_ssize_t first_default = f->n_positional - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
        if (nargs >= first_default) {
            for (Py_ssize_t i = 0; i < nargs; ++i) v[i] = Py_NewRef(args[i]);
            for (Py_ssize_t i = nargs; i < f->n_positional; ++i)
                v[i] = Py_NewRef(PyTuple_GET_ITEM(defaults, i - first_default));
            return;
        }
    }

    Py_ssize_t ncopy = nargs < f->n_positional ? nargs : f->n_positional;
    for (Py_ssize_t i = 0; i < ncopy; ++i) v[i] = Py_NewRef(args[i]);
    if (f->varargs_at >= 0) {
        Py_ssize_t extra = nargs > ncopy ? nargs - ncopy : 0;
        PyObject* tuple = PyTuple_New(extra);
        if (!tuple) raise_pending();
        for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[ncopy + i]));
        v[f->varargs_at] = tuple;
    }
    if (f->varkw_at >= 0 && !(v[f->varkw_at] = PyDict_New())) raise_pending();

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> posonly_as_keyword;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t found = -1;
        // Interned names usually match by identity; fall back to comparison.
        for (int pass = 0; pass < 2 && found < 0; ++pass)
            for (size_t j = size_t(f->n_posonly); j < params.size(); ++j) {
                const auto& p = params[j];
                if (p.kind != Kind::positional_or_keyword && p.kind != Kind::keyword_only) continue;
                if (pass == 0 ? p.name == key : same_name(p.name, key)) {
                    found = Py_ssize_t(j);
                    break;
                }
            }
        if (found < 0) {
            if (f->varkw_at >= 0) {
                if (PyDict_SetItem(v[f->varkw_at], key, value) < 0) raise_pending();
                continue;
            }
            for (Py_ssize_t j = 0; j < f->n_posonly; ++j)
                if (same_name(params[j].name, key)) posonly_as_keyword.push_back(params[j].name);
            if (!posonly_as_keyword.empty())
                type_error(f,
                           "got some positional-only arguments passed as keyword arguments: " +
                           [&] {
                               std::string s;
                               for (size_t i = 0; i < posonly_as_keyword.size(); ++i)
                                   s += (i ? ", '" : "'") + utf8(posonly_as_keyword[i]) + "'";
                               return s;
                           }());
            unexpected_keyword(f, key);
        }
        if (v[found]) type_error(f, "got multiple values for argument '" +
                                 utf8(params[found].name) + "'");
        v[found] = Py_NewRef(value);
    }

    if (nargs > f->n_positional && f->varargs_at < 0) {
        Py_ssize_t kwonly_given = 0;
        for (size_t j = 0; j < params.size(); ++j)
            if (params[j].kind == Kind::keyword_only && v[j]) ++kwonly_given;
        too_many_positional(f, nargs, kwonly_given);
    }

    if (nargs < f->n_positional) {
        Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t first_default = f->n_positional - defcount;
        std::vector<PyObject*> absent;
        for (Py_ssize_t i = nargs; i < first_default; ++i)
            if (!v[i]) absent.push_back(params[i].name);
        if (!absent.empty()) missing(f, absent, "positional");
        for (Py_ssize_t i = first_default > nargs ? first_default : nargs; i < f->n_positional; ++i)
            if (!v[i]) v[i] = Py_NewRef(PyTuple_GET_ITEM(f->defaults, i - first_default));
    }

    std::vector<PyObject*> absent_kwonly;
    for (size_t j = 0; j < params.size(); ++j) {
        if (params[j].kind != Kind::keyword_only || v[j]) continue;
        PyObject* def = f->kwdefaults ? PyDict_GetItemWithError(f->kwdefaults, params[j].name) : nullptr;
        if (def)
            v[j] = Py_NewRef(def);
        else if (PyErr_Occurred())
            raise_pending();
        else
            absent_kwonly.push_back(params[j].name);
    }
    if (!absent_kwonly.empty()) missing(f, absent_kwonly, "keyword-only");

    for (size_t j = 0; j < params.size(); ++j)
        if (params[j].exact && v[j] && Py_TYPE(v[j]) != params[j].exact)
            raise_wrong_type(utf8(params[j].name).c_str(), params[j].exact, nb::handle(v[j]));
}

namespace {

PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* f = as_function(self);
    // The caller may only lend `self`: a staticmethod, property or partial calls
    // what it holds, and the body can re-initialise that holder. The call keeps
    // the function (its body, captures, name) alive until it is done.
    Py_INCREF(self);
    PyObject* result;
    {
        SiteScope sites;  // the body's own lines; the caller's are back afterwards
        Args bound;
        try {
            FunctionAccess::bind(f, args, nargsf, kwnames, bound);
            nb::object r = f->body.invoke(f->body.context, bound);
            result = r ? r.release().ptr() : Py_NewRef(Py_None);
        } catch (...) {
            // The forced unwind ending this thread at interpreter exit passes
            // through untouched (restore_current_exception rethrows it), and
            // nothing here may release a Python object then.
            if (thread_is_ending()) bound.abandon();
            restore_current_exception();
            const char* file = f->where->file_name();
            add_native_traceback(f->qualname, file, raising_line(file, int(f->where->line())));
            result = nullptr;
        }
    }
    Py_DECREF(self);
    return result;
}

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
    {"__qualname__", get_field<&NativeFunction::qualname>, set_text<&NativeFunction::qualname>,
     nullptr, nullptr},
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
        function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR;
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
    for (Kind k : {Kind::positional_only, Kind::positional_or_keyword, Kind::keyword_only,
                   Kind::var_positional, Kind::var_keyword})
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

nb::object Args::global(nb::handle name) const {
    // The module's own dict (never replaceable), then the function's builtins.
    NativeFunction* f = as_function(function_);
    PyObject* v = nullptr;
    if (!f->globals) {  // cleared by the collector: nothing is defined any more
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    } else if (PyDict_GetItemRef(f->globals, name.ptr(), &v) == 0) {
        if (!f->builtins || PyMapping_GetOptionalItem(f->builtins, name.ptr(), &v) == 0)
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    }
    if (!v) raise_pending();
    return nb::steal(v);
}

nb::object Args::cached_global(GlobalSite& site, nb::handle name) const {
    NativeFunction* f = as_function(function_);
    // Read before the lookup: a change made during it (a key's __eq__, another
    // thread) leaves the remembered answer already out of date, not current.
    std::uint64_t epoch = *globals_epoch;
    if (site.value && site.globals == f->globals && site.epoch == epoch) return nb::borrow(site.value);
    nb::object value = global(name);
    if (f->watched) {
        PyObject* old_globals = site.globals;
        PyObject* old_value = site.value;
        site = {Py_NewRef(f->globals), Py_NewRef(value.ptr()), epoch};
        // Released once the site is whole again: a __del__ may call this function.
        Py_XDECREF(old_value);
        Py_XDECREF(old_globals);
    }
    return value;
}

nb::handle Args::globals() const { return as_function(function_)->globals; }

nb::object text(const char* annotation) { return nb::str(annotation); }

bool is_native_function(nb::handle obj) { return Py_TYPE(obj.ptr()) == ready_type(); }

nb::object make_function(nb::handle module, FunctionSpec spec) {
    PyTypeObject* tp = ready_type();
    // Validate the declared order the way `def` would.
    Kind last = Kind::positional_only;
    bool seen_default = false;
    for (const auto& p : spec.params) {
        if (p.kind < last) throw std::invalid_argument(std::string(spec.name) + ": parameters out of order");
        last = p.kind;
        if (p.kind == Kind::positional_only || p.kind == Kind::positional_or_keyword) {
            if (p.default_value) seen_default = true;
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
    f->vectorcall = call;
    f->name = nb::str(spec.name).release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = nb::getattr(module, "__name__", nb::none()).release().ptr();
    f->doc = spec.doc ? nb::str(spec.doc).release().ptr() : Py_NewRef(Py_None);
    f->dict = nullptr;
    f->globals = Py_NewRef(PyModule_GetDict(module.ptr()));
    f->builtins = builtins_for(f->globals);
    f->watched = watch_globals(f->globals, f->builtins);
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
    return nb::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace kelvora
