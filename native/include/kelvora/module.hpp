// Classes and module-level names built the way Python code builds them.
#pragma once

#include <initializer_list>

#include "kelvora/declaration.hpp"
#include "kelvora/function.hpp"

namespace kelvora {

// `from <source> import <name> [as <alias>]` into the module's dict. A leading
// dot makes it relative to the module's own package (".base.snowflake",
// "..config.app_config"). Returns the imported object.
nb::object import_from(nb::handle module, const char* source, const char* name, const char* alias = nullptr);
// `from <source> import <name>, <name>, ...`
void import_from(nb::handle module, const char* source, std::initializer_list<const char*> names);

// `from <source> import <name>` inside a body, as a function-level import:
// nothing is bound in the module; relative to the function's own package.
nb::object import_local(const Args& a, const char* source, const char* name, Site where = {});

// `import <source>` (absolute), bound under its top-level name or `alias`.
nb::object import_module(nb::handle module, const char* source, const char* alias = nullptr);

// A class made by calling its metaclass with a namespace of native functions and
// values, so it behaves like a class written in Python (subclassing, patching,
// super(), instance __dict__).
class ClassBuilder {
  public:
    ClassBuilder(nb::handle module, const char* name);

    ClassBuilder& doc(const char* text);
    ClassBuilder& base(nb::handle cls);
    ClassBuilder& metaclass(nb::handle meta);
    ClassBuilder& attr(const char* name, nb::handle value);
    // An annotated class attribute; with no value it is a bare annotation
    // (a data-class field without default).
    ClassBuilder& field(const char* name, nb::handle annotation, nb::handle value = {});
    ClassBuilder& method(FunctionSpec spec);
    ClassBuilder& classmethod(FunctionSpec spec);
    ClassBuilder& staticmethod(FunctionSpec spec);
    // A read-only property: the getter, `self` alone.
    ClassBuilder& property(FunctionSpec spec);
    // Declared functions (kelvora/declaration.hpp), each as its declaration says:
    // method, class method, static method or property.
    template <class... F>
    ClassBuilder& add(F... bodies) {
        (add_one(bodies), ...);
        return *this;
    }

    // Creates the class and binds it in the module.
    nb::object build();

  private:
    nb::object function_for(FunctionSpec& spec);
    void add_declared(Role role, FunctionSpec spec);
    template <class F>
    void add_one(F body) {
        FunctionSpec spec = declared_spec(module_, body);
        if constexpr (DeclaredBody<F>::declared) {
            constexpr Role role = DeclaredBody<F>::declaration.role;
            static_assert(role != Role::function, "a module-level function is bound with def(m, f)");
            add_declared(role, std::move(spec));
        }
    }

    nb::handle module_;
    const char* name_;
    nb::list bases_;
    nb::object metaclass_;
    nb::dict namespace_;
    nb::dict annotations_;
};

// dataclasses.dataclass(cls), rebound in the module under the class name.
nb::object dataclass(nb::handle module, nb::handle cls);

// `with lock:` for a Python context manager (a threading.Lock, say): __enter__
// now, __exit__(None, None, None) when the scope ends, also when it ends by an
// exception — which then stays the one that propagates.
class ContextScope {
  public:
    explicit ContextScope(nb::handle manager, Site where = {});
    // __exit__ is Python code: the forced unwind that ends a thread at
    // interpreter exit may start there, and is let through.
    ~ContextScope() noexcept(false);
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

  private:
    nb::object exit_;  // __exit__, bound to the manager
};

// Defines a module-level native function and binds it in the module.
nb::object def(nb::handle module, FunctionSpec spec);
// The same for a declared function: `def(m, table_title)`.
template <class F>
requires DeclaredBody<F>::declared nb::object def(nb::handle module, F body) {
    static_assert(DeclaredBody<F>::declaration.role == Role::function,
                  "a method, class method, static method or property is added to its class: ClassBuilder::add");
    return def(module, declared_spec(module, body));
}

// The module's logging facade: its `logging` global, looked up now, so a
// replaced facade is the one written to. One call per line, the message whole:
//
//     logger(a).debug("所有表已存在，跳过创建"_n);
//     logger(a).error("健康检查: {} 失败 - error: {}"_n.format(name, error));
//     logger(a).error("密码验证系统错误: {}"_n.format(error), "exc_info"_a = true);
class Logger {
  public:
    explicit Logger(nb::object facade) : facade_(std::move(facade)) {}
    template <class... K>
    void debug(nb::handle message, K&&... keywords) const {
        facade_.attr("debug"_n)(message, std::forward<K>(keywords)...);
    }
    template <class... K>
    void info(nb::handle message, K&&... keywords) const {
        facade_.attr("info"_n)(message, std::forward<K>(keywords)...);
    }
    template <class... K>
    void warning(nb::handle message, K&&... keywords) const {
        facade_.attr("warning"_n)(message, std::forward<K>(keywords)...);
    }
    template <class... K>
    void error(nb::handle message, K&&... keywords) const {
        facade_.attr("error"_n)(message, std::forward<K>(keywords)...);
    }
    // Whether a debug line would be written: a line's text is built only then. A facade
    // without the question (or answering anything but False) is written to as before.
    bool debug_on() const {
        nb::object ask = nb::getattr(facade_, "debug_enabled"_n, nb::none());
        if (ask.is_none()) return true;
        return !ask().is(nb::handle(Py_False));
    }
    // The separators that frame a block of progress lines.
    void debug_line() const { facade_.attr("debug_line"_n)(); }
    void info_line() const { facade_.attr("info_line"_n)(); }

  private:
    nb::object facade_;
};

// A template only so that a module notes its `logging` global (NameUse) when it
// writes to it, not for merely including this header. Takes Args or a Call.
template <class A>
requires std::is_convertible_v<const A&, const Args&> Logger logger(const A& a) {
    const Args& args = a;
    return Logger(args.global("logging"_n));
}

// When a process-wide instance becomes visible to the unlocked check.
enum class Publish {
    // Stored before `load` runs: load (or what it calls) may reach the instance
    // through the class, and a failed load leaves it in place.
    before_load,
    // Stored once `load` returned: nobody ever sees a half-made instance.
    after_load,
};

// `cls._instance`, made once under `cls._lock` (check, lock, re-check):
// object.__new__(cls, *args, **kwargs), then its method `load` called without
// arguments. Returns the stored instance.
nb::object single_instance(nb::handle cls, nb::handle load, Publish publish, nb::handle args = {},
                           nb::handle kwargs = {});

// A class's own attribute, as its dict holds it when the module is made. Later,
// resolves(cls) tells whether `cls.<name>` still finds exactly that object (no
// subclass override, patch or metaclass attribute in between), so native code
// may do the work itself instead of calling the attribute.
class OwnAttribute {
  public:
    void remember(nb::handle cls, nb::handle name);
    bool resolves(nb::handle cls) const;

  private:
    // Strong references kept for the process: a replaced attribute can never
    // be mistaken for the original by address, and nothing is released after
    // the interpreter is gone.
    PyObject* name_ = nullptr;
    PyObject* stored_ = nullptr;
};

}  // namespace kelvora
