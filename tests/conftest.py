"""Shared test set-up: import paths and the database servers the suite may use."""

import os
import sys

import pytest
from hypothesis import settings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for path in (ROOT, os.path.join(ROOT, "tests"), os.path.join(ROOT, "tests", "runtime")):
    if path not in sys.path:
        sys.path.insert(0, path)

from _servers import server_url  # noqa: E402

# Under qemu (cross/armhf/python) an example takes 10 to 30 times as long, more on a busy machine:
# the same examples there, without the per-example deadline.
settings.register_profile("emulated", deadline=None)
if os.environ.get("KELVORA_EMULATED"):
    settings.load_profile("emulated")


@pytest.fixture
def postgres_url():
    return server_url("postgresql")


@pytest.fixture
def mariadb_url():
    return server_url("mariadb")
