// Texts written where they are used, interned once per process.
//
//     session.attr("commit"_n)()                         // an attribute name
//     a.global("logging"_n)                              // a module global
//     logger(a).debug("所有表已存在，跳过创建"_n);          // a fixed message
//     "健康检查: {} 通过 - result: {}"_n.format(name, value)  // a message with values
//
// Each literal becomes one interned str the first time its line runs; later runs
// cost a load. A literal also records its line (kelvora/site.hpp): a traceback
// through the function names the line of the last name it used. `format` splices str() of each value into its "{}"
// (checked at compile time: one value per hole), so every message can be found by its text. Making the str can fail
// (memory runs out): "x"_n then raises MemoryError as nb::python_error. Code that must not throw (a type slot, a
// finaliser) asks interned_or_null<"x">() instead and handles null like any failed C API call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <type_traits>
#include <utility>

#include "kelvora/errors.hpp"
#include "kelvora/site.hpp"

namespace kelvora {

template <std::size_t N>
struct Literal {
    char text[N];
    std::uint64_t site;  // where it is written (a Site's packed value; 0 inside the runtime)
    consteval Literal(const char (&s)[N], std::source_location where = std::source_location::current())
        : site(detail::pack_site(where)) {
        std::copy_n(s, N, text);
    }
    static constexpr std::size_t size = N - 1;

    // Offsets of the "{}" holes, in order.
    consteval std::size_t holes() const {
        std::size_t n = 0;
        for (std::size_t i = 0; i + 1 < size; ++i)
            if (text[i] == '{' && text[i + 1] == '}') ++n, ++i;
        return n;
    }
};

// An interned str made from UTF-8, kept for the process; null with the error
// set when it cannot be made.
PyObject* intern_text(const char* utf8, std::size_t size) noexcept;

// "".join(pieces) of str objects, in one allocation.
nb::object join_texts(PyObject* const* pieces, std::size_t count);

// str(value); a str is used as it is.
nb::object str_of(nb::handle value);

// getattr(obj, name, fallback): only AttributeError gives the fallback.
nb::object attr_or(nb::handle obj, nb::handle name, nb::handle fallback, Site where = {});

namespace detail {

template <class T>
nb::object as_object(T&& value) {
    if constexpr (std::is_base_of_v<nb::handle, std::remove_cvref_t<T>>)
        return nb::borrow(value.ptr() ? value.ptr() : Py_None);
    else if constexpr (std::is_convertible_v<T&&, nb::object>)  // accessors
        return nb::object(std::forward<T>(value));
    else
        return nb::cast(std::forward<T>(value));
}

// The pieces of a template between its holes, interned on first use.
template <Literal L>
struct Pieces {
    static constexpr std::size_t count = L.holes() + 1;
    PyObject* text[count];
    Pieces() {
        std::size_t start = 0, n = 0;
        for (std::size_t i = 0; i + 1 < L.size; ++i)
            if (L.text[i] == '{' && L.text[i + 1] == '}') {
                text[n++] = made(intern_text(L.text + start, i - start));
                start = ++i + 1;
            }
        text[n] = made(intern_text(L.text + start, L.size - start));
    }
    static PyObject* made(PyObject* text) {
        if (!text) raise_pending();
        return text;
    }
};

}  // namespace detail

// A handle to the literal's interned str, usable wherever nanobind takes one.
template <Literal L>
class Interned : public nb::handle {
  public:
    Interned() : nb::handle(text()) {
        if constexpr (L.site != 0) detail::current_site = L.site;
    }
    // The interned str; raises MemoryError (nb::python_error) if it cannot be made.
    static PyObject* text() {
        if (PyObject* t = made_) [[likely]]
            return t;
        if (!text_or_null()) raise_pending();
        return made_;
    }
    // The same, or null with the error set: for code that must not throw.
    static PyObject* text_or_null() noexcept {
        if (!made_) made_ = intern_text(L.text, L.size);  // a failure is tried again next time
        return made_;
    }

    // The text with str() of each value in its "{}", in order.
    template <class... V>
    nb::object format(V&&... values) const {
        static_assert(sizeof...(V) == L.holes(), "format takes one value per {} of the text");
        static const detail::Pieces<L> pieces;
        nb::object texts[sizeof...(V) + 1] = {str_of(detail::as_object(std::forward<V>(values)))...};
        PyObject* parts[2 * sizeof...(V) + 1];
        for (std::size_t i = 0; i < sizeof...(V); ++i) {
            parts[2 * i] = pieces.text[i];
            parts[2 * i + 1] = texts[i].ptr();
        }
        parts[2 * sizeof...(V)] = pieces.text[sizeof...(V)];
        return join_texts(parts, 2 * sizeof...(V) + 1);
    }

  private:
    static inline PyObject* made_ = nullptr;  // kept for the process once made
};

// The literal's interned str, or null with the error set (see the top).
template <Literal L>
PyObject* interned_or_null() noexcept {
    return Interned<L>::text_or_null();
}

inline namespace literals {
template <Literal L>
Interned<L> operator""_n() {
    return {};
}
}  // namespace literals

}  // namespace kelvora
