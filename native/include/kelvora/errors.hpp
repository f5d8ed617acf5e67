// Python errors across C++: one carrier (nb::python_error), one way back out.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "kelvora/site.hpp"

namespace kelvora {
namespace nb = nanobind;

// The functions here that raise or call into Python record the line they are
// called from (`where`, filled in by the compiler): the traceback entry of the
// native function names it (kelvora/site.hpp).

// Throws the pending Python error as nb::python_error. Call right after a C API
// call reported failure.
[[noreturn]] void raise_pending(Site where = {});

// bool(value), raising what __bool__ raises.
bool truthy(nb::handle value, Site where = {});
// isinstance(value, cls), hasattr(obj, name) (only AttributeError means no) and
// `item in container`, raising what Python would.
bool is_instance(nb::handle value, nb::handle cls, Site where = {});
bool has_attr(nb::handle obj, nb::handle name, Site where = {});
bool contains(nb::handle container, nb::handle item, Site where = {});

// Raises a new exception of `type` with a message.
[[noreturn]] void raise(nb::handle type, const char* message, Site where = {});
[[noreturn]] void raise(nb::handle type, nb::handle message, Site where = {});

// What `value.<method>(arg)` raises for a value that is not a str, as the same
// line of Python would: the method is called for its own error (AttributeError
// for most types, TypeError for bytes); a value whose method answers anyway is
// refused with TypeError.
[[noreturn]] void raise_not_str(nb::handle value, nb::handle method, nb::handle arg, Site where = {});

// `raise exception`: this very object (identity matters to asyncio and
// contextlib, which decide by `is`), with the exception being handled, if any
// other, as its __context__.
[[noreturn]] void raise_object(nb::handle exception, Site where = {});

// Only inside `catch (...)`: the in-flight C++ exception as a Python exception
// object (nb::python_error keeps its object, other C++ exceptions are mapped to
// the interpreter's usual types). An exception that is not C++'s own -- the
// forced unwind (abi::__forced_unwind) with which the interpreter ends a
// thread at exit -- is rethrown untouched: a catch-all must never keep it.
nb::object exception_object(std::exception_ptr error = std::current_exception());

// Only inside `catch (...)` at a boundary back to the interpreter: sets the
// error indicator from the in-flight exception. Rethrows a foreign one (see
// exception_object) untouched; otherwise always leaves an error set.
void restore_current_exception();

// Whether this thread has lost its interpreter thread state: CPython 3.13
// ends a daemon thread that wants the GIL back at interpreter exit by a forced
// unwind after its thread state is freed. Nothing on the way out may touch the
// thread state or release Python objects then (the interpreter leaves that
// thread's frames as they are). Cheap enough for handlers and cold paths.
inline bool thread_is_ending() noexcept {
    return PyThreadState_GetUnchecked() == nullptr;
}

// Call right before `throw;` in a handler that lets a foreign exception (the
// forced unwind) go on. A forced unwind is no C++ throw, so AddressSanitizer
// has not cleared the redzones of the frames it took away below this one,
// where the rethrow's own bookkeeping then runs: a sanitizer build clears
// them here (nothing happens otherwise).
void before_rethrow() noexcept;

// Adds a traceback entry naming a native function and its source position to
// the pending Python error, so tracebacks show where native code raised.
// `name` is any str (lone surrogates included) or null; the pending error is
// kept whatever happens here.
void add_native_traceback(PyObject* name, const char* file, int line) noexcept;

// While alive, `exception` is "the exception being handled": new exceptions get
// it as __context__ and sys.exc_info()/logging's exc_info see it, as inside a
// Python `except` block. Never keep one alive across a co_await.
class Handling {
  public:
    explicit Handling(nb::handle exception) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    _PyErr_StackItem* info_;
    PyObject* previous_;
};

}  // namespace kelvora
