"""The example service: ``make run``, or ``python -m examples.service [--host H] [--port P]``.

Run from the repository root: the configuration is ``examples/config.yaml`` unless
``KELVORA_CONFIG`` names another file, and the documentation assets are served from
``./static``. ``webapp.reload`` and ``webapp.workers`` decide how uvicorn runs it.
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

# The configuration is read when the framework is first imported, so name it before that.
os.environ.setdefault("KELVORA_CONFIG", str(Path(__file__).with_name("config.yaml")))

import uvicorn  # noqa: E402

from kelvora_core.app.keystone import Application  # noqa: E402
from kelvora_core.config.app_config import AppConfig  # noqa: E402

HOST = "127.0.0.1"
PORT = 8000


def create_app():
    """Build the service; each uvicorn worker calls this once."""
    application = Application()

    @application.startup
    def announce(app) -> None:
        app.state.started_by = "examples.service"

    application.run()
    return application.fastapi


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Run the Kelvora example service.")
    parser.add_argument("--host", default=HOST)
    parser.add_argument("--port", type=int, default=PORT)
    args = parser.parse_args(argv)

    webapp = AppConfig.webapp
    options = {"host": args.host, "port": args.port, "log_level": "info"}
    if webapp.reload or webapp.workers > 1:
        # Reload and worker processes import the app themselves, through the factory.
        uvicorn.run("examples.service:create_app", factory=True, reload=webapp.reload,
                    reload_dirs=[str(Path(__file__).parent)] if webapp.reload else None,
                    workers=None if webapp.reload else webapp.workers, **options)
    else:
        uvicorn.run(create_app(), **options)


if __name__ == "__main__":
    main()
