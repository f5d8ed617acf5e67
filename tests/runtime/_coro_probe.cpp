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

constexpr auto await_it_decl = function("await_it", {{.name = "aw"}});
Coro await_it(Call<await_it_decl> a) {
    co_return co_await a.get<0>();
}

constexpr auto await_all_decl = function("await_all", {{.name = "aws", .kind = Kind::var_positional}});
Coro await_all(Call<await_all_decl> a) {
    nb::list results;
    PyObject* aws = a.get<0>().ptr();
    // Borrowed items: an owned temporary would stay in the frame, unseen by the collector.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(aws); ++i)
        results.append(co_await nb::handle(PyTuple_GET_ITEM(aws, i)));
    co_return results;
}

// A name used, then an await whose object raises once resumed: the traceback
// entry names the co_await's line, not the name's.
constexpr auto await_fails_decl = function("await_fails", {{.name = "source"}, {.name = "aw"}});
Coro await_fails(Call<await_fails_decl> a) {
    nb::object before = a.get<0>().attr("before"_n)();
    nb::handle awaited = a.get<1>();
    co_await awaited;  // fails: await
    co_return before;
}

// A body that can run off its end: C++ leaves that undefined and g++ compiles it
// without a warning; the runtime answers a clear error instead of a value.
constexpr auto runs_off_decl = function("runs_off", {{.name = "returns"}});
Coro runs_off(Call<runs_off_decl> a) {
    if (truthy(a.get<0>())) co_return nb::none();
}

constexpr auto give_decl = function("give", {{.name = "value"}});
Coro give(Call<give_decl> a) {
    co_return a.get<0>();
}

constexpr auto nest_decl = function("nest", {{.name = "n"}, {.name = "leaf"}});
Coro nest(Call<nest_decl> a) {
    // Counts are 64-bit on every target: long is 32 bits on armhf.
    std::int64_t n = nb::cast<std::int64_t>(a.get<0>());
    if (n == 0) co_return co_await a.get<1>();
    co_return co_await a.global("nest"_n)(n - 1, a.get<1>());
}

// Like await_it, with a C++ local that must be destroyed however the frame ends.
constexpr auto guarded_decl = function("guarded", {{.name = "aw"}});
Coro guarded(Call<guarded_decl> a) {
    Guard guard;
    co_return co_await a.get<0>();
}

constexpr auto cleanup_and_reraise_decl = function("cleanup_and_reraise", {{.name = "work"}, {.name = "cleanup"}});
Coro cleanup_and_reraise(Call<cleanup_and_reraise_decl> a) {
    Guard guard;
    nb::object result;
    Caught failure;
    try {
        result = co_await a.get<0>()();  // fails: caught
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        co_await a.get<1>()();
        failure.rethrow();
    }
    co_return result;
}

constexpr auto with_finally_decl = function("with_finally", {{.name = "work"}, {.name = "cleanup"}});
Coro with_finally(Call<with_finally_decl> a) {
    nb::object result;
    Caught failure;
    try {
        result = co_await a.get<0>()();
    } catch (...) {
        failure.capture();
    }
    co_await a.get<1>()();
    failure.rethrow();
    co_return result;
}

constexpr auto replace_error_decl = function("replace_error", {{.name = "work"}});
Coro replace_error(Call<replace_error_decl> a) {
    Caught failure;
    try {
        co_await a.get<0>()();
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        co_await sleep0();
        raise(PyExc_ValueError, "replaced");
    }
    co_return nb::none();
}

constexpr auto raise_stop_iteration_decl = function("raise_stop_iteration");
Coro raise_stop_iteration(Call<raise_stop_iteration_decl>) {
    raise(PyExc_StopIteration, "leaked");
    co_return nb::none();
}

constexpr auto call_now_decl = function("call_now", {{.name = "fn"}});
Coro call_now(Call<call_now_decl> a) {
    co_return a.get<0>()();
}

constexpr auto ignore_exit_decl = function("ignore_exit", {{.name = "aw"}});
Coro ignore_exit(Call<ignore_exit_decl> a) {
    Caught ignored;
    try {
        co_await a.get<0>();
    } catch (...) {
        ignored.capture();
    }
    co_await sleep0();
    co_return nb::none();
}

constexpr auto return_on_exit_decl = function("return_on_exit", {{.name = "aw"}});
Coro return_on_exit(Call<return_on_exit_decl> a) {
    try {
        co_await a.get<0>();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_GeneratorExit)) throw;
        co_return nb::str("closed");
    }
    co_return nb::none();
}

constexpr auto nothing_decl = function("nothing");
Coro nothing(Call<nothing_decl>) {
    co_return nb::none();
}

// C++ coroutine awaited without a function object of its own.
Coro helper(nb::object aw) {
    Guard guard;
    nb::object r = co_await aw;
    co_return nb::make_tuple("inner", r);
}

constexpr auto composed_decl = function("composed", {{.name = "aw"}});
Coro composed(Call<composed_decl> a) {
    co_return nb::make_tuple("outer", co_await helper(nb::borrow(a.get<0>())));
}

// A declared coroutine lending its arguments to a helper coroutine: the helper
// only borrows them, the body still owns them afterwards.
constexpr auto lend_decl = function("lend", {{.name = "aw"}, {.name = "value"}});
Coro lent(Call<lend_decl> a) {
    co_return co_await a.get<"aw">();
}
Coro lend(Call<lend_decl> a) {
    nb::object awaited = co_await lent(std::move(a));
    co_return nb::make_tuple(a.get<"value">(), awaited);
}

// The same through the helper style that takes the arguments by reference.
Coro lent_by_reference(const Args& a) {
    co_return co_await a[0];
}
constexpr auto lend_by_reference_decl = function("lend_by_reference", {{.name = "aw"}, {.name = "value"}});
Coro lend_by_reference(Call<lend_by_reference_decl> a) {
    nb::object awaited = co_await lent_by_reference(a);
    co_return nb::make_tuple(a.get<"value">(), awaited);
}

// ---- async generators ------------------------------------------------------

constexpr auto count_decl = function("count", {{.name = "n"}});
AsyncGen count(Call<count_decl> a) {
    Guard guard;
    std::int64_t n = nb::cast<std::int64_t>(a.get<0>());
    for (std::int64_t i = 0; i < n; ++i) {
        co_await sleep0();
        co_yield nb::int_(i);
    }
}

constexpr auto echo_decl = function("echo", {{.name = "first"}});
AsyncGen echo(Call<echo_decl> a) {
    nb::object value = nb::borrow(a.get<0>());
    for (;;) value = co_yield value;
}

constexpr auto managed_decl = function("managed", {{.name = "log"}, {.name = "value"}});
AsyncGen managed(Call<managed_decl> a) {
    Guard guard;
    nb::list log = nb::borrow<nb::list>(a.get<0>());
    log.append("enter");
    Caught failure;
    try {
        co_yield a.get<1>();
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

constexpr auto suppressing_decl = function("suppressing", {{.name = "log"}});
AsyncGen suppressing(Call<suppressing_decl> a) {
    try {
        co_yield nb::str("value");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::borrow<nb::list>(a.get<0>()).append(nb::make_tuple("suppressed", e.value()));
    }
}

constexpr auto ignore_close_decl = function("ignore_close");
AsyncGen ignore_close(Call<ignore_close_decl>) {
    Caught ignored;
    try {
        co_yield nb::int_(1);
    } catch (...) {
        ignored.capture();
    }
    co_yield nb::int_(2);
}

constexpr auto raise_stop_async_decl = function("raise_stop_async");
AsyncGen raise_stop_async(Call<raise_stop_async_decl>) {
    co_yield nb::int_(1);
    PyErr_SetNone(PyExc_StopAsyncIteration);
    throw nb::python_error();
}

constexpr auto cleaned_decl = function("cleaned", {{.name = "log"}});
AsyncGen cleaned(Call<cleaned_decl> a) {
    Guard guard;
    Caught failure;
    try {
        co_yield nb::int_(1);
        co_yield nb::int_(2);
    } catch (...) {
        failure.capture();
    }
    co_await sleep0();
    nb::borrow<nb::list>(a.get<0>()).append("cleaned");
    failure.rethrow();
}

// A FastAPI dependency: yields a resource, records its clean-up in the
// module's `events` list (looked up when used, so tests can replace it).
constexpr auto resource_decl = function("resource");
AsyncGen resource(Call<resource_decl> a) {
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
constexpr auto within_decl = function("within", {{.name = "cm"}, {.name = "work"}});
Coro within(Call<within_decl> a) {
    AsyncWith scope(a.get<0>());
    nb::object value = co_await scope.enter();
    nb::object result;
    Caught body;
    try {
        result = co_await a.get<1>()(value);
    } catch (...) {
        body.capture();
    }
    co_await scope.exit(body);
    co_return result;
}

// An async FastAPI dependency.
constexpr auto answer_decl = function("answer");
Coro answer(Call<answer_decl>) {
    co_await sleep0();
    co_return nb::int_(42);
}

// Awaits aw and yields its result.
constexpr auto relay_decl = function("relay", {{.name = "aw"}});
AsyncGen relay(Call<relay_decl> a) {
    nb::object value = co_await a.get<0>();
    co_yield value;
}

// Yields None; whatever is thrown in there, awaits make() and yields its result.
constexpr auto recover_decl = function("recover", {{.name = "make"}});
AsyncGen recover(Call<recover_decl> a) {
    Caught thrown;
    try {
        co_yield nb::none();
    } catch (...) {
        thrown.capture();
    }
    nb::object value;
    {
        nb::object pending = a.get<0>()();  // gone before the next suspension
        value = co_await pending;
    }
    co_yield value;
}

// ---- threads ended as the interpreter ends them at exit ----------------------

bool thread_ended = false;

// What CPython 3.13 does to a daemon thread that wants the GIL back while the
// interpreter exits: its thread state is cleared and freed, the GIL let go, and
// pthread_exit unwinds (abi::__forced_unwind) whatever native frames it is in.
constexpr auto end_thread_decl = function("end_thread", {.doc = "Ends the calling thread as interpreter exit does."});
nb::object end_thread(Call<end_thread_decl>) {
    thread_ended = true;
    PyThreadState_Clear(PyThreadState_Get());
    PyThreadState_DeleteCurrent();
    pthread_exit(nullptr);
}

// fn() on a thread of its own, waited for with the GIL released; True if
// end_thread() ended it there. Nothing else runs Python code meanwhile.
constexpr auto run_in_thread_decl = function("run_in_thread", {{.name = "fn"}});
nb::object run_in_thread(Call<run_in_thread_decl> a) {
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
    Py_BEGIN_ALLOW_THREADS failed = pthread_create(&thread, nullptr, run, a.get<0>().ptr());
    if (!failed) pthread_join(thread, nullptr);
    Py_END_ALLOW_THREADS if (failed) raise(PyExc_RuntimeError, "cannot start a thread");
    return nb::bool_(thread_ended);
}

}  // namespace

NB_MODULE(_coro_probe, m) {
    def(m, await_it);
    def(m, lend_by_reference);
    def(m, await_all);
    def(m, give);
    def(m, await_fails);
    def(m, runs_off);
    def(m, nothing);
    def(m, nest);
    def(m, guarded);
    def(m, cleanup_and_reraise);
    def(m, with_finally);
    def(m, replace_error);
    def(m, raise_stop_iteration);
    def(m, call_now);
    def(m, ignore_exit);
    def(m, return_on_exit);
    def(m, composed);
    def(m, lend);
    def(m, within);
    def(m, answer);

    def(m, count);
    def(m, relay);
    def(m, recover);
    def(m, echo);
    def(m, managed);
    def(m, suppressing);
    def(m, ignore_close);
    def(m, raise_stop_async);
    def(m, cleaned);
    def(m, resource);
    m.attr("events") = nb::list();

    def(m, end_thread);
    def(m, run_in_thread);
    def(m, {.name = "live_frames",
            .doc = "C++ coroutine frames alive in this module.",
            .body = [](Args&) -> nb::object { return nb::int_(live_coroutine_frames()); }});
    def(m, {.name = "unwound", .doc = "Guards destroyed so far.", .body = [](Args&) -> nb::object {
                return nb::int_(unwound);
            }});
}
