"""GET /ids?count=N: N fresh ids and which process drew them (a signed-in user only)."""

import os

from fastapi import Depends, Query

from kelvora_core.auth.auth_router import AuthRouter
from kelvora_core.portal_auth import AuthUserResponse
from kelvora_core.services.warden import Warden
from kelvora_core.utils import minter

router = AuthRouter(prefix="/ids", tags=["ids"])


@router.get("")
async def draw_ids(count: int = Query(1, ge=1, le=1000),
                   user: AuthUserResponse = Depends(Warden.get_current_user)) -> dict:
    ids = [minter.get_primary_id() for _ in range(count)]
    generator = minter.minter_util.generator
    return {"pid": os.getpid(), "instance": generator.instance, "worker": generator.worker, "ids": ids}
