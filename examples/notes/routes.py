"""The projects API: every route needs a logged-in user; deleting a project needs the admin role.

The user comes first among each route's parameters, so a request without a valid token is
refused before a session of the "Notes" database is opened, and the tenant of the token is
known before any project is read. Projects are read through the query service, which keeps
to the current tenant when tenancy is enabled; notes are reached through their project.
"""

from __future__ import annotations

from collections.abc import AsyncIterator
from typing import Annotated, Any

from fastapi import Depends, HTTPException, Path, status
from sqlmodel import select
from sqlmodel.ext.asyncio.session import AsyncSession

from kelvora_core.auth.auth_router import AuthRouter
from kelvora_core.portal_auth import AuthUserResponse
from kelvora_core.schemas.paging import Page, PageParams, page_params
from kelvora_core.schemas.types import INT64_MAX
from kelvora_core.services.casbin_service import PermissionService
from kelvora_core.services.conduit import AsyncConduit
from kelvora_core.services.data_service import DataService
from kelvora_core.services.query_service import QueryRequest, QueryService
from kelvora_core.services.warden import Warden
from kelvora_core.web.openapi import error_responses

from .models import Note, NoteCreate, NoteRead, Project, ProjectCreate, ProjectRead
from .registry import NOTES_DATABASE

router = AuthRouter(prefix="/projects", tags=["projects"])

# DELETE /projects/{project_id} is the "delete" action on "project", granted to the role
# "admin" (a user name is its own role, so the default administrator holds it).
router.permission_rule("DELETE", "/{project_id}", data_role="admin", data_act="delete", data_obj="project")

ProjectId = Annotated[int, Path(ge=1, le=INT64_MAX, description="项目 id（64 位整数）")]
Paging = Annotated[PageParams, Depends(page_params())]


async def notes_session() -> AsyncIterator[AsyncSession]:
    """A session of the "Notes" database: committed after the request, rolled back on errors."""
    async with AsyncConduit().get_session(NOTES_DATABASE) as session:
        yield session


async def get_project(project_id: ProjectId, db: AsyncSession = Depends(notes_session)) -> Project:
    project = await QueryService.query_columns_first(db, model_class=Project,
                                                     condition=Project.project_id == project_id)
    if project is None:
        raise HTTPException(status.HTTP_404_NOT_FOUND, "项目不存在")
    return project


@router.get("", response_model=Page[ProjectRead], summary="项目列表")
async def list_projects(paging: Paging, user: AuthUserResponse = Depends(Warden.get_current_user),
                        db: AsyncSession = Depends(notes_session)) -> Any:
    return await QueryService.query_page(db, query_request=QueryRequest(page=paging.page, size=paging.size),
                                         model_class=Project, response_class=ProjectRead)


@router.post("", response_model=ProjectRead, status_code=status.HTTP_201_CREATED, summary="新建项目",
             description="项目名称在租户内唯一：重名时数据库拒绝写入，返回 409 和可读的错误信息。",
             responses=error_responses(409))
async def create_project(data: ProjectCreate, user: AuthUserResponse = Depends(Warden.get_current_user),
                         db: AsyncSession = Depends(notes_session)) -> Project:
    row = Project.model_validate(data, update={"owner": user.username})
    return await DataService.create(db, model_class=Project, create_model=row, response_class=Project)


@router.get("/{project_id}", response_model=ProjectRead, summary="项目详情")
async def read_project(user: AuthUserResponse = Depends(Warden.get_current_user),
                       project: Project = Depends(get_project)) -> Project:
    return project


@router.delete("/{project_id}", status_code=status.HTTP_204_NO_CONTENT, summary="删除项目（管理员）")
async def delete_project(user: AuthUserResponse = Depends(PermissionService.dependency()),
                         project: Project = Depends(get_project),
                         db: AsyncSession = Depends(notes_session)) -> None:
    for note in (await db.exec(select(Note).where(Note.project_id == project.project_id))).all():
        await db.delete(note)
    await db.delete(project)
    # Committed before answering: the scope's own commit runs after the response is sent.
    await db.commit()


@router.get("/{project_id}/notes", response_model=Page[NoteRead], summary="项目的笔记")
async def list_notes(paging: Paging, user: AuthUserResponse = Depends(Warden.get_current_user),
                     project: Project = Depends(get_project),
                     db: AsyncSession = Depends(notes_session)) -> Any:
    request = QueryRequest(filter=[{"field": "project_id", "op": "=", "val": project.project_id}],
                           page=paging.page, size=paging.size)
    return await QueryService.query_page(db, query_request=request, model_class=Note, response_class=NoteRead)


@router.post("/{project_id}/notes", response_model=NoteRead, status_code=status.HTTP_201_CREATED,
             summary="新建笔记")
async def create_note(data: NoteCreate, user: AuthUserResponse = Depends(Warden.get_current_user),
                      project: Project = Depends(get_project),
                      db: AsyncSession = Depends(notes_session)) -> Note:
    row = Note.model_validate(data, update={"project_id": project.project_id})
    return await DataService.create(db, model_class=Note, create_model=row, response_class=Note)
