// Native functions that look and bind like Python functions.
//
// Modules declare their functions with kelvora/declaration.hpp; underneath, a
// FunctionSpec describes the signature; make_function turns it into an object
// that inspect, FastAPI and the interpreter treat as a plain Python function:
// real __code__ (argument counts, names, coroutine/async-generator flags),
// __defaults__, __kwdefaults__, __annotations__, __globals__, method binding
// through types.MethodType, and Python's own argument-binding errors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kelvora/names.hpp"

namespace kelvora {

enum class Kind { positional_only, positional_or_keyword, var_positional, keyword_only, var_keyword };
enum class Flavor { plain, coroutine, async_generator };

struct Param {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    nb::object default_value{};     // empty: required
    nb::object annotation{};        // empty: none (or the exact type, when there is one); a type or a text
    PyTypeObject* exact = nullptr;  // refuse anything whose type is not exactly this
};

// A body declared with its function (kelvora/declaration.hpp): bound by def(m, f)
// or ClassBuilder::add, never through a FunctionSpec.
template <class F>
struct DeclaredBody {
    static constexpr bool declared = false;
};

// What a literal global lookup remembers (see Args::global): the value found
// for one module dict, valid while no watched dict has changed since. Both
// references are owned (and kept for the process): should the dict stop being
// watched, the worst left is a stale value, never a freed one.
struct GlobalSite {
    PyObject* globals = nullptr;
    PyObject* value = nullptr;
    std::uint64_t epoch = 0;
};

// The names a module's code reads by literal, noted when the module is loaded
// (one entry per place in the source), for a test to resolve against the host
// package: module globals (`a.global("QueryService"_n)`) and attributes read
// straight from one (`.attr("query_columns_first"_n)` on it). `attribute` is
// null for a global; `site` is a Site's packed value (its line in the low bits).
struct NameUse {
    const char* global;
    const char* attribute;
    std::uint64_t site;
};
void note_name_use(const char* global, const char* attribute, std::uint64_t site) noexcept;
// What this module's copy of the runtime noted.
const std::vector<NameUse>& name_uses() noexcept;

namespace detail {
template <Literal G>
struct GlobalUse {
    static inline const bool noted = (note_name_use(G.text, nullptr, G.site), true);
};
template <Literal G, Literal A>
struct GlobalAttributeUse {
    static inline const bool noted = (note_name_use(G.text, A.text, A.site), true);
};
}  // namespace detail

// The value of a module global looked up by a literal name: an nb::object
// that notes an attribute read from it by a literal name, so that renaming
// `QueryService.query_columns_first` in the host package fails the name check
// although no test reaches the call.
template <Literal G>
class GlobalValue : public nb::object {
  public:
    explicit GlobalValue(nb::object value) noexcept : nb::object(std::move(value)) {}
    using nb::object::attr;
    template <Literal A>
    auto attr(Interned<A> name) const {
        (void)&detail::GlobalAttributeUse<G, A>::noted;
        return nb::object::attr(name);
    }
};

template <const auto& D>
class Call;

// Bound arguments, one slot per declared parameter in declaration order.
// *args arrives as a tuple and **kwargs as a dict in their slots. Owns the
// argument references, so a coroutine body may keep it across suspensions.
class Args {
  public:
    Args() noexcept = default;
    // Moves only the slots in use (a coroutine body's Args moves into its frame).
    Args(Args&& other) noexcept
        : heap_(std::exchange(other.heap_, nullptr)), size_(std::exchange(other.size_, 0)), function_(other.function_) {
        if (!heap_) std::copy_n(other.inline_, size_, inline_);
    }
    Args& operator=(Args&&) = delete;
    Args(const Args&) = delete;
    // Releasing an argument may run its __del__, and the thread may be ended
    // there (a forced unwind at interpreter exit): that is let through.
    ~Args() noexcept(false) {
        PyObject** v = data();
        for (size_t i = 0; i < size_; ++i) Py_XDECREF(v[i]);
        delete[] heap_;
    }

    // Checked: a FunctionSpec body's index is not known to the compiler (a
    // declared body's Call checks its own when it is built).
    nb::handle operator[](size_t i) const {
        if (i >= size_) raise(PyExc_IndexError, "argument index past the function's parameters");
        return data()[i];
    }
    size_t size() const { return size_; }
    // The size() slots, unchecked (the collector's walk over them).
    PyObject* const* items() const { return data(); }
    // The function object being called (its __name__, __qualname__, __globals__).
    // Not owned here: the call holds it (whatever the body does to the object
    // that held it for the caller), the coroutine object for a body.
    nb::handle function() const { return function_; }
    // A module global looked up now, as Python code would: module dict, then
    // the function's builtins, else NameError. `a.global("logging"_n)`: for a
    // literal name the answer is remembered until either dict changes, and
    // the name (with an attribute read from it at once) is noted for the
    // module's name check (see GlobalValue).
    nb::object global(nb::handle name) const;
    template <Literal L>
    GlobalValue<L> global(Interned<L> name) const {
        static GlobalSite site;
        (void)&detail::GlobalUse<L>::noted;
        return GlobalValue<L>(cached_global(site, name));
    }
    // The function's module dict (its __globals__).
    nb::handle globals() const;
    // The thread is ending (thread_is_ending()): the references stay where
    // they are, as the interpreter leaves those of that thread's frames.
    void abandon() noexcept { size_ = 0; }

  private:
    friend struct FunctionAccess;
    template <const auto& D>
    friend class Call;
    nb::handle slot(size_t i) const { return data()[i]; }
    // Most signatures are short: their arguments live inline, no allocation.
    static constexpr size_t inline_capacity = 6;
    PyObject** data() { return heap_ ? heap_ : inline_; }
    PyObject* const* data() const { return heap_ ? heap_ : inline_; }
    // n empty slots (the object must be empty).
    void resize(size_t n) {
        if (n > inline_capacity) heap_ = new PyObject*[n];
        std::fill_n(data(), n, nullptr);
        size_ = n;
    }
    nb::object cached_global(GlobalSite& site, nb::handle name) const;

    PyObject* inline_[inline_capacity];  // the first size_ are set unless heap_ is
    PyObject** heap_ = nullptr;
    size_t size_ = 0;
    PyObject* function_ = nullptr;
};

// A native function's body: one call through a plain function pointer, with
// whatever the body needs (a capturing lambda, a coroutine's source line)
// behind `context`.
struct Body {
    using Invoke = nb::object (*)(const void* context, Args& args);
    Invoke invoke = nullptr;
    const void* context = nullptr;
    std::shared_ptr<const void> owner{};  // keeps `context` alive, when it was made
    explicit operator bool() const { return invoke != nullptr; }
};

class Coro;
class AsyncGen;
nb::object make_coroutine(Coro&& body, nb::handle function, std::source_location where);
nb::object make_async_generator(AsyncGen&& body, nb::handle function, std::source_location where);

namespace detail {

// A plain body as one indirect call: a function pointer is called through its
// context, a lambda's own code is the entry point (captures live in `context`).
template <class F>
Body plain_body(F f) {
    if constexpr (std::is_pointer_v<F>) {
        return {.invoke = [](const void* context, Args& a) -> nb::object {
                    return reinterpret_cast<F>(const_cast<void*>(context))(a);
                },
                .context = reinterpret_cast<const void*>(f)};
    } else if constexpr (std::is_empty_v<F> && std::is_default_constructible_v<F>) {
        // A lambda without captures: nothing to keep.
        return {.invoke = [](const void*, Args& a) -> nb::object { return F{}(a); }};
    } else {
        auto owner = std::make_shared<const F>(std::move(f));
        return {
            .invoke = [](const void* context, Args& a) -> nb::object { return (*static_cast<const F*>(context))(a); },
            .context = owner.get(),
            .owner = owner};
    }
}

}  // namespace detail

// What a function runs, and so what kind of function it is. Made here from a
// plain body, `nb::object f(Args&)` (a lambda may capture: functions made at
// run time); coroutines and async generators are declared
// (kelvora/declaration.hpp), whose frames own their arguments.
struct FunctionBody {
    Body call{};
    Flavor flavor = Flavor::plain;

    FunctionBody() = default;
    template <class F>
    FunctionBody(F f) {
        static_assert(!DeclaredBody<std::decay_t<F>>::declared,
                      "a declared body is bound by def(m, f) or ClassBuilder::add(f), not in a FunctionSpec");
        static_assert(std::is_invocable_v<const F&, Args&>,
                      "a FunctionSpec body is nb::object f(Args&); a coroutine or async generator is declared: "
                      "Coro f(Call<f_decl> a)");
        using R = std::invoke_result_t<const F&, Args&>;
        static_assert(!std::is_same_v<R, Coro> && !std::is_same_v<R, AsyncGen>,
                      "a coroutine or async-generator body is declared: Coro f(Call<f_decl> a) "
                      "(its frame takes the arguments over)");
        static_assert(std::is_convertible_v<R, nb::object>, "a plain body returns a Python object");
        call = detail::plain_body(std::move(f));
    }
};

struct FunctionSpec {
    const char* name;
    const char* doc = nullptr;
    std::vector<Param> params{};
    nb::object returns{};    // return annotation; empty: none
    nb::object decorator{};  // called with the function before it is bound; empty: none
    FunctionBody body{};
    std::string qualname{};  // empty: name (classes prefix it with their own)
    // Where the function is defined; tracebacks through it name this line.
    std::source_location where = std::source_location::current();
};

// The annotation text "..." as stored by `from __future__ import annotations`.
nb::object text(const char* annotation);

// A built-in type as an annotation or value: type_object(&PyBool_Type) is `bool`.
inline nb::object type_object(PyTypeObject* type) {
    return nb::borrow(reinterpret_cast<PyObject*>(type));
}

// Builds the function object, passed through `spec.decorator` when there is
// one. `module` supplies __module__ and __globals__.
nb::object make_function(nb::handle module, FunctionSpec spec);

// Whether `obj` is a native function made by this runtime (any module's copy
// counts only when it is this copy's type).
bool is_native_function(nb::handle obj);

// The interpreter's exact-type refusal, as a message (for checks made by hand,
// such as return values).
[[noreturn]] void raise_wrong_type(const char* what, PyTypeObject* expected, nb::handle got, Site where = {});

}  // namespace kelvora
