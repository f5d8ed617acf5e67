// Module globals of native functions, looked up as Python code looks them up
// and remembered per call site while unchanged.
#include <cstdint>

#include "native_function.hpp"

namespace kelvora {

using detail::as_function;
using detail::NativeFunction;

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

}  // namespace

namespace detail {

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

}  // namespace detail

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

nb::handle Args::globals() const {
    return as_function(function_)->globals;
}

nb::object text(const char* annotation) {
    return nb::str(annotation);
}

}  // namespace kelvora
