// The native function object, shared by the files that make it (function.cpp),
// call it (binding.cpp) and look up its globals (globals.cpp).
#pragma once

#include <source_location>
#include <vector>

#include "kelvora/function.hpp"

namespace kelvora::detail {

struct ParamSlot {
    PyObject* name;  // interned
    Kind kind;
    PyTypeObject* exact;
};

struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
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
    PyObject* builtins;  // what globals fall back to, fixed when made (as for `def`)
    bool watched;        // globals and builtins are watched: literal lookups may be remembered
    Body body;           // constructed in place
    // Signature layout, fixed at creation.
    std::vector<ParamSlot>* params;
    Py_ssize_t n_positional;  // positional-only + positional-or-keyword
    bool plain_positional;    // only positional parameters, no type checks
    Py_ssize_t n_posonly;
    Py_ssize_t varargs_at;  // slot of *args, or -1
    Py_ssize_t varkw_at;    // slot of **kwargs, or -1
    std::source_location* where;
};

inline NativeFunction* as_function(PyObject* self) {
    return reinterpret_cast<NativeFunction*>(self);
}

// The function's vectorcall: binds the arguments, runs the body, and is the
// error boundary (binding.cpp).
PyObject* call_function(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// A function's builtins, as `def` finds them from its globals; whether both
// dicts are watched, so that literal lookups may be remembered (globals.cpp).
PyObject* builtins_for(PyObject* globals);
bool watch_globals(PyObject* globals, PyObject* builtins);

}  // namespace kelvora::detail
