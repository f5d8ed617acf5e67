"""User accounts: the ``AuthUser`` table, its request/response models and its registry."""

from .entity_table.auth_user import (
    AuthUser,
    AuthUserLogin,
    AuthUserPassword,
    AuthUserRegister,
    AuthUserResponse,
)
from .entity_table.auth_token_revocation import AuthTokenRevocation
from .registry import ModelRegistry, auth_registry

__all__ = [
    "AuthUser",
    "AuthUserLogin",
    "AuthUserPassword",
    "AuthUserRegister",
    "AuthUserResponse",
    "AuthTokenRevocation",
    "ModelRegistry",
    "auth_registry",
]
