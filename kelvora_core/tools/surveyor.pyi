from sqlalchemy import MetaData as MetaData, inspect as inspect, text as text
from sqlalchemy.engine import Connection
from sqlalchemy.exc import OperationalError as OperationalError

from ..engine.database_engine import DatabaseEngine as DatabaseEngine
from ..logger.logging_ import logging as logging

def _table_names(sync_conn: Connection, schema: str | None) -> set[str]: ...
def _schema_names(sync_conn: Connection) -> list[str]: ...
def _create_all(sync_conn: Connection, metadata: MetaData) -> None: ...

class Surveyor:
    """把表模型的元数据同步到数据库：选定 schema，补建缺失的 schema 与表。"""

    @staticmethod
    async def metadata_to_database(
        source_metadata: MetaData, engine_name: str, auto_create: bool = True
    ) -> MetaData | None:
        """返回复制到选定 schema 的元数据；没有表时原样返回；创建失败时返回 None。"""
