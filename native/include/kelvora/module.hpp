// Classes and module-level names built the way Python code builds them.
#pragma once

#include "kelvora/function.hpp"

namespace kelvora {

// `from <source> import <name> [as <alias>]` into the module's dict. A leading
// dot makes it relative to the module's own package (".base.snowflake",
// "..config.app_config"). Returns the imported object.
nb::object import_from(nb::handle module, const char* source, const char* name,
                       const char* alias = nullptr);

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

    // Creates the class and binds it in the module.
    nb::object build();

private:
    nb::object function_for(FunctionSpec& spec);

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
    explicit ContextScope(nb::handle manager);
    ~ContextScope();
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

private:
    nb::object manager_;
};

// Defines a module-level native function and binds it in the module.
nb::object def(nb::handle module, FunctionSpec spec);

}  // namespace kelvora
