"""Database sessions: one get_session scope and health_check, per call, on real databases."""

import asyncio
import contextlib
import socket
import tempfile

from sqlalchemy import text
from sqlalchemy.exc import SQLAlchemyError
from sqlalchemy.ext.asyncio import async_sessionmaker
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.config import app_config
from kelvora_core.engine.database_engine import DatabaseEngine
from kelvora_core.logger.logging_ import logging
from kelvora_core.services.conduit import AsyncConduit

INSTRUCTIONS = False  # real servers and their timeouts: timed only

# Database round trips: a few thousand calls per run are plenty.
TARGET_CALLS = 3_000
BATCH = 500
POSTGRES = "postgresql+asyncpg://postgres@127.0.0.1:5432/test"


def reachable(host, port):
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False


class PlainSessions:
    """The same scope and probe written directly on async_sessionmaker."""

    def __init__(self):
        self.factories = {}

    def factory(self, name):
        key = name.lower()
        if key not in self.factories:
            self.factories[key] = async_sessionmaker(
                bind=DatabaseEngine().get_async_engine(key), class_=AsyncSession,
                expire_on_commit=False, autoflush=True)
        return self.factories[key]

    @contextlib.asynccontextmanager
    async def get_session(self, name):
        session = self.factory(name)()
        logging.debug(f"数据库会话 {name} 获取成功 - 「 session_id: {id(session)} 」")
        try:
            yield session
            await session.commit()
            logging.debug(f"数据库会话 {name} 提交成功 - 「 session_id: {id(session)} 」")
        except SQLAlchemyError as exc:
            logging.error(f"数据库会话: {name} 操作异常 - 「 session_id: {id(session)} 」")
            logging.error(f"  错误信息: {exc}")
            await session.rollback()
            raise
        finally:
            await session.close()
            logging.debug(f"数据库会话: {name} 关闭成功 - 「 session_id: {id(session)} 」")

    async def health_check(self, name, timeout=5.0):
        try:
            async with asyncio.timeout(timeout):
                async with self.get_session(name) as session:
                    value = (await session.execute(text("SELECT 1"))).scalar()
                    logging.debug(f"健康检查: {name} 通过 - result: {value}")
                    return value == 1
        except TimeoutError:
            logging.error(f"健康检查: {name} 超时 - timeout: {float(timeout)}s")
        except Exception as exc:
            logging.error(f"健康检查: {name} 失败 - error: {exc}")
        return False


folder = tempfile.mkdtemp(prefix="kelvora-bench-")
databases = {"Lite": f"sqlite+aiosqlite:///{folder}/bench.db"}
if reachable("127.0.0.1", 5432):
    databases["Pg"] = POSTGRES
settings = app_config.AppConfig.model_copy(deep=True)
settings.databases = {n: app_config.DatabaseSetting(url=u) for n, u in databases.items()}
settings.environment.logging_level = "WARNING"  # measure the sessions, not the terminal
app_config.install(settings)

runner = asyncio.Runner()
native, plain = AsyncConduit(), PlainSessions()


def scopes(sessions, name):
    async def batch():
        for _ in range(BATCH):
            async with sessions.get_session(name):
                pass
    return lambda: runner.run(batch())


def probes(sessions, name):
    async def batch():
        for _ in range(BATCH):
            if not await sessions.health_check(name):
                raise RuntimeError(f"{name} is not healthy")
    return lambda: runner.run(batch())


CASES = [
    ("get_session scope, SQLite", "native", scopes(native, "Lite"), BATCH),
    ("get_session scope, SQLite", "python", scopes(plain, "Lite"), BATCH),
]
for name, label in (("Lite", "SQLite"), ("Pg", "PostgreSQL")):
    if name in databases:
        CASES += [(f"health_check, {label}", "native", probes(native, name), BATCH),
                  (f"health_check, {label}", "python", probes(plain, name), BATCH)]
