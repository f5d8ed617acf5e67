"""The authentication routes: token, refresh, logout, password change and the current user.

Router discovery finds ``router`` here like any other ``AuthRouter``. The token route takes the
OAuth2 password form, so the documentation page's Authorize dialog can log in with a user name
and password; every other route reads the bearer token through ``Warden.get_current_user``.
"""

from __future__ import annotations

from typing import Annotated

from fastapi import Body, Depends, Request
from fastapi.security import HTTPAuthorizationCredentials, OAuth2PasswordBearer, OAuth2PasswordRequestForm
from pydantic import BaseModel
from sqlmodel.ext.asyncio.session import AsyncSession

from ..exception.service_exception import AuthError, ValidError
from ..portal_auth.entity_table.auth_user import AuthUserPassword, AuthUserResponse
from ..schemas.response import TokenResponse
from ..services.conduit import AsyncConduit
from ..services.login_throttle import LoginThrottle
from ..services.warden import Warden
from .auth_router import AuthRouter

__all__ = ["router"]

# bcrypt looks at 72 bytes at most, and bcrypt 5 refuses longer passwords outright.
PASSWORD_MAX_BYTES = 72

# Declared for the documentation only (the routes read the token through Warden's own bearer
# scheme): it gives the Authorize dialog a user-name/password login against /auth/token.
password_login = OAuth2PasswordBearer(tokenUrl="/auth/token", scheme_name="Password Login", auto_error=False)

router = AuthRouter(prefix="/auth", tags=["认证"], dependencies=[Depends(password_login)])

Session = Annotated[AsyncSession, Depends(AsyncConduit.get_auth_async_session)]
CurrentUser = Annotated[AuthUserResponse, Depends(Warden.get_current_user)]
# The same bearer scheme Warden.get_current_user reads; FastAPI resolves it once per request.
Bearer = Annotated[HTTPAuthorizationCredentials, Depends(Warden.http_bearer)]


class RefreshRequest(BaseModel):
    refresh_token: str


class Message(BaseModel):
    message: str


@router.post("/token", response_model=TokenResponse, summary="登录，获取令牌",
             responses={429: {"description": "登录失败次数过多或登录请求过多；Retry-After 给出秒数"}})
async def login(request: Request, form: Annotated[OAuth2PasswordRequestForm, Depends()],
                db: Session) -> TokenResponse:
    """OAuth2 password login: the form fields username and password.

    Past the configured number of failed logins for the user name or the client address, the
    answer is 429 with Retry-After, before any password is checked.
    """
    throttle = LoginThrottle.shared()
    address = request.client.host if request.client else None
    await throttle.check(form.username, address)
    try:
        pair = await Warden.login(db=db, auth_login=form)
    except AuthError:
        await throttle.failed(form.username, address)
        raise
    await throttle.succeeded(form.username)
    return pair


@router.post("/refresh", response_model=TokenResponse, summary="用刷新令牌换取新的访问令牌")
async def refresh(body: RefreshRequest, db: Session) -> TokenResponse:
    return await Warden.refresh(body.refresh_token, db)


@router.post("/logout", response_model=Message, summary="登出")
async def logout(current_user: CurrentUser, credentials: Bearer) -> Message:
    await Warden.logout(credentials.credentials)
    return Message(message="已登出")


@router.put("/password", response_model=Message, summary="修改密码")
async def change_password(password_model: Annotated[AuthUserPassword, Body()], current_user: CurrentUser,
                          db: Session) -> Message:
    size = len(password_model.new_password.encode("utf-8", "surrogatepass"))
    if size == 0:
        raise ValidError(message="新密码不能为空", fields="new_password")
    if size > PASSWORD_MAX_BYTES:
        raise ValidError(message=f"新密码不能超过 {PASSWORD_MAX_BYTES} 字节", fields="new_password")
    await Warden.modify_password(db, password_model=password_model, current_user=current_user)
    return Message(message="密码已修改")


@router.get("/me", response_model=AuthUserResponse, summary="当前用户")
async def me(current_user: CurrentUser) -> AuthUserResponse:
    return current_user

