"""Response bodies of the core routes."""

from __future__ import annotations

from pydantic import BaseModel

__all__ = ["TokenResponse"]


class TokenResponse(BaseModel):
    """A token pair as handed out by login and refresh.

    ``expires_in`` is the access token's lifetime in seconds. ``refresh_expires_in`` is either
    the refresh token's own "exp" (seconds since the epoch, after a refresh) or its lifetime in
    minutes (after a login); ``token`` is ready to be sent as the ``Authorization`` header.
    """

    token_type: str
    access_token: str
    refresh_token: str
    expires_in: int | float
    refresh_expires_in: int | float
    token: str
