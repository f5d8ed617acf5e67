"""User accounts: the ``AuthUser`` table, its request/response models and its registry."""

from .entity_table.auth_user import (
    AuthUser,
    AuthUserLogin,
    AuthUserPassword,
    AuthUserRegister,
    AuthUserResponse,
)
from .registry import ModelRegistry, auth_registry

__all__ = [
    "AuthUser",
    "AuthUserLogin",
    "AuthUserPassword",
    "AuthUserRegister",
    "AuthUserResponse",
    "ModelRegistry",
    "auth_registry",
]
