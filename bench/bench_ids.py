"""Unique ids: get_primary_id and get_primary_str over the process-wide generator."""

from kelvora_core.config.app_config import AppConfig

# A bench has no "Auth" database to lease an instance from: use a fixed one.
AppConfig.generate_snowflake.instance_id = 1

from kelvora_core.utils import minter  # noqa: E402
from kelvora_core.utils.base.snowflake import SnowflakeGenerator  # noqa: E402

CYTHON = True  # the plain rows also run compiled with Cython 3


class PlainMinter:
    """The same single instance and shortcuts in plain Python."""

    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = super().__new__(cls)
            cls._instance.generator = SnowflakeGenerator(
                instance=AppConfig.generate_snowflake.instance_id,
                epoch=AppConfig.generate_snowflake.epoch_time)
        return cls._instance

    def generate_id(self):
        value = next(self.generator)
        if value is not None and type(value) is not int:
            raise TypeError(f"Expected int, got {type(value).__name__}")
        return value


plain_util = PlainMinter()


def plain_get_primary_id():
    value = plain_util.generate_id()
    if value is not None and type(value) is not int:
        raise TypeError(f"Expected int, got {type(value).__name__}")
    return value


def plain_get_primary_str():
    return str(plain_get_primary_id())


def _generator_only():
    # The generator's own cost, the floor under both implementations.
    gen = minter.minter_util.generator
    return lambda: next(gen)


CASES = [
    ("get_primary_id", "native", minter.get_primary_id, 1),
    ("get_primary_id", "python", plain_get_primary_id, 1),
    ("get_primary_str", "native", minter.get_primary_str, 1),
    ("get_primary_str", "python", plain_get_primary_str, 1),
    ("next(SnowflakeGenerator) alone (floor)", "python", _generator_only(), 1),
]
