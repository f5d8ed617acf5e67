from threading import Lock as Lock
from typing import Any, ClassVar, Iterator, Optional as Optional

from ..config.app_config import AppConfig as AppConfig
from .base.snowflake import SnowflakeGenerator as SnowflakeGenerator

class MinterUtil:
    _instance: ClassVar[Optional[MinterUtil]]
    _lock: ClassVar[Any]
    generator: Iterator[int]
    @staticmethod
    def __new__(cls, *args: Any, **kwargs: Any) -> MinterUtil: ...
    def __load__(self) -> None: ...
    def generate_id(self) -> Optional[int]: ...

minter_util: MinterUtil

def get_primary_id() -> Optional[int]: ...
def get_primary_str() -> Optional[str]: ...
