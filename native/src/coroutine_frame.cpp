// A native coroutine's frame and promise: the frame is allocated at the end of
// the Python object that will drive it (a few freed objects are kept for the
// next ones), the object adopts it, and the promise is the body's mailbox.
#include <cstddef>
#include <new>
#include <utility>

#include "coroutine_object.hpp"

namespace kelvora {
namespace detail {

namespace {

std::size_t live_frames = 0;

// A few freed objects are kept for the next coroutines of at most their
// frame size, as the interpreter keeps free lists of its small objects:
// short-lived awaits then cost no allocation at all.
constexpr int max_spares = 8;
CoroutineObject* spares[max_spares];
int spare_count = 0;

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

bool keep_spare(CoroutineObject* self) {
    if (spare_count == max_spares) return false;
    spares[spare_count++] = self;
    return true;
}

}  // namespace

// The object goes, and its memory with it: kept as a spare, or freed.
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

void* allocate_frame(std::size_t size, Flavor flavor) {
    PyTypeObject* type = flavor == Flavor::coroutine ? coroutine_object_type() : async_generator_object_type();
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

nb::object adopt(std::coroutine_handle<> frame, PromiseBase& promise, Flavor flavor, nb::handle function,
                 const char* file, int line) {
    if (!frame) raise(PyExc_RuntimeError, "native coroutine body already used");
    // The frame's address is what allocate_frame returned (the compiler's frame
    // starts its allocation): the object sits just before it.
    auto* self = reinterpret_cast<CoroutineObject*>(static_cast<char*>(frame.address()) - frame_offset);
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
    return Awaiter(
        *this, adopt(frame, promise, Flavor::coroutine, reinterpret_cast<PyObject*>(owner), owner->file, owner->line));
}

}  // namespace detail

// ---- public entry points -----------------------------------------------------------

nb::object make_coroutine(Coro&& body, nb::handle function, std::source_location where) {
    auto frame = detail::CoroutineAccess::release(body);
    if (!frame) raise(PyExc_RuntimeError, "native coroutine body already used");
    return detail::adopt(frame, frame.promise(), Flavor::coroutine, function, where.file_name(), int(where.line()));
}

std::size_t live_coroutine_frames() noexcept {
    return detail::live_frames;
}

}  // namespace kelvora
