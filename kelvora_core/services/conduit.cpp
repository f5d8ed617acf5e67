// Async database sessions: one process-wide registry of session factories, the
// session scope (commit / rollback / close), dependency generators and a probe.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace conduit {

// id(obj) as text, for the session lines.
nb::object id_of(nb::handle obj) {
    nb::object id = nb::steal(PyLong_FromVoidPtr(obj.ptr()));
    if (!id) raise_pending();
    return id;
}

constexpr Parameter self_{.name = "self"};
constexpr Parameter cls_{.name = "cls"};

// ---- registry -------------------------------------------------------------

// Published only once _init_manager has run: the unlocked check never hands out
// a half-made manager.
constexpr auto new_decl = staticmethod("__new__", {cls_});
nb::object new_(Call<new_decl> a) {
    return single_instance(a.get<"cls">(), "_init_manager"_n, Publish::after_load);
}

constexpr auto _init_manager_decl = method("_init_manager", {self_});
nb::object _init_manager(Call<_init_manager_decl> a) {
    auto [self] = a.params();
    nb::setattr(self, "_session_factories"_n, nb::dict());
    nb::setattr(self, "_loaded_sources"_n, nb::set());
    nb::setattr(self, "_database_engine"_n, a.global("DatabaseEngine"_n)());
    logger(a).debug_line();
    logger(a).debug("初始化: AsyncSessionManager - 动态会话管理器"_n);
    return nb::none();
}

// factories.get(key) for any mapping the attribute may have been replaced by;
// empty when the key is missing.
nb::object lookup(nb::handle factories, nb::handle key) {
    PyObject* found = nullptr;
    if (PyMapping_GetOptionalItem(factories.ptr(), key.ptr(), &found) < 0) raise_pending();
    return nb::steal(found);
}

constexpr auto _ensure_session_factory_decl =
    method("_ensure_session_factory", {self_, exact_str("name")}, {.returns = global("async_sessionmaker")});
nb::object _ensure_session_factory(Call<_ensure_session_factory_decl> a) {
    auto [self, name] = a.params();
    nb::str key = str_lower(name);
    if (nb::object factory = lookup(self.attr("_session_factories"_n), key)) return factory;

    nb::object lock = self.attr("_lock"_n);
    ContextScope locked(lock);
    nb::object factories = self.attr("_session_factories"_n);
    if (nb::object factory = lookup(factories, key)) return factory;
    nb::object engine = self.attr("_database_engine"_n).attr("get_async_engine"_n)(key);
    nb::object factory =
        a.global("async_sessionmaker"_n)("bind"_a = engine, "class_"_a = a.global("AsyncSession"_n),
                                         "expire_on_commit"_a = false, "autoflush"_a = true, "autocommit"_a = false);
    factories[key] = factory;
    self.attr("_loaded_sources"_n).attr("add"_n)(key);
    logger(a).debug("会话工厂 动态创建 {} 成功 "_n.format(name));  // still under the lock
    return factory;
}

constexpr auto get_session_factory_decl =
    method("get_session_factory", {self_, {.name = "name"}}, {.returns = global("async_sessionmaker")});
nb::object get_session_factory(Call<get_session_factory_decl> a) {
    auto [self, name] = a.params();
    return self.attr("_ensure_session_factory"_n)(name);
}

constexpr auto support_schema_decl = method("support_schema", {self_, exact_str("name")}, {.returns = &PyBool_Type});
nb::object support_schema(Call<support_schema_decl> a) {
    auto [self, name] = a.params();
    return self.attr("_database_engine"_n).attr("support_schema"_n)(name);
}

constexpr auto close_session_factory_decl = method("close_session_factory", {self_, exact_str("name")});
Coro close_session_factory(Call<close_session_factory_decl> a) {
    auto [self, name] = a.params();
    nb::str key = str_lower(name);
    nb::object factories = self.attr("_session_factories"_n);
    int present = PySequence_Contains(factories.ptr(), key.ptr());
    if (present < 0) raise_pending();
    if (present) {
        if (PyObject_DelItem(factories.ptr(), key.ptr()) < 0) raise_pending();
        self.attr("_loaded_sources"_n).attr("discard"_n)(key);
        logger(a).debug("会话工厂 动态关闭 {} 成功 "_n.format(name));
    }
    co_return nb::none();
}

constexpr auto close_all_decl = method("close_all", {self_});
Coro close_all(Call<close_all_decl> a) {
    auto [self] = a.params();
    logger(a).debug("开始关闭所有数据库资源"_n);
    nb::object factories = self.attr("_session_factories"_n);
    nb::object count = nb::int_(nb::len(factories));
    factories.attr("clear"_n)();
    self.attr("_loaded_sources"_n).attr("clear"_n)();
    if (nb::object engine = attr_or(self, "_database_engine"_n, nb::handle())) co_await engine.attr("async_close"_n)();
    logger(a).debug("所有数据库资源关闭完成，共清理 {} 个会话工厂"_n.format(count));
    co_return nb::none();
}

constexpr auto del_decl = method("__del__", {self_});
nb::object del_(Call<del_decl> a) {
    auto [self] = a.params();
    try {
        if (nb::object engine = attr_or(self, "_database_engine"_n, nb::handle())) engine.attr("close"_n)();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling scope(e.value());
        logger(a).warning("AsyncSessionManager.__del__ 资源关闭异常: {}"_n.format(e.value()));
    }
    return nb::none();
}

// ---- session scopes ---------------------------------------------------------

// The lines a scope writes for a database error. Not every one is its own to report: the
// framework throws a request's error into every session dependency of that request, so an
// error marked with another database belongs to that database's scope; an unavailable
// database is reported once per outage, not per request; data the database refused (a
// duplicate, a value too long) is the caller's to answer and only worth a debug line.
void log_failure(const Args& a, nb::handle name, nb::handle session, nb::handle error) {
    nb::object origin = a.global("database_of"_n)(error);
    if (!origin.is_none() && !origin.attr("lower"_n)().equal(str_of(name).attr("lower"_n)())) return;
    if (truthy(a.global("is_unavailable"_n)(error))) {
        a.global("outages"_n).attr("report"_n)(error, name);
        return;
    }
    nb::object failed = "数据库会话: {} 操作异常 - 「 session_id: {} 」"_n.format(name, id_of(session));
    nb::object text = "  错误信息: {}"_n.format(error);
    if (is_instance(error, a.global("IntegrityError"_n)) || is_instance(error, a.global("DataError"_n))) {
        logger(a).debug(failed);
        logger(a).debug(text);
    } else {
        logger(a).error(failed);
        logger(a).error(text);
    }
}

// The attribute the dependencies enter when nobody replaced it; remembered after the class is built.
OwnAttribute own_get_session;

// Whether `conduit.get_session` is still this module's scope, on the class and on the instance.
bool own_scope(nb::handle conduit) {
    if (!own_get_session.resolves(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(conduit.ptr()))))) return false;
    PyObject* dict = PyObject_GenericGetDict(conduit.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();  // no instance dict: nothing can shadow the class attribute
        return true;
    }
    int shadowed = PyDict_Contains(dict, "get_session"_n.ptr());
    Py_DECREF(dict);
    if (shadowed < 0) raise_pending();
    return shadowed == 0;
}

// The session scope. `self` None: a dependency's scope, that of the single instance; its own
// steps run right here unless get_session was replaced, then that is entered instead. One
// layer either way for the common case: no context manager around the generator. Its frame
// takes the call's arguments over.
template <const auto& D>
AsyncGen session_scope(Call<D> a, nb::object self, nb::object name) {
    if (self.is_none()) {
        self = a.global("AsyncConduit"_n)();
        if (!own_scope(self)) {
            AsyncWith scope(self.attr("get_session"_n)(name));
            nb::object session = co_await scope.enter();
            Caught body;
            try {
                co_yield session;
            } catch (...) {
                body.capture();
            }
            co_await scope.exit(body);
            co_return;
        }
    }
    nb::object session = nb::none();

    Caught failure;
    try {
        nb::object factory = self.attr("_ensure_session_factory"_n)(name);
        session = factory();
        if (Logger log = logger(a); log.debug_on())
            log.debug("数据库会话 {} 获取成功 - 「 session_id: {} 」"_n.format(name, id_of(session)));
        co_yield session;
        co_await session.attr("commit"_n)();
        if (Logger log = logger(a); log.debug_on())
            log.debug("数据库会话 {} 提交成功 - 「 session_id: {} 」"_n.format(name, id_of(session)));
    } catch (...) {
        failure.capture();
    }

    // Database errors are logged and rolled back; everything else only closes.
    Caught rollback_failure;
    if (failure && failure.matches(a.global("SQLAlchemyError"_n))) {
        try {
            log_failure(a, name, session, failure.value());
            if (!session.is_none()) {
                co_await session.attr("rollback"_n)();
                if (Logger log = logger(a); log.debug_on())
                    log.debug("数据库会话: {} 回滚成功 - 「 session_id: {} 」"_n.format(name, id_of(session)));
            }
        } catch (...) {
            rollback_failure.capture();
        }
    }
    if (!session.is_none()) {
        co_await session.attr("close"_n)();
        // The closing line carries the colon of the failure lines, success or not.
        if (Logger log = logger(a); log.debug_on())
            log.debug("数据库会话: {} 关闭成功 - 「 session_id: {} 」"_n.format(name, id_of(session)));
    }
    rollback_failure.rethrow();
    failure.rethrow();
}

// AsyncGenerator[AsyncSession, None], the return annotation of get_session (wrapped by
// asynccontextmanager) and of the two dependencies below.
constexpr Value session_stream = made([](nb::handle m) -> nb::object {
    return m.attr("AsyncGenerator")[nb::make_tuple(m.attr("AsyncSession"), nb::none())];
});

constexpr auto get_session_decl = method("get_session", {self_, {.name = "name"}},
                                         {.doc = "数据库会话作用域：成功时提交，数据库异常时回滚，总是关闭会话。",
                                          .returns = session_stream,
                                          .decorator = global("asynccontextmanager")});
AsyncGen get_session(Call<get_session_decl> a) {
    auto [self, name] = a.params();
    return session_scope(std::move(a), nb::borrow(self), nb::borrow(name));
}

constexpr auto get_raw_session_decl =
    method("get_raw_session", {self_, {.name = "name"}}, {.returns = global("AsyncSession")});
Coro get_raw_session(Call<get_raw_session_decl> a) {
    auto [self, name] = a.params();
    nb::object session = self.attr("_ensure_session_factory"_n)(name)();
    if (Logger log = logger(a); log.debug_on())
        log.debug("原始会话: {} 获取成功 - 「 session_id: {} 」"_n.format(name, id_of(session)));
    co_return session;
}

// async with AsyncConduit().get_session(name) as session: yield session
constexpr auto get_async_session_decl =
    classmethod("get_async_session", {cls_, exact_str("name")}, {.returns = session_stream});
AsyncGen get_async_session(Call<get_async_session_decl> a) {
    nb::object name = nb::borrow(a.get<"name">());
    return session_scope(std::move(a), nb::none(), std::move(name));
}

constexpr auto get_auth_async_session_decl = classmethod("get_auth_async_session", {cls_}, {.returns = session_stream});
AsyncGen get_auth_async_session(Call<get_auth_async_session_decl> a) {
    return session_scope(std::move(a), nb::none(), nb::borrow("Auth"_n));
}

// The timeout as the probe line shows it: in seconds as a float ("5.0" for 5).
nb::object seconds_text(nb::handle timeout) {
    PyObject* seconds = PyNumber_Float(timeout.ptr());
    if (seconds) return str_of(nb::steal(seconds));
    PyErr_Clear();  // None (no limit) and the like: shown as they are
    return str_of(timeout);
}

constexpr auto health_check_decl = method(
    "health_check", {self_, {.name = "name"}, {.name = "timeout", .default_value = 5.0, .annotation = &PyFloat_Type}},
    {.returns = &PyBool_Type});
Coro health_check(Call<health_check_decl> a) {
    auto [self, name, timeout] = a.params();
    bool healthy = false;

    Caught failure;
    try {
        AsyncWith limit(a.global("asyncio"_n).attr("timeout"_n)(timeout));
        co_await limit.enter();
        Caught limited;
        try {
            AsyncWith scope(self.attr("get_session"_n)(name));
            nb::object session = co_await scope.enter();
            Caught body;
            try {
                nb::object result = co_await session.attr("execute"_n)(a.global("text"_n)("SELECT 1"_n));
                nb::object value = result.attr("scalar"_n)();
                logger(a).debug("健康检查: {} 通过 - result: {}"_n.format(name, value));
                healthy = value.equal(nb::int_(1));
            } catch (...) {
                body.capture();
            }
            co_await scope.exit(body);
        } catch (...) {
            limited.capture();
        }
        co_await limit.exit(limited);
    } catch (...) {
        failure.capture();
    }
    if (!failure) co_return nb::bool_(healthy);
    if (failure.matches(PyExc_TimeoutError))
        logger(a).error("健康检查: {} 超时 - timeout: {}s"_n.format(name, seconds_text(timeout)));
    else if (failure.matches(PyExc_Exception))
        logger(a).error("健康检查: {} 失败 - error: {}"_n.format(name, failure.value()));
    else
        failure.rethrow();  // cancellation and the like belong to the caller
    co_return nb::bool_(false);
}

}  // namespace conduit

NB_MODULE(conduit, m) {
    nb::object threading = import_module(m, "threading");
    import_module(m, "asyncio");
    import_from(m, "contextlib", "asynccontextmanager");
    import_from(m, "typing", "AsyncGenerator");
    import_from(m, "sqlalchemy.ext.asyncio", "async_sessionmaker");
    import_from(m, "sqlalchemy", "text");
    import_from(m, "sqlalchemy.exc", {"SQLAlchemyError", "IntegrityError", "DataError"});
    import_from(m, "sqlmodel.ext.asyncio.session", "AsyncSession");
    import_from(m, "..engine.database_engine", "DatabaseEngine");
    import_from(m, "..logger.logging_", "logging");
    import_from(m, "..engine.availability", {"database_of", "is_unavailable", "outages"});

    nb::object conduit_class =
        ClassBuilder(m, "AsyncConduit")
            .doc("异步数据库会话管理器：按数据库名称动态创建会话工厂，提供会话作用域与健康检查。")
            .attr("_instance", nb::none())
            .attr("_lock", threading.attr("Lock")())
            .add(conduit::new_, conduit::_init_manager, conduit::_ensure_session_factory, conduit::get_session_factory,
                 conduit::support_schema, conduit::close_session_factory, conduit::close_all, conduit::del_,
                 conduit::get_session, conduit::get_raw_session, conduit::get_async_session,
                 conduit::get_auth_async_session, conduit::health_check)
            .build();
    conduit::own_get_session.remember(conduit_class, "get_session"_n);
}
