// The Python objects behind native coroutines and async generators, shared by
// the files that make them: the step they are both driven by (coro.cpp), their
// type slots and the coroutine type (coroutine_type.cpp), the frame's memory
// and promise (coroutine_frame.cpp), and the async generator's own type with
// the awaitables of asend()/athrow()/aclose() (async_generator.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvora/coro.hpp"

namespace kelvora::detail {

enum class State : unsigned char { created, suspended, running, finished };

// The iterator a coroutine's __await__ returns.
struct Wrapper {
    PyObject ob_base;
    PyObject* coroutine;
};

// A GC object's header as the 3.13 collector lays it out before the object
// (PyGC_Head is internal): what lets a wrapper live inside its coroutine.
#ifdef Py_GIL_DISABLED
#error "the embedded await iterator assumes the default (GIL) build's GC header"
#endif
struct GcHeader {
    uintptr_t next = 0, prev = 0;
};

// One allocation per coroutine: the object, then the C++ frame (see
// allocate_frame). A first __await__ iterator lives inside it too.
struct CoroutineObject {
    PyVarObject ob_base;            // ob_size: room for the frame after the object
    std::coroutine_handle<> frame;  // null once the body finished or was dropped
    PromiseBase* promise;
    PyObject* function;  // what names it (the function called, or the awaiting coroutine)
    PyObject* name;      // null until first needed: see names()
    PyObject* qualname;
    PyObject* awaiting;   // what the body awaits: its `yield from` target
    PyObject* handled;    // the exception the body handles (a Caught), between steps
    PyObject* finalizer;  // async generators: the event loop's finalizer hook
    PyObject* weakrefs;
    const char* file;  // where the body is defined, for traceback entries
    int line;
    State state;
    Flavor flavor;
    bool hooks_inited;   // async generators: firstiter was called
    bool running_async;  // async generators: an asend()/athrow() is under way
    bool closed;         // async generators: ran out, or aclose() began
    bool frame_claimed;  // the object was made around its frame (adopt)
    // The first __await__ iterator, made in place; its reference to the
    // coroutine keeps this memory alive as long as it lives.
    alignas(16) GcHeader wrapper_gc;
    Wrapper wrapper;
};

// Where the frame starts: the object's size, kept to the frame's alignment.
inline constexpr std::size_t frame_offset =
    (sizeof(CoroutineObject) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

struct CoroutineAccess {
    static FrameSlots& slots(PromiseBase& promise) noexcept { return promise.slots_; }
    template <class Body>
    static auto release(Body& body) noexcept {
        return std::exchange(body.frame_, {});
    }
};

inline CoroutineObject* as_coro(PyObject* o) {
    return reinterpret_cast<CoroutineObject*>(o);
}

inline FrameSlots& slots(CoroutineObject* self) {
    return CoroutineAccess::slots(*self->promise);
}

inline bool is_coroutine(CoroutineObject* self) {
    return self->flavor == Flavor::coroutine;
}

// The coroutine type (coroutine_type.cpp), made ready by coroutine_object_type().
extern PyTypeObject coroutine_type;

// What one step did.
struct Result {
    enum Kind : unsigned char {
        passed,    // the awaited object yielded: the value goes out unchanged
        yielded,   // the body's co_yield (async generators)
        returned,  // the body (or awaitable) finished with `value`
        raised,    // `value` is the exception
    } kind;
    nb::object value;

    bool matches(PyObject* type) const { return kind == raised && PyErr_GivenExceptionMatches(value.ptr(), type); }
};

Result returned(nb::object value = nb::none());
Result raised_pending();  // the pending Python error
Result error(PyObject* type, const char* message);
inline nb::object fetch_error() {
    return raised_pending().value;
}  // the pending error, taken

// A Result in the shapes the protocols want. send()/throw() methods: a value,
// or StopIteration carrying the result; __next__: the same, but None ends
// without an exception; am_send: its three outcomes.
PyObject* method_result(Result r);
PyObject* iternext_result(Result r);
PySendResult send_result(Result r, PyObject** out);

// The step. send() delivers a value (to the awaited object if there is one),
// throw_() an exception (the awaited object sees it first, as with `yield
// from`; with close_on_genexit a GeneratorExit closes it instead), close()
// raises GeneratorExit at the suspension point and wants the body to end.
Result send(CoroutineObject* self, PyObject* value);
Result throw_(CoroutineObject* self, PyObject* type, PyObject* value, PyObject* tb, bool close_on_genexit);
Result close(CoroutineObject* self);

// The argument count of throw()/athrow(), and the interpreter's deprecation
// warning for the three-argument form.
bool check_throw_args(const char* name, Py_ssize_t nargs);
inline PyObject* arg(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t i) {
    return i < nargs ? args[i] : nullptr;
}

// The objects' tp_dealloc: the frame, the references, then the memory, kept
// for a next coroutine or freed (coroutine_frame.cpp).
void coroutine_dealloc(PyObject* o);

// The frame goes, and with it the body's locals and arguments. Their
// destructors run Python code (an argument's __del__) that may reach this
// object again: it is finished before they run (or still running, when the
// body itself ended), never suspended on a frame that is half gone.
inline void destroy_frame(CoroutineObject* self) {
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

// Fills in name and qualname from the function on first use (copying them at
// every call would cost two attribute lookups per coroutine). False, with
// MemoryError set, only when the names cannot be made; no error may be pending.
bool resolve_names(CoroutineObject* self);

// What both object types share: lifetime slots, repr, weak references, and
// these attributes.
void init_coroutine_type(PyTypeObject& type, const char* name, const char* doc);
PyObject* get_name(PyObject* o, void*);
int set_name(PyObject* o, PyObject* value, void*);
PyObject* get_qualname(PyObject* o, void*);
int set_qualname(PyObject* o, PyObject* value, void*);
PyObject* get_awaiting(PyObject* o, void*);
PyObject* get_suspended(PyObject* o, void*);

// The object made around `frame` (allocate_frame), from now on its owner.
nb::object adopt(std::coroutine_handle<> frame, PromiseBase& promise, Flavor flavor, nb::handle function,
                 const char* file, int line);

// The two object types, ready (the first call registers them with collections.abc).
PyTypeObject* coroutine_object_type();
PyTypeObject* async_generator_object_type();

}  // namespace kelvora::detail
