// The application object: start-up reports, the web application, router
// discovery, the lifespan with its start-up checks, and the engines.
#include <nanobind/nanobind.h>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace keystone {

// entry.get(key): None when the key is missing.
nb::object get_item(nb::handle entry, nb::handle key) {
    return entry.attr("get"_n)(key);
}

constexpr Parameter self_param{.name = "self"};
constexpr Parameter cls_param{.name = "cls"};
constexpr Parameter func_param{.name = "func", .annotation = global("Callable")};

// ---- object and handlers --------------------------------------------------------

constexpr auto init_decl = method("__init__", {self_param});
nb::object init_(Call<init_decl> a) {
    nb::handle self = a.get<"self">();
    nb::setattr(self, "_startup_handlers"_n, nb::list());
    nb::setattr(self, "_shutdown_handlers"_n, nb::list());
    nb::setattr(self, "_before_services_handlers"_n, nb::list());
    nb::object cls = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
    cls.attr("_init_environment"_n)();
    cls.attr("_init_print_banner"_n)();
    nb::setattr(self, "fastapi"_n, nb::none());
    return nb::none();
}

constexpr auto run_decl =
    method("run", {self_param}, {.doc = "构建 Web 应用：FastAPI、启动处理、引擎、路由、异常处理；不启动服务器。"});
nb::object run(Call<run_decl> a) {
    nb::handle self = a.get<"self">();
    nb::setattr(self, "fastapi"_n, self.attr("_init_fastapi"_n)());
    self.attr("_event_startup"_n)();
    self.attr("_init_engine"_n)();
    self.attr("_router_scan"_n)();
    self.attr("_init_exception"_n)();
    return nb::none();
}

constexpr auto startup_decl = method("startup", {self_param, func_param},
                                     {.doc = "注册启动处理（装饰器），原样返回 func。", .returns = global("Callable")});
nb::object startup(Call<startup_decl> a) {
    auto [self, func] = a.params();
    self.attr("_startup_handlers"_n).attr("append"_n)(func);
    return nb::borrow(func);
}

constexpr auto shutdown_decl =
    method("shutdown", {self_param, func_param},
           {.doc = "注册关闭处理（装饰器），原样返回 func。", .returns = global("Callable")});
nb::object shutdown(Call<shutdown_decl> a) {
    auto [self, func] = a.params();
    self.attr("_shutdown_handlers"_n).attr("append"_n)(func);
    return nb::borrow(func);
}

constexpr auto _event_startup_decl = method("_event_startup", {self_param});
nb::object _event_startup(Call<_event_startup_decl> a) {
    nb::handle self = a.get<"self">();
    nb::object app = self.attr("fastapi"_n);
    for (nb::handle handler : self.attr("_startup_handlers"_n)) handler(app);
    return nb::none();
}

constexpr auto _event_shutdown_decl = method("_event_shutdown", {self_param});
Coro _event_shutdown(Call<_event_shutdown_decl> a) {
    nb::handle self = a.get<"self">();
    nb::object handlers = a.global("reversed"_n)(self.attr("_shutdown_handlers"_n));
    for (nb::handle handler : handlers) {
        nb::object call = nb::borrow(handler);
        if (truthy(a.global("asyncio"_n).attr("iscoroutinefunction"_n)(call)))
            co_await call();
        else
            call();
    }
    co_return nb::none();
}

// ---- start-up reports -------------------------------------------------------------

constexpr auto _init_environment_decl = classmethod("_init_environment", {cls_param});
nb::object _init_environment(Call<_init_environment_decl> a) {
    nb::object config = a.global("AppConfig"_n);
    nb::object env = config.attr("environment"_n);
    Logger log = logger(a);
    log.info_line();
    log.info("启动应用: {} "_n.format(config.attr("webapp"_n).attr("name"_n)).attr("center"_n)(45));
    log.info_line();
    log.info("工作目录: {}"_n.format(a.global("CoreUtil"_n).attr("get_root_path"_n)()));
    log.info("环境配置: {}「{}」"_n.format(env.attr("model"_n), env.attr("model_desc"_n)));
    log.info("日志级别: {}「{}」"_n.format(env.attr("logging_level"_n), env.attr("logging_level_desc"_n)));
    log.info("软件版本: {}"_n.format(config.attr("webapp"_n).attr("version"_n)));
    // reload is read twice, once for the count and once for the suffix.
    nb::object workers = nb::int_(1);
    if (!truthy(config.attr("webapp"_n).attr("reload"_n))) workers = config.attr("webapp"_n).attr("workers"_n);
    nb::object suffix = nb::borrow(""_n);
    if (truthy(config.attr("webapp"_n).attr("reload"_n))) suffix = nb::borrow("- 自动重启"_n);
    log.info("工作进程: {} 个 {}"_n.format(workers, suffix));
    return nb::none();
}

constexpr auto _init_print_banner_decl = classmethod("_init_print_banner", {cls_param});
nb::object _init_print_banner(Call<_init_print_banner_decl> a) {
    const long align_length = 80;
    nb::object rule = "─"_n.attr("__mul__"_n)(align_length);
    nb::handle notice = "Kelvora · 数据管理服务后端框架 · 接口文档: /docs  /redoc"_n;
    nb::object middle = notice.attr("center"_n)(align_length - 4);
    a.global("print"_n)("┌{}┐\n│{}│\n└{}┘ "_n.format(rule, middle, rule));
    return nb::none();
}

// ---- web application --------------------------------------------------------------

constexpr auto _init_fastapi_decl = method("_init_fastapi", {self_param}, {.returns = global("FastAPI")});
nb::object _init_fastapi(Call<_init_fastapi_decl> a) {
    nb::handle self = a.get<"self">();
    logger(a).debug_line();
    logger(a).debug("FastAPI 初始化..."_n);
    nb::object webapp = a.global("AppConfig"_n).attr("webapp"_n);
    nb::object app = a.global("FastAPI"_n)("title"_a = webapp.attr("name"_n), "version"_a = webapp.attr("version"_n),
                                           "lifespan"_a = self.attr("_lifespan"_n), "docs_url"_a = nb::none(),
                                           "redoc_url"_a = nb::none());
    nb::object files = a.global("StaticFiles"_n)("directory"_a = "static"_n);
    app.attr("mount"_n)("/static"_n, files, "name"_a = "static"_n);
    nb::object html = a.global("HTMLResponse"_n);
    app.attr("get"_n)("/docs"_n, "response_class"_a = html, "include_in_schema"_a = false)(a.global("_custom_docs"_n));
    app.attr("get"_n)("/redoc"_n, "response_class"_a = html, "include_in_schema"_a = false)(a.global("_redoc_docs"_n));
    // A stop signal ends the service within a grace period, whatever serves it.
    app.attr("add_middleware"_n)(a.global("StopGate"_n));
    return app;
}

// The documentation pages' handlers, registered by _init_fastapi.
constexpr auto custom_docs_decl = function("custom_docs", {.doc = "Swagger UI 文档页，资源全部来自 /static。"});
Coro custom_docs(Call<custom_docs_decl> a) {
    co_return a.global("get_swagger_ui_html"_n)(
        "openapi_url"_a = "/openapi.json"_n, "title"_a = "Kelvora Restful API 文档"_n,
        "swagger_js_url"_a = "/static/swagger-ui-bundle.js"_n, "swagger_css_url"_a = "/static/swagger-ui.css"_n,
        "swagger_favicon_url"_a = "/static/favicon.png"_n);
}

// The ReDoc page, byte for byte: it starts with a line feed and ends with a line
// feed and four spaces; the empty-looking line in the style holds eight spaces.
constexpr auto redoc_docs_decl = function("redoc_docs", {.doc = "ReDoc 文档页，资源全部来自 /static。"});
Coro redoc_docs(Call<redoc_docs_decl>) {
    co_return R"page(
<!DOCTYPE html>
<html>
<head>
    <title>Kelvora Restful API 文档</title>
    <!-- 使用本地字体或系统字体 -->
    <style>
        body {
            font-family: -apple-system, BlinkMacSystemFont, 'Segoe UI', Roboto, Oxygen, Ubuntu, Cantarell, sans-serif;
            margin: 0;
            padding: 0;
        }
        .hqgvLZ {
            width: 20% !important;
            top:0 !important;
        }
        .api-info {
            display: none !important;
        }
        .hutltu{
            padding: 0 40px !important;
        }
        .chOOHy{
            padding: 10px 0 0 0 !important;
        }
        .kzhJjR{
            padding: 20px 0 !important;
        }
        
    </style>
    <meta charset="utf-8"/>
    <meta name="viewport" content="width=device-width, initial-scale=1">
    <link rel="icon" type="image/png" href="/static/favicon.png">
</head>
<body>
    <div id="redoc-container"></div>
    <script src="/static/redoc.standalone.js"></script>
    <script>
        Redoc.init(
            '/openapi.json',
            {
                scrollYOffset: 50,
                hideDownloadButton: false,
                expandResponses: "200,201",
                pathInMiddlePanel: true
            },
            document.getElementById('redoc-container')
        );
    </script>
</body>
</html>
    )page"_n;
}

constexpr auto _init_exception_decl = method("_init_exception", {self_param});
nb::object _init_exception(Call<_init_exception_decl> a) {
    logger(a).debug("加载: 全局异常处理 "_n);
    a.global("register_exception_handlers"_n)(a.get<"self">().attr("fastapi"_n));
    return nb::none();
}

// ---- routers ------------------------------------------------------------------------

constexpr auto _router_override_tags_decl =
    staticmethod("_router_override_tags", {{.name = "router"}, {.name = "new_tags"}});
nb::object _router_override_tags(Call<_router_override_tags_decl> a) {
    auto [router, new_tags] = a.params();
    bool is_list = PyList_Check(new_tags.ptr());
    for (nb::handle route : router.attr("routes"_n)) {
        if (!has_attr(route, "tags"_n)) continue;
        nb::object tags;
        if (is_list) {
            tags = nb::steal(PySequence_List(new_tags.ptr()));
            if (!tags) raise_pending();
        } else {
            nb::list one;
            one.append(new_tags);
            tags = std::move(one);
        }
        nb::setattr(route, "tags"_n, tags);
    }
    return nb::none();
}

bool has_tags(nb::handle tags) {
    return truthy(tags) && nb::len(tags) > 0;
}

constexpr auto _router_scan_decl = method("_router_scan", {self_param});
nb::object _router_scan(Call<_router_scan_decl> a) {
    nb::handle self = a.get<"self">();
    Logger log = logger(a);
    log.debug_line();
    log.debug("加载: .yaml - routers "_n);
    log.debug_line();

    nb::handle core = "kelvora_core"_n;
    nb::list enabled_routers;
    enabled_routers.append(a.global("RouterConfigSetting"_n)("name"_a = core));
    for (nb::handle router : a.global("AppConfig"_n).attr("routers"_n)) {
        nb::object name = router.attr("name"_n);
        if (name.equal(core)) continue;
        if (truthy(router.attr("enabled"_n)))
            enabled_routers.append(router);
        else
            log.warning("router 禁用 name: {} 如需启用，请设置 enabled: true "_n.format(name));
    }

    nb::list include_router_dic;
    nb::object auth_router = a.global("AuthRouter"_n);
    for (nb::handle router : enabled_routers) {
        nb::object name = router.attr("name"_n), prefix = router.attr("prefix"_n), tags = router.attr("tags"_n);
        log.debug("name -> {} - prefix: {} - tags: {}"_n.format(name, prefix, tags));
        nb::object classes_instances =
            a.global("ClassScanner"_n)
                .attr("find_classes_instances"_n)("package_name"_a = name, "base_class"_a = auth_router,
                                                  "predicate"_a = nb::none());
        long router_count = 0;
        for (nb::handle item : classes_instances.attr("items"_n)()) {
            nb::object val = item[1];
            nb::object default_tags = nb::list();
            nb::object own = val.attr("tags"_n);
            if (has_tags(own)) default_tags = own;
            nb::object configured = router.attr("tags"_n);
            if (has_tags(configured)) default_tags = configured;
            self.attr("_router_override_tags"_n)(val, default_tags);
            nb::object router_prefix = router.attr("prefix"_n);
            nb::dict entry;
            entry["router"_n] = val;
            entry["prefix"_n] = truthy(router_prefix) ? router_prefix : nb::borrow(""_n);
            include_router_dic.append(entry);
            ++router_count;
        }
        log.debug("发现 {} 个 router "_n.format(router_count));
    }
    log.debug("注册 -> include_router ..."_n);
    self.attr("_router_include"_n)(include_router_dic);
    return nb::none();
}

constexpr auto _router_include_decl = method("_router_include", {self_param, {.name = "controllers"}});
nb::object _router_include(Call<_router_include_decl> a) {
    auto [self, controllers] = a.params();
    for (nb::handle entry : controllers) {
        nb::object router = get_item(entry, "router"_n);
        if (is_instance(router, a.global("AuthRouter"_n))) {
            self.attr("fastapi"_n)
                .attr("include_router"_n)(get_item(entry, "router"_n), "prefix"_a = get_item(entry, "prefix"_n),
                                          "tags"_a = get_item(entry, "tags"_n));
        } else {
            nb::object tags = get_item(entry, "tags"_n), prefix = get_item(entry, "prefix"_n);
            // A router without a prefix of its own (or no router at all) is still only warned about.
            nb::object own_prefix = attr_or(router, "prefix"_n, ""_n);
            nb::object path = "{}{}"_n.format(prefix, own_prefix);
            a.global("logging"_n)
                .attr("warning"_n)(
                    "message"_a =
                        "忽略 基于「APIRouter」路由 {} - {} - 请修改为「AuthRouter」路由。"_n.format(tags, path));
        }
    }
    // Each request then matches the routes of the router it goes to once, not twice.
    a.global("match_once"_n)(self.attr("fastapi"_n));
    return nb::none();
}

// ---- work before the services start: the public hook of a service's own start-up -------

constexpr auto before_services_decl =
    method("before_services", {self_param, func_param},
           {.doc = "注册服务启动前的处理（装饰器）：数据库检查与默认账户之后、权限与枚举加载之前，"
                   "以 app 调用（协程函数则等待）；原样返回 func。",
            .returns = global("Callable")});
nb::object before_services(Call<before_services_decl> a) {
    auto [self, func] = a.params();
    self.attr("_before_services_handlers"_n).attr("append"_n)(func);
    return nb::borrow(func);
}

// In registration order, over a copy (a handler may register another for the next start).
Coro before_services_handlers(Args& a, nb::handle self, nb::handle app) {
    nb::object handlers = nb::steal(PySequence_List(self.attr("_before_services_handlers"_n).ptr()));
    if (!handlers) raise_pending();
    for (nb::handle handler : handlers) {
        nb::object call = nb::borrow(handler);
        if (truthy(a.global("asyncio"_n).attr("iscoroutinefunction"_n)(call)))
            co_await call(app);
        else
            call(app);
    }
    co_return nb::none();
}

// ---- lifespan -------------------------------------------------------------------------

// The application's lifespan: an async generator made a context manager by its decorator.
constexpr auto _lifespan_decl =
    method("_lifespan", {self_param, {.name = "app", .annotation = global("FastAPI")}},
           {.doc = "生命周期：启动时检查数据库与默认账户并启动服务，退出时执行关闭处理并释放引擎。",
            .returns = made([](nb::handle m) -> nb::object {
                return m.attr("AsyncGenerator")[nb::make_tuple(nb::none(), nb::none())];
            }),
            .decorator = global("asynccontextmanager")});
AsyncGen _lifespan(Call<_lifespan_decl> a) {
    auto [self, app] = a.params();
    Caught failure;
    try {
        co_await self.attr("_lifespan_check_database"_n)();
        co_await self.attr("_lifespan_check_admin_user"_n)();
        co_await before_services_handlers(a, self, app);
        co_await self.attr("_lifespan_services"_n)();
        nb::object title;
        {
            PyObject* found = nullptr;
            nb::object attributes = app.attr("__dict__"_n);
            if (PyMapping_GetOptionalItem(attributes.ptr(), "title"_n.ptr(), &found) < 0) raise_pending();
            title = found ? nb::steal(found) : nb::none();
        }
        logger(a).debug_line();
        logger(a).debug("启动结束: {}"_n.format(title));
        logger(a).debug_line();
        co_yield nb::none();
    } catch (...) {
        failure.capture();
    }
    logger(a).debug_line();
    logger(a).debug("应用正在关闭..."_n);
    logger(a).debug_line();
    co_await self.attr("_event_shutdown"_n)();
    co_await self.attr("_unload_engine"_n)();
    failure.rethrow();
}

bool is_prod(const Args& a) {
    return truthy(a.global("AppConfig"_n).attr("environment"_n).attr("is_prod"_n));
}

Coro check_registry(Args& a, nb::handle registry) {
    nb::object engine_name = registry.attr("engine_name"_n);
    logger(a).debug("检查 RegistryModel - {} 的数据库..."_n.format(engine_name));
    nb::object synced =
        co_await a.global("Surveyor"_n).attr("metadata_to_database"_n)(registry.attr("metadata"_n), engine_name);
    nb::setattr(registry, "metadata"_n, synced);
    co_return nb::none();
}

// ---- production start --------------------------------------------------------------
// Production creates nothing, but says what is wrong: a missing table would otherwise only
// show later, as failures that look like something else (every login a 401).

// The table names of one registry that its database lacks, schema-qualified as MetaData keys.
Coro missing_tables(Args& a, nb::handle registry) {
    nb::object engine_name = registry.attr("engine_name"_n);
    nb::object database = a.global("DatabaseEngine"_n)();
    bool schemas = truthy(database.attr("support_schema"_n)(engine_name));
    nb::dict wanted;  // schema (None: the default one) -> qualified names
    for (nb::handle table : registry.attr("metadata"_n).attr("tables"_n).attr("values"_n)()) {
        nb::object schema = schemas ? nb::object(table.attr("schema"_n)) : nb::none();
        nb::object name =
            schema.is_none() ? nb::object(table.attr("name"_n)) : "{}.{}"_n.format(schema, table.attr("name"_n));
        wanted.attr("setdefault"_n)(schema, nb::list()).attr("append"_n)(name);
    }
    nb::list missing;
    if (nb::len(wanted) == 0) co_return missing;
    AsyncWith connection(database.attr("get_async_engine"_n)(engine_name).attr("connect"_n)());
    nb::object conn = co_await connection.enter();
    Caught body;
    try {
        nb::object groups = nb::steal(PySequence_List(wanted.attr("items"_n)().ptr()));
        if (!groups) raise_pending();
        for (nb::handle group : groups) {
            nb::object existing = co_await conn.attr("run_sync"_n)(a.global("_table_names"_n), group[0]);
            for (nb::handle name : group[1])
                if (!contains(existing, name)) missing.append(name);
        }
    } catch (...) {
        body.capture();
    }
    co_await connection.exit(body);
    co_return missing;
}

Coro report_missing_tables(Args& a) {
    nb::list registries;
    registries.append(import_local(a, "..portal_auth", "auth_registry"));
    nb::object settings = nb::steal(PySequence_List(a.global("AppConfig"_n).attr("routers"_n).ptr()));
    if (!settings) raise_pending();
    for (nb::handle setting : settings) {
        if (setting.attr("name"_n).equal("kelvora_core"_n) || !truthy(setting.attr("enabled"_n))) continue;
        nb::object found =
            a.global("ClassScanner"_n)
                .attr("find_classes_instances"_n)("package_name"_a = setting.attr("name"_n),
                                                  "base_class"_a = a.global("registry"_n), "predicate"_a = nb::none());
        nb::object values = nb::steal(PySequence_List(found.attr("values"_n)().ptr()));
        if (!values) raise_pending();
        for (nb::handle item : values) registries.append(item);
    }
    for (nb::handle registry : registries) {
        nb::object engine_name = attr_or(registry, "engine_name"_n, nb::none());
        Caught failure;
        try {
            nb::object missing = co_await missing_tables(a, registry);
            for (nb::handle name : missing)
                logger(a).error("缺少数据表: {} - {}（生产环境不会自动建表，请先创建）"_n.format(engine_name, name));
        } catch (...) {
            failure.capture();
        }
        if (failure) {
            if (!failure.matches(PyExc_Exception)) failure.rethrow();
            logger(a).error("无法检查 {} 数据库的数据表: {}"_n.format(engine_name, str_of(failure.value())));
        }
    }
    co_return nb::none();
}

// The account row of one configured default user name, or None.
Coro find_account(Args& a, nb::handle db, nb::handle auth_user, nb::handle username) {
    nb::object condition = nb::steal(PyObject_RichCompare(auth_user.attr("username"_n).ptr(), username.ptr(), Py_EQ));
    if (!condition) raise_pending();
    co_return co_await a.global("QueryService"_n)
        .attr("query_columns_first"_n)(db, "model_class"_a = auth_user, "condition"_a = condition);
}

// A default account created outside production keeps its name as password until changed:
// anyone can log in as it.
Coro warn_default_passwords(Args& a) {
    nb::object db = co_await a.global("AsyncConduit"_n)().attr("get_raw_session"_n)("Auth"_n);
    Caught failure;
    try {
        // Accounts of every tenant.
        a.global("TenantManager"_n).attr("disable"_n)();
        nb::object auth_user = import_local(a, "..portal_auth.entity_table.auth_user", "AuthUser");
        nb::object users =
            nb::steal(PySequence_List(a.global("AppConfig"_n).attr("auth"_n).attr("default_admin_users"_n).ptr()));
        if (!users) raise_pending();
        for (nb::handle admin_user : users) {
            nb::object found = co_await find_account(a, db, auth_user, admin_user);
            if (!truthy(found)) continue;
            nb::object same = co_await a.global("PasswordPool"_n)
                                  .attr("call"_n)(a.global("Warden"_n).attr("verify_password"_n), str_of(admin_user),
                                                  found.attr("password"_n));
            if (truthy(same)) logger(a).warning("默认账户 {} 的密码仍与账号相同，请立即修改"_n.format(admin_user));
        }
    } catch (...) {
        failure.capture();
    }
    co_await db.attr("close"_n)();
    if (failure) {
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        logger(a).error("无法检查默认账户的密码: {}"_n.format(str_of(failure.value())));
    }
    co_return nb::none();
}

// Each check runs under the service-wide start-up lock: processes started side by side
// (any launcher's workers) take turns, so the first creates what is missing and the others
// find it there instead of failing on a duplicate.
Coro under_startup_lock(Args& a, Coro (*check)(Args&)) {
    AsyncWith lock(a.global("startup_lock"_n)());
    co_await lock.enter();
    Caught failure;
    try {
        co_await check(a);
    } catch (...) {
        failure.capture();
    }
    co_await lock.exit(failure);
    co_return nb::none();
}

Coro check_database_locked(Args& a);
Coro check_admin_user_locked(Args& a);

constexpr auto _lifespan_check_database_decl = staticmethod("_lifespan_check_database");
Coro _lifespan_check_database(Call<_lifespan_check_database_decl> a) {
    if (is_prod(a)) {
        co_await report_missing_tables(a);
        co_return nb::none();
    }
    co_await under_startup_lock(a, check_database_locked);
    co_return nb::none();
}

constexpr auto _lifespan_check_admin_user_decl = staticmethod("_lifespan_check_admin_user");
Coro _lifespan_check_admin_user(Call<_lifespan_check_admin_user_decl> a) {
    if (is_prod(a)) {
        co_await warn_default_passwords(a);
        co_return nb::none();
    }
    co_await under_startup_lock(a, check_admin_user_locked);
    co_return nb::none();
}

Coro check_database_locked(Args& a) {
    nb::handle core = "kelvora_core"_n;

    nb::object core_setting;
    for (nb::handle setting : a.global("AppConfig"_n).attr("routers"_n))
        if (setting.attr("name"_n).equal(core)) {
            core_setting = nb::borrow(setting);
            break;
        }
    if (core_setting && truthy(core_setting.attr("check_database"_n))) {
        logger(a).debug_line();
        logger(a).debug("搜索 kelvora_core 的数据源...."_n);
        nb::object auth_registry = import_local(a, "..portal_auth", "auth_registry");
        co_await check_registry(a, auth_registry);
    }

    // A list first: the settings may be replaced while a check is awaited.
    nb::object settings = nb::steal(PySequence_List(a.global("AppConfig"_n).attr("routers"_n).ptr()));
    if (!settings) raise_pending();
    for (nb::handle setting : settings) {
        nb::object name = setting.attr("name"_n);
        if (name.equal(core)) continue;
        if (name.equal("kelvora_common"_n)) nb::setattr(setting, "prefix"_n, ""_n);
        if (!(truthy(setting.attr("enabled"_n)) && truthy(setting.attr("check_database"_n)))) continue;
        logger(a).debug_line();
        logger(a).debug("搜索 {} 的数据源...."_n.format(name));
        nb::object classes_instances =
            a.global("ClassScanner"_n)
                .attr("find_classes_instances"_n)("package_name"_a = name, "base_class"_a = a.global("registry"_n),
                                                  "predicate"_a = nb::none());
        nb::object items = nb::steal(PySequence_List(classes_instances.attr("items"_n)().ptr()));
        if (!items) raise_pending();
        for (nb::handle item : items) co_await check_registry(a, item[1]);
    }
    co_return nb::none();
}

Coro check_admin_user_locked(Args& a) {
    nb::object db = co_await a.global("AsyncConduit"_n)().attr("get_raw_session"_n)("Auth"_n);

    // The raw session is the caller's: closed here whatever happens, so a failed
    // check does not keep a pooled connection checked out.
    Caught failure;
    try {
        logger(a).debug_line();
        logger(a).debug("检查默认管理员账户..."_n);
        nb::object tenant_id = a.global("AppConfig"_n).attr("get_default_tenant_id"_n)();
        a.global("TenantManager"_n).attr("set"_n)("username"_a = "系统初始化"_n, "tenant_id"_a = tenant_id);
        nb::object auth_user = import_local(a, "..portal_auth.entity_table.auth_user", "AuthUser");
        nb::object auth_user_register = import_local(a, "..portal_auth.entity_table.auth_user", "AuthUserRegister");

        nb::object configured = a.global("AppConfig"_n).attr("auth"_n).attr("default_admin_users"_n);
        nb::object users = nb::steal(PySequence_List(configured.ptr()));
        if (!users) raise_pending();
        for (nb::handle admin_user : users) {
            nb::object found = co_await find_account(a, db, auth_user, admin_user);
            if (truthy(found)) {
                logger(a).debug("{} 已存在"_n.format(admin_user));
                continue;
            }
            // Off the event loop, like every password hash.
            nb::object password = co_await a.global("PasswordPool"_n)
                                      .attr("call"_n)(a.global("Warden"_n).attr("hash_password"_n), admin_user);
            nb::object register_model =
                auth_user_register("username"_a = admin_user, "name"_a = admin_user, "password"_a = password);
            co_await a.global("DataService"_n)
                .attr("create"_n)(db, "model_class"_a = auth_user, "create_model"_a = register_model,
                                  "response_class"_a = auth_user, "auto_commit"_a = false);
            logger(a).debug("创建 - {} [密码与账号相同]"_n.format(admin_user));
        }
        co_await db.attr("commit"_n)();
    } catch (...) {
        failure.capture();
    }
    co_await db.attr("close"_n)();
    failure.rethrow();
    co_return nb::none();
}

constexpr auto _lifespan_services_decl = method("_lifespan_services", {self_param});
Coro _lifespan_services(Call<_lifespan_services_decl> a) {
    nb::handle self = a.get<"self">();
    co_await self.attr("_service_permission"_n)();
    nb::list tasks;
    tasks.append(self.attr("_service_enums"_n)());
    nb::list pending;
    for (nb::handle task : tasks)
        if (truthy(task)) pending.append(task);
    nb::object gathered = a.global("asyncio"_n).attr("gather"_n)(*pending);
    co_await gathered;
    co_return nb::none();
}

constexpr auto _service_enums_decl = classmethod("_service_enums", {cls_param});
Coro _service_enums(Call<_service_enums_decl> a) {
    co_await a.global("EnumService"_n).attr("load"_n)();
    co_return nb::none();
}

constexpr auto _service_permission_decl = classmethod("_service_permission", {cls_param});
Coro _service_permission(Call<_service_permission_decl> a) {
    logger(a).debug_line();
    nb::object rules = a.global("AuthRouter"_n).attr("permission_rules"_n);
    co_await a.global("PermissionService"_n)().attr("initialize"_n)(rules);
    co_return nb::none();
}

// ---- engines --------------------------------------------------------------------------

constexpr auto _init_engine_decl = staticmethod("_init_engine");
nb::object _init_engine(Call<_init_engine_decl> a) {
    a.global("RedisEngine"_n)();
    a.global("DatabaseEngine"_n)();
    a.global("DiskEngine"_n)();
    a.global("PermissionEngine"_n)();
    return nb::none();
}

constexpr auto _unload_engine_decl = staticmethod("_unload_engine");
Coro _unload_engine(Call<_unload_engine_decl> a) {
    a.global("RedisEngine"_n)().attr("close"_n)();
    co_await a.global("AsyncConduit"_n)().attr("close_all"_n)();
    co_return nb::none();
}

}  // namespace keystone

NB_MODULE(keystone, m) {
    import_module(m, "asyncio");
    nb::object abc = import_from(m, "abc", "ABC");
    import_from(m, "contextlib", "asynccontextmanager");
    import_from(m, "typing", "AsyncGenerator");
    import_from(m, "typing", "Callable");
    import_from(m, "fastapi", "FastAPI");
    import_from(m, "fastapi.staticfiles", "StaticFiles");
    import_from(m, "fastapi.responses", "HTMLResponse");
    import_from(m, "fastapi.openapi.docs", "get_swagger_ui_html");
    import_from(m, "sqlalchemy.orm", "registry");

    import_from(m, "..config.app_config", "AppConfig");
    import_from(m, "..logger.logging_", "logging");
    import_from(m, "..config.schemas.routers", "RouterConfigSetting");
    import_from(m, "..utils.core_utils", "CoreUtil");
    import_from(m, "..tools.class_scaner", "ClassScanner");
    import_from(m, "..auth.auth_router", "AuthRouter");
    import_from(m, "..exception.register_handlers", "register_exception_handlers");
    import_from(m, "..engine.redis_engine", "RedisEngine");
    import_from(m, "..engine.database_engine", "DatabaseEngine");
    import_from(m, "..engine.disk_engine", "DiskEngine");
    import_from(m, "..engine.casbin_engine", "PermissionEngine");
    import_from(m, "..services.casbin_service", "PermissionService");
    import_from(m, "..services.enum_service", "EnumService");
    import_from(m, "..services.query_service", "QueryService");
    import_from(m, "..services.data_service", "DataService");
    import_from(m, "..tools.tenant_manager", "TenantManager");
    import_from(m, "..services.warden", "Warden");
    import_from(m, "..services.conduit", "AsyncConduit");
    import_from(m, "..tools.surveyor", {"Surveyor", "_table_names"});
    import_from(m, "..services.password_pool", "PasswordPool");
    import_from(m, "..engine.startup_lock", "startup_lock");
    import_from(m, ".stop_gate", "StopGate");
    import_from(m, "..web.single_match", "match_once");

    // The documentation pages' handlers: module attributes, named as the locals of
    // _init_fastapi they stand for.
    FunctionSpec custom_docs = declared_spec(m, keystone::custom_docs);
    custom_docs.qualname = "Application._init_fastapi.<locals>.custom_docs";
    nb::setattr(m, "_custom_docs", make_function(m, std::move(custom_docs)));
    FunctionSpec redoc_docs = declared_spec(m, keystone::redoc_docs);
    redoc_docs.qualname = "Application._init_fastapi.<locals>.redoc_docs";
    nb::setattr(m, "_redoc_docs", make_function(m, std::move(redoc_docs)));

    ClassBuilder(m, "Application")
        .doc("应用：启动报告、Web 应用、路由发现、生命周期与引擎。")
        .base(abc)
        .add(keystone::init_, keystone::run, keystone::startup, keystone::shutdown, keystone::before_services,
             keystone::_event_startup, keystone::_event_shutdown, keystone::_init_fastapi, keystone::_lifespan,
             keystone::_lifespan_check_admin_user, keystone::_lifespan_check_database, keystone::_init_engine,
             keystone::_unload_engine, keystone::_router_include, keystone::_init_exception, keystone::_router_scan,
             keystone::_router_override_tags, keystone::_init_print_banner, keystone::_init_environment,
             keystone::_lifespan_services, keystone::_service_enums, keystone::_service_permission)
        .build();
}
