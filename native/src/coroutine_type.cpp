// Native coroutine objects: the Python side of C++20 coroutine frames, shaped
// like the interpreter's own generator objects. A step (send, throw, close)
// resumes the frame, or the object it awaits, and reports a Result; the slots
// and methods Python calls are thin wrappers that put a Result into the
// protocol's shape (a value, StopIteration, an am_send result).
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>

#include "coroutine_object.hpp"

namespace kelvora {
namespace detail {
namespace {

std::size_t live_frames = 0;

PyTypeObject coroutine_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject wrapper_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

FrameSlots& slots(CoroutineObject* self) {
    return CoroutineAccess::slots(*self->promise);
}

bool is_coroutine(CoroutineObject* self) {
    return self->flavor == Flavor::coroutine;
}

nb::object fetch_error() {
    return raised_pending().value;
}

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
    if (!e || Py_REFCNT(spare_stop) != 1 || e->traceback || e->context || e->cause || e->notes ||
        e->dict || e->suppress_context)
        return nullptr;
    PyObject* args = e->args;
    if (!args || Py_REFCNT(args) != 1 || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1)
        return nullptr;
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
        if (pthread_getattr_np(pthread_self(), &attr) != 0)
            return static_cast<const char*>(nullptr);
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
            PyErr_SetString(
                PyExc_RecursionError,
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
        if (self_->state == State::running)
            self_->state = self_->frame ? State::suspended : State::finished;
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

// The frame goes, and with it the body's locals and arguments. Their
// destructors run Python code (an argument's __del__) that may reach this
// object again: it is finished before they run (or still running, when the
// body itself ended), never suspended on a frame that is half gone.
void destroy_frame(CoroutineObject* self) {
    State was = self->state;
    if (was != State::running) self->state = State::finished;
    std::coroutine_handle<> frame = std::exchange(self->frame, {});
    self->promise = nullptr;
    if (!frame) return;
    if (was != State::suspended) {  // no locals left (or none yet)
        frame.destroy();
        return;
    }
    // Destructors of the locals of a suspended body (a Caught) restore handled
    // exceptions: give them an entry of their own, whoever is running.
    PyThreadState* tstate = PyThreadState_Get();
    _PyErr_StackItem item{nullptr, tstate->exc_info};
    tstate->exc_info = &item;
    frame.destroy();
    tstate->exc_info = item.previous_item;
    Py_XDECREF(item.exc_value);
}

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
        PyErr_Format(PyExc_SystemError, "native coroutine '%U' ended without co_return (its body must end with "
                     "`co_return value;`)", self->qualname);
        exc = fetch_error();
        site = 0;
    }
    if (!exc) return returned(result ? std::move(result) : nb::none());

    // As in the interpreter, StopIteration (and StopAsyncIteration in an async
    // generator) must not leave a body: it would read as the end of iteration.
    const char* message = nullptr;
    if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_StopIteration))
        message = is_coroutine(self) ? "coroutine raised StopIteration"
                                     : "async generator raised StopIteration";
    else if (!is_coroutine(self) &&
             PyErr_GivenExceptionMatches(exc.ptr(), PyExc_StopAsyncIteration))
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
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
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
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         type, Py_TYPE(made)->tp_name);
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
               (PyGen_CheckExact(x) && (PyGen_GetCode(reinterpret_cast<PyGenObject*>(x))->co_flags &
                                        CO_ITERABLE_COROUTINE));
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
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
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
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
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
            return error(PyExc_ValueError, is_coroutine(self)
                                               ? "coroutine already executing"
                                               : "async generator already executing");
        case State::finished:
            // An async generator that ran out just reports the end again.
            if (!is_coroutine(self)) return returned();
            return error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        case State::created:
            if (value != Py_None)
                return error(PyExc_TypeError,
                             is_coroutine(self)
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
            Result next = r == PYGEN_RETURN ? resume_frame(self, nb::steal(out), {})
                                            : resume_frame(self, {}, fetch_error());
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
Result throw_here(CoroutineObject* self, PyThreadState* tstate, PyObject* type, PyObject* value,
                  PyObject* tb) {
    nb::object exc = make_exception(type, value, tb);
    if (!exc) return raised_pending();
    switch (self->state) {
        case State::created:
            // Never started: it ends with the exception, as a fresh frame would.
            destroy_frame(self);
            return {Result::raised, std::move(exc)};
        case State::finished:
            if (is_coroutine(self))
                return error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return {Result::raised, std::move(exc)};
        case State::running:  // making the exception resumed it, which is still going
            return error(PyExc_ValueError, is_coroutine(self)
                                               ? "coroutine already executing"
                                               : "async generator already executing");
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
Result throw_into(CoroutineObject* self, PyThreadState* tstate, PyObject* it, PyObject* type,
                  PyObject* value, PyObject* tb, bool close_on_genexit) {
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
            PyObject* r = guarded(
                [&] { return PyObject_CallFunctionObjArgs(method, type, value, tb, nullptr); }, running);
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
Result throw_(CoroutineObject* self, PyObject* type, PyObject* value, PyObject* tb,
              bool close_on_genexit) {
    if (self->state == State::running)
        return error(PyExc_ValueError, is_coroutine(self) ? "coroutine already executing"
                                                          : "async generator already executing");
    if (!valid_throw_args(type, value, tb)) return raised_pending();
    PyThreadState* tstate = PyThreadState_Get();
    Depth depth(tstate);
    if (!depth.ok()) return raised_pending();
    if (!self->awaiting)
        return guarded([&] { return throw_here(self, tstate, type, value, tb); }, depth);
    // Held until the step ends: whatever releasing it runs comes after. Raw
    // references here and below: a thread ended meanwhile by a forced unwind
    // (interpreter exit) leaves them alone, as the interpreter leaves its frames.
    PyObject* it = Py_NewRef(self->awaiting);
    Result r = guarded([&] { return throw_into(self, tstate, it, type, value, tb, close_on_genexit); },
                       depth);
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
            return error(PyExc_ValueError, is_coroutine(self)
                                               ? "coroutine already executing"
                                               : "async generator already executing");
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
        return error(PyExc_RuntimeError, is_coroutine(self)
                                             ? "coroutine ignored GeneratorExit"
                                             : "async generator ignored GeneratorExit");
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

namespace {

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
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             self->qualname) < 0)
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
            for (size_t i = 0; i < args->size(); ++i) Py_VISIT((*args)[i].ptr());
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

// A few freed objects are kept for the next coroutines of at most their
// frame size, as the interpreter keeps free lists of its small objects:
// short-lived awaits then cost no allocation at all.
constexpr int max_spares = 8;
CoroutineObject* spares[max_spares];
int spare_count = 0;

bool keep_spare(CoroutineObject* self) {
    if (spare_count == max_spares) return false;
    spares[spare_count++] = self;
    return true;
}

// A kept object of `type` with room for `size` bytes of frame, made new.
CoroutineObject* take_spare(PyTypeObject* type, std::size_t size) {
    for (int i = spare_count; i-- > 0;) {
        CoroutineObject* self = spares[i];
        if (Py_TYPE(self) != type || std::size_t(Py_SIZE(self)) < size) continue;
        spares[i] = spares[--spare_count];
        // Untracked, but the collector's header may still say "finalized".
        reinterpret_cast<GcHeader*>(self)[-1] = {};
        PyObject_Init(reinterpret_cast<PyObject*>(self), type);
        return self;
    }
    return nullptr;
}

void coroutine_dealloc(PyObject* o) {
    CoroutineObject* self = as_coro(o);
    PyObject_GC_UnTrack(o);
    if (self->weakrefs) PyObject_ClearWeakRefs(o);
    if (self->state != State::finished) {  // a finished one has nothing to finalise
        PyObject_GC_Track(o);
        if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
        PyObject_GC_UnTrack(o);
    }
    destroy_frame(self);
    Py_CLEAR(self->awaiting);
    Py_CLEAR(self->handled);
    Py_CLEAR(self->finalizer);
    Py_CLEAR(self->function);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    if (!keep_spare(self)) Py_TYPE(o)->tp_free(o);
}

PyObject* coroutine_repr(PyObject* o) {
    if (!resolve_names(as_coro(o))) return nullptr;
    return PyUnicode_FromFormat("<%s object %U at %p>",
                                is_coroutine(as_coro(o)) ? "coroutine" : "async_generator",
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
        if (attribute && self->function && PyObject_GetOptionalAttr(self->function, attribute, &v) < 0)
            PyErr_Clear();
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
    return method_result(
        throw_(as_coro(o), args[0], arg(args, nargs, 1), arg(args, nargs, 2), true));
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
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
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
    return method_result(
        throw_(wrapped(o), args[0], arg(args, nargs, 1), arg(args, nargs, 2), true));
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
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};

}  // namespace

PyTypeObject* coroutine_object_type() {
    static bool ready = false;
    if (ready) return &coroutine_type;
    init_coroutine_type(coroutine_type, "kelvora.coroutine",
                        "A coroutine whose body is native code.");
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

void* allocate_frame(std::size_t size, Flavor flavor) {
    PyTypeObject* type =
        flavor == Flavor::coroutine ? coroutine_object_type() : async_generator_object_type();
    CoroutineObject* self = take_spare(type, size);
    if (!self) self = PyObject_GC_NewVar(CoroutineObject, type, Py_ssize_t(size));
    if (!self) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    // A finished object without a frame, until adopt() makes it the frame's owner.
    self->frame = {};
    self->promise = nullptr;
    self->function = nullptr;
    self->name = nullptr;
    self->qualname = nullptr;
    self->awaiting = nullptr;
    self->handled = nullptr;
    self->finalizer = nullptr;
    self->weakrefs = nullptr;
    self->file = nullptr;
    self->line = 0;
    self->state = State::finished;
    self->flavor = flavor;
    self->hooks_inited = false;
    self->running_async = false;
    self->closed = false;
    self->frame_claimed = false;
    self->wrapper_gc = {};
    self->wrapper.coroutine = nullptr;
    return reinterpret_cast<char*>(self) + frame_offset;
}

nb::object adopt(std::coroutine_handle<> frame, PromiseBase& promise, Flavor flavor,
                 nb::handle function, const char* file, int line) {
    if (!frame) raise(PyExc_RuntimeError, "native coroutine body already used");
    // The frame's address is what allocate_frame returned (the compiler's frame
    // starts its allocation): the object sits just before it.
    auto* self = reinterpret_cast<CoroutineObject*>(static_cast<char*>(frame.address()) -
                                                    frame_offset);
    if (self->frame_claimed || self->flavor != flavor)
        Py_FatalError("native coroutine frame not allocated by allocate_frame");
    self->frame = frame;
    self->promise = &promise;
    self->function = Py_XNewRef(function.ptr());
    self->file = file;
    self->line = line;
    self->state = State::created;
    self->flavor = flavor;
    self->frame_claimed = true;
    CoroutineAccess::slots(promise).owner = self;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject*>(self));
}

// ---- promise -------------------------------------------------------------------

PromiseBase::PromiseBase() noexcept {
    ++live_frames;
}
PromiseBase::~PromiseBase() {
    --live_frames;
}

void PromiseBase::operator delete(void* frame, std::size_t) noexcept {
    // An object that owns its frame frees the memory itself, later; one never
    // handed out goes with its frame.
    auto* self = reinterpret_cast<CoroutineObject*>(static_cast<char*>(frame) - frame_offset);
    if (!self->frame_claimed) Py_DECREF(reinterpret_cast<PyObject*>(self));
}

void PromiseBase::unhandled_exception() {
    slots_.error = exception_object();  // rethrows a foreign one: the forced unwind goes on
}

void PromiseBase::set_yielded(nb::object value, Site where) noexcept {
    slots_.site = where.packed;
    slots_.output = std::move(value);
    slots_.out = FrameSlots::Out::yielded;
}

nb::object PromiseBase::take_input() {
    if (slots_.thrown) {
        nb::object exc = std::move(slots_.thrown);
        raise_object(exc);
    }
    nb::object value = std::move(slots_.input);
    return value ? value : nb::none();
}

PromiseBase::Awaiter PromiseBase::await_transform(Coro&& body, Site where) {
    slots_.site = where.packed;
    CoroutineObject* owner = slots_.owner;
    auto frame = CoroutineAccess::release(body);
    PromiseBase& promise = frame.promise();
    return Awaiter(*this, adopt(frame, promise, Flavor::coroutine,
                                reinterpret_cast<PyObject*>(owner), owner->file, owner->line));
}

}  // namespace detail

// ---- public entry points -----------------------------------------------------------

nb::object make_coroutine(Coro&& body, nb::handle function, std::source_location where) {
    auto frame = detail::CoroutineAccess::release(body);
    if (!frame) raise(PyExc_RuntimeError, "native coroutine body already used");
    return detail::adopt(frame, frame.promise(), Flavor::coroutine, function, where.file_name(),
                         int(where.line()));
}

void Caught::capture() {
    std::exception_ptr in_flight = std::current_exception();
    if (!in_flight) {  // foreign: the forced unwind ending this thread goes on
        before_rethrow();
        throw;
    }
    release();
    exception_ = exception_object(in_flight);
    // The top entry of the handled-exception stack is the running coroutine's
    // own (or the caller's, outside one), as for a Python `except` block.
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    previous_ = std::exchange(item->exc_value, Py_NewRef(exception_.ptr()));
    handling_ = true;
}

void Caught::release() noexcept {
    if (!handling_) return;
    if (thread_is_ending()) return;  // unwound by a forced unwind: its thread state is gone
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    Py_XSETREF(item->exc_value, std::exchange(previous_, nullptr));
    handling_ = false;
}

bool Caught::matches(nb::handle type) const noexcept {
    return exception_ && PyErr_GivenExceptionMatches(exception_.ptr(), type.ptr());
}

void Caught::rethrow(Site where) {
    if (exception_) raise_object(exception_, where);
}

std::size_t live_coroutine_frames() noexcept {
    return detail::live_frames;
}

}  // namespace kelvora
