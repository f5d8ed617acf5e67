"""The example service: ``make run``, or ``python -m examples.service [--host H] [--port P]``.

Run from the repository root: the configuration is ``examples/config.yaml`` unless
``KELVORA_CONFIG`` names another file, and the documentation assets are served from
``./static``. ``webapp.reload`` and ``webapp.workers`` decide how uvicorn runs it. Outside
production a start also adds the sample enumeration ("demo") when it is missing.
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

# The configuration is read when the framework is first imported, so name it before that.
os.environ.setdefault("KELVORA_CONFIG", str(Path(__file__).with_name("config.yaml")))

import uvicorn  # noqa: E402
from fastapi import FastAPI  # noqa: E402

from kelvora_core.app.keystone import Application  # noqa: E402
from kelvora_core.config.app_config import AppConfig  # noqa: E402
from kelvora_core.engine.startup_lock import startup_lock  # noqa: E402
from kelvora_core.logger.logging_ import logging  # noqa: E402
from kelvora_core.web.request_head import server_http_options  # noqa: E402
from kelvora_core.services.conduit import AsyncConduit  # noqa: E402
from kelvora_core.utils.lease import release_instance_lease  # noqa: E402

HOST = "127.0.0.1"
PORT = 8000


async def seed_sample_enumeration(app: FastAPI) -> None:
    """The sample enumeration, so that a newcomer's /enum answers show something; only outside
    production, only when the enumeration package is served, and only once. Run before the
    services start, so the enumerations load with it."""
    if AppConfig.environment.is_prod or not any(
            router.name == "kelvora_enum" and router.enabled for router in AppConfig.routers):
        return
    from kelvora_enum.registry import enum_registry
    from kelvora_enum.sample import SAMPLE_SCHEMA, seed_sample_enumeration as seed

    # Under the start-up lock: workers started side by side add it once.
    async with startup_lock(), AsyncConduit().get_session(enum_registry.engine_name) as db:
        if await seed(db):
            logging.debug("添加示例枚举: " + SAMPLE_SCHEMA)


def create_app():
    """Build the service; each uvicorn worker calls this once."""
    application = Application()
    application.before_services(seed_sample_enumeration)

    @application.startup
    def announce(app) -> None:
        app.state.started_by = "examples.service"

    # A leased id instance goes back as the service stops, not when its lease runs out.
    application.shutdown(release_instance_lease)

    application.run()
    return application.fastapi


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Run the Kelvora example service.")
    parser.add_argument("--host", default=HOST)
    parser.add_argument("--port", type=int, default=PORT)
    args = parser.parse_args(argv)

    webapp = AppConfig.webapp
    # The application ends requests webapp.graceful_timeout seconds after a stop signal; the
    # server's own limit, a little later, covers connections that never send a request.
    options = {"host": args.host, "port": args.port, "log_level": "info", "loop": webapp.loop,
               **server_http_options(webapp.http), "timeout_graceful_shutdown": webapp.graceful_timeout + 1}
    if webapp.reload:
        # The reloader imports the app itself, through the factory, in a process it restarts.
        uvicorn.run("examples.service:create_app", factory=True, reload=True,
                    reload_dirs=[str(Path(__file__).parent)], **options)
    elif webapp.workers > 1:
        # The workers' start-up checks take turns (a lock in the "Auth" database), so they
        # need no preparation here. Workers start side by side and import everything first, which takes a while on a
        # busy or emulated machine: give them time before the supervisor takes one for hung.
        uvicorn.run("examples.service:create_app", factory=True, workers=webapp.workers,
                    timeout_worker_healthcheck=300, **options)
    else:
        uvicorn.run(create_app(), **options)


if __name__ == "__main__":
    main()
