"""Instance-id leases for the id generator, from the store the configuration names.

Redis when ``redis.url`` is set, otherwise the table ``kelvora_instance_lease`` of the "Auth"
database; ``generate_snowflake.lease_seconds`` is how long a lease lasts unrenewed.
"""

from __future__ import annotations

from collections.abc import Callable
from functools import partial

from ..base.instance_lease import InstanceLease, LeaseStore
from ..base.snowflake import wall_clock_ms

__all__ = ["lease_from_config", "release_instance_lease", "store_factory_from_config"]


def store_factory_from_config() -> Callable[[], LeaseStore]:
    from ...config.app_config import AUTH_DATABASE, AppConfig

    if AppConfig.redis.url:
        from .redis_store import RedisLeaseStore

        return partial(RedisLeaseStore, AppConfig.redis.url)
    from .table_store import TableLeaseStore

    for name, setting in AppConfig.databases.items():
        if name.lower() == AUTH_DATABASE.lower():
            return partial(TableLeaseStore, setting.url)
    raise LookupError(f"no {AUTH_DATABASE!r} database is configured to lease instance ids from")


def lease_from_config(clock: Callable[[], int] = wall_clock_ms) -> InstanceLease:
    """A lease (not yet taken) on the store and for the time the configuration gives."""
    from ...config.app_config import AppConfig

    return InstanceLease(store_factory_from_config(), AppConfig.generate_snowflake.lease_seconds,
                         clock=clock)


def release_instance_lease() -> None:
    """Gives the instance id of the process's id generator back now, if it is a leased one.

    Register it as a shut-down handler (``application.shutdown(release_instance_lease)``): the
    interpreter's exit handlers release it too, but a web server that ends on SIGTERM (uvicorn's
    workers do) skips them, and the instance would then stay taken until its lease runs out.
    """
    from ..minter import minter_util

    release = getattr(getattr(minter_util, "generator", None), "release", None)
    if release is not None:
        release()
