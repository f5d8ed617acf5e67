// A function declared once, directly above its body, under its Python name.
//
//     // def table_title(name: str, prefix="", *, upper: bool = False) -> str
//     constexpr auto table_title_decl = function(
//         "table_title",
//         {exact_str("name"),
//          {.name = "prefix", .default_value = ""},
//          {.name = "upper", .kind = Kind::keyword_only, .default_value = false,
//           .annotation = &PyBool_Type}},
//         {.doc = "...", .returns = &PyUnicode_Type});
//     nb::object table_title(Call<table_title_decl> a) {
//         auto [name, prefix, upper] = a.params();   // as many names as parameters, or no build
//         ...
//     }
//
// and in NB_MODULE only what the module exports: `def(m, table_title)`, a class's
// `.add(hash_password, verify_password)`. The body's parameter type names its
// declaration, so the two cannot be paired wrongly, and the number of parameters
// is known where the body reads them: `a.get<2>()` past the last one, a name that
// is not declared (`a.get<"nmae">()`) or a structured binding of the wrong size
// does not compile.
//
// A declaration is constexpr: Python objects in it are descriptions (a default
// `false`, `""`, `none`; an annotation "Optional[int]", &PyBool_Type or a module
// global) made into objects when the module is built.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <source_location>
#include <string_view>
#include <type_traits>
#include <utility>

#include "kelvora/function.hpp"

namespace kelvora {

// How the function sits in its class (or module).
enum class Role : unsigned char { function, method, classmethod, staticmethod, property };

// A module global named in a declaration, read from the module dict when the
// module is built (it is imported or set before the function is made).
struct Global {
    const char* name;
};
constexpr Global global(const char* name) {
    return {name};
}

// `None` as a default.
struct NoneValue {};
inline constexpr NoneValue none{};

// A default value, described at compile time.
struct Value {
    enum class Of : unsigned char { nothing, none, boolean, integer, real, text, global, made };
    Of of = Of::nothing;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0;
    const char* text = nullptr;  // UTF-8 text, or a global's name
    nb::object (*make)() = nullptr;
    nb::object (*make_in)(nb::handle module) = nullptr;

    constexpr Value() = default;
    constexpr Value(NoneValue) : of(Of::none) {}
    constexpr Value(bool value) : of(Of::boolean), boolean(value) {}
    template <std::integral I>
    requires(!std::is_same_v<I, bool>) constexpr Value(I value) : of(Of::integer), integer(std::int64_t(value)) {}
    constexpr Value(double value) : of(Of::real), real(value) {}
    constexpr Value(const char* value) : of(Of::text), text(value) {}
    constexpr Value(Global value) : of(Of::global), text(value.name) {}
    explicit operator bool() const { return of != Of::nothing; }
};

// A default made once when the function is made, as `def` evaluates its
// defaults once: `.default_value = made([] { return nb::dict(); })`. Given the
// module, it may use the module's globals, as a default expression does:
// `made([](nb::handle m) { return m.attr("Depends")(m.attr("get_session")); })`.
template <class F>
requires std::is_convertible_v<F, nb::object (*)()>
constexpr Value made(F make) {
    Value v;
    v.of = Value::Of::made;
    v.make = make;
    return v;
}
template <class F>
requires std::is_convertible_v<F, nb::object (*)(nb::handle)>
constexpr Value made(F make) {
    Value v;
    v.of = Value::Of::made;
    v.make_in = make;
    return v;
}

// An annotation, described at compile time: a text (as modules with postponed
// annotations store them), a built-in type, a module global, or one made from
// them when the module is built, as an annotation expression is evaluated:
// `made([](nb::handle m) { return m.attr("AsyncGenerator")[nb::make_tuple(m.attr("Row"), nb::none())]; })`.
struct Annotation {
    enum class Of : unsigned char { nothing, text, type, global, made };
    Of of = Of::nothing;
    const char* text = nullptr;  // the text, or a global's name
    PyTypeObject* type = nullptr;
    Value made{};

    constexpr Annotation() = default;
    constexpr Annotation(const char* value) : of(Of::text), text(value) {}
    constexpr Annotation(PyTypeObject* value) : of(Of::type), type(value) {}
    constexpr Annotation(Global value) : of(Of::global), text(value.name) {}
    // Only a made value is an annotation; anything else does not compile.
    constexpr Annotation(Value value) : of(Of::made), made(value) {
        if (value.of != Value::Of::made) throw "an annotation is a text, a type, global(...) or made(...)";
    }
    explicit operator bool() const { return of != Of::nothing; }
};

// One parameter, as Param but constexpr. With `exact` and no annotation, the
// annotation is that type.
struct Parameter {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    Value default_value{};
    Annotation annotation{};
    PyTypeObject* exact = nullptr;
    // For FunctionSpec's parameter lists (a module global needs the module: not here).
    operator Param() const;
};

// Parameters annotated `str` / `dict` that refuse anything else (None and
// subclasses included) before the body runs.
constexpr Parameter exact_str(const char* name) {
    return {.name = name, .exact = &PyUnicode_Type};
}
constexpr Parameter exact_dict(const char* name) {
    return {.name = name, .exact = &PyDict_Type};
}

// What follows the parameters: the docstring and the return annotation.
struct Described {
    const char* doc = nullptr;
    Annotation returns{};
    // A module global the function is passed through before it is bound, as
    // `@decorator` under `def`: `.decorator = global("asynccontextmanager")`.
    Global decorator{nullptr};
};

template <std::size_t N>
struct Declaration {
    static constexpr std::size_t size = N;
    Role role;
    const char* name;
    std::array<Parameter, N> params;
    const char* doc;
    Annotation returns;
    const char* decorator;       // a module global's name, or null
    std::source_location where;  // tracebacks through the function name this line

    // The position of the parameter `name`, or N.
    consteval std::size_t index_of(std::string_view name) const {
        for (std::size_t i = 0; i < N; ++i)
            if (std::string_view(params[i].name) == name) return i;
        return N;
    }
};

namespace detail {
template <Role R>
struct Declare {
    template <std::size_t N>
    constexpr Declaration<N> operator()(const char* name, const Parameter (&params)[N], Described more = {},
                                        std::source_location where = std::source_location::current()) const {
        return declare(name, params, more, where, std::make_index_sequence<N>{});
    }
    constexpr Declaration<0> operator()(const char* name, Described more = {},
                                        std::source_location where = std::source_location::current()) const {
        return {R, name, {}, more.doc, more.returns, more.decorator.name, where};
    }

  private:
    template <std::size_t N, std::size_t... I>
    static constexpr Declaration<N> declare(const char* name, const Parameter (&params)[N], Described more,
                                            std::source_location where, std::index_sequence<I...>) {
        return {R, name, {params[I]...}, more.doc, more.returns, more.decorator.name, where};
    }
};
}  // namespace detail

// The kinds of declaration: `function("name", {parameters...}, {.doc, .returns})`,
// the parameters in `def` order (a method's first one is `self`, a class
// method's `cls`); a property is its getter, `self` alone.
inline constexpr detail::Declare<Role::function> function{};
inline constexpr detail::Declare<Role::method> method{};
inline constexpr detail::Declare<Role::classmethod> classmethod{};
inline constexpr detail::Declare<Role::staticmethod> staticmethod{};
inline constexpr detail::Declare<Role::property> property{};

// What a declared body receives: the bound arguments, read by position or
// name within the declared parameters only. A view: the arguments belong to
// the call, and a coroutine body's frame takes them over before the body
// starts. Helpers take it as `Args&` (it converts) or by const reference; one
// moved into a helper coroutine only borrows them from the body.
template <const auto& D>
class Call {
  public:
    using Declared = std::remove_cvref_t<decltype(D)>;
    static constexpr std::size_t size = Declared::size;
    static constexpr const auto& declaration = D;

    Call(Call&&) noexcept = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Argument I, in declaration order (defaults filled in).
    template <std::size_t I>
    nb::handle get() const {
        static_assert(I < size, "no such parameter: the index is past the declared parameters");
        return args_->slot(I);
    }
    // The argument of the parameter called `name`.
    template <Literal Name>
    nb::handle get() const {
        constexpr std::size_t i = D.index_of(std::string_view(Name.text, Name.size));
        static_assert(i < size, "no such parameter: the name is not among the declared parameters");
        return args_->slot(i);
    }
    // All of them, for a structured binding: `auto [cls, password] = a.params();`
    std::array<nb::handle, size> params() const { return all(std::make_index_sequence<size>{}); }

    // As Args has them: module globals, the module dict, the function object.
    template <Literal L>
    GlobalValue<L> global(Interned<L> name) const {
        return args_->global(name);
    }
    nb::object global(nb::handle name) const { return args_->global(name); }
    nb::handle globals() const { return args_->globals(); }
    nb::handle function() const { return args_->function(); }
    Args& args() const { return *args_; }
    operator Args&() const { return *args_; }

    // A coroutine body's frame takes the call's arguments over (its promise,
    // once), and answers them for the collector to visit; any other frame
    // borrows (null: the arguments are visited where they are owned).
    using adoptable_args = void;
    Args* adopt_args(Args& into) noexcept {
        if (!std::exchange(adoptable_, false)) return nullptr;
        std::destroy_at(&into);
        std::construct_at(&into, std::move(*args_));
        return args_ = &into;
    }

  private:
    template <class F>
    friend struct DeclaredBody;
    Call(Args& args, bool adoptable) noexcept : args_(&args), adoptable_(adoptable) {}
    template <std::size_t... I>
    std::array<nb::handle, size> all(std::index_sequence<I...>) const {
        return {args_->slot(I)...};
    }
    Args* args_;
    bool adoptable_;
};

// A declared body's type, taken apart: its declaration and its kind.
template <class R, const auto& D>
struct DeclaredBody<R (*)(Call<D>)> {
    static constexpr bool declared = true;
    static constexpr bool by_value = true;
    static constexpr const auto& declaration = D;
    using Result = R;
    static Call<D> view(Args& a, bool adoptable = false) noexcept { return Call<D>(a, adoptable); }
};
template <class R, const auto& D>
struct DeclaredBody<R (*)(Call<D>&)> {
    static constexpr bool declared = true;
    static constexpr bool by_value = false;
    static constexpr const auto& declaration = D;
    using Result = R;
};
template <class R, const auto& D>
struct DeclaredBody<R (*)(const Call<D>&)> : DeclaredBody<R (*)(Call<D>&)> {};
template <class R, const auto& D>
struct DeclaredBody<R (*)(Call<D>&&)> : DeclaredBody<R (*)(Call<D>&)> {};

namespace detail {

// The Python objects a declaration describes, made in `module`.
nb::object object_of(const Value& value, nb::handle module, const char* what);
nb::object object_of(const Annotation& annotation, nb::handle module, const char* what);
FunctionSpec spec_of(nb::handle module, const char* name, const char* doc, const Parameter* params, std::size_t count,
                     const Annotation& returns, const char* decorator, std::source_location where, FunctionBody body);

// The body as one indirect call, as FunctionSpec's bodies are.
template <class F>
FunctionBody declared_body(F body) {
    using B = DeclaredBody<F>;
    using R = typename B::Result;
    FunctionBody out;
    if constexpr (std::is_same_v<R, Coro> || std::is_same_v<R, AsyncGen>) {
        out.flavor = std::is_same_v<R, Coro> ? Flavor::coroutine : Flavor::async_generator;
        out.call = {.invoke = [](const void* context, Args& a) -> nb::object {
                        nb::handle function = a.function();
                        auto f = reinterpret_cast<F>(const_cast<void*>(context));
                        if constexpr (std::is_same_v<R, Coro>)
                            return make_coroutine(f(B::view(a, true)), function, B::declaration.where);
                        else
                            return make_async_generator(f(B::view(a, true)), function, B::declaration.where);
                    },
                    .context = reinterpret_cast<const void*>(body)};
    } else {
        out.call = {.invoke = [](const void* context, Args& a) -> nb::object {
                        return reinterpret_cast<F>(const_cast<void*>(context))(B::view(a));
                    },
                    .context = reinterpret_cast<const void*>(body)};
    }
    return out;
}

}  // namespace detail

// The function a declared body makes (its declaration read from the body's type).
template <class F>
FunctionSpec declared_spec(nb::handle module, F body) {
    using B = DeclaredBody<std::remove_cvref_t<F>>;
    static_assert(B::declared, "a declared body takes its view: nb::object f(Call<f_decl> a)");
    using R = typename B::Result;
    constexpr bool generator = std::is_same_v<R, Coro> || std::is_same_v<R, AsyncGen>;
    static_assert(B::by_value || !generator,
                  "a coroutine or async-generator body takes its Call by value: Coro f(Call<f_decl> a) "
                  "(its frame keeps the arguments)");
    static_assert(B::by_value, "a body takes its Call by value: nb::object f(Call<f_decl> a)");
    static_assert(generator || std::is_convertible_v<R, nb::object>,
                  "a body returns a Python object (nb::object), Coro or AsyncGen");
    constexpr const auto& d = B::declaration;
    return detail::spec_of(module, d.name, d.doc, d.params.data(), d.size, d.returns, d.decorator, d.where,
                           detail::declared_body(+body));
}

}  // namespace kelvora
