from typing import Any

from kelvora_core import (
    AsyncSession as AsyncSession,
    CoreUtil as CoreUtil,
    QueryRequest as QueryRequest,
    QueryService as QueryService,
)

from ..generate.entity_table.sys_enum_field import (
    EnumField as EnumField,
    EnumFieldResponse as EnumFieldResponse,
)
from ..generate.entity_table.sys_enum_schema import EnumSchema as EnumSchema
from ..schema.enum import LexiconRequest as LexiconRequest

class LexiconService:
    """枚举查询：枚举 schema 的字段列表，以及字段的枚举值树。"""

    @classmethod
    async def query_schema(cls, *, schema_name: Any, db: AsyncSession) -> Any:
        """查询 schema 的字段；没有该 schema 时返回空列表。"""
    @classmethod
    async def query_field(
        cls, *, db: AsyncSession, schema_name: Any, quest_request: LexiconRequest
    ) -> dict[Any, Any] | list[Any]:
        """查询字段的枚举值树，按字段名（或请求中的别名）返回；没有该 schema 时返回空列表。"""
    @classmethod
    async def _query_field_all(cls, db: AsyncSession, schema: EnumSchema) -> Any:
        """schema 全部有效字段的枚举值树。"""
    @classmethod
    async def _query_field_no_pid(
        cls, db: AsyncSession, key_length: int, quest_request: LexiconRequest, schema: EnumSchema
    ) -> Any:
        """所请求字段的顶层枚举值。"""
    @classmethod
    async def _query_field_pid(
        cls,
        db: AsyncSession,
        index: int,
        key_value: str,
        query_data: list[Any],
        quest_request: LexiconRequest,
        schema: EnumSchema,
    ) -> None:
        """把一个字段在某个父值下的枚举值追加到 query_data。"""
    @classmethod
    def _get_query_request_flied(
        cls, schema_id: Any, key_op: Any, key_value: Any, enum_pid: Any
    ) -> dict[str, Any]:
        """字段枚举值的查询描述。"""
    @classmethod
    def _get_query_request_schema(cls, schema_id: Any) -> dict[str, Any]:
        """schema 字段列表的查询描述。"""
