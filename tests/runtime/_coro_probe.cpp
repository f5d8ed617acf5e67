// Test-only module: native coroutines and async generators, most of them twins
// of the `async def` of the same name in test_coroutines.py and
// test_async_generators.py, plus counters showing that C++ frames were unwound.
#include <nanobind/nanobind.h>
#include <pthread.h>

#include <cstdint>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace {

size_t unwound = 0;

// A C++ local whose destructor shows that its frame was unwound.
struct Guard {
    Guard() = default;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() { ++unwound; }
};

// asyncio.sleep(0): one trip through the event loop. Kept for the life of the
// process (a static nb::object would be released after the interpreter is gone).
nb::object sleep0() {
    static nb::handle sleep = nb::object(nb::module_::import_("asyncio").attr("sleep")).release();
    return sleep(0);
}

Coro await_it(Args a) {
    co_return co_await a[0];
}

Coro await_all(Args a) {
    nb::list results;
    // Borrowed items: an owned temporary would stay in the frame, unseen by the collector.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a[0].ptr()); ++i)
        results.append(co_await nb::handle(PyTuple_GET_ITEM(a[0].ptr(), i)));
    co_return results;
}

// A name used, then an await whose object raises once resumed: the traceback
// entry names the co_await's line, not the name's.
Coro await_fails(Args a) {
    nb::object before = a[0].attr("before"_n)();
    nb::handle awaited = a[1];
    co_await awaited;  // fails: await
    co_return before;
}

// A body that can run off its end: C++ leaves that undefined and g++ compiles it
// without a warning; the runtime answers a clear error instead of a value.
Coro runs_off(Args a) {
    if (truthy(a[0])) co_return nb::none();
}

Coro give(Args a) {
    co_return a[0];
}

Coro nest(Args a) {
    // Counts are 64-bit on every target: long is 32 bits on armhf.
    std::int64_t n = nb::cast<std::int64_t>(a[0]);
    if (n == 0) co_return co_await a[1];
    co_return co_await a.global("nest"_n)(n - 1, a[1]);
}

// Like await_it, with a C++ local that must be destroyed however the frame ends.
Coro guarded(Args a) {
    Guard guard;
    co_return co_await a[0];
}

Coro cleanup_and_reraise(Args a) {
    Guard guard;
    nb::object result;
    Caught failure;
    try {
        result = co_await a[0]();  // fails: caught
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        co_await a[1]();
        failure.rethrow();
    }
    co_return result;
}

Coro with_finally(Args a) {
    nb::object result;
    Caught failure;
    try {
        result = co_await a[0]();
    } catch (...) {
        failure.capture();
    }
    co_await a[1]();
    failure.rethrow();
    co_return result;
}

Coro replace_error(Args a) {
    Caught failure;
    try {
        co_await a[0]();
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        co_await sleep0();
        raise(PyExc_ValueError, "replaced");
    }
    co_return nb::none();
}

Coro raise_stop_iteration(Args) {
    raise(PyExc_StopIteration, "leaked");
    co_return nb::none();
}

Coro call_now(Args a) {
    co_return a[0]();
}

Coro ignore_exit(Args a) {
    Caught ignored;
    try {
        co_await a[0];
    } catch (...) {
        ignored.capture();
    }
    co_await sleep0();
    co_return nb::none();
}

Coro return_on_exit(Args a) {
    try {
        co_await a[0];
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_GeneratorExit)) throw;
        co_return nb::str("closed");
    }
    co_return nb::none();
}

Coro nothing(Args) {
    co_return nb::none();
}

// C++ coroutine awaited without a function object of its own.
Coro helper(nb::object aw) {
    Guard guard;
    nb::object r = co_await aw;
    co_return nb::make_tuple("inner", r);
}

Coro composed(Args a) {
    co_return nb::make_tuple("outer", co_await helper(nb::borrow(a[0])));
}

// ---- async generators ------------------------------------------------------

AsyncGen count(Args a) {
    Guard guard;
    std::int64_t n = nb::cast<std::int64_t>(a[0]);
    for (std::int64_t i = 0; i < n; ++i) {
        co_await sleep0();
        co_yield nb::int_(i);
    }
}

AsyncGen echo(Args a) {
    nb::object value = nb::borrow(a[0]);
    for (;;) value = co_yield value;
}

AsyncGen managed(Args a) {
    Guard guard;
    nb::list log = nb::borrow<nb::list>(a[0]);
    log.append("enter");
    Caught failure;
    try {
        co_yield a[1];
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        log.append(nb::make_tuple("error", failure.value()));
        co_await sleep0();
        failure.rethrow();
    }
    log.append("exit");
}

AsyncGen suppressing(Args a) {
    try {
        co_yield nb::str("value");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::borrow<nb::list>(a[0]).append(nb::make_tuple("suppressed", e.value()));
    }
}

AsyncGen ignore_close(Args) {
    Caught ignored;
    try {
        co_yield nb::int_(1);
    } catch (...) {
        ignored.capture();
    }
    co_yield nb::int_(2);
}

AsyncGen raise_stop_async(Args) {
    co_yield nb::int_(1);
    PyErr_SetNone(PyExc_StopAsyncIteration);
    throw nb::python_error();
}

AsyncGen cleaned(Args a) {
    Guard guard;
    Caught failure;
    try {
        co_yield nb::int_(1);
        co_yield nb::int_(2);
    } catch (...) {
        failure.capture();
    }
    co_await sleep0();
    nb::borrow<nb::list>(a[0]).append("cleaned");
    failure.rethrow();
}

// A FastAPI dependency: yields a resource, records its clean-up in the
// module's `events` list (looked up when used, so tests can replace it).
AsyncGen resource(Args a) {
    nb::dict value;
    value["name"] = "resource";
    Caught failure;
    try {
        co_yield value;
    } catch (...) {
        failure.capture();
    }
    co_await sleep0();
    a.global("events"_n).attr("append"_n)(failure ? nb::str("closed after error") : nb::str("closed"));
    failure.rethrow();
}

// async with cm as value: return await work(value)
Coro within(Args a) {
    AsyncWith scope(a[0]);
    nb::object value = co_await scope.enter();
    nb::object result;
    Caught body;
    try {
        result = co_await a[1](value);
    } catch (...) {
        body.capture();
    }
    co_await scope.exit(body);
    co_return result;
}

// An async FastAPI dependency.
Coro answer(Args) {
    co_await sleep0();
    co_return nb::int_(42);
}

// Awaits aw and yields its result.
AsyncGen relay(Args a) {
    nb::object value = co_await a[0];
    co_yield value;
}

// Yields None; whatever is thrown in there, awaits make() and yields its result.
AsyncGen recover(Args a) {
    Caught thrown;
    try {
        co_yield nb::none();
    } catch (...) {
        thrown.capture();
    }
    nb::object value;
    {
        nb::object pending = a[0]();  // gone before the next suspension
        value = co_await pending;
    }
    co_yield value;
}

// ---- threads ended as the interpreter ends them at exit ----------------------

bool thread_ended = false;

// What CPython 3.13 does to a daemon thread that wants the GIL back while the
// interpreter exits: its thread state is cleared and freed, the GIL let go, and
// pthread_exit unwinds (abi::__forced_unwind) whatever native frames it is in.
nb::object end_thread(Args&) {
    thread_ended = true;
    PyThreadState_Clear(PyThreadState_Get());
    PyThreadState_DeleteCurrent();
    pthread_exit(nullptr);
}

// fn() on a thread of its own, waited for with the GIL released; True if
// end_thread() ended it there. Nothing else runs Python code meanwhile.
nb::object run_in_thread(Args& a) {
    thread_ended = false;
    auto run = [](void* fn) -> void* {
        PyGILState_STATE state = PyGILState_Ensure();
        PyObject* r = PyObject_CallNoArgs(static_cast<PyObject*>(fn));
        if (!r) PyErr_WriteUnraisable(static_cast<PyObject*>(fn));
        Py_XDECREF(r);
        PyGILState_Release(state);
        return nullptr;
    };
    pthread_t thread;
    int failed;
    Py_BEGIN_ALLOW_THREADS
    failed = pthread_create(&thread, nullptr, run, a[0].ptr());
    if (!failed) pthread_join(thread, nullptr);
    Py_END_ALLOW_THREADS
    if (failed) raise(PyExc_RuntimeError, "cannot start a thread");
    return nb::bool_(thread_ended);
}

}  // namespace

NB_MODULE(_coro_probe, m) {
    def(m, {.name = "await_it", .params = {{.name = "aw"}}, .body = await_it});
    def(m, {.name = "await_all", .params = {{.name = "aws", .kind = Kind::var_positional}}, .body = await_all});
    def(m, {.name = "give", .params = {{.name = "value"}}, .body = give});
    def(m, {.name = "await_fails", .params = {{.name = "source"}, {.name = "aw"}}, .body = await_fails});
    def(m, {.name = "runs_off", .params = {{.name = "returns"}}, .body = runs_off});
    def(m, {.name = "nothing", .params = {}, .body = nothing});
    def(m, {.name = "nest", .params = {{.name = "n"}, {.name = "leaf"}}, .body = nest});
    def(m, {.name = "guarded", .params = {{.name = "aw"}}, .body = guarded});
    def(m, {.name = "cleanup_and_reraise", .params = {{.name = "work"}, {.name = "cleanup"}}, .body = cleanup_and_reraise});
    def(m, {.name = "with_finally", .params = {{.name = "work"}, {.name = "cleanup"}}, .body = with_finally});
    def(m, {.name = "replace_error", .params = {{.name = "work"}}, .body = replace_error});
    def(m, {.name = "raise_stop_iteration", .params = {}, .body = raise_stop_iteration});
    def(m, {.name = "call_now", .params = {{.name = "fn"}}, .body = call_now});
    def(m, {.name = "ignore_exit", .params = {{.name = "aw"}}, .body = ignore_exit});
    def(m, {.name = "return_on_exit", .params = {{.name = "aw"}}, .body = return_on_exit});
    def(m, {.name = "composed", .params = {{.name = "aw"}}, .body = composed});
    def(m, {.name = "within", .params = {{.name = "cm"}, {.name = "work"}}, .body = within});
    def(m, {.name = "answer", .params = {}, .body = answer});

    def(m, {.name = "count", .params = {{.name = "n"}}, .body = count});
    def(m, {.name = "relay", .params = {{.name = "aw"}}, .body = relay});
    def(m, {.name = "recover", .params = {{.name = "make"}}, .body = recover});
    def(m, {.name = "echo", .params = {{.name = "first"}}, .body = echo});
    def(m, {.name = "managed", .params = {{.name = "log"}, {.name = "value"}}, .body = managed});
    def(m, {.name = "suppressing", .params = {{.name = "log"}}, .body = suppressing});
    def(m, {.name = "ignore_close", .params = {}, .body = ignore_close});
    def(m, {.name = "raise_stop_async", .params = {}, .body = raise_stop_async});
    def(m, {.name = "cleaned", .params = {{.name = "log"}}, .body = cleaned});
    def(m, {.name = "resource", .params = {}, .body = resource});
    m.attr("events") = nb::list();

    def(m, {.name = "end_thread", .doc = "Ends the calling thread as interpreter exit does.",
            .body = end_thread});
    def(m, {.name = "run_in_thread", .params = {{.name = "fn"}}, .body = run_in_thread});
    def(m, {.name = "live_frames",
            .doc = "C++ coroutine frames alive in this module.",
            .body = [](Args&) -> nb::object { return nb::int_(live_coroutine_frames()); }});
    def(m, {.name = "unwound", .doc = "Guards destroyed so far.", .body = [](Args&) -> nb::object {
                return nb::int_(unwound);
            }});
}
