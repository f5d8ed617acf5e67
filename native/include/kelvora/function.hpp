// Native functions that look and bind like Python functions.
//
// A FunctionSpec describes the signature; make_function turns it into an object
// that inspect, FastAPI and the interpreter treat as a plain Python function:
// real __code__ (argument counts, names, coroutine/async-generator flags),
// __defaults__, __kwdefaults__, __annotations__, __globals__, method binding
// through types.MethodType, and Python's own argument-binding errors.
#pragma once

#include <functional>
#include <source_location>
#include <string>
#include <type_traits>
#include <vector>

#include "kelvora/names.hpp"

namespace kelvora {

enum class Kind { positional_only, positional_or_keyword, var_positional, keyword_only, var_keyword };
enum class Flavor { plain, coroutine, async_generator };

struct Param {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    nb::object default_value{};    // empty: required
    nb::object annotation{};       // empty: none (or the exact type, when there is one); a type or a text
    PyTypeObject* exact = nullptr; // refuse anything whose type is not exactly this
};

// Parameters annotated `str` / `dict` that refuse anything else (None and
// subclasses included) before the body runs.
inline Param exact_str(const char* name) { return {.name = name, .exact = &PyUnicode_Type}; }
inline Param exact_dict(const char* name) { return {.name = name, .exact = &PyDict_Type}; }

// Bound arguments, one slot per declared parameter in declaration order.
// *args arrives as a tuple and **kwargs as a dict in their slots. Owns its
// references, so a coroutine body may keep it across suspensions.
class Args {
public:
    Args() = default;
    Args(Args&& other) noexcept { *this = std::move(other); }
    Args& operator=(Args&& other) noexcept {
        size_ = other.size_;
        for (size_t i = 0; i < inline_capacity; ++i) inline_[i] = std::move(other.inline_[i]);
        heap_ = std::move(other.heap_);
        function_ = std::move(other.function_);
        other.size_ = 0;
        return *this;
    }

    nb::handle operator[](size_t i) const { return data()[i]; }
    size_t size() const { return size_; }
    // The function object being called (its __name__, __qualname__, __globals__).
    nb::handle function() const { return function_; }
    // A module global looked up now, as Python code would: module dict, then
    // builtins, else NameError. `a.global("logging"_n)`
    nb::object global(nb::handle name) const;
    // The function's module dict (its __globals__).
    nb::handle globals() const;

private:
    friend struct FunctionAccess;
    // Most signatures are short: their arguments live inline, no allocation.
    static constexpr size_t inline_capacity = 6;
    nb::object* data() { return size_ <= inline_capacity ? inline_ : heap_.data(); }
    const nb::object* data() const { return size_ <= inline_capacity ? inline_ : heap_.data(); }
    void resize(size_t n) {
        size_ = n;
        if (n > inline_capacity) heap_.resize(n);
    }

    nb::object inline_[inline_capacity];
    std::vector<nb::object> heap_;
    size_t size_ = 0;
    nb::object function_;
};

using Body = std::function<nb::object(Args&)>;

class Coro;
class AsyncGen;
nb::object make_coroutine(Coro&& body, nb::handle function, std::source_location where);
nb::object make_async_generator(AsyncGen&& body, nb::handle function, std::source_location where);

namespace detail {

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

}  // namespace detail

// What a function runs, and so what kind of function it is: a body taking
// `Args&` and returning a Python object is a plain function; `Coro f(Args)` makes
// it a coroutine function and `AsyncGen f(Args)` an async-generator function
// (their Args by value: the frame outlives the call). `__code__` flags follow.
struct FunctionBody {
    Body call{};
    Flavor flavor = Flavor::plain;

    FunctionBody() = default;
    template <class F>
    FunctionBody(F f, std::source_location where = std::source_location::current()) {
        if constexpr (std::is_invocable_v<const F&, Args&>) {
            static_assert(std::is_convertible_v<std::invoke_result_t<const F&, Args&>, nb::object>,
                          "a plain body returns a Python object");
            call = std::move(f);
        } else {
            static_assert(std::is_invocable_v<const F&, Args&&>,
                          "a body is nb::object f(Args&), Coro f(Args) or AsyncGen f(Args)");
            using R = std::invoke_result_t<const F&, Args&&>;
            static_assert(std::is_same_v<R, Coro> || std::is_same_v<R, AsyncGen>,
                          "a body taking Args by value is a coroutine (Coro) or an async generator (AsyncGen)");
            static_assert(std::is_same_v<typename detail::sole_param<std::remove_cvref_t<F>>::type, void> ||
                              std::is_same_v<typename detail::sole_param<std::remove_cvref_t<F>>::type, Args>,
                          "a coroutine or async-generator body takes Args by value");
            flavor = std::is_same_v<R, Coro> ? Flavor::coroutine : Flavor::async_generator;
            call = [f = std::move(f), where](Args& args) -> nb::object {
                nb::object function = nb::borrow(args.function());
                if constexpr (std::is_same_v<R, Coro>)
                    return make_coroutine(f(std::move(args)), function, where);
                else
                    return make_async_generator(f(std::move(args)), function, where);
            };
        }
    }
};

struct FunctionSpec {
    const char* name;
    const char* doc = nullptr;
    std::vector<Param> params{};
    nb::object returns{};  // return annotation; empty: none
    FunctionBody body{};
    std::string qualname{};  // empty: name (classes prefix it with their own)
    // Where the function is defined; tracebacks through it name this line.
    std::source_location where = std::source_location::current();
};

// The annotation text "..." as stored by `from __future__ import annotations`.
nb::object text(const char* annotation);

// A built-in type as an annotation or value: type_object(&PyBool_Type) is `bool`.
inline nb::object type_object(PyTypeObject* type) { return nb::borrow(reinterpret_cast<PyObject*>(type)); }

// Builds the function object. `module` supplies __module__ and __globals__.
nb::object make_function(nb::handle module, FunctionSpec spec);

// Whether `obj` is a native function made by this runtime (any module's copy
// counts only when it is this copy's type).
bool is_native_function(nb::handle obj);

// The interpreter's exact-type refusal, as a message (for checks made by hand,
// such as return values).
[[noreturn]] void raise_wrong_type(const char* what, PyTypeObject* expected, nb::handle got);

}  // namespace kelvora
