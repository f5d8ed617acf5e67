// Caught: an exception kept past its catch handler, handled as in a Python
// `except` block until it is let go (see kelvora/coro.hpp).
#include <utility>

#include "coroutine_object.hpp"

namespace kelvora {

void Caught::capture() {
    std::exception_ptr in_flight = std::current_exception();
    if (!in_flight) {  // foreign: the forced unwind ending this thread goes on
        before_rethrow();
        throw;
    }
    release();
    site_ = detail::current_site;
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
    if (!exception_) return;
    if (site_)
        detail::current_site = site_;
    else
        where.record();
    raise_object(exception_);  // recording nothing more (the runtime's own line)
}

}  // namespace kelvora
