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
#include <vector>

#include "kelvora/errors.hpp"

namespace kelvora {

enum class Kind { positional_only, positional_or_keyword, var_positional, keyword_only, var_keyword };
enum class Flavor { plain, coroutine, async_generator };

struct Param {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    nb::object default_value{};    // empty: required
    nb::object annotation{};       // empty: none; a type or a text
    PyTypeObject* exact = nullptr; // refuse anything whose type is not exactly this
};

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
    // builtins, else NameError.
    nb::object global(PyObject* interned_name) const;

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

struct FunctionSpec {
    const char* name;
    const char* doc = nullptr;
    std::vector<Param> params{};
    nb::object returns{};  // return annotation; empty: none
    Body body{};
    Flavor flavor = Flavor::plain;
    std::string qualname{};  // empty: name (classes prefix it with their own)
    // Where the function is defined; tracebacks through it name this line.
    std::source_location where = std::source_location::current();
};

// An interned, immortal name for attribute and global lookups on hot paths.
// Create as a function-local static so it is built once, with the GIL held.
struct Name {
    explicit Name(const char* text) : ptr(PyUnicode_InternFromString(text)) {
        if (!ptr) raise_pending();
    }
    operator PyObject*() const { return ptr; }
    nb::handle handle() const { return ptr; }
    operator nb::handle() const { return ptr; }  // usable as obj.attr(name)
    PyObject* ptr;
};

// The annotation text "..." as stored by `from __future__ import annotations`.
nb::object text(const char* annotation);

// Builds the function object. `module` supplies __module__ and __globals__.
nb::object make_function(nb::handle module, FunctionSpec spec);

// Whether `obj` is a native function made by this runtime (any module's copy
// counts only when it is this copy's type).
bool is_native_function(nb::handle obj);

// The interpreter's exact-type refusal, as a message (for checks made by hand,
// such as return values).
[[noreturn]] void raise_wrong_type(const char* what, PyTypeObject* expected, nb::handle got);

}  // namespace kelvora
