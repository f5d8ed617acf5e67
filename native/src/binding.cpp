// Calling a native function: its arguments bound as a Python function binds
// them (with the interpreter's own errors), then the body, then the error
// boundary that restores a Python error and names the line that raised.
#include <string>
#include <vector>

#include "native_function.hpp"

namespace kelvora {

using detail::as_function;
using detail::NativeFunction;

namespace {

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
    type_error(f, "missing " + std::to_string(names.size()) + " required " + kind + " argument" +
                      (names.size() == 1 ? "" : "s") + ": " + quoted_list(names));
}

[[noreturn]] void too_many_positional(NativeFunction* f, Py_ssize_t given, Py_ssize_t kwonly_given) {
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    std::string sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = "from " + std::to_string(f->n_positional - defcount) + " to " + std::to_string(f->n_positional);
    } else {
        plural = f->n_positional != 1;
        sig = std::to_string(f->n_positional);
    }
    std::string kwonly_sig;
    if (kwonly_given)
        kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" + (kwonly_given != 1 ? "s" : "") + ")";
    type_error(f, "takes " + sig + " positional argument" + (plural ? "s" : "") + " but " + std::to_string(given) +
                      kwonly_sig + " " + (given == 1 && !kwonly_given ? "was" : "were") + " given");
}

[[noreturn]] void unexpected_keyword(NativeFunction* f, PyObject* keyword) {
    std::string message = "got an unexpected keyword argument '" + utf8(keyword) + "'";
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
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", what,
                 expected->tp_name, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

// Args' slots, made ready for `function`'s n parameters.
struct FunctionAccess {
    static PyObject** slots_for(Args& out, PyObject* function, size_t n) {
        out.function_ = function;
        out.resize(n);
        return out.data();
    }
};

namespace {

// Kept in this file's own namespace: called once, so inlined into the call.
void bind(NativeFunction* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Args& out) {
    const auto& params = *f->params;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject** v = FunctionAccess::slots_for(out, reinterpret_cast<PyObject*>(f), params.size());
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
                type_error(
                    f, "got some positional-only arguments passed as keyword arguments: " + [&] {
                        std::string s;
                        for (size_t i = 0; i < posonly_as_keyword.size(); ++i)
                            s += (i ? ", '" : "'") + utf8(posonly_as_keyword[i]) + "'";
                        return s;
                    }());
            unexpected_keyword(f, key);
        }
        if (v[found]) type_error(f, "got multiple values for argument '" + utf8(params[found].name) + "'");
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

}  // namespace

namespace detail {

PyObject* call_function(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
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
            bind(f, args, nargsf, kwnames, bound);
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

}  // namespace detail

}  // namespace kelvora
