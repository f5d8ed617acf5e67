// The Python objects behind native coroutines and async generators: the type
// slots both share (lifetime, collector, repr, names), and the coroutine type
// with its __await__ iterator. async_generator.cpp adds the async generator's
// own type; the step they are driven by is coro.cpp.
#include <cstddef>
#include <utility>

#include "coroutine_object.hpp"

namespace kelvora {
namespace detail {

PyTypeObject coroutine_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

PyTypeObject wrapper_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void coroutine_finalize(PyObject* o) {
    CoroutineObject* self = as_coro(o);
    if (self->state == State::finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (!is_coroutine(self) && self->finalizer && !self->closed) {
        // The event loop closes it (aclose() in a task), so clean-up may await.
        PyObject* r = PyObject_CallOneArg(self->finalizer, o);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(o);
    } else if (is_coroutine(self) && self->state == State::created) {
        if (!resolve_names(self) ||
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", self->qualname) < 0)
            PyErr_WriteUnraisable(o);
    } else {
        Result r = close(self);
        if (r.kind == Result::raised) {
            PyErr_SetRaisedException(r.value.release().ptr());
            PyErr_WriteUnraisable(o);
        }
    }
    PyErr_SetRaisedException(saved);
}

int coroutine_traverse(PyObject* o, visitproc visit, void* arg) {
    CoroutineObject* self = as_coro(o);
    Py_VISIT(self->awaiting);
    Py_VISIT(self->handled);
    Py_VISIT(self->finalizer);
    Py_VISIT(self->function);
    if (self->promise) {
        FrameSlots& s = slots(self);
        if (const Args* args = s.args) {
            // Args borrows the function from this object: visited once, above.
            for (size_t i = 0; i < args->size(); ++i) Py_VISIT(args->items()[i]);
        }
        Py_VISIT(s.input.ptr());
        Py_VISIT(s.thrown.ptr());
        Py_VISIT(s.output.ptr());
        Py_VISIT(s.result.ptr());
        Py_VISIT(s.error.ptr());
    }
    return 0;
}

int coroutine_clear(PyObject* o) {
    CoroutineObject* self = as_coro(o);
    Py_CLEAR(self->awaiting);
    Py_CLEAR(self->handled);
    Py_CLEAR(self->finalizer);
    // A running body still reads its function through Args (which borrows it).
    if (self->state != State::running) {
        destroy_frame(self);
        self->state = State::finished;
        Py_CLEAR(self->function);
    }
    return 0;
}

PyObject* coroutine_repr(PyObject* o) {
    if (!resolve_names(as_coro(o))) return nullptr;
    return PyUnicode_FromFormat("<%s object %U at %p>", is_coroutine(as_coro(o)) ? "coroutine" : "async_generator",
                                as_coro(o)->qualname, o);
}

int set_text(PyObject*& field, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));  // null until first read
    return 0;
}

}  // namespace

bool resolve_names(CoroutineObject* self) {
    if (self->name && self->qualname) return true;
    auto read = [self](PyObject* attribute) -> PyObject* {
        PyObject* v = nullptr;
        if (attribute && self->function && PyObject_GetOptionalAttr(self->function, attribute, &v) < 0) PyErr_Clear();
        if (v && PyUnicode_Check(v)) return v;
        Py_XDECREF(v);
        return nullptr;
    };
    // The literals are made on first use, which can fail for want of memory.
    PyObject* name_attr = interned_or_null<"__name__">();
    PyObject* qualname_attr = name_attr ? interned_or_null<"__qualname__">() : nullptr;
    PyObject* fallback = qualname_attr ? self->flavor == Flavor::coroutine ? interned_or_null<"coroutine">()
                                                                           : interned_or_null<"async_generator">()
                                       : nullptr;
    if (!fallback) return false;
    if (!self->name) self->name = read(name_attr);
    if (!self->name) self->name = Py_NewRef(fallback);
    if (!self->qualname) self->qualname = read(qualname_attr);
    if (!self->qualname) self->qualname = Py_NewRef(self->name);
    return true;
}

PyObject* get_name(PyObject* o, void*) {
    return resolve_names(as_coro(o)) ? Py_NewRef(as_coro(o)->name) : nullptr;
}

PyObject* get_qualname(PyObject* o, void*) {
    return resolve_names(as_coro(o)) ? Py_NewRef(as_coro(o)->qualname) : nullptr;
}

int set_name(PyObject* o, PyObject* value, void*) {
    return set_text(as_coro(o)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* o, PyObject* value, void*) {
    return set_text(as_coro(o)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_awaiting(PyObject* o, void*) {
    PyObject* it = as_coro(o)->awaiting;
    return Py_NewRef(it ? it : Py_None);
}

PyObject* get_suspended(PyObject* o, void*) {
    return PyBool_FromLong(as_coro(o)->state == State::suspended);
}

void init_coroutine_type(PyTypeObject& type, const char* name, const char* doc) {
    type.tp_name = name;
    type.tp_doc = doc;
    type.tp_basicsize = frame_offset;
    type.tp_itemsize = 1;  // the frame's bytes
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = coroutine_traverse;
    type.tp_clear = coroutine_clear;
    type.tp_dealloc = coroutine_dealloc;
    type.tp_finalize = coroutine_finalize;
    type.tp_repr = coroutine_repr;
    type.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
}

// ---- the coroutine type and its __await__ iterator -------------------------------

namespace {

PyObject* get_running(PyObject* o, void*) {
    return PyBool_FromLong(as_coro(o)->state == State::running);
}

PyObject* coroutine_send(PyObject* o, PyObject* value) {
    return method_result(send(as_coro(o), value));
}

PyObject* coroutine_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_throw_args("throw", nargs)) return nullptr;
    return method_result(throw_(as_coro(o), args[0], arg(args, nargs, 1), arg(args, nargs, 2), true));
}

PyObject* coroutine_close(PyObject* o, PyObject*) {
    Result r = close(as_coro(o));
    if (r.kind == Result::raised) {
        PyErr_SetRaisedException(r.value.release().ptr());
        return nullptr;
    }
    return r.value.release().ptr();
}

PySendResult coroutine_am_send(PyObject* o, PyObject* value, PyObject** out) {
    return send_result(send(as_coro(o), value ? value : Py_None), out);
}

Wrapper* as_wrapper(PyObject* o) {
    return reinterpret_cast<Wrapper*>(o);
}

PyObject* coroutine_await(PyObject* o) {
    // Driving it from a second place would steal the first awaiter's results.
    if (as_coro(o)->awaiting) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    // Awaited once, as nearly always: the iterator is made in the coroutine's
    // own memory, which its reference to the coroutine keeps alive.
    CoroutineObject* self = as_coro(o);
    Wrapper* w = &self->wrapper;
    if (!w->coroutine) {
        self->wrapper_gc = {};
        PyObject_Init(reinterpret_cast<PyObject*>(w), &wrapper_type);
    } else {
        w = PyObject_GC_New(Wrapper, &wrapper_type);
        if (!w) return nullptr;
    }
    w->coroutine = Py_NewRef(o);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(value) -> send a value into the coroutine; returns the next value it\n"
     "yields or raises StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     "throw(value) -> raise an exception in the coroutine; returns the next value it\n"
     "yields or raises StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside the coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, "object being awaited on, or None", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};

// ---- the __await__ iterator ----------------------------------------------------------

CoroutineObject* wrapped(PyObject* o) {
    return as_coro(as_wrapper(o)->coroutine);
}

PyObject* wrapper_iternext(PyObject* o) {
    return iternext_result(send(wrapped(o), Py_None));
}

PyObject* wrapper_send(PyObject* o, PyObject* value) {
    return method_result(send(wrapped(o), value));
}

PyObject* wrapper_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_throw_args("throw", nargs)) return nullptr;
    return method_result(throw_(wrapped(o), args[0], arg(args, nargs, 1), arg(args, nargs, 2), true));
}

PyObject* wrapper_close(PyObject* o, PyObject*) {
    return coroutine_close(as_wrapper(o)->coroutine, nullptr);
}

PySendResult wrapper_am_send(PyObject* o, PyObject* value, PyObject** out) {
    return send_result(send(wrapped(o), value ? value : Py_None), out);
}

int wrapper_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(as_wrapper(o)->coroutine);
    return 0;
}

// No tp_clear: a cycle through a wrapper always runs through its coroutine,
// whose clear breaks it; the wrapper then goes by reference count alone.
void wrapper_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    PyObject* coroutine = std::exchange(as_wrapper(o)->coroutine, nullptr);
    if (o != reinterpret_cast<PyObject*>(&as_coro(coroutine)->wrapper)) PyObject_GC_Del(o);
    Py_DECREF(coroutine);  // may free the memory of an embedded wrapper: nothing after this
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};

}  // namespace

PyTypeObject* coroutine_object_type() {
    static bool ready = false;
    if (ready) return &coroutine_type;
    init_coroutine_type(coroutine_type, "kelvora.coroutine", "A coroutine whose body is native code.");
    coroutine_type.tp_as_async = &coroutine_async;
    coroutine_type.tp_methods = coroutine_methods;
    coroutine_type.tp_getset = coroutine_getset;

    wrapper_type.tp_name = "kelvora.coroutine_wrapper";
    wrapper_type.tp_basicsize = sizeof(Wrapper);
    wrapper_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    wrapper_type.tp_traverse = wrapper_traverse;
    wrapper_type.tp_dealloc = wrapper_dealloc;
    wrapper_type.tp_iter = PyObject_SelfIter;
    wrapper_type.tp_iternext = wrapper_iternext;
    wrapper_type.tp_methods = wrapper_methods;
    wrapper_type.tp_as_async = &wrapper_async;

    for (PyTypeObject* t : {&coroutine_type, &wrapper_type})
        if (PyType_Ready(t) < 0) raise_pending();
    // asyncio (and the C task's type cache) recognise coroutines through the ABC.
    nb::module_::import_("collections.abc")
        .attr("Coroutine")
        .attr("register")(nb::handle(reinterpret_cast<PyObject*>(&coroutine_type)));
    ready = true;
    return &coroutine_type;
}

}  // namespace detail
}  // namespace kelvora
