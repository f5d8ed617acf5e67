"""Fuzz targets: a short run inside the suite, a long one with `make fuzz` (KELVORA_FUZZ=1)."""

import os
import pathlib
import sys

from hypothesis import HealthCheck, settings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "runtime"))

settings.register_profile("short", max_examples=60, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("fuzz", max_examples=20_000, deadline=None, database=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile("fuzz" if os.environ.get("KELVORA_FUZZ") else "short")
