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
// `co_return;` does not compile, and flowing off the end of a Coro body is
// undefined behaviour: always co_return.
//
//     Coro fetch_user(Args a) {                      // take Args by value
//         nb::handle session = a[0];                 // Args lives as long as the frame
//         nb::object row = co_await session.attr("get")(a[1]);
//         co_return row;
//     }
//     def(m, {.name = "fetch_user", .params = {{.name = "session"}, {.name = "id"}},
//             .body = coroutine_body(fetch_user), .flavor = Flavor::coroutine});
//
// An async-generator body returns AsyncGen: `co_yield value` hands a value to
// the consumer and evaluates to what asend() sent (None for __anext__);
// `co_return;` or the end of the body finishes it. athrow() raises the very
// exception object it was given at the suspended co_yield.
//
//     AsyncGen session_scope(Args a) {
//         nb::object session = a[0].attr("session")();
//         co_yield session;
//         co_await session.attr("close")();
//     }
//     def(m, {.name = "session_scope", .params = {{.name = "engine"}},
//             .body = async_generator_body(session_scope), .flavor = Flavor::async_generator});
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
// Caught holds and the bound Args. It cannot see C++ locals, nor temporaries
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
#include <source_location>
#include <type_traits>
#include <utility>

#include "kelvora/function.hpp"

namespace kelvora {

class Coro;
class AsyncGen;

namespace detail {

struct CoroutineObject;  // the Python object that drives a frame (coro.cpp)
struct CoroutineAccess;  // the runtime's way into promises and bodies (coro.cpp)

// The mailbox between a frame and the object driving it.
struct FrameSlots {
    CoroutineObject* owner = nullptr;
    const Args* args = nullptr;
    nb::object input;   // delivered at the resumption point: a value ...
    nb::object thrown;  // ... or an exception to raise there
    nb::object output;  // going out: a value passed through from an await, or co_yield-ed
    enum class Out : unsigned char { nothing, passed, yielded } out = Out::nothing;
    nb::object result;  // co_return value
    nb::object error;   // the exception that left the body
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

    // Frames are allocated by the interpreter's allocator (tracemalloc sees them).
    static void* operator new(std::size_t size);
    static void operator delete(void* frame, std::size_t size) noexcept;

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept;

    // `co_await x`: starts awaiting in await_ready (no suspension at all when x
    // finishes at once), then hands out whatever the driver delivers.
    class Awaiter {
      public:
        Awaiter(PromiseBase& promise, nb::object awaitable) noexcept
            : promise_(promise), awaitable_(std::move(awaitable)) {}
        bool await_ready() noexcept { return promise_.begin_await(std::move(awaitable_)); }
        void await_suspend(std::coroutine_handle<>) noexcept {}
        nb::object await_resume() { return promise_.take_input(); }

      private:
        PromiseBase& promise_;
        nb::object awaitable_;  // released as soon as awaiting starts
    };

    Awaiter await_transform(nb::handle awaitable) noexcept {
        return Awaiter(*this, nb::borrow(awaitable));
    }
    Awaiter await_transform(nb::object&& awaitable) noexcept {
        return Awaiter(*this, std::move(awaitable));
    }
    // Accessors such as `session.attr("future")`.
    template <class T>
        requires(!std::is_base_of_v<nb::handle, std::remove_cvref_t<T>> &&
                 std::is_convertible_v<T&&, nb::object>)
    Awaiter await_transform(T&& awaitable) {
        return Awaiter(*this, nb::object(std::forward<T>(awaitable)));
    }
    // Another C++ coroutine: wrapped in a coroutine object named after this one.
    Awaiter await_transform(Coro&& body);

  protected:
    // Picks the bound arguments out of the coroutine's parameters so the
    // collector can visit them; they must be taken by value (see coroutine_body).
    template <class... P>
    void find_args(P&... params) noexcept {
        (note_param(params), ...);
    }
    void set_result(nb::object value) noexcept { slots_.result = std::move(value); }
    void set_yielded(nb::object value) noexcept;
    nb::object take_input();

  private:
    template <class P>
    void note_param(P& param) noexcept {
        if constexpr (std::is_same_v<std::remove_cv_t<P>, Args>) slots_.args = &param;
    }
    bool begin_await(nb::object awaitable) noexcept;

    friend struct CoroutineAccess;
    FrameSlots slots_;
};

// A co_return / co_yield operand as a Python object (an empty handle is None).
template <class T>
nb::object to_object(T&& value) {
    if constexpr (std::is_base_of_v<nb::handle, std::remove_cvref_t<T>>)
        return value.ptr() ? nb::borrow(value.ptr()) : nb::none();
    else if constexpr (std::is_convertible_v<T &&, nb::object>)  // accessors
        return nb::object(std::forward<T>(value));
    else
        return nb::cast(std::forward<T>(value));
}

// The parameter type of a non-generic callable taking one argument, or void.
template <class F>
struct sole_param {
    using type = void;
};
template <class R, class A>
struct sole_param<R (*)(A)> {
    using type = A;
};
template <class R, class A>
struct sole_param<R (&)(A)> {
    using type = A;
};
template <class R, class A>
struct sole_param<R(A)> {
    using type = A;
};
template <class C, class R, class A>
struct sole_param<R (C::*)(A) const> {
    using type = A;
};
template <class C, class R, class A>
struct sole_param<R (C::*)(A)> {
    using type = A;
};
template <class F>
    requires requires { &F::operator(); }
struct sole_param<F> : sole_param<decltype(&F::operator())> {};

// A body must own its Args: a reference would dangle once the call returns.
template <class F>
constexpr bool takes_args_by_value =
    std::is_same_v<typename sole_param<std::remove_cvref_t<F>>::type, void> ||
    std::is_same_v<typename sole_param<std::remove_cvref_t<F>>::type, Args>;

}  // namespace detail

// The return type of a coroutine body.
class Coro {
  public:
    struct promise_type : detail::PromiseBase {
        template <class... P>
        explicit promise_type(P&... params) noexcept {
            find_args(params...);
        }
        Coro get_return_object() noexcept {
            return Coro(std::coroutine_handle<promise_type>::from_promise(*this));
        }
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
        Yield yield_value(T&& value) {
            set_yielded(detail::to_object(std::forward<T>(value)));
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

// A function Body from `Coro f(Args)` / `AsyncGen f(Args)`: calling the function
// creates the coroutine object (the body starts on the first send, as in Python).
template <class F>
Body coroutine_body(F f, std::source_location where = std::source_location::current()) {
    static_assert(std::is_invocable_r_v<Coro, const F&, Args&&>,
                  "a coroutine body is Coro f(Args)");
    static_assert(detail::takes_args_by_value<F>, "a coroutine body must take Args by value");
    return [f = std::move(f), where](Args& args) -> nb::object {
        nb::object function = nb::borrow(args.function());
        return make_coroutine(f(std::move(args)), function, where);
    };
}

template <class F>
Body async_generator_body(F f, std::source_location where = std::source_location::current()) {
    static_assert(std::is_invocable_r_v<AsyncGen, const F&, Args&&>,
                  "an async-generator body is AsyncGen f(Args)");
    static_assert(detail::takes_args_by_value<F>,
                  "an async-generator body must take Args by value");
    return [f = std::move(f), where](Args& args) -> nb::object {
        nb::object function = nb::borrow(args.function());
        return make_async_generator(f(std::move(args)), function, where);
    };
}

// An exception caught in C++ and kept past its catch handler (see the top of
// this file). Inside `catch (...)`, capture() keeps the in-flight exception as a
// Python exception object (other C++ exceptions map as at any boundary) and
// makes it "the exception being handled" until the Caught is destroyed; in a
// coroutine body that state follows the frame across suspensions.
class Caught {
  public:
    Caught() noexcept = default;
    ~Caught() { release(); }
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    void capture() noexcept;
    explicit operator bool() const noexcept { return bool(exception_); }
    // The exception object.
    nb::handle value() const noexcept { return exception_; }
    // isinstance(value(), type)
    bool matches(nb::handle type) const noexcept;
    // Raises the same exception object again; does nothing when none was caught.
    void rethrow();

  private:
    void release() noexcept;
    nb::object exception_;
    PyObject* previous_ = nullptr;  // what was being handled before
    bool handling_ = false;
};

// `async with`: the awaitable of `cm.__aexit__` (looked up before entering, as
// the statement does) called with the caught exception, or with three Nones.
// Build it into a named local, then co_await that:
//
//     nb::object exit = cm.attr("__aexit__");
//     nb::object value = co_await entering;   // cm.__aenter__()
//     Caught body;
//     try { ... } catch (...) { body.capture(); }
//     nb::object leaving = exit_call(exit, body);
//     nb::object suppressed = co_await leaving;
//     if (body && !PyObject_IsTrue(suppressed.ptr())) body.rethrow();
nb::object exit_call(nb::handle exit, const Caught& caught);

// Coroutine frames of this runtime copy currently alive (a diagnostic for leak
// tests: a finished, closed or collected coroutine leaves none behind).
std::size_t live_coroutine_frames() noexcept;

}  // namespace kelvora
