// The step that drives a native coroutine or async generator: send, throw and
// close resume the frame, or the object it awaits, and report a Result, put
// into the protocol's shape here (a value, StopIteration, an am_send result).
// The objects and their type slots are coroutine_type.cpp, the frame's memory
// and its promise coroutine_frame.cpp.
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>

#include "coroutine_object.hpp"

namespace kelvora {
namespace detail {
namespace {

// Every value-returning `await` of a native coroutine hands its value out in
// a StopIteration, which the awaiting frame (SEND, through tp_iternext)
// unpacks and drops at once. One instance serves them all while nobody else
// holds it: by the next return it is ours alone again. One that went further
// (a caller of __next__ let it propagate, and kept it or gave it a traceback)
// is left to its holders, and a fresh one takes its place.
PyObject* spare_stop = nullptr;

// The spare refilled with `value` (a new reference), or null. The values it
// held go to `old` and are released by the caller only once the spare is
// handed out: their __del__ may run another await, which must then find the
// spare taken, not refill it under this one.
PyObject* reuse_stop_iteration(PyObject* value, PyObject* (&old)[2]) {
    auto* e = reinterpret_cast<PyStopIterationObject*>(spare_stop);
    if (!e || Py_REFCNT(spare_stop) != 1 || e->traceback || e->context || e->cause || e->notes || e->dict ||
        e->suppress_context)
        return nullptr;
    PyObject* args = e->args;
    if (!args || Py_REFCNT(args) != 1 || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1) return nullptr;
    // The one-tuple is ours alone too: its item is swapped in place.
    old[0] = PyTuple_GET_ITEM(args, 0);
    PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
    // A tuple of untracked items may have been untracked; this item may need it.
    if (!PyObject_GC_IsTracked(args) && PyObject_IS_GC(value)) PyObject_GC_Track(args);
    old[1] = std::exchange(e->value, Py_NewRef(value));
    return Py_NewRef(spare_stop);
}

void set_stop_iteration(nb::handle value, bool reuse = false) {
    PyObject* v = value.ptr();
    if (v == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    if (reuse) {
        PyObject* old[2];
        if (PyObject* exc = reuse_stop_iteration(v, old)) {
            Py_XDECREF(old[0]);
            Py_XDECREF(old[1]);
            PyErr_SetRaisedException(exc);
            return;
        }
    }
    // A real instance: StopIteration(tuple) through PyErr_SetObject would unpack it.
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, v);
    if (!exc) return;
    if (reuse) Py_XSETREF(spare_stop, Py_NewRef(exc));
    PyErr_SetRaisedException(exc);
}

PyObject* stop_value(PyObject* stop_iteration) {
    return reinterpret_cast<PyStopIterationObject*>(stop_iteration)->value;
}

}  // namespace

// ---- results -------------------------------------------------------------------

Result returned(nb::object value) {
    return {Result::returned, std::move(value)};
}

// The pending Python error as a Result.
Result raised_pending() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "native coroutine step failed without an exception");
        exc = PyErr_GetRaisedException();
    }
    return {Result::raised, nb::steal(exc)};
}

Result error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return raised_pending();
}

PyObject* method_result(Result r) {
    switch (r.kind) {
        case Result::passed:
        case Result::yielded:
            return r.value.release().ptr();
        case Result::returned:
            set_stop_iteration(r.value);
            return nullptr;
        case Result::raised:
            PyErr_SetRaisedException(r.value.release().ptr());
            return nullptr;
    }
    return nullptr;
}

PyObject* iternext_result(Result r) {
    if (r.kind != Result::returned) return method_result(std::move(r));
    if (!r.value.is_none()) set_stop_iteration(r.value, true);
    return nullptr;  // None ends without an exception
}

PySendResult send_result(Result r, PyObject** out) {
    switch (r.kind) {
        case Result::passed:
        case Result::yielded:
            *out = r.value.release().ptr();
            return PYGEN_NEXT;
        case Result::returned:
            *out = r.value.release().ptr();
            return PYGEN_RETURN;
        case Result::raised:
            break;
    }
    *out = nullptr;
    PyErr_SetRaisedException(r.value.release().ptr());
    return PYGEN_ERROR;
}

namespace {

// ---- running a frame ----------------------------------------------------------

// Native frames resume one another on the C stack (a chain of native awaits
// nests one step per level). Depth ends a chain that is too deep in
// RecursionError: at the interpreter's recursion limit, or earlier when the
// thread's stack is running out (threads may have small stacks).
bool stack_running_out() {
#if defined(__GLIBC__)
    thread_local const char* limit = [] {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return static_cast<const char*>(nullptr);
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        // Headroom for whatever the deepest step still calls.
        size_t headroom = std::min<size_t>(size / 4, 256 * 1024);
        return static_cast<const char*>(base) + headroom;
    }();
    return limit && static_cast<const char*>(__builtin_frame_address(0)) < limit;
#else
    return false;
#endif
}

class Depth {
  public:
    // Py_EnterRecursiveCall's own counter, counted here with the thread
    // state at hand; near the limit the interpreter's function decides (and
    // raises RecursionError its way).
    explicit Depth(PyThreadState* tstate) : tstate_(tstate) {
        if (tstate->c_recursion_remaining > 1)
            --tstate->c_recursion_remaining;
        else if (Py_EnterRecursiveCall(" in a native coroutine") != 0)
            return;
        ok_ = true;
        // Looking at the stack every 16 levels is enough: that many steps fit
        // in the headroom.
        if ((tstate->c_recursion_remaining & 15) == 0 && stack_running_out()) {
            ++tstate->c_recursion_remaining;
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded in a native coroutine (stack exhausted)");
            ok_ = false;
        }
    }
    ~Depth() {
        if (ok_) ++tstate_->c_recursion_remaining;  // Py_LeaveRecursiveCall
    }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    bool ok() const { return ok_; }
    void abandon() { ok_ = false; }  // see guarded()

  private:
    PyThreadState* tstate_;
    bool ok_ = false;
};

// While a step runs, the object is "executing" and has its own entry on the
// thread's stack of handled exceptions, as a generator frame has: what the body
// handles (a Caught) stays with the frame between steps and never leaks into
// the code that drives it.
class Running {
  public:
    Running(CoroutineObject* self, PyThreadState* tstate) : self_(self), tstate_(tstate) {
        self->state = State::running;
        item_.exc_value = std::exchange(self->handled, nullptr);
        item_.previous_item = tstate_->exc_info;
        tstate_->exc_info = &item_;
    }
    ~Running() {
        if (!tstate_) return;  // abandoned: see guarded()
        tstate_->exc_info = item_.previous_item;
        // A frame that is gone (even one closed while Python code ran) is finished.
        if (self_->state == State::running) self_->state = self_->frame ? State::suspended : State::finished;
        if (self_->state == State::finished)
            Py_CLEAR(item_.exc_value);
        else
            Py_XSETREF(self_->handled, item_.exc_value);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    void abandon() { tstate_ = nullptr; }

  private:
    CoroutineObject* self_;
    PyThreadState* tstate_;
    _PyErr_StackItem item_;
};

// Runs `body` with the guards (Depth, Running) in place. A forced unwind that
// ends the thread at interpreter exit comes out of Python code with the thread
// state already freed: the guards then restore nothing, and the object stays
// "executing", so nothing can resume the frame it was unwound out of. (A
// handler costs nothing until an exception passes; asking for the thread
// state on every step would.)
template <class F, class... Guard>
decltype(auto) guarded(F&& body, Guard&... guards) {
    try {
        return body();
    } catch (...) {
        if (thread_is_ending()) (guards.abandon(), ...);
        before_rethrow();
        throw;
    }
}

}  // namespace

namespace {

// The name a traceback entry gives the body, or null.
PyObject* traceback_name(CoroutineObject* self) {
    if (resolve_names(self)) return self->qualname;
    PyErr_Clear();  // out of memory: the entry goes without its name
    return nullptr;
}

// The body ended: its frame goes (destructors run), the outcome is reported.
Result finish(CoroutineObject* self) {
    FrameSlots& s = slots(self);
    nb::object result = std::move(s.result), exc = std::move(s.error);
    // Read before the frame goes: its destructors may run Python code.
    std::uint64_t site = detail::current_site;
    int line = self->line;
    destroy_frame(self);
    self->state = State::finished;
    if (!exc && !result && is_coroutine(self)) {
        // Ran off its end: C++ leaves that undefined (no co_return value), the
        // compiler lets it by; it is a fault of the body, reported as one.
        if (!resolve_names(self)) return raised_pending();
        PyErr_Format(PyExc_SystemError,
                     "native coroutine '%U' ended without co_return (its body must end with "
                     "`co_return value;`)",
                     self->qualname);
        exc = fetch_error();
        site = 0;
    }
    if (!exc) return returned(result ? std::move(result) : nb::none());

    // As in the interpreter, StopIteration (and StopAsyncIteration in an async
    // generator) must not leave a body: it would read as the end of iteration.
    const char* message = nullptr;
    if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_StopIteration))
        message = is_coroutine(self) ? "coroutine raised StopIteration" : "async generator raised StopIteration";
    else if (!is_coroutine(self) && PyErr_GivenExceptionMatches(exc.ptr(), PyExc_StopAsyncIteration))
        message = "async generator raised StopAsyncIteration";
    if (message) {
        PyObject* replacement = PyObject_CallFunction(PyExc_RuntimeError, "s", message);
        if (!replacement) return raised_pending();
        PyException_SetCause(replacement, Py_NewRef(exc.ptr()));
        PyException_SetContext(replacement, Py_NewRef(exc.ptr()));
        exc = nb::steal(replacement);
    }
    if (self->file && !PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit)) {
        PyObject* name = traceback_name(self);
        PyErr_SetRaisedException(exc.release().ptr());
        add_native_traceback(name, self->file, raising_line(self->file, line, site));
        exc = nb::steal(PyErr_GetRaisedException());
    }
    return {Result::raised, std::move(exc)};
}

PyObject* awaitable_iter(PyObject* o);

// Starts awaiting what the body's co_await handed over (the awaitable's
// iterator, its first step). Returns what it yields (a new reference) if it
// suspends; otherwise null, with its result or exception where the body's
// co_await takes it. Raw references: a thread ended in this Python code by a
// forced unwind leaves them alone.
PyObject* start_await(CoroutineObject* self, FrameSlots& s) {
    PyObject* awaitable = s.output.release().ptr();
    PyObject* it = awaitable_iter(awaitable);
    Py_DECREF(awaitable);
    if (!it) {
        s.thrown = fetch_error();
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &out);
    if (r == PYGEN_NEXT) {
        self->awaiting = it;
        return out;
    }
    Py_DECREF(it);
    if (r == PYGEN_RETURN)
        s.input = nb::steal(out);
    else
        s.thrown = fetch_error();
    return nullptr;
}

// Resumes the frame at its suspension point with a value or an exception.
// Runs inside a Running scope.
Result resume_frame(CoroutineObject* self, nb::object value, nb::object exc) {
    SiteScope sites;  // the body's own lines; the driver's are back afterwards
    FrameSlots& s = slots(self);
    if (exc) {
        // A thrown exception gets what the body is handling as its __context__.
        PyObject* handled = PyThreadState_Get()->exc_info->exc_value;
        if (handled && handled != Py_None) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
            exc = fetch_error();
        }
        s.thrown = std::move(exc);
    } else {
        s.input = value ? std::move(value) : nb::none();
    }
    for (;;) {
        // It goes on from the co_await (or co_yield) it stopped at: what is raised
        // there names that line, unless the body names another first.
        detail::current_site = s.site;
        self->frame.resume();
        s.input.reset();  // the first resumption has no taker
        s.thrown.reset();
        if (self->frame.done()) return finish(self);
        if (s.out == FrameSlots::Out::yielded) break;
        // Stopped at a co_await: awaiting starts here; what finishes at once
        // goes straight back in.
        s.out = FrameSlots::Out::nothing;
        if (PyObject* out = start_await(self, s)) return {Result::passed, nb::steal(out)};
    }
    s.out = FrameSlots::Out::nothing;
    return {Result::yielded, std::move(s.output)};
}

// The awaited object's close(), as `yield from` closes its target.
int close_iter(PyObject* it) {
    if (Py_TYPE(it) == &coroutine_type) {
        Result r = close(as_coro(it));
        if (r.kind != Result::raised) return 0;
        PyErr_SetRaisedException(r.value.release().ptr());
        return -1;
    }
    PyObject* name = interned_or_null<"close">();
    if (!name) return -1;
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttr(it, name, &method) < 0) PyErr_WriteUnraisable(it);
    if (!method) return 0;
    PyObject* r = PyObject_CallNoArgs(method);
    Py_DECREF(method);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// throw()'s arguments checked as the interpreter checks them, before anything
// is made of them (the awaited object may be the one to make the exception).
bool valid_throw_args(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb && tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(type)) return true;
    if (!PyExceptionInstance_Check(type)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    if (value && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return false;
    }
    return true;
}

// The exception instance valid throw() arguments stand for. Empty with an
// error set when the class cannot make one.
nb::object make_exception(PyObject* type, PyObject* value, PyObject* tb) {
    nb::object exc;
    if (PyExceptionInstance_Check(type)) {
        exc = nb::borrow(type);
    } else if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
        exc = nb::borrow(value);
    } else {
        PyObject* made = !value || value == Py_None ? PyObject_CallNoArgs(type)
                         : PyTuple_Check(value)     ? PyObject_Call(type, value, nullptr)
                                                    : PyObject_CallOneArg(type, value);
        if (!made) return {};
        exc = nb::steal(made);
        if (!PyExceptionInstance_Check(made)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
                         Py_TYPE(made)->tp_name);
            return {};
        }
    }
    if (tb && tb != Py_None) PyException_SetTraceback(exc.ptr(), tb);
    return exc;
}

// The `await` protocol's iterator for `o`, checked as the interpreter checks it.
PyObject* awaitable_iter(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (type == &coroutine_type) {
        if (as_coro(o)->awaiting) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    auto is_coroutine_object = [](PyObject* x) {
        return PyCoro_CheckExact(x) ||
               (PyGen_CheckExact(x) &&
                (PyGen_GetCode(reinterpret_cast<PyGenObject*>(x))->co_flags & CO_ITERABLE_COROUTINE));
    };
    if (is_coroutine_object(o)) {
        if (PyCoro_CheckExact(o)) {
            PyObject* name = interned_or_null<"cr_await">();
            PyObject* inner = name ? PyObject_GetAttr(o, name) : nullptr;
            if (!inner) return nullptr;
            bool busy = inner != Py_None;
            Py_DECREF(inner);
            if (busy) {
                PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
                return nullptr;
            }
        }
        return Py_NewRef(o);
    }
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (is_coroutine_object(it) || Py_TYPE(it) == &coroutine_type) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        Py_DECREF(it);
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

}  // namespace

// ---- the step: send, throw, close ----------------------------------------------

Result send(CoroutineObject* self, PyObject* value) {
    switch (self->state) {
        case State::running:
            return error(PyExc_ValueError,
                         is_coroutine(self) ? "coroutine already executing" : "async generator already executing");
        case State::finished:
            // An async generator that ran out just reports the end again.
            if (!is_coroutine(self)) return returned();
            return error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        case State::created:
            if (value != Py_None)
                return error(PyExc_TypeError, is_coroutine(self)
                                                  ? "can't send non-None value to a just-started coroutine"
                                                  : "can't send non-None value to a just-started async generator");
            break;
        case State::suspended:
            break;
    }
    PyThreadState* tstate = PyThreadState_Get();
    Depth depth(tstate);
    if (!depth.ok()) {
        // Too deep to start: it ends here, as a frame the interpreter could not
        // enter (and it was not left "never awaited").
        if (self->state == State::created) destroy_frame(self);
        return raised_pending();
    }
    // While running, Python code reached from here (the awaited object, a
    // __del__) finds the object executing and cannot resume or close it.
    Running running(self, tstate);
    return guarded(
        [&]() -> Result {
            PyObject* it = self->awaiting;
            if (!it) return resume_frame(self, nb::borrow(value), {});
            PyObject* out = nullptr;
            PySendResult r = PyIter_Send(it, value, &out);
            if (r == PYGEN_NEXT) return {Result::passed, nb::steal(out)};
            // Released once the frame has run (still "executing", whatever its
            // __del__ does); a raw reference, so that a thread ended meanwhile
            // by a forced unwind leaves it alone.
            PyObject* done = std::exchange(self->awaiting, nullptr);
            Result next =
                r == PYGEN_RETURN ? resume_frame(self, nb::steal(out), {}) : resume_frame(self, {}, fetch_error());
            Py_DECREF(done);
            return next;
        },
        running, depth);
}

namespace {

// Python code run while the object was suspended (looking up the awaited
// object's `throw`, making the exception) may have resumed it or closed it.
// A closed one has no frame left to hand the outcome to: a coroutine says it
// is finished (the outcome as the context), an async generator lets the
// outcome through, as the interpreter's generators do.
Result deliver(CoroutineObject* self, PyThreadState* tstate, nb::object value, nb::object exc) {
    if (self->state == State::finished) {
        if (!is_coroutine(self)) return exc ? Result{Result::raised, std::move(exc)} : returned();
        Result r = error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        if (exc) PyException_SetContext(r.value.ptr(), exc.release().ptr());
        return r;
    }
    Running running(self, tstate);
    return guarded([&] { return resume_frame(self, std::move(value), std::move(exc)); }, running);
}

// Raises the exception at the suspension point of a frame that awaits nothing.
Result throw_here(CoroutineObject* self, PyThreadState* tstate, PyObject* type, PyObject* value, PyObject* tb) {
    nb::object exc = make_exception(type, value, tb);
    if (!exc) return raised_pending();
    switch (self->state) {
        case State::created:
            // Never started: it ends with the exception, as a fresh frame would.
            destroy_frame(self);
            return {Result::raised, std::move(exc)};
        case State::finished:
            if (is_coroutine(self)) return error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return {Result::raised, std::move(exc)};
        case State::running:  // making the exception resumed it, which is still going
            return error(PyExc_ValueError,
                         is_coroutine(self) ? "coroutine already executing" : "async generator already executing");
        case State::suspended:
            break;
    }
    // Making the exception may have resumed the body up to a new await: the
    // exception is raised there, and that awaited object is let go (released
    // after the step, whatever its __del__ does; left alone by a thread ended
    // meanwhile).
    PyObject* abandoned = std::exchange(self->awaiting, nullptr);
    Result r{Result::raised, {}};
    {
        Running running(self, tstate);
        r = guarded([&] { return resume_frame(self, {}, std::move(exc)); }, running);
    }
    Py_XDECREF(abandoned);
    return r;
}

}  // namespace

namespace {

// throw() of a frame awaiting `it`; see throw_().
Result throw_into(CoroutineObject* self, PyThreadState* tstate, PyObject* it, PyObject* type, PyObject* value,
                  PyObject* tb, bool close_on_genexit) {
    if (close_on_genexit && PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
        nb::object exc;
        {
            Running running(self, tstate);
            guarded(
                [&] {
                    if (close_iter(it) < 0) exc = fetch_error();
                    if (self->awaiting == it) Py_DECREF(std::exchange(self->awaiting, nullptr));
                },
                running);
        }
        if (!exc) return throw_here(self, tstate, type, value, tb);
        return deliver(self, tstate, {}, std::move(exc));
    }
    Result inner{Result::raised, {}};
    if (Py_TYPE(it) == &coroutine_type) {
        Running running(self, tstate);
        inner = guarded([&] { return throw_(as_coro(it), type, value, tb, close_on_genexit); }, running);
    } else {
        // The lookup runs with the object suspended, as in the interpreter: a
        // `throw` property may resume or close it (deliver() sees to that).
        PyObject* name = interned_or_null<"throw">();
        PyObject* method = nullptr;
        if (!name || PyObject_GetOptionalAttr(it, name, &method) < 0) return raised_pending();
        if (!method) {
            // Nothing to throw into: the exception is raised at the await.
            return throw_here(self, tstate, type, value, tb);
        }
        {
            Running running(self, tstate);
            PyObject* r =
                guarded([&] { return PyObject_CallFunctionObjArgs(method, type, value, tb, nullptr); }, running);
            if (r) {
                inner = {Result::passed, nb::steal(r)};
            } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                nb::object stop = fetch_error();
                inner = returned(nb::borrow(stop_value(stop.ptr())));
            } else {
                inner = raised_pending();
            }
        }
        Py_DECREF(method);
    }
    if (inner.kind == Result::passed) return inner;
    // The awaited object is done with; if Python code meanwhile moved the body
    // on to another await, the outcome lands there, as with `yield from`.
    PyObject* done = std::exchange(self->awaiting, nullptr);
    Result r = inner.kind == Result::raised ? deliver(self, tstate, {}, std::move(inner.value))
                                            : deliver(self, tstate, std::move(inner.value), {});
    Py_XDECREF(done);
    return r;
}

}  // namespace

// throw(): goes to the awaited object first, as `yield from` does; only what it
// does not handle is raised in the body. `close_on_genexit` is false for async
// generators, whose awaited objects get GeneratorExit thrown in so that
// clean-up may still await.
Result throw_(CoroutineObject* self, PyObject* type, PyObject* value, PyObject* tb, bool close_on_genexit) {
    if (self->state == State::running)
        return error(PyExc_ValueError,
                     is_coroutine(self) ? "coroutine already executing" : "async generator already executing");
    if (!valid_throw_args(type, value, tb)) return raised_pending();
    PyThreadState* tstate = PyThreadState_Get();
    Depth depth(tstate);
    if (!depth.ok()) return raised_pending();
    if (!self->awaiting) return guarded([&] { return throw_here(self, tstate, type, value, tb); }, depth);
    // Held until the step ends: whatever releasing it runs comes after. Raw
    // references here and below: a thread ended meanwhile by a forced unwind
    // (interpreter exit) leaves them alone, as the interpreter leaves its frames.
    PyObject* it = Py_NewRef(self->awaiting);
    Result r = guarded([&] { return throw_into(self, tstate, it, type, value, tb, close_on_genexit); }, depth);
    Py_DECREF(it);
    return r;
}

// close(): GeneratorExit at the suspension point; the body must end. Returns
// the body's return value if it returned instead.
Result close(CoroutineObject* self) {
    switch (self->state) {
        case State::created:
            destroy_frame(self);
            return returned();
        case State::finished:
            return returned();
        case State::running:
            return error(PyExc_ValueError,
                         is_coroutine(self) ? "coroutine already executing" : "async generator already executing");
        case State::suspended:
            break;
    }
    PyThreadState* tstate = PyThreadState_Get();
    Depth depth(tstate);
    if (!depth.ok()) return raised_pending();
    Result r{Result::raised, {}};
    {
        Running running(self, tstate);
        r = guarded(
            [&]() -> Result {
                nb::object exc;
                if (PyObject* it = self->awaiting) {
                    if (close_iter(it) < 0) exc = fetch_error();
                    Py_XDECREF(std::exchange(self->awaiting, nullptr));  // close() may have let it go
                }
                if (!exc) {
                    exc = nb::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
                    if (!exc) return raised_pending();
                }
                return resume_frame(self, {}, std::move(exc));
            },
            running, depth);
    }
    if (r.kind == Result::passed || r.kind == Result::yielded)
        return error(PyExc_RuntimeError,
                     is_coroutine(self) ? "coroutine ignored GeneratorExit" : "async generator ignored GeneratorExit");
    if (r.matches(PyExc_GeneratorExit)) return returned();
    return r;
}

// ---- what coroutines and async generators share ---------------------------------

bool check_throw_args(const char* name, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", name, nargs);
        return false;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", name, nargs);
        return false;
    }
    if (nargs > 1 && PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                      "the (type, exc, tb) signature of %s() is deprecated, "
                                      "use the single-arg signature instead.",
                                      name) < 0)
        return false;
    return true;
}

}  // namespace detail
}  // namespace kelvora
