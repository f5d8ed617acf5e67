from datetime import datetime as datetime, timedelta as timedelta, timezone as timezone
from typing import Any, ClassVar
from uuid import uuid4 as uuid4

import bcrypt as bcrypt
import jwt as jwt
from fastapi import Depends as Depends, Request as Request
from fastapi.security import HTTPAuthorizationCredentials as HTTPAuthorizationCredentials, HTTPBearer as HTTPBearer
from sqlmodel.ext.asyncio.session import AsyncSession as AsyncSession

from ..config.app_config import AppConfig as AppConfig
from ..exception.service_exception import (
    AuthError as AuthError, ThrottledError as ThrottledError, ValidError as ValidError)
from ..logger.logging_ import logging as logging
from ..portal_auth.entity_table.auth_user import AuthUser, AuthUserResponse
from ..schemas.response import TokenResponse as TokenResponse
from ..tools.tenant_manager import TenantManager as TenantManager
from .casbin_service import PermissionService as PermissionService
from .conduit import AsyncConduit as AsyncConduit
from .data_service import DataService as DataService
from .password_pool import PasswordPool as PasswordPool
from .query_service import QueryService as QueryService
from .revocation import revocation_store as revocation_store, token_family as token_family

class Warden:
    """认证服务类，处理用户认证、密码验证、JWT令牌管理等操作"""

    TOKEN_SECRET_KEY: ClassVar[str | bytes]
    TOKEN_ALGORITHM: ClassVar[str]
    TOKEN_EXPIRE_MINUTES: ClassVar[int | float]
    TOKEN_REFRESH_EXPIRE_DAYS: ClassVar[int | float]
    http_bearer: ClassVar[HTTPBearer]
    @classmethod
    def verify_password(cls, plain_password: str, hashed_password: str) -> bool:
        """验证明文密码与哈希密码是否匹配。"""
    @classmethod
    def hash_password(cls, password: str) -> str:
        """对明文密码进行哈希处理。"""
    @classmethod
    def jwt_encode(cls, data: dict) -> str:
        """编码数据生成JWT令牌。"""
    @classmethod
    def jwt_decode(cls, token: Any) -> dict:
        """解码JWT令牌获取原始数据。"""
    @classmethod
    def get_permission(cls) -> PermissionService: ...
    @classmethod
    async def get_current_user_request(cls, request: Request, db: AsyncSession = ...) -> AuthUserResponse: ...
    @classmethod
    async def get_current_user(cls, auth_bearer: HTTPAuthorizationCredentials = ...,
                               db: AsyncSession = ...) -> AuthUserResponse: ...
    @classmethod
    async def _get_current_user(cls, payload: Any, db: AsyncSession) -> AuthUser: ...
    @classmethod
    async def logout(cls, token: Any = None) -> None: ...
    @classmethod
    async def refresh(cls, refresh_token: Any, db: AsyncSession) -> TokenResponse: ...
    @classmethod
    async def login(cls, *, db: AsyncSession, auth_login: Any) -> TokenResponse:
        """用户登录认证。"""
    @classmethod
    def _set_access_token(cls, auth_user: Any, refresh_token: Any = None,
                          refresh_expires_in: Any = None, family: Any = None) -> TokenResponse: ...
    @classmethod
    async def modify_password(cls, db: AsyncSession, *, password_model: Any, current_user: Any) -> None:
        """修改用户密码。"""
