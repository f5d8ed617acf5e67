// Authentication: bcrypt passwords, JSON Web Tokens, login, refresh, logout,
// password change and the current user of a request.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "kelvora/coro.hpp"
#include "kelvora/module.hpp"
#include "kelvora/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace kelvora;

namespace warden {

// ---- small pieces -------------------------------------------------------------

// datetime.now().timestamp(): the moment an error record is made.
nb::object now_timestamp(const Args& a) {
    return a.global("datetime"_n).attr("now"_n)().attr("timestamp"_n)();
}

// The naive UTC time that datetime.utcnow() gave, without the deprecated call.
nb::object utc_now(const Args& a) {
    nb::object utc = a.global("timezone"_n).attr("utc"_n);
    return a.global("datetime"_n).attr("now"_n)(utc).attr("replace"_n)("tzinfo"_a = nb::none());
}

// {"error", "error_description", "error_code", "timestamp"}, in that order.
nb::dict error_record(const Args& a, nb::handle error, nb::handle description, nb::handle code) {
    nb::dict record;
    record["error"] = error;
    record["error_description"] = description;
    if (code) record["error_code"] = code;
    record["timestamp"] = now_timestamp(a);
    return record;
}

[[noreturn]] void raise_auth_error(const Args& a, nb::handle message, nb::handle errors = {}) {
    nb::object error = errors ? a.global("AuthError"_n)("message"_a = message, "errors"_a = errors)
                              : a.global("AuthError"_n)("message"_a = message);
    raise_object(error);
}

nb::object utf8(nb::handle text) {
    PyObject* bytes = PyUnicode_AsUTF8String(text.ptr());
    if (!bytes) raise_pending();
    return nb::steal(bytes);
}

nb::object multiply(nb::handle x, std::int64_t factor) {
    nb::object product = nb::steal(PyNumber_Multiply(x.ptr(), nb::steal(PyLong_FromLongLong(factor)).ptr()));
    if (!product) raise_pending();
    return product;
}

// `column == value` as SQLAlchemy builds it: a comparison expression.
nb::object equals(nb::handle column, nb::handle value) {
    nb::object expression = nb::steal(PyObject_RichCompare(column.ptr(), value.ptr(), Py_EQ));
    if (!expression) raise_pending();
    return expression;
}

// The user row named `username`, or a false value.
nb::object find_user(const Args& a, nb::handle db, nb::handle username, nb::handle user_class) {
    nb::object condition = equals(user_class.attr("username"_n), username);
    return a.global("QueryService"_n)
        .attr("query_columns_first"_n)(db, "model_class"_a = user_class, "condition"_a = condition);
}

// The absolute name of "..portal_auth.entity_table.auth_user" against this module's package,
// resolved once at import (a plain string: nothing to release at exit).
std::string entity_module;

// The entity module as sys.modules holds it at this moment; empty when it is not there (not yet
// imported, removed, or None), and the caller then imports it as a function-level import does.
// Looked up per call, so a replaced or removed module is seen at once; no import machinery runs
// while it is loaded.
nb::object loaded_entity_module() {
    if (entity_module.empty()) return {};
    nb::object name =
        nb::steal(PyUnicode_FromStringAndSize(entity_module.data(), static_cast<Py_ssize_t>(entity_module.size())));
    if (!name) raise_pending();
    PyObject* module = PyImport_GetModule(name.ptr());
    if (!module) {
        if (PyErr_Occurred()) raise_pending();
        return {};
    }
    nb::object held = nb::steal(module);
    if (held.is_none()) return {};
    return held;
}

// `name` of the loaded entity module, or empty.
nb::object loaded_entity(nb::handle name) {
    nb::object module = loaded_entity_module();
    if (!module) return {};
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.ptr(), name.ptr(), &value) < 0) raise_pending();
    return nb::steal(value);
}

nb::object user_class(const Args& a) {
    if (nb::object found = loaded_entity("AuthUser"_n)) return found;
    return import_local(a, "..portal_auth.entity_table.auth_user", "AuthUser");
}

bool is_prod(const Args& a) {
    return truthy(a.global("AppConfig"_n).attr("environment"_n).attr("is_prod"_n));
}

nb::object auth_settings(const Args& a) {
    return a.global("AppConfig"_n).attr("auth"_n);
}

bool revocation_enabled(const Args& a) {
    return truthy(auth_settings(a).attr("revocation"_n).attr("enabled"_n));
}

nb::object revocation_store(const Args& a) {
    return a.global("revocation_store"_n)();
}

// Seconds since the epoch until which an ending must be kept: no token issued before now
// outlives a refresh token issued now.
nb::object ending_kept_until(const Args& a, nb::handle cls) {
    return now_timestamp(a) + multiply(cls.attr("TOKEN_REFRESH_EXPIRE_DAYS"_n), 86400);
}

// Password work runs on the password pool's threads, never on the event loop.
nb::object off_loop(const Args& a, nb::handle fn, nb::handle first, nb::handle second = {}) {
    nb::object call = a.global("PasswordPool"_n).attr("call"_n);
    return second ? call(fn, first, second) : call(fn, first);
}

// Checked instead when no user has the name: the same bcrypt work as for a known user (the
// library's default cost), so the time of the answer does not tell names apart.
constexpr const char* kUnknownUserHash = "$2b$12$FxklupxhJMjqizmV2asY.u7tWwJtBLO7W6dnrFNvB25apEWnvls.G";

// Where an access token is expected, a refresh token (or any token with a "token_type") is
// refused: it lives for days and is meant for /auth/refresh only.
void require_access_token(const Args& a, nb::handle payload) {
    if (!payload.attr("get"_n)("token_type"_n).is_none())
        raise_auth_error(a, "无效的token，请重新登录"_n,
                         error_record(a, "invalid_token"_n, "Token is not an access token"_n, "invalid_token_type"_n));
}

nb::object user_response(const Args& a, nb::handle user) {
    nb::object response = loaded_entity("AuthUserResponse"_n);
    if (!response) response = import_local(a, "..portal_auth.entity_table.auth_user", "AuthUserResponse");
    return response.attr("model_validate"_n)(user);
}

// The user cache (auth.user_cache), or None while it is off.
nb::object user_cache(const Args& a) {
    return a.global("token_cache"_n)();
}

// What the outcome of a token's checks depends on besides the token: a kept outcome is used
// only under the same settings.
nb::object check_settings(const Args& a, nb::handle cls) {
    nb::object auth = auth_settings(a);
    nb::object revocation = auth.attr("revocation"_n);
    return nb::make_tuple(cls.attr("TOKEN_SECRET_KEY"_n), cls.attr("TOKEN_ALGORITHM"_n),
                          auth.attr("token_leeway_seconds"_n), auth.attr("token_audience"_n),
                          auth.attr("token_issuer"_n), auth.attr("tenant"_n).attr("enabled"_n),
                          revocation.attr("enabled"_n), revocation.attr("store"_n));
}

// Tokens ended in this process stop being served from the cache at once.
void forget_family(const Args& a, nb::handle family) {
    nb::object cache = user_cache(a);
    if (!cache.is_none()) cache.attr("end_family"_n)(family);
}

void forget_user(const Args& a, nb::handle username) {
    nb::object cache = user_cache(a);
    if (!cache.is_none()) cache.attr("end_user"_n)(username);
}

// ---- passwords and tokens -----------------------------------------------------------

constexpr Parameter cls{.name = "cls"};
constexpr Parameter db{.name = "db", .annotation = "AsyncSession"};

// Annotations are texts, as in a module written with postponed annotations; FastAPI resolves
// them through the module's globals.
constexpr Parameter text_param(const char* name) {
    return {.name = name, .annotation = "str", .exact = &PyUnicode_Type};
}

constexpr auto verify_password_decl =
    classmethod("verify_password", {cls, text_param("plain_password"), text_param("hashed_password")},
                {.doc = "验证明文密码与哈希密码是否匹配。", .returns = "bool"});
nb::object verify_password(Call<verify_password_decl> a) {
    auto [cls, plain_password, hashed_password] = a.params();
    try {
        nb::object plain = utf8(plain_password), hashed = utf8(hashed_password);
        return a.global("bcrypt"_n).attr("checkpw"_n)(plain, hashed);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling scope(e.value());
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError))
            logger(a).warning("密码验证参数错误: {}"_n.format(e.value()));
        else
            logger(a).error("密码验证系统错误: {}"_n.format(e.value()), "exc_info"_a = true);
        return nb::bool_(false);
    }
}

constexpr auto hash_password_decl =
    classmethod("hash_password", {cls, text_param("password")}, {.doc = "对明文密码进行哈希处理。", .returns = "str"});
nb::object hash_password(Call<hash_password_decl> a) {
    nb::object bcrypt = a.global("bcrypt"_n);
    nb::object hashed = bcrypt.attr("hashpw"_n)(utf8(a.get<"password">()), bcrypt.attr("gensalt"_n)());
    return hashed.attr("decode"_n)("utf-8"_n);
}

constexpr auto jwt_encode_decl =
    classmethod("jwt_encode", {cls, {.name = "data", .annotation = "dict", .exact = &PyDict_Type}},
                {.doc = "编码数据生成JWT令牌。", .returns = "str"});
nb::object jwt_encode(Call<jwt_encode_decl> a) {
    auto [cls, data] = a.params();
    return a.global("jwt"_n).attr("encode"_n)(data, cls.attr("TOKEN_SECRET_KEY"_n),
                                              "algorithm"_a = cls.attr("TOKEN_ALGORITHM"_n));
}

constexpr auto jwt_decode_decl =
    classmethod("jwt_decode", {cls, {.name = "token"}}, {.doc = "解码JWT令牌获取原始数据。", .returns = "dict"});
nb::object jwt_decode(Call<jwt_decode_decl> a) {
    auto [cls, token] = a.params();
    nb::object jwt = a.global("jwt"_n);
    try {
        nb::list algorithms;
        algorithms.append(cls.attr("TOKEN_ALGORITHM"_n));
        // A token must say when it was issued and when it ends; the leeway covers clocks that
        // differ between hosts, audience and issuer are checked when configured.
        nb::list required;
        required.append("exp"_n);
        required.append("iat"_n);
        nb::dict options;
        options["require"_n] = required;
        nb::object auth = auth_settings(a);
        return jwt.attr("decode"_n)(token, cls.attr("TOKEN_SECRET_KEY"_n), "algorithms"_a = algorithms,
                                    "options"_a = options, "leeway"_a = auth.attr("token_leeway_seconds"_n),
                                    "audience"_a = auth.attr("token_audience"_n),
                                    "issuer"_a = auth.attr("token_issuer"_n));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling scope(e.value());
        // The expired-signature error is a kind of invalid-token error: asked first.
        if (e.matches(jwt.attr("ExpiredSignatureError"_n)))
            raise_auth_error(a, "用户token已失效，请重新登录"_n,
                             error_record(a, "invalid_token"_n, "用户token已失效，请重新登录"_n, "token_expired"_n));
        nb::object description = "无效的token: {}"_n.format(e.value());
        nb::handle code = "malformed_token"_n;
        if (e.matches(jwt.attr("InvalidTokenError"_n))) code = "invalid_token"_n;
        raise_auth_error(a, "无效的token，请重新登录"_n, error_record(a, "invalid_token"_n, description, code));
    }
}

constexpr auto get_permission_decl = classmethod(
    "get_permission", {cls},
    {.doc = "获取权限服务实例。\n\n每次调用返回一个新的 PermissionService。", .returns = "PermissionService"});
nb::object get_permission(Call<get_permission_decl> a) {
    return a.global("PermissionService"_n)();
}

// ---- account flows ------------------------------------------------------------------

constexpr auto _set_access_token_decl = classmethod("_set_access_token",
                                                    {cls,
                                                     {.name = "auth_user"},
                                                     {.name = "refresh_token", .default_value = none},
                                                     {.name = "refresh_expires_in", .default_value = none},
                                                     {.name = "family", .default_value = none}},
                                                    {.returns = "TokenResponse"});
nb::object _set_access_token(Call<_set_access_token_decl> a) {
    auto [cls, auth_user, refresh_token, refresh_expires_in, family] = a.params();
    nb::object timedelta = a.global("timedelta"_n);
    nb::object auth = auth_settings(a);
    nb::dict claims;
    claims["sub"] = str_of(auth_user.attr("username"_n));
    claims["iat"] = now_timestamp(a);
    claims["exp"] = utc_now(a) + timedelta("minutes"_a = cls.attr("TOKEN_EXPIRE_MINUTES"_n));
    nb::object jti = str_of(a.global("uuid4"_n)());
    claims["jti"] = jti;
    claims["tenant"] = auth.attr("tenant"_n).attr("enabled"_n);
    claims["tenant_id"] = auth_user.attr("tenant_id"_n);
    // Only when configured, so tokens stay as they were otherwise.
    nb::object issuer = auth.attr("token_issuer"_n), audience = auth.attr("token_audience"_n);
    if (!issuer.is_none()) claims["iss"] = issuer;
    if (!audience.is_none()) claims["aud"] = audience;
    // The login session a pair belongs to: a refresh keeps it, so ending it ends them all.
    if (revocation_enabled(a)) claims["fam"] = family.is_none() ? jti : nb::borrow(family);
    nb::object access_token = cls.attr("jwt_encode"_n)("data"_a = claims);

    nb::object refresh = nb::borrow(refresh_token);
    if (!truthy(refresh)) {
        // The same claims with a later "exp" (kept in its place) and a last "token_type".
        claims["exp"] = utc_now(a) + timedelta("days"_a = cls.attr("TOKEN_REFRESH_EXPIRE_DAYS"_n));
        claims["token_type"] = "refresh"_n;
        refresh = cls.attr("jwt_encode"_n)("data"_a = claims);
    }
    nb::object refresh_lifetime = truthy(refresh_expires_in)
                                      ? nb::borrow(refresh_expires_in)
                                      : multiply(cls.attr("TOKEN_REFRESH_EXPIRE_DAYS"_n), 24 * 60);
    return a.global("TokenResponse"_n)(
        "token_type"_a = "Bearer"_n, "access_token"_a = access_token, "refresh_token"_a = refresh,
        "expires_in"_a = multiply(cls.attr("TOKEN_EXPIRE_MINUTES"_n), 60), "refresh_expires_in"_a = refresh_lifetime,
        "token"_a = "Bearer {}"_n.format(access_token));
}

constexpr auto login_decl = classmethod("login",
                                        {cls,
                                         {.name = "db", .kind = Kind::keyword_only, .annotation = "AsyncSession"},
                                         {.name = "auth_login", .kind = Kind::keyword_only}},
                                        {.doc = "用户登录认证。", .returns = "TokenResponse"});
Coro login(Call<login_decl> a) {
    auto [cls, db, auth_login] = a.params();
    Caught failure;
    try {
        nb::object auth_user_class = user_class(a);
        a.global("TenantManager"_n).attr("disable"_n)();
        nb::object auth_user = co_await find_user(a, db, auth_login.attr("username"_n), auth_user_class);
        bool known = truthy(auth_user);
        nb::object stored = known ? auth_user.attr("password"_n) : nb::object(nb::str(kUnknownUserHash));
        nb::object matched = co_await off_loop(a, cls.attr("verify_password"_n), auth_login.attr("password"_n), stored);
        if (!known || !truthy(matched))
            raise_auth_error(a, "登录失败，错误的用户名或密码"_n,
                             error_record(a, "invalid_grant"_n, "错误的用户名或密码"_n, "invalid_credentials"_n));
        // Only the boolean True itself: 1 or "yes" is not an active account.
        if (auth_user.attr("is_active"_n).ptr() != Py_True)
            raise_auth_error(a, "登录失败，账户未激活或被锁定"_n,
                             error_record(a, "invalid_grant"_n, "账户未激活或被锁定"_n, "user_invalid"_n));
        a.global("TenantManager"_n)
            .attr("set"_n)("username"_a = auth_user.attr("username"_n), "tenant_id"_a = auth_user.attr("tenant_id"_n));
        nb::setattr(auth_user, "last_login_at"_n, utc_now(a));
        nb::object user_id = auth_user.attr("user_id"_n);
        auth_user = co_await a.global("DataService"_n)
                        .attr("update"_n)(db, user_id, "model_class"_a = auth_user_class, "update_model"_a = auth_user);
        co_return cls.attr("_set_access_token"_n)(auth_user);
    } catch (...) {
        failure.capture();
    }
    // Every failure reaches the caller as one error; its reason stays in `errors`, except in
    // production, where it goes to the log only: the answer must not tell an unknown name, a
    // wrong password and a locked account apart. A full password pool is not a failed login.
    if (!failure.matches(PyExc_Exception) || failure.matches(a.global("ThrottledError"_n))) failure.rethrow();
    // A database that cannot answer says nothing about the password: 503, not "login failed".
    if (truthy(a.global("is_database_error"_n)(failure.value()))) failure.rethrow();
    if (is_prod(a)) {
        nb::object username = attr_or(auth_login, "username"_n, nb::none());
        logger(a).warning("登录失败: {} - {}"_n.format(nb::repr(username), str_of(failure.value())));
        raise_auth_error(a, "登录失败"_n);
    }
    raise_auth_error(a, "登录失败"_n, str_of(failure.value()));
}

constexpr auto refresh_decl = classmethod("refresh", {cls, {.name = "refresh_token"}, db},
                                          {.doc = "用刷新令牌换取新的访问令牌。", .returns = "TokenResponse"});
Coro refresh(Call<refresh_decl> a) {
    auto [cls, refresh_token, db] = a.params();
    nb::object payload = cls.attr("jwt_decode"_n)(refresh_token);
    nb::object token_type = payload.attr("get"_n)("token_type"_n);
    if (!token_type.equal("refresh"_n))
        raise_auth_error(a, "这不是一个刷新token，请联系管理员处理该异常"_n,
                         error_record(a, "invalid_grant"_n, "Token is not a refresh token"_n, "invalid_token_type"_n));
    nb::object current_user = co_await cls.attr("_get_current_user"_n)(payload, db);
    nb::object expires = payload["exp"_n];
    if (!revocation_enabled(a)) {
        // The same refresh token, no rotation; its own "exp" as the refresh lifetime.
        co_return cls.attr("_set_access_token"_n)(current_user, "refresh_token"_a = refresh_token,
                                                  "refresh_expires_in"_a = expires);
    }
    // Rotation: each refresh token is exchanged once. One presented again was stolen or
    // copied, and the login session it belongs to ends for everyone holding a token of it.
    nb::object store = revocation_store(a);
    nb::object family = a.global("token_family"_n)(payload);
    nb::object first = co_await store.attr("claim_refresh"_n)(payload.attr("get"_n)("jti"_n), expires);
    if (!truthy(first)) {
        co_await store.attr("end_family"_n)(family, ending_kept_until(a, cls));
        forget_family(a, family);
        raise_auth_error(a, "刷新token已被使用，请重新登录"_n,
                         error_record(a, "invalid_grant"_n, "Refresh token was already used"_n, "token_reused"_n));
    }
    co_return cls.attr("_set_access_token"_n)(current_user, "family"_a = family);
}

// With revocation on, the login session of the given token ends: its access and refresh
// tokens, and every pair refreshed from them.
constexpr auto logout_decl = classmethod("logout", {cls, {.name = "token", .default_value = none}},
                                         {.doc = "用户登出操作。\n\n启用 auth.revocation 时，结束 token "
                                                 "所属的登录会话；否则已签发的令牌在过期前仍然有效。",
                                          .returns = "None"});
Coro logout(Call<logout_decl> a) {
    auto [cls, token] = a.params();
    if (token.is_none() || !revocation_enabled(a)) co_return nb::none();
    nb::object payload = cls.attr("jwt_decode"_n)(token);
    nb::object family = a.global("token_family"_n)(payload);
    co_await revocation_store(a).attr("end_family"_n)(family, ending_kept_until(a, cls));
    forget_family(a, family);
    co_return nb::none();
}

constexpr auto modify_password_decl = classmethod("modify_password",
                                                  {cls,
                                                   db,
                                                   {.name = "password_model", .kind = Kind::keyword_only},
                                                   {.name = "current_user", .kind = Kind::keyword_only}},
                                                  {.doc = "修改用户密码。", .returns = "None"});
Coro modify_password(Call<modify_password_decl> a) {
    auto [cls, db, password_model, current_user] = a.params();
    nb::object auth_user_class = user_class(a);
    // Warden through the module, not cls, as the flow was written.
    nb::object warden = a.global("Warden"_n);
    nb::object auth_user = co_await find_user(a, db, current_user.attr("username"_n), auth_user_class);
    if (!truthy(auth_user))
        raise_object(a.global("ValidError"_n)("fields"_a = "old_password"_n, "message"_a = "原始密码不正确"_n));
    nb::object matched = co_await off_loop(a, warden.attr("verify_password"_n), password_model.attr("old_password"_n),
                                           auth_user.attr("password"_n));
    if (!truthy(matched))
        raise_object(a.global("ValidError"_n)("fields"_a = "old_password"_n, "message"_a = "原始密码不正确"_n));
    nb::object new_hash = co_await off_loop(a, warden.attr("hash_password"_n), password_model.attr("new_password"_n));
    // Every earlier token of the user ends, before the new password is stored: should storing
    // fail, the tokens are gone but the old password still works, never the other way round.
    if (revocation_enabled(a))
        co_await revocation_store(a).attr("end_user_tokens"_n)(current_user.attr("username"_n),
                                                               ending_kept_until(a, warden));
    forget_user(a, current_user.attr("username"_n));
    nb::dict changes;
    changes["password"] = new_hash;
    nb::object user_id = auth_user.attr("user_id"_n);
    auth_user = co_await a.global("DataService"_n)
                    .attr("db_update"_n)(db, user_id, "model_class"_a = auth_user_class, "update_model"_a = changes);
    if (!truthy(auth_user)) raise_object(a.global("ValidError"_n)("message"_a = "修改密码失败"_n));
    co_await db.attr("commit"_n)();
    co_return nb::none();
}

// ---- the current user ----------------------------------------------------------------

// What every resolution checks before the user's row: the subject, the tenant claims under
// tenant mode, the tenant context, and revocation. The user name.
Coro admit_claims(Args& a, nb::handle payload, nb::handle db) {
    nb::object subject = payload.attr("get"_n)("sub"_n);
    if (subject.is_none()) raise_auth_error(a, "用户token不合法"_n);
    nb::object username = str_of(subject);
    // Under tenant mode a token must name its tenant and ask for filtering: one without
    // (made before the mode was on, say) would see every tenant's rows.
    if (truthy(auth_settings(a).attr("tenant"_n).attr("enabled"_n)) &&
        (!contains(payload, "tenant"_n) || !contains(payload, "tenant_id"_n) ||
         !truthy(payload.attr("get"_n)("tenant"_n))))
        raise_auth_error(a, "用户token不合法"_n,
                         error_record(a, "invalid_token"_n, "Token has no tenant claims"_n, "tenant_missing"_n));
    a.global("TenantManager"_n)
        .attr("set_from_token"_n)("tenant_enabled"_a = payload.attr("get"_n)("tenant"_n), "username"_a = username,
                                  "tenant_id"_a = payload.attr("get"_n)("tenant_id"_n));
    if (revocation_enabled(a) && truthy(co_await revocation_store(a).attr("is_revoked"_n)(payload, db)))
        raise_auth_error(a, "用户token已失效，请重新登录"_n,
                         error_record(a, "invalid_token"_n, "Token was revoked"_n, "token_revoked"_n));
    co_return username;
}

// A missing row or a deactivated account: its tokens end with it.
void require_active(const Args& a, nb::handle user, nb::handle is_active) {
    if (!truthy(user)) raise_auth_error(a, "用户token不合法"_n);
    if (is_active.ptr() != Py_True)
        raise_auth_error(a, "用户token不合法"_n,
                         error_record(a, "invalid_token"_n, "账户未激活或被锁定"_n, "user_invalid"_n));
}

// How a failed resolution reaches the caller.
[[noreturn]] void resolution_failed(const Args& a, Caught& failure) {
    if (!failure.matches(PyExc_Exception)) failure.rethrow();
    if (failure.matches(a.global("jwt"_n).attr("InvalidTokenError"_n)))
        raise_auth_error(a, "无效的token，请重新登录"_n, str_of(failure.value()));
    if (failure.matches(a.global("AuthError"_n))) failure.rethrow();
    // A database that cannot answer says nothing about the token: its error goes on as it
    // is, and the handlers answer 503 (logged once per outage) instead of "log in again".
    if (truthy(a.global("is_database_error"_n)(failure.value()))) failure.rethrow();
    raise_auth_error(a, "用户token不合法"_n, str_of(failure.value()));
}

constexpr auto _get_current_user_decl =
    classmethod("_get_current_user", {cls, {.name = "payload"}, db}, {.returns = "AuthUser"});
Coro _get_current_user(Call<_get_current_user_decl> a) {
    auto [cls, payload, db] = a.params();
    Caught failure;
    try {
        nb::object username = co_await admit_claims(a, payload, db);
        nb::object user = co_await find_user(a, db, username, user_class(a));
        require_active(a, user, truthy(user) ? user.attr("is_active"_n) : nb::none());
        co_return user;
    } catch (...) {
        failure.capture();
    }
    resolution_failed(a, failure);
}

// The same resolution for a request that wants the user as answered: one Core SELECT of the
// columns a client may see, no ORM object.
Coro user_of_claims(Args& a, nb::handle payload, nb::handle db) {
    Caught failure;
    try {
        nb::object username = co_await admit_claims(a, payload, db);
        nb::object row = co_await a.global("find_user_row"_n)(db, username);
        require_active(a, row, truthy(row) ? row["is_active"_n] : nb::none());
        co_return user_response(a, row);
    } catch (...) {
        failure.capture();
    }
    resolution_failed(a, failure);
}

// Whether the class still has this module's steps (no subclass override or patch): only then
// are the Core look-up and the cache used, since a replaced step must run on every request.
OwnAttribute own_jwt_decode, own_get_current_user;

// The user of an access token, for a request. From the cache when it kept this token within
// its bound (the tenant context is set from the kept claims all the same); otherwise every
// check runs and, with the cache on, the outcome is kept.
Coro current_user(Args& a, nb::handle cls, nb::handle token, nb::handle db) {
    if (!own_jwt_decode.resolves(cls) || !own_get_current_user.resolves(cls)) {
        nb::object payload = cls.attr("jwt_decode"_n)(token);
        require_access_token(a, payload);
        nb::object user = co_await cls.attr("_get_current_user"_n)(payload, db);
        co_return user_response(a, user);
    }
    nb::object cache = PyUnicode_CheckExact(token.ptr()) ? user_cache(a) : nb::none();
    nb::object settings = nb::none(), checked = nb::none();
    if (!cache.is_none()) {
        settings = check_settings(a, cls);
        nb::object kept = cache.attr("get"_n)(token, settings);
        if (!kept.is_none()) {
            nb::object claims = kept[0];
            a.global("TenantManager"_n)
                .attr("set_from_token"_n)("tenant_enabled"_a = claims.attr("get"_n)("tenant"_n),
                                          "username"_a = str_of(claims["sub"_n]),
                                          "tenant_id"_a = claims.attr("get"_n)("tenant_id"_n));
            co_return kept[1];
        }
        checked = cache.attr("clock"_n)();  // before the checks: an end during them counts
    }
    nb::object payload = cls.attr("jwt_decode"_n)(token);
    require_access_token(a, payload);
    nb::object user = co_await user_of_claims(a, payload, db);
    if (!cache.is_none())
        cache.attr("put"_n)(token, settings, checked, payload, str_of(payload["sub"_n]),
                            a.global("token_family"_n)(payload), user, auth_settings(a).attr("token_leeway_seconds"_n));
    co_return user;
}

// The request's "Auth" session, as a dependency.
constexpr Value auth_session =
    made([](nb::handle m) { return m.attr("Depends")(m.attr("AsyncConduit").attr("get_auth_async_session")); });

constexpr auto get_current_user_decl =
    classmethod("get_current_user",
                {cls,
                 {.name = "auth_bearer",
                  .default_value = made([](nb::handle m) { return m.attr("Depends")(m.attr("_http_bearer")); }),
                  .annotation = "HTTPAuthorizationCredentials"},
                 {.name = "db", .default_value = auth_session, .annotation = "AsyncSession"}},
                {.doc = "从 Bearer 令牌解析当前用户。", .returns = "AuthUserResponse"});
Coro get_current_user(Call<get_current_user_decl> a) {
    auto [cls, auth_bearer, db] = a.params();
    Caught failure;
    try {
        co_return co_await current_user(a, cls, auth_bearer.attr("credentials"_n), db);
    } catch (...) {
        failure.capture();
    }
    // One message for every token or user failure; the reason stays in `errors`. A failure
    // of the database is not one of the token and keeps its own error.
    if (!failure.matches(PyExc_Exception)) failure.rethrow();
    if (failure.matches(a.global("jwt"_n).attr("InvalidTokenError"_n)))
        raise_auth_error(a, "无效的token，请重新登录"_n);
    if (truthy(a.global("is_database_error"_n)(failure.value()))) failure.rethrow();
    raise_auth_error(a, "无效的token，请重新登录"_n, str_of(failure.value()));
}

constexpr auto get_current_user_request_decl =
    classmethod("get_current_user_request",
                {cls,
                 {.name = "request", .annotation = "Request"},
                 {.name = "db", .default_value = auth_session, .annotation = "AsyncSession"}},
                {.doc = "从请求头 Authorization 解析当前用户。", .returns = "AuthUserResponse"});
Coro get_current_user_request(Call<get_current_user_request_decl> a) {
    auto [cls, request, db] = a.params();
    nb::object value = request.attr("headers"_n).attr("get"_n)("Authorization"_n);
    if (!truthy(value)) {
        // This record has no "error_code".
        raise_auth_error(a, "token的headers未设置\"Authenticate\",请确认是否遗忘"_n,
                         error_record(a, "authorization header is missing"_n,
                                      "headers={\"Authenticate\": \"Bearer token\"}"_n, nb::handle()));
    }
    // Any first word is taken as the scheme; a value without a space is the token itself.
    nb::object parts = value.attr("partition"_n)(" "_n);
    nb::object token = truthy(parts[2]) ? nb::object(parts[2]) : nb::object(parts[0]);
    co_return co_await current_user(a, cls, token, db);
}

}  // namespace warden

NB_MODULE(warden, m) {
    import_from(m, "datetime", {"datetime", "timedelta", "timezone"});
    import_from(m, "uuid", "uuid4");
    import_module(m, "bcrypt");
    import_module(m, "jwt");
    import_from(m, "fastapi", {"Depends", "Request"});
    import_from(m, "fastapi.security", {"HTTPBearer", "HTTPAuthorizationCredentials"});
    import_from(m, "sqlmodel.ext.asyncio.session", "AsyncSession");
    import_from(m, ".casbin_service", "PermissionService");
    import_from(m, ".query_service", "QueryService");
    import_from(m, ".conduit", "AsyncConduit");
    nb::object config = import_from(m, "..config.app_config", "AppConfig");
    import_from(m, "..exception.service_exception", {"AuthError", "ValidError", "ThrottledError"});
    import_from(m, "..logger.logging_", "logging");
    import_from(m, "..engine.availability", "is_database_error");
    import_from(m, "..schemas.response", "TokenResponse");
    import_from(m, "..services.data_service", "DataService");
    import_from(m, "..tools.tenant_manager", "TenantManager");
    import_from(m, ".password_pool", "PasswordPool");
    import_from(m, ".revocation", {"revocation_store", "token_family"});
    import_from(m, ".token_cache", "token_cache");
    import_from(m, ".user_rows", "find_user_row");
    warden::entity_module =
        nb::cast<std::string>(nb::module_::import_("importlib.util")
                                  .attr("resolve_name")("..portal_auth.entity_table.auth_user",
                                                        m.attr("__name__").attr("rpartition")(".")[0]));

    // Read once, now: later configuration changes do not reach the class.
    nb::object auth = config.attr("auth"_n);
    nb::object http_bearer =
        m.attr("HTTPBearer")("scheme_name"_a = "Bearer Auth", "description"_a = "请访问 /auth/token 接口，获取token。",
                             "auto_error"_a = true);
    // The bearer scheme is the class's and its dependency's: one object.
    m.attr("_http_bearer") = http_bearer;
    nb::object warden_class =
        ClassBuilder(m, "Warden")
            .doc("认证服务类，处理用户认证、密码验证、JWT令牌管理等操作")
            .attr("TOKEN_SECRET_KEY", auth.attr("token_secret_key"_n))
            .attr("TOKEN_ALGORITHM", nb::str("HS256"))
            .attr("TOKEN_EXPIRE_MINUTES", auth.attr("token_expire_minutes"_n))
            .attr("TOKEN_REFRESH_EXPIRE_DAYS", auth.attr("token_refresh_expire_days"_n))
            .attr("http_bearer", http_bearer)
            .add(warden::verify_password, warden::hash_password, warden::jwt_encode, warden::jwt_decode,
                 warden::get_permission, warden::get_current_user_request, warden::get_current_user,
                 warden::_get_current_user, warden::logout, warden::refresh, warden::login, warden::_set_access_token,
                 warden::modify_password)
            .build();
    warden::own_jwt_decode.remember(warden_class, "jwt_decode"_n);
    warden::own_get_current_user.remember(warden_class, "_get_current_user"_n);
}
