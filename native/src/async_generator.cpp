// The async-generator object and the awaitables its asend(), athrow() and
// aclose() return, with the interpreter's state rules: an awaitable is used
// once, only one may drive the generator at a time, a co_yield completes it
// with the value, and the end of the body is StopAsyncIteration.
#include "coroutine_object.hpp"

namespace kelvora {
namespace detail {
namespace {

PyTypeObject async_generator_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject asend_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject athrow_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* get_running_async(PyObject* o, void*) {
    return PyBool_FromLong(as_coro(o)->running_async);
}

// The event loop's hooks, on first use: firstiter lets it track the generator,
// finalizer lets it close one that is dropped unfinished.
int init_hooks(CoroutineObject* gen) {
    if (gen->hooks_inited) return 0;
    gen->hooks_inited = true;
    static PyObject* get_hooks = [] {
        PyObject* sys = PyImport_ImportModule("sys");
        PyObject* f = sys ? PyObject_GetAttrString(sys, "get_asyncgen_hooks") : nullptr;
        Py_XDECREF(sys);
        return f;  // kept for the life of the module
    }();
    if (!get_hooks) {
        PyErr_SetString(PyExc_RuntimeError, "sys.get_asyncgen_hooks is unavailable");
        return -1;
    }
    // Raw references: firstiter is Python code, and a thread ended there by a
    // forced unwind (interpreter exit) must leave them alone.
    PyObject* hooks = PyObject_CallNoArgs(get_hooks);
    if (!hooks) return -1;
    PyObject* firstiter = PySequence_GetItem(hooks, 0);
    PyObject* finalizer = firstiter ? PySequence_GetItem(hooks, 1) : nullptr;
    Py_DECREF(hooks);
    int status = finalizer ? 0 : -1;
    if (finalizer && finalizer != Py_None) Py_XSETREF(gen->finalizer, Py_NewRef(finalizer));
    if (finalizer && firstiter != Py_None) {
        PyObject* r = PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject*>(gen));
        if (!r) status = -1;
        Py_XDECREF(r);
    }
    Py_XDECREF(firstiter);
    Py_XDECREF(finalizer);
    return status;
}

enum class Awaitable : unsigned char { init, iter, closed };

struct Asend {
    PyObject ob_base;
    CoroutineObject* gen;
    PyObject* value;  // null for __anext__()
    Awaitable state;
};

struct Athrow {
    PyObject ob_base;
    CoroutineObject* gen;
    PyObject* type;  // null for aclose()
    PyObject* value;
    PyObject* tb;
    Awaitable state;
};

Asend* as_asend(PyObject* o) {
    return reinterpret_cast<Asend*>(o);
}
Athrow* as_athrow(PyObject* o) {
    return reinterpret_cast<Athrow*>(o);
}

// A generator step seen by an asend()/athrow() awaitable: co_yield completes the
// awaitable with the value, the end of the body is StopAsyncIteration.
Result unwrap(CoroutineObject* gen, Result r) {
    switch (r.kind) {
        case Result::passed:
            return r;
        case Result::yielded:
            gen->running_async = false;
            return returned(std::move(r.value));
        case Result::returned:
            PyErr_SetNone(PyExc_StopAsyncIteration);
            r = raised_pending();
            break;
        case Result::raised:
            break;
    }
    if (r.matches(PyExc_StopAsyncIteration) || r.matches(PyExc_GeneratorExit)) gen->closed = true;
    gen->running_async = false;
    return r;
}

Result already_running(Awaitable& state, const char* message) {
    state = Awaitable::closed;
    return error(PyExc_RuntimeError, message);
}

Result asend_send(Asend* o, PyObject* value) {
    if (o->state == Awaitable::closed)
        return error(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    if (o->state == Awaitable::init) {
        if (o->gen->running_async)
            return already_running(o->state, "anext(): asynchronous generator is already running");
        if (!value || value == Py_None) value = o->value;
        o->state = Awaitable::iter;
    }
    o->gen->running_async = true;
    Result r = unwrap(o->gen, send(o->gen, value ? value : Py_None));
    if (r.kind != Result::passed) o->state = Awaitable::closed;
    return r;
}

Result asend_throw(Asend* o, PyObject* type, PyObject* value, PyObject* tb) {
    if (o->state == Awaitable::closed)
        return error(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    if (o->state == Awaitable::init) {
        if (o->gen->running_async)
            return already_running(o->state, "anext(): asynchronous generator is already running");
        o->state = Awaitable::iter;
        o->gen->running_async = true;
    }
    Result r = unwrap(o->gen, throw_(o->gen, type, value, tb, true));
    if (r.kind != Result::passed) {
        o->gen->running_async = false;
        o->state = Awaitable::closed;
    }
    return r;
}

// athrow(): completed by a co_yield, like asend().
Result athrow_outcome(Athrow* o, Result r) {
    r = unwrap(o->gen, std::move(r));
    // Done either way; the interpreter leaves a finished athrow() awaitable able
    // to resume the generator once more, which only hides mistakes.
    if (r.kind != Result::passed) o->state = Awaitable::closed;
    return r;
}

// aclose(): the generator must end; a co_yield now is an error.
Result aclose_outcome(Athrow* o, Result r) {
    if (r.kind == Result::passed) return r;
    o->gen->running_async = false;
    o->state = Awaitable::closed;
    if (r.kind == Result::yielded) return error(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    if (r.kind == Result::returned || r.matches(PyExc_StopAsyncIteration) || r.matches(PyExc_GeneratorExit))
        return returned();
    return r;
}

const char* athrow_running_message(Athrow* o) {
    return o->type ? "athrow(): asynchronous generator is already running"
                   : "aclose(): asynchronous generator is already running";
}

Result athrow_send(Athrow* o, PyObject* value) {
    CoroutineObject* gen = o->gen;
    if (o->state == Awaitable::closed)
        return error(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    if (gen->state == State::finished) {
        o->state = Awaitable::closed;
        return returned();
    }
    if (o->state == Awaitable::init) {
        if (gen->running_async) return already_running(o->state, athrow_running_message(o));
        if (gen->closed) {
            o->state = Awaitable::closed;
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return raised_pending();
        }
        if (value && value != Py_None)
            return error(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
        o->state = Awaitable::iter;
        gen->running_async = true;
        if (!o->type) {
            gen->closed = true;
            return aclose_outcome(o, throw_(gen, PyExc_GeneratorExit, nullptr, nullptr, false));
        }
        return athrow_outcome(o, throw_(gen, o->type, o->value, o->tb, false));
    }
    Result r = send(gen, value ? value : Py_None);
    return o->type ? athrow_outcome(o, std::move(r)) : aclose_outcome(o, std::move(r));
}

Result athrow_throw(Athrow* o, PyObject* type, PyObject* value, PyObject* tb) {
    if (o->state == Awaitable::closed)
        return error(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    if (o->state == Awaitable::init) {
        if (o->gen->running_async) return already_running(o->state, athrow_running_message(o));
        o->state = Awaitable::iter;
        o->gen->running_async = true;
    }
    Result r = throw_(o->gen, type, value, tb, true);
    return o->type ? athrow_outcome(o, std::move(r)) : aclose_outcome(o, std::move(r));
}

// close() of either awaitable: GeneratorExit thrown through it.
template <class O, Result (*Throw)(O*, PyObject*, PyObject*, PyObject*)>
PyObject* awaitable_close(PyObject* o, PyObject*) {
    O* self = reinterpret_cast<O*>(o);
    if (self->state == Awaitable::closed) Py_RETURN_NONE;
    Result r = Throw(self, PyExc_GeneratorExit, nullptr, nullptr);
    if (r.kind == Result::passed || r.kind == Result::yielded) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r.kind == Result::returned || r.matches(PyExc_StopIteration) || r.matches(PyExc_StopAsyncIteration) ||
        r.matches(PyExc_GeneratorExit))
        Py_RETURN_NONE;
    PyErr_SetRaisedException(r.value.release().ptr());
    return nullptr;
}

template <class O, Result (*Send)(O*, PyObject*)>
PyObject* awaitable_iternext(PyObject* o) {
    return iternext_result(Send(reinterpret_cast<O*>(o), Py_None));
}

template <class O, Result (*Send)(O*, PyObject*)>
PyObject* awaitable_send(PyObject* o, PyObject* value) {
    return method_result(Send(reinterpret_cast<O*>(o), value));
}

template <class O, Result (*Send)(O*, PyObject*)>
PySendResult awaitable_am_send(PyObject* o, PyObject* value, PyObject** out) {
    return send_result(Send(reinterpret_cast<O*>(o), value ? value : Py_None), out);
}

template <class O, Result (*Throw)(O*, PyObject*, PyObject*, PyObject*)>
PyObject* awaitable_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_throw_args("throw", nargs)) return nullptr;
    return method_result(Throw(reinterpret_cast<O*>(o), args[0], arg(args, nargs, 1), arg(args, nargs, 2)));
}

// Dropped without being awaited: the interpreter warns about these too.
void warn_unawaited(CoroutineObject* gen, const char* method) {
    PyObject* saved = PyErr_GetRaisedException();
    if (!resolve_names(gen) ||
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine method '%s' of %R was never awaited", method,
                         gen->qualname) < 0)
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(gen));
    PyErr_SetRaisedException(saved);
}

void asend_finalize(PyObject* o) {
    if (as_asend(o)->state == Awaitable::init) warn_unawaited(as_asend(o)->gen, "asend");
}

void athrow_finalize(PyObject* o) {
    Athrow* self = as_athrow(o);
    if (self->state == Awaitable::init) warn_unawaited(self->gen, self->type ? "athrow" : "aclose");
}

int asend_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(as_asend(o)->gen));
    Py_VISIT(as_asend(o)->value);
    return 0;
}

int athrow_traverse(PyObject* o, visitproc visit, void* arg) {
    Athrow* self = as_athrow(o);
    Py_VISIT(reinterpret_cast<PyObject*>(self->gen));
    Py_VISIT(self->type);
    Py_VISIT(self->value);
    Py_VISIT(self->tb);
    return 0;
}

void asend_dealloc(PyObject* o) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;
    PyObject_GC_UnTrack(o);
    Py_CLEAR(as_asend(o)->gen);
    Py_CLEAR(as_asend(o)->value);
    PyObject_GC_Del(o);
}

void athrow_dealloc(PyObject* o) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;
    PyObject_GC_UnTrack(o);
    Athrow* self = as_athrow(o);
    Py_CLEAR(self->gen);
    Py_CLEAR(self->type);
    Py_CLEAR(self->value);
    Py_CLEAR(self->tb);
    PyObject_GC_Del(o);
}

PyObject* make_asend(CoroutineObject* gen, PyObject* value) {
    if (init_hooks(gen) < 0) return nullptr;
    Asend* o = PyObject_GC_New(Asend, &asend_type);
    if (!o) return nullptr;
    o->gen = reinterpret_cast<CoroutineObject*>(Py_NewRef(reinterpret_cast<PyObject*>(gen)));
    o->value = Py_XNewRef(value);
    o->state = Awaitable::init;
    PyObject_GC_Track(o);
    return reinterpret_cast<PyObject*>(o);
}

PyObject* make_athrow(CoroutineObject* gen, PyObject* type, PyObject* value, PyObject* tb) {
    if (init_hooks(gen) < 0) return nullptr;
    Athrow* o = PyObject_GC_New(Athrow, &athrow_type);
    if (!o) return nullptr;
    o->gen = reinterpret_cast<CoroutineObject*>(Py_NewRef(reinterpret_cast<PyObject*>(gen)));
    o->type = Py_XNewRef(type);
    o->value = Py_XNewRef(value);
    o->tb = Py_XNewRef(tb);
    o->state = Awaitable::init;
    PyObject_GC_Track(o);
    return reinterpret_cast<PyObject*>(o);
}

PyObject* agen_anext(PyObject* o) {
    return make_asend(as_coro(o), nullptr);
}

PyObject* agen_asend(PyObject* o, PyObject* value) {
    return make_asend(as_coro(o), value);
}

PyObject* agen_athrow(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_throw_args("athrow", nargs)) return nullptr;
    return make_athrow(as_coro(o), args[0], arg(args, nargs, 1), arg(args, nargs, 2));
}

PyObject* agen_aclose(PyObject* o, PyObject*) {
    return make_athrow(as_coro(o), nullptr, nullptr, nullptr);
}

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(agen_athrow)), METH_FASTCALL,
     "athrow(value) -> raise exception in generator."},
    {"aclose", agen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"ag_await", get_awaiting, nullptr, "object being awaited on, or None", nullptr},
    {"ag_running", get_running_async, nullptr, nullptr, nullptr},
    {"ag_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods agen_async = {nullptr, PyObject_SelfIter, agen_anext, nullptr};

PyMethodDef asend_methods[] = {
    {"send", awaitable_send<Asend, asend_send>, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(awaitable_throw<Asend, asend_throw>)),
     METH_FASTCALL, nullptr},
    {"close", awaitable_close<Asend, asend_throw>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef athrow_methods[] = {
    {"send", awaitable_send<Athrow, athrow_send>, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(awaitable_throw<Athrow, athrow_throw>)),
     METH_FASTCALL, nullptr},
    {"close", awaitable_close<Athrow, athrow_throw>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods asend_async = {PyObject_SelfIter, nullptr, nullptr, awaitable_am_send<Asend, asend_send>};
PyAsyncMethods athrow_async = {PyObject_SelfIter, nullptr, nullptr, awaitable_am_send<Athrow, athrow_send>};

}  // namespace

PyTypeObject* async_generator_object_type() {
    static bool ready = false;
    if (ready) return &async_generator_type;
    init_coroutine_type(async_generator_type, "kelvora.async_generator",
                        "An asynchronous generator whose body is native code.");
    async_generator_type.tp_as_async = &agen_async;
    async_generator_type.tp_methods = agen_methods;
    async_generator_type.tp_getset = agen_getset;

    for (PyTypeObject* t : {&asend_type, &athrow_type}) {
        t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        t->tp_iter = PyObject_SelfIter;
    }
    asend_type.tp_name = "kelvora.async_generator_asend";
    asend_type.tp_basicsize = sizeof(Asend);
    asend_type.tp_traverse = asend_traverse;
    asend_type.tp_dealloc = asend_dealloc;
    asend_type.tp_finalize = asend_finalize;
    asend_type.tp_iternext = awaitable_iternext<Asend, asend_send>;
    asend_type.tp_methods = asend_methods;
    asend_type.tp_as_async = &asend_async;

    athrow_type.tp_name = "kelvora.async_generator_athrow";
    athrow_type.tp_basicsize = sizeof(Athrow);
    athrow_type.tp_traverse = athrow_traverse;
    athrow_type.tp_dealloc = athrow_dealloc;
    athrow_type.tp_finalize = athrow_finalize;
    athrow_type.tp_iternext = awaitable_iternext<Athrow, athrow_send>;
    athrow_type.tp_methods = athrow_methods;
    athrow_type.tp_as_async = &athrow_async;

    for (PyTypeObject* t : {&async_generator_type, &asend_type, &athrow_type})
        if (PyType_Ready(t) < 0) raise_pending();
    nb::module_::import_("collections.abc")
        .attr("AsyncGenerator")
        .attr("register")(nb::handle(reinterpret_cast<PyObject*>(&async_generator_type)));
    ready = true;
    return &async_generator_type;
}

}  // namespace detail

nb::object make_async_generator(AsyncGen&& body, nb::handle function, std::source_location where) {
    auto frame = detail::CoroutineAccess::release(body);
    if (!frame) raise(PyExc_RuntimeError, "native async generator body already used");
    return detail::adopt(frame, frame.promise(), Flavor::async_generator, function, where.file_name(),
                         int(where.line()));
}

}  // namespace kelvora
