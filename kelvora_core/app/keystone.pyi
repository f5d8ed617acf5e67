import asyncio as asyncio
from abc import ABC as ABC
from contextlib import asynccontextmanager as asynccontextmanager
from typing import Any, AsyncGenerator as AsyncGenerator, Callable as Callable

from fastapi import FastAPI as FastAPI
from fastapi.openapi.docs import get_swagger_ui_html as get_swagger_ui_html
from fastapi.responses import HTMLResponse as HTMLResponse
from fastapi.staticfiles import StaticFiles as StaticFiles
from sqlalchemy.orm import registry as registry

from ..auth.auth_router import AuthRouter as AuthRouter
from ..config.app_config import AppConfig as AppConfig
from ..config.schemas.routers import RouterConfigSetting as RouterConfigSetting
from ..engine.casbin_engine import PermissionEngine as PermissionEngine
from ..engine.database_engine import DatabaseEngine as DatabaseEngine
from ..engine.disk_engine import DiskEngine as DiskEngine
from ..engine.redis_engine import RedisEngine as RedisEngine
from ..exception.register_handlers import register_exception_handlers as register_exception_handlers
from ..logger.logging_ import logging as logging
from ..services.casbin_service import PermissionService as PermissionService
from ..services.conduit import AsyncConduit as AsyncConduit
from ..services.data_service import DataService as DataService
from ..services.enum_service import EnumService as EnumService
from ..services.query_service import QueryService as QueryService
from ..services.warden import Warden as Warden
from ..tools.class_scaner import ClassScanner as ClassScanner
from ..tools.surveyor import Surveyor as Surveyor
from ..tools.tenant_manager import TenantManager as TenantManager
from ..utils.core_utils import CoreUtil as CoreUtil

class Application(ABC):
    """应用：启动报告、Web 应用、路由发现、生命周期与引擎。"""

    _startup_handlers: list[Callable[..., Any]]
    _shutdown_handlers: list[Callable[..., Any]]
    _before_services_handlers: list[Callable[..., Any]]
    fastapi: FastAPI | None
    def __init__(self) -> None: ...
    def run(self) -> None:
        """构建 Web 应用：FastAPI、启动处理、引擎、路由、异常处理；不启动服务器。"""
    def startup(self, func: Callable) -> Callable:
        """注册启动处理（装饰器），原样返回 func。"""
    def shutdown(self, func: Callable) -> Callable:
        """注册关闭处理（装饰器），原样返回 func。"""
    def before_services(self, func: Callable) -> Callable:
        """注册服务启动前的处理（装饰器）：数据库检查与默认账户之后、权限与枚举加载之前，
        以 app 调用（协程函数则等待）；原样返回 func。"""
    def _event_startup(self) -> None: ...
    async def _event_shutdown(self) -> None: ...
    def _init_fastapi(self) -> FastAPI: ...
    @asynccontextmanager
    def _lifespan(self, app: FastAPI) -> AsyncGenerator[None, None]:
        """生命周期：启动时检查数据库与默认账户并启动服务，退出时执行关闭处理并释放引擎。"""
    @staticmethod
    async def _lifespan_check_admin_user() -> None: ...
    @staticmethod
    async def _lifespan_check_database() -> None: ...
    @staticmethod
    def _init_engine() -> None: ...
    @staticmethod
    async def _unload_engine() -> None: ...
    def _router_include(self, controllers: Any) -> None: ...
    def _init_exception(self) -> None: ...
    def _router_scan(self) -> None: ...
    @staticmethod
    def _router_override_tags(router: Any, new_tags: Any) -> None: ...
    @classmethod
    def _init_print_banner(cls) -> None: ...
    @classmethod
    def _init_environment(cls) -> None: ...
    async def _lifespan_services(self) -> None: ...
    @classmethod
    async def _service_enums(cls) -> None: ...
    @classmethod
    async def _service_permission(cls) -> None: ...
