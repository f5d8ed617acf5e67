// Native coroutines and async generators: C++20 coroutine bodies that Python
// sees as ordinary coroutine and async-generator objects.
//
// A coroutine body returns Coro. `co_await x` takes any Python awaitable (an
// nb::object or nb::handle: a coroutine, a future, anything with __await__)
// with `yield from` semantics: what x yields goes out to the event loop
// untouched, send/throw/close go in to it, and its result comes back at the
// co_await; its exception is thrown there as nb::python_error (the same
// object). Another C++ coroutine can be awaited directly (`co_await helper(..)`
// with `Coro helper(...)`). A body ends with `co_return value;` (an nb::object,
// or any C++ value nb::cast accepts; `co_return nb::none();` for None). Plain
// `co_return;` does not compile. A body that runs off its end (C++ leaves that
// undefined, and the compiler does not warn) answers SystemError naming the
// function: always co_return.
//
//     constexpr auto fetch_user_decl = function("fetch_user", {{.name = "session"}, {.name = "id"}});
//     Coro fetch_user(Call<fetch_user_decl> a) {     // the Call by value: the frame
//         auto [session, id] = a.params();           // keeps the arguments
//         nb::object row = co_await session.attr("get"_n)(id);
//         co_return row;
//     }
//     def(m, fetch_user);                            // a coroutine function: it returns Coro
//
// A helper coroutine may take the body's view (moved) or `const Args&`: it
// borrows the arguments, which the body's frame keeps.
//
// An async-generator body returns AsyncGen: `co_yield value` hands a value to
// the consumer and evaluates to what asend() sent (None for __anext__);
// `co_return;` or the end of the body finishes it. athrow() raises the very
// exception object it was given at the suspended co_yield.
//
//     constexpr auto session_scope_decl = function("session_scope", {{.name = "engine"}});
//     AsyncGen session_scope(Call<session_scope_decl> a) {
//         nb::object session = a.get<"engine">().attr("session"_n)();
//         co_yield session;
//         co_await session.attr("close"_n)();
//     }
//     def(m, session_scope);
//
// C++ forbids co_await inside a catch handler. To catch, await clean-up and
// re-raise, keep the exception in a Caught and act after the handler. From
// capture() until the Caught is destroyed the body runs as Python runs an
// `except` block, across suspensions too: sys.exc_info() sees the exception
// (in the clean-up as well) and anything raised meanwhile gets it as
// __context__. Other C++ exceptions are caught as the Python exceptions they
// become at any boundary.
//
//     Caught failure;
//     try {
//         co_await session.attr("commit")();
//     } catch (...) {
//         failure.capture();
//     }
//     if (failure) {
//         co_await session.attr("rollback")();
//         failure.rethrow();                 // the same exception object
//     }
//
// `finally` is the same shape with the clean-up awaited unconditionally:
//
//     Caught failure;
//     try { ... } catch (...) { failure.capture(); }
//     co_await session.attr("close")();
//     failure.rethrow();                     // does nothing when nothing was caught
//
// What the garbage collector sees: the object being awaited, the exception a
// Caught holds and the bound arguments. It cannot see C++ locals, nor temporaries
// of a full expression that contains a co_await (they live in the frame until
// the statement ends; the awaited object itself is released once awaiting
// starts). A reference cycle through one of those is never collected, so
// prefer handles into Args and short-lived locals.
//
// The coroutine and async-generator types are registered with collections.abc
// (Coroutine, AsyncGenerator) when this module's copy of the runtime makes its
// first such object; nothing needs calling at module init.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <type_traits>
#include <utility>

#include "kelvora/function.hpp"
#include "kelvora/names.hpp"

namespace kelvora {

class Coro;
class AsyncGen;
class Caught;

namespace detail {

struct AsyncWithExit {
    nb::object awaitable;  // __aexit__(...)
    Caught& body;
};

struct CoroutineObject;  // the Python object that drives a frame (coro.cpp)

// Room for a frame of `size` bytes at the end of a new, not yet visible object
// of the flavor's type; freed with it unless the object takes the frame over.
void* allocate_frame(std::size_t size, Flavor flavor);
struct CoroutineAccess;  // the runtime's way into promises and bodies (coro.cpp)

// The mailbox between a frame and the object driving it.
struct FrameSlots {
    Args owned;  // a declared body's arguments, taken over from the call (see Call)
    CoroutineObject* owner = nullptr;
    const Args* args = nullptr;
    nb::object input;   // delivered at the resumption point: a value ...
    nb::object thrown;  // ... or an exception to raise there
    nb::object output;  // going out: what a co_await awaits, or a co_yield-ed value
    enum class Out : unsigned char { nothing, awaits, yielded } out = Out::nothing;
    nb::object result;       // co_return value
    nb::object error;        // the exception that left the body
    std::uint64_t site = 0;  // the co_await / co_yield the body is suspended at (a Site)
};

// What both promise types share. Values handed in and out are taken by the
// driving object at once; what must outlive a suspension (the awaited object,
// a handled exception) lives in that object, where the collector sees it.
class PromiseBase {
  public:
    PromiseBase() noexcept;
    ~PromiseBase();
    PromiseBase(const PromiseBase&) = delete;
    PromiseBase& operator=(const PromiseBase&) = delete;

    // A frame is allocated inside the Python object that will drive it (one
    // allocation, by the interpreter's allocator: tracemalloc sees it).
    static void operator delete(void* frame, std::size_t size) noexcept;

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    // Keeps what left the body as a Python exception; the forced unwind that
    // ends a thread at interpreter exit is let through (out of resume()).
    void unhandled_exception();

    // `co_await x`: the body suspends with x at once, and the driver starts
    // awaiting it (__await__, the first step) outside the body's frame: no
    // Python code the runtime runs for an await sits below the body's locals,
    // so a forced unwind ending the thread there never unwinds them. When x
    // finishes at once the body goes straight on with its result.
    class Awaiter {
      public:
        Awaiter(PromiseBase& promise, nb::object awaitable) noexcept
            : promise_(promise), awaitable_(std::move(awaitable)) {}
        bool await_ready() noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) noexcept { promise_.awaits(std::move(awaitable_)); }
        nb::object await_resume() { return promise_.take_input(); }

      private:
        PromiseBase& promise_;
        nb::object awaitable_;  // released as soon as awaiting starts
    };

    // Each form notes where the co_await is written (`where`, filled in by the
    // compiler): what is raised there names that line.
    Awaiter await_transform(nb::handle awaitable, Site where = {}) noexcept {
        slots_.site = where.packed;
        return Awaiter(*this, nb::borrow(awaitable));
    }
    Awaiter await_transform(nb::object&& awaitable, Site where = {}) noexcept {
        slots_.site = where.packed;
        return Awaiter(*this, std::move(awaitable));
    }
    // Accessors such as `session.attr("future")`.
    template <class T>
    requires(!std::is_base_of_v<nb::handle, std::remove_cvref_t<T>> && std::is_convertible_v<T&&, nb::object>) Awaiter
        await_transform(T&& awaitable, Site where = {}) {
        slots_.site = where.packed;
        return Awaiter(*this, nb::object(std::forward<T>(awaitable)));
    }
    // Another C++ coroutine: wrapped in a coroutine object named after this one.
    Awaiter await_transform(Coro&& body, Site where = {});

    // `co_await scope.exit(body)` of an AsyncWith: awaits __aexit__, then raises
    // the body's exception again unless __aexit__ returned a true value.
    class ExitAwaiter : public Awaiter {
      public:
        ExitAwaiter(PromiseBase& promise, nb::object awaitable, Caught& body) noexcept
            : Awaiter(promise, std::move(awaitable)), body_(body) {}
        void await_resume();

      private:
        Caught& body_;
    };
    ExitAwaiter await_transform(AsyncWithExit&& exit, Site where = {}) noexcept {
        slots_.site = where.packed;
        return ExitAwaiter(*this, std::move(exit.awaitable), exit.body);
    }

  protected:
    // Picks the bound arguments out of the coroutine's parameters so the
    // collector can visit them where they are owned (a declared body's view).
    template <class... P>
    void find_args(P&... params) noexcept {
        (note_param(params), ...);
    }
    void set_result(nb::object value) noexcept { slots_.result = std::move(value); }
    void set_yielded(nb::object value, Site where) noexcept;
    nb::object take_input();

  private:
    template <class P>
    void note_param(P& param) noexcept {
        // Only a declared body's own view hands its arguments over. A helper's
        // `Args&` or lent view borrows: visiting them there too would count one
        // reference twice for the collector.
        if constexpr (requires { typename P::adoptable_args; })
            if (Args* owned = param.adopt_args(slots_.owned)) slots_.args = owned;
    }
    void awaits(nb::object awaitable) noexcept {
        slots_.output = std::move(awaitable);
        slots_.out = FrameSlots::Out::awaits;
    }

    friend struct CoroutineAccess;
    FrameSlots slots_;
};

// A co_return / co_yield operand as a Python object (an empty handle is None).
template <class T>
nb::object to_object(T&& value) {
    if constexpr (std::is_base_of_v<nb::handle, std::remove_cvref_t<T>>)
        return value.ptr() ? nb::borrow(value.ptr()) : nb::none();
    else if constexpr (std::is_convertible_v<T&&, nb::object>)  // accessors
        return nb::object(std::forward<T>(value));
    else
        return nb::cast(std::forward<T>(value));
}

}  // namespace detail

// The return type of a coroutine body.
class Coro {
  public:
    struct promise_type : detail::PromiseBase {
        template <class... P>
        explicit promise_type(P&... params) noexcept {
            find_args(params...);
        }
        static void* operator new(std::size_t size) { return detail::allocate_frame(size, Flavor::coroutine); }
        Coro get_return_object() noexcept { return Coro(std::coroutine_handle<promise_type>::from_promise(*this)); }
        template <class T>
        void return_value(T&& value) {
            set_result(detail::to_object(std::forward<T>(value)));
        }
    };

    Coro(Coro&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Coro& operator=(Coro&&) = delete;
    ~Coro() {
        if (frame_) frame_.destroy();
    }

  private:
    explicit Coro(std::coroutine_handle<promise_type> frame) noexcept : frame_(frame) {}
    friend struct detail::CoroutineAccess;
    std::coroutine_handle<promise_type> frame_;
};

// The return type of an async-generator body.
class AsyncGen {
  public:
    struct promise_type : detail::PromiseBase {
        template <class... P>
        explicit promise_type(P&... params) noexcept {
            find_args(params...);
        }
        static void* operator new(std::size_t size) { return detail::allocate_frame(size, Flavor::async_generator); }
        AsyncGen get_return_object() noexcept {
            return AsyncGen(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        void return_void() noexcept {}

        // `co_yield v` suspends with v for the consumer and evaluates to the
        // value sent by asend() (None for __anext__), or raises what athrow() threw.
        struct Yield {
            promise_type& promise;
            bool await_ready() noexcept { return false; }
            void await_suspend(std::coroutine_handle<>) noexcept {}
            nb::object await_resume() { return promise.take_input(); }
        };
        template <class T>
        Yield yield_value(T&& value, Site where = {}) {
            set_yielded(detail::to_object(std::forward<T>(value)), where);
            return Yield{*this};
        }
    };

    AsyncGen(AsyncGen&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    AsyncGen& operator=(AsyncGen&&) = delete;
    ~AsyncGen() {
        if (frame_) frame_.destroy();
    }

  private:
    explicit AsyncGen(std::coroutine_handle<promise_type> frame) noexcept : frame_(frame) {}
    friend struct detail::CoroutineAccess;
    std::coroutine_handle<promise_type> frame_;
};

// The Python objects. `function` (a native function, or anything with
// __name__/__qualname__) names them in repr and in the "never awaited" warning;
// `where` is the source line tracebacks name when an exception leaves the body.
nb::object make_coroutine(Coro&& body, nb::handle function,
                          std::source_location where = std::source_location::current());
nb::object make_async_generator(AsyncGen&& body, nb::handle function,
                                std::source_location where = std::source_location::current());

// An exception caught in C++ and kept past its catch handler (see the top of
// this file). Inside `catch (...)`, capture() keeps the in-flight exception as a
// Python exception object (other C++ exceptions map as at any boundary) and
// makes it "the exception being handled" until the Caught is destroyed; in a
// coroutine body that state follows the frame across suspensions. The forced
// unwind that ends a thread at interpreter exit is no exception to keep:
// capture() rethrows it, so `catch (...) { failure.capture(); }` lets it by.
class Caught {
  public:
    Caught() noexcept = default;
    ~Caught() { release(); }
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    // Only inside a handler; rethrows a foreign exception (see exception_object).
    void capture();
    explicit operator bool() const noexcept { return bool(exception_); }
    // The exception object.
    nb::handle value() const noexcept { return exception_; }
    // isinstance(value(), type)
    bool matches(nb::handle type) const noexcept;
    // Raises the same exception object again; does nothing when none was caught.
    // The traceback names the line where it was raised before it was caught
    // (as a bare `raise` in Python), else the line of this call.
    void rethrow(Site where = {});
    // The exception was dealt with (an `async with` suppressed it): forget it.
    void dismiss() noexcept {
        release();
        exception_ = nb::object();
    }

  private:
    void release() noexcept;
    nb::object exception_;
    PyObject* previous_ = nullptr;  // what was being handled before
    std::uint64_t site_ = 0;        // where it was raised (a Site), when known
    bool handling_ = false;
};

// `async with manager as value:` as the statement runs it. The constructor
// looks __aenter__ and __aexit__ up on the manager's type (refusing a manager
// without them with the interpreter's TypeError) and calls __aenter__; awaiting
// enter() gives the value. Awaiting exit(body) calls __aexit__ with the
// exception the Caught holds (or three Nones) and raises that very exception
// again unless __aexit__ returned a true value; a suppressed one is dismissed.
//
//     AsyncWith connection(engine.attr("connect"_n)());
//     nb::object conn = co_await connection.enter();
//     Caught body;
//     try { ... } catch (...) { body.capture(); }
//     co_await connection.exit(body);
class AsyncWith {
  public:
    explicit AsyncWith(nb::handle manager, Site where = {});
    ~AsyncWith();
    AsyncWith(const AsyncWith&) = delete;
    AsyncWith& operator=(const AsyncWith&) = delete;

    nb::object enter() noexcept { return nb::steal(std::exchange(entering_, nullptr)); }
    detail::AsyncWithExit exit(Caught& body);

  private:
    // Raw references: the body runs Python code while they are held, and a
    // thread ended there (interpreter exit) must leave them alone.
    PyObject* exit_ = nullptr;      // __aexit__, bound to the manager
    PyObject* entering_ = nullptr;  // what __aenter__ returned, until awaited
};

// Coroutine frames of this runtime copy currently alive (a diagnostic for leak
// tests: a finished, closed or collected coroutine leaves none behind).
std::size_t live_coroutine_frames() noexcept;

}  // namespace kelvora
