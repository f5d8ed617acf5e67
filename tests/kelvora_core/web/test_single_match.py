"""Included routers match a request's routes once, and route exactly as before."""

import pytest
from fastapi import APIRouter, FastAPI, routing

from kelvora_core.web.single_match import match_once

from _http import asgi_client


def application(once):
    app = FastAPI()
    first, second = APIRouter(prefix="/a"), APIRouter(prefix="/b")
    for router in (first, second):
        @router.get("/item/{item_id}")
        async def read(item_id: int):
            return {"item": item_id}

        @router.post("/item/{item_id}")
        async def write(item_id: int):
            return {"written": item_id}
        app.include_router(router)
    if once:
        match_once(app)
        match_once(app)  # twice changes nothing
    return app


@pytest.mark.parametrize("method,path", [("GET", "/b/item/3"), ("POST", "/a/item/4"), ("PUT", "/b/item/1"),
                                         ("GET", "/b/item/x"), ("GET", "/c"), ("GET", "/a/item/2/")])
async def test_one_match_per_included_router_and_the_same_answers(monkeypatch, method, path):
    passes = []
    plain_match = routing._IncludedRouter._match

    def counted(self, scope):
        passes.append(self.original_router.prefix)
        return plain_match(self, scope)

    monkeypatch.setattr(routing._IncludedRouter, "_match", counted)
    answers = []
    for once in (False, True):
        passes.clear()
        async with asgi_client(application(once)) as client:
            answer = await client.request(method, path)
        answers.append((answer.status_code, answer.headers.get("allow"), answer.text, len(passes)))
    (before, *_, before_passes), (after, *_, after_passes) = answers
    assert answers[0][:3] == answers[1][:3]
    if before == 200:  # the router that answers is matched once, the one before it once
        assert (before_passes, after_passes) == (3 if path.startswith("/b") else 2, 2 if path.startswith("/b") else 1)
