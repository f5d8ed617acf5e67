"""Instance-id leases for the id generator, from the store the configuration names.

Redis when ``redis.url`` is set, otherwise the table ``kelvora_instance_lease`` of the "Auth"
database; ``generate_snowflake.lease_seconds`` is how long a lease lasts unrenewed.
"""

from __future__ import annotations

from collections.abc import Callable
from functools import partial

from ..base.instance_lease import InstanceLease, LeaseStore
from ..base.snowflake import wall_clock_ms

__all__ = ["lease_from_config", "store_factory_from_config"]


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
