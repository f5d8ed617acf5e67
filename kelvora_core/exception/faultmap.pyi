from typing import Tuple as Tuple

from sqlalchemy.exc import DatabaseError as DatabaseError
from sqlalchemy.exc import DataError as DataError
from sqlalchemy.exc import IntegrityError as IntegrityError
from sqlalchemy.exc import InterfaceError as InterfaceError
from sqlalchemy.exc import OperationalError as OperationalError
from sqlalchemy.exc import ProgrammingError as ProgrammingError
from sqlalchemy.exc import SQLAlchemyError as SQLAlchemyError
from sqlalchemy.exc import StatementError as StatementError

def format_faultmap(exc: SQLAlchemyError) -> Tuple[str, str]:
    """格式化 SQLAlchemy 异常，返回 (友好提示, 原始错误信息)"""

def _format_integrity_error(exc: IntegrityError) -> Tuple[str, str]:
    """格式化完整性错误，提供更具体的约束冲突提示"""
