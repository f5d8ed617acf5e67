import re as re
from dataclasses import dataclass as dataclass
from typing import Pattern as Pattern

@dataclass
class Gatepost:
    """表示一条数据权限控制规则。"""

    method: str
    pattern: Pattern
    data_role: str
    data_act: str
    data_obj: str
    @staticmethod
    def convert_path_to_regex(path: str) -> Pattern:
        """将 FastAPI 路径模板转换为用于精确结尾匹配的正则表达式。"""
