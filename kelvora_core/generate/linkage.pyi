from dataclasses import dataclass as dataclass

@dataclass
class LinkageColumn:
    schema_name: str
    alias_index: str
    sort_order: bool
    unique: bool
    constrained_table: str
    constrained_class: str
    constrained_column: str
    constrained_name: str
    referred_table: str
    referred_class: str
    referred_column: str
    referred_name: str
    @classmethod
    def get_camel_name(cls, source: str, is_plural: object) -> str: ...
    @classmethod
    def get_property_name(cls, source: str, is_plural: object) -> str: ...
    @staticmethod
    def _make_plural_entity(entity_name: str) -> str:
        """将实体名称转换为复数形式
        注意：这是一个简单的规则实现，可能不适用于所有情况"""
