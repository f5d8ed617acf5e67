// Async database sessions: one process-wide registry of session factories, the
// session scope (commit / rollback / close), dependency generators and a probe.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace kelvora;

namespace conduit {

// ---- small helpers -----------------------------------------------------------

nb::object id_text(nb::handle obj) {
    nb::object id = nb::steal(PyLong_FromVoidPtr(obj.ptr()));
    if (!id) raise_pending();
    return str_of(id);
}

nb::object attr(nb::handle obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj.ptr(), name);
    if (!v) raise_pending();
    return nb::steal(v);
}

void log(const Args& a, PyObject* level, nb::handle message) {
    static Name logging_name("logging");
    nb::object facade = a.global(logging_name);
    PyObject* r = PyObject_CallMethodOneArg(facade.ptr(), level, message.ptr());
    if (!r) raise_pending();
    Py_DECREF(r);
}

// The scope's log lines: prefix, name, verb, then the session's id in brackets.
void log_session(const Args& a, PyObject* level, PyObject* prefix, nb::handle name, PyObject* verb,
                 nb::handle session) {
    static Name open("「 session_id: "), close(" 」");
    log(a, level, concat({prefix, str_of(name), verb, open, id_text(session), close}));
}

struct Levels {
    Name debug{"debug"}, error{"error"}, warning{"warning"}, debug_line{"debug_line"};
};
const Levels& levels() {
    static const Levels l;
    return l;
}

// ---- registry -------------------------------------------------------------

nb::object construct(Args& a) {
    static Name instance_name("_instance"), lock_name("_lock"), init_name("_init_manager");
    nb::handle cls = a[0];
    nb::object instance = attr(cls, instance_name);
    if (!instance.is_none()) return instance;
    {
        ContextScope locked(attr(cls, lock_name));
        if (attr(cls, instance_name).is_none()) {
            nb::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
            nb::object fresh = object_type.attr("__new__")(cls);
            fresh.attr(init_name)();
            // Published only once fully initialised: the unlocked check above never
            // sees a half-made instance.
            if (PyObject_SetAttr(cls.ptr(), instance_name, fresh.ptr()) < 0) raise_pending();
        }
    }
    return attr(cls, instance_name);
}

nb::object init_manager(Args& a) {
    static Name engine_class("DatabaseEngine"), banner("初始化: AsyncSessionManager - 动态会话管理器");
    nb::handle self = a[0];
    nb::setattr(self, "_session_factories", nb::dict());
    nb::setattr(self, "_loaded_sources", nb::set());
    nb::setattr(self, "_database_engine", a.global(engine_class)());
    static Name logging_name("logging");
    a.global(logging_name).attr(levels().debug_line)();
    log(a, levels().debug, banner);
    return nb::none();
}

nb::object ensure_session_factory(Args& a) {
    static Name factories_name("_session_factories"), loaded_name("_loaded_sources"), lock_name("_lock"),
        engine_name("_database_engine"), get_engine("get_async_engine"), maker("async_sessionmaker"),
        session_class("AsyncSession"), created("会话工厂 动态创建 "), success(" 成功 "), add("add");
    nb::handle self = a[0], name = a[1];
    nb::str key = str_lower(name);
    nb::object factories = attr(self, factories_name);
    if (PyObject* found = PyDict_GetItemWithError(factories.ptr(), key.ptr())) return nb::borrow(found);
    if (PyErr_Occurred()) raise_pending();

    ContextScope locked(attr(self, lock_name));
    factories = attr(self, factories_name);
    if (PyObject* found = PyDict_GetItemWithError(factories.ptr(), key.ptr())) return nb::borrow(found);
    if (PyErr_Occurred()) raise_pending();
    nb::object engine = attr(self, engine_name).attr(get_engine)(key);
    nb::object factory = a.global(maker)(nb::arg("bind") = engine, nb::arg("class_") = a.global(session_class),
                                         nb::arg("expire_on_commit") = false, nb::arg("autoflush") = true,
                                         nb::arg("autocommit") = false);
    if (PyDict_SetItem(factories.ptr(), key.ptr(), factory.ptr()) < 0) raise_pending();
    attr(self, loaded_name).attr(add)(key);
    log(a, levels().debug, concat({created, str_of(name), success}));  // still under the lock
    return factory;
}

nb::object get_session_factory(Args& a) {
    static Name ensure("_ensure_session_factory");
    return a[0].attr(ensure)(a[1]);
}

nb::object support_schema(Args& a) {
    static Name engine_name("_database_engine"), support("support_schema");
    return attr(a[0], engine_name).attr(support)(a[1]);
}

Coro close_session_factory(Args a) {
    static Name factories_name("_session_factories"), loaded_name("_loaded_sources"), discard("discard"),
        closed("会话工厂 动态关闭 "), success(" 成功 ");
    nb::handle self = a[0], name = a[1];
    nb::str key = str_lower(name);
    nb::object factories = attr(self, factories_name);
    int present = PyDict_Contains(factories.ptr(), key.ptr());
    if (present < 0) raise_pending();
    if (present) {
        if (PyDict_DelItem(factories.ptr(), key.ptr()) < 0) raise_pending();
        attr(self, loaded_name).attr(discard)(key);
        log(a, levels().debug, concat({closed, str_of(name), success}));
    }
    co_return nb::none();
}

Coro close_all(Args a) {
    static Name factories_name("_session_factories"), loaded_name("_loaded_sources"), engine_name("_database_engine"),
        async_close("async_close"), clear("clear"), start("开始关闭所有数据库资源"),
        done("所有数据库资源关闭完成，共清理 "), unit(" 个会话工厂");
    nb::handle self = a[0];
    log(a, levels().debug, start);
    nb::object factories = attr(self, factories_name);
    nb::object count = str_of(nb::int_(nb::len(factories)));
    factories.attr(clear)();
    attr(self, loaded_name).attr(clear)();
    if (PyObject_HasAttrWithError(self.ptr(), engine_name) == 1)
        {
            nb::object awaitable = attr(self, engine_name).attr(async_close)();
            co_await awaitable;
        }
    else if (PyErr_Occurred())
        raise_pending();
    log(a, levels().debug, concat({done, count, unit}));
    co_return nb::none();
}

nb::object finalize(Args& a) {
    static Name engine_name("_database_engine"), close_name("close"),
        failed("AsyncSessionManager.__del__ 资源关闭异常: ");
    nb::handle self = a[0];
    try {
        int has = PyObject_HasAttrWithError(self.ptr(), engine_name);
        if (has < 0) raise_pending();
        if (has) attr(self, engine_name).attr(close_name)();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling scope(e.value());
        log(a, levels().warning, concat({failed, str_of(e.value())}));
    }
    return nb::none();
}

// ---- session scopes ---------------------------------------------------------

AsyncGen get_session(Args a) {
    static Name ensure("_ensure_session_factory"), sqlalchemy_error("SQLAlchemyError"), commit("commit"),
        rollback("rollback"), close("close"), ok_prefix("数据库会话 "), bad_prefix("数据库会话: "),
        acquired(" 获取成功 - "), committed(" 提交成功 - "), failed(" 操作异常 - "), rolled_back(" 回滚成功 - "),
        closed(" 关闭成功 - "), error_text("  错误信息: ");
    const Levels& lv = levels();
    nb::handle self = a[0], name = a[1];
    nb::object session = nb::none();

    Caught failure;
    try {
        nb::object factory = self.attr(ensure)(name);
        session = factory();
        log_session(a, lv.debug, ok_prefix, name, acquired, session);
        co_yield session;
        {
            nb::object awaitable = session.attr(commit)();
            co_await awaitable;
        }
        log_session(a, lv.debug, ok_prefix, name, committed, session);
    } catch (...) {
        failure.capture();
    }

    // Database errors are logged and rolled back; everything else only closes.
    Caught rollback_failure;
    if (failure && failure.matches(a.global(sqlalchemy_error))) {
        try {
            log_session(a, lv.error, bad_prefix, name, failed, session);
            log(a, lv.error, concat({error_text, str_of(failure.value())}));
            if (!session.is_none()) {
                {
                    nb::object awaitable = session.attr(rollback)();
                    co_await awaitable;
                }
                log_session(a, lv.debug, bad_prefix, name, rolled_back, session);
            }
        } catch (...) {
            rollback_failure.capture();
        }
    }
    if (!session.is_none()) {
        {
            nb::object awaitable = session.attr(close)();
            co_await awaitable;
        }
        log_session(a, lv.debug, bad_prefix, name, closed, session);
    }
    rollback_failure.rethrow();
    failure.rethrow();
}

Coro get_raw_session(Args a) {
    static Name ensure("_ensure_session_factory"), prefix("原始会话: "), acquired(" 获取成功 - ");
    nb::handle self = a[0], name = a[1];
    nb::object session = self.attr(ensure)(name)();
    log_session(a, levels().debug, prefix, name, acquired, session);
    co_return session;
}

// `async with AsyncConduit().get_session(name) as session: yield session`
AsyncGen scoped_dependency(Args a, nb::object name) {
    static Name conduit_class("AsyncConduit"), get_session_name("get_session"), aenter("__aenter__"),
        aexit("__aexit__");
    nb::object scope = a.global(conduit_class)().attr(get_session_name)(name);
    nb::object exit = scope.attr(aexit);
    nb::object session_awaitable = scope.attr(aenter)();
    nb::object session = co_await session_awaitable;
    Caught failure;
    try {
        co_yield session;
    } catch (...) {
        failure.capture();
    }
    nb::object leaving = exit_call(exit, failure);
    nb::object suppressed = co_await leaving;
    if (failure && !truthy(suppressed)) failure.rethrow();
}

AsyncGen get_async_session(Args a) {
    nb::object name = nb::borrow(a[1]);
    return scoped_dependency(std::move(a), std::move(name));
}

AsyncGen get_auth_async_session(Args a) {
    static Name auth("Auth");
    return scoped_dependency(std::move(a), nb::borrow(auth.handle()));
}

Coro health_check(Args a) {
    static Name asyncio_name("asyncio"), timeout_name("timeout"), get_session_name("get_session"), aenter("__aenter__"),
        aexit("__aexit__"), execute("execute"), scalar("scalar"), text_name("text"), probe("SELECT 1"),
        prefix("健康检查: "), passed(" 通过 - result: "), timed_out(" 超时 - timeout: "), seconds("s"),
        failed(" 失败 - error: ");
    const Levels& lv = levels();
    nb::handle self = a[0], name = a[1], timeout = a[2];
    bool healthy = false;

    Caught failure;
    try {
        nb::object limit = a.global(asyncio_name).attr(timeout_name)(timeout);
        nb::object limit_exit = limit.attr(aexit);
        {
            nb::object awaitable = limit.attr(aenter)();
            co_await awaitable;
        }
        Caught inner;
        try {
            nb::object scope = self.attr(get_session_name)(name);
            nb::object scope_exit = scope.attr(aexit);
            nb::object session_awaitable = scope.attr(aenter)();
            nb::object session = co_await session_awaitable;
            Caught body;
            try {
                nb::object result_awaitable = session.attr(execute)(a.global(text_name)(probe.handle()));
                nb::object result = co_await result_awaitable;
                nb::object value = result.attr(scalar)();
                log(a, lv.debug, concat({prefix, str_of(name), passed, str_of(value)}));
                healthy = value.equal(nb::int_(1));
            } catch (...) {
                body.capture();
            }
            nb::object leaving = exit_call(scope_exit, body);
            nb::object suppressed = co_await leaving;
            if (body && !truthy(suppressed)) body.rethrow();
        } catch (...) {
            inner.capture();
        }
        nb::object leaving = exit_call(limit_exit, inner);
        nb::object suppressed = co_await leaving;
        if (inner && !truthy(suppressed)) inner.rethrow();
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        if (failure.matches(PyExc_TimeoutError)) {
            // The float text form: a timeout of 5 reads "5.0".
            PyObject* as_float = PyNumber_Float(timeout.ptr());
            if (!as_float) raise_pending();
            nb::object seconds_text = str_of(nb::steal(as_float));
            log(a, lv.error, concat({prefix, str_of(name), timed_out, seconds_text, seconds}));
        } else if (failure.matches(PyExc_Exception)) {
            log(a, lv.error, concat({prefix, str_of(name), failed, str_of(failure.value())}));
        } else {
            failure.rethrow();  // cancellation and the like belong to the caller
        }
        co_return nb::bool_(false);
    }
    co_return nb::bool_(healthy);
}

}  // namespace conduit

NB_MODULE(conduit, m) {
    nb::object threading = import_module(m, "threading");
    import_module(m, "asyncio");
    nb::object asynccontextmanager = import_from(m, "contextlib", "asynccontextmanager");
    nb::object async_generator = import_from(m, "typing", "AsyncGenerator");
    nb::object maker = import_from(m, "sqlalchemy.ext.asyncio", "async_sessionmaker");
    import_from(m, "sqlalchemy", "text");
    import_from(m, "sqlalchemy.exc", "SQLAlchemyError");
    nb::object session_class = import_from(m, "sqlmodel.ext.asyncio.session", "AsyncSession");
    import_from(m, "..engine.database_engine", "DatabaseEngine");
    import_from(m, "..logger.logging_", "logging");

    nb::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::handle bool_type(reinterpret_cast<PyObject*>(&PyBool_Type));
    nb::handle float_type(reinterpret_cast<PyObject*>(&PyFloat_Type));
    nb::object session_stream = async_generator[nb::make_tuple(session_class, nb::none())];

    nb::object get_session = asynccontextmanager(make_function(
        m, {.name = "get_session",
            .doc = "数据库会话作用域：成功时提交，数据库异常时回滚，总是关闭会话。",
            .params = {{.name = "self"}, {.name = "name"}},
            .returns = session_stream,
            .body = async_generator_body(conduit::get_session),
            .flavor = Flavor::async_generator,
            .qualname = "AsyncConduit.get_session"}));

    ClassBuilder(m, "AsyncConduit")
        .doc("异步数据库会话管理器：按数据库名称动态创建会话工厂，提供会话作用域与健康检查。")
        .attr("_instance", nb::none())
        .attr("_lock", threading.attr("Lock")())
        .staticmethod({.name = "__new__", .params = {{.name = "cls"}}, .body = conduit::construct})
        .method({.name = "_init_manager", .params = {{.name = "self"}}, .body = conduit::init_manager})
        .method({.name = "_ensure_session_factory",
                 .params = {{.name = "self"}, {.name = "name", .annotation = nb::borrow(str_type), .exact = &PyUnicode_Type}},
                 .returns = maker,
                 .body = conduit::ensure_session_factory})
        .method({.name = "get_session_factory",
                 .params = {{.name = "self"}, {.name = "name"}},
                 .returns = maker,
                 .body = conduit::get_session_factory})
        .method({.name = "support_schema",
                 .params = {{.name = "self"}, {.name = "name", .annotation = nb::borrow(str_type), .exact = &PyUnicode_Type}},
                 .returns = nb::borrow(bool_type),
                 .body = conduit::support_schema})
        .method({.name = "close_session_factory",
                 .params = {{.name = "self"}, {.name = "name", .annotation = nb::borrow(str_type), .exact = &PyUnicode_Type}},
                 .body = coroutine_body(conduit::close_session_factory),
                 .flavor = Flavor::coroutine})
        .method({.name = "close_all",
                 .params = {{.name = "self"}},
                 .body = coroutine_body(conduit::close_all),
                 .flavor = Flavor::coroutine})
        .method({.name = "__del__", .params = {{.name = "self"}}, .body = conduit::finalize})
        .attr("get_session", get_session)
        .method({.name = "get_raw_session",
                 .params = {{.name = "self"}, {.name = "name"}},
                 .returns = session_class,
                 .body = coroutine_body(conduit::get_raw_session),
                 .flavor = Flavor::coroutine})
        .classmethod({.name = "get_async_session",
                      .params = {{.name = "cls"}, {.name = "name", .annotation = nb::borrow(str_type), .exact = &PyUnicode_Type}},
                      .returns = session_stream,
                      .body = async_generator_body(conduit::get_async_session),
                      .flavor = Flavor::async_generator})
        .classmethod({.name = "get_auth_async_session",
                      .params = {{.name = "cls"}},
                      .returns = session_stream,
                      .body = async_generator_body(conduit::get_auth_async_session),
                      .flavor = Flavor::async_generator})
        .method({.name = "health_check",
                 .params = {{.name = "self"},
                            {.name = "name"},
                            {.name = "timeout", .default_value = nb::float_(5.0), .annotation = nb::borrow(float_type)}},
                 .returns = nb::borrow(bool_type),
                 .body = coroutine_body(conduit::health_check),
                 .flavor = Flavor::coroutine})
        .build();
}
