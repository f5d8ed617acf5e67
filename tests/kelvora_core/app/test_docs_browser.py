"""The documentation pages in a real browser: Debian's chromium, headless, driven by Playwright.

Every request the pages make is watched: anything not bound for the service on 127.0.0.1 is
refused and fails the test, so the pages must work without the internet.
"""

import os
import shutil
from pathlib import Path
from urllib.parse import urlsplit

import pytest

BROWSERS = ("/usr/lib/chromium/chromium", shutil.which("chromium") or "/usr/bin/chromium")


def chromium() -> str:
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the browser does not run with the sanitizer runtime preloaded")
    for path in BROWSERS:
        if Path(path).is_file() and os.access(path, os.X_OK):
            return path
    reason = "chromium not installed (apt-get install chromium)"
    if os.environ.get("CI", "").lower() == "true":
        pytest.fail(reason + "; CI requires it", pytrace=False)
    pytest.skip(reason)


@pytest.fixture(scope="module")
def browser():
    executable = chromium()
    sync_api = pytest.importorskip("playwright.sync_api")
    with sync_api.sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=executable, headless=True)
        yield launched
        launched.close()


@pytest.fixture
def page(browser, service):
    context = browser.new_context(base_url=service.url)
    page = context.new_page()
    page.set_default_timeout(30_000)
    page.foreign = []

    def guard(route):
        if urlsplit(route.request.url).hostname == "127.0.0.1":
            route.continue_()
        else:
            page.foreign.append(route.request.url)
            route.abort()

    context.route("**/*", guard)
    yield page
    context.close()
    assert page.foreign == [], "requests left 127.0.0.1"


def operation(page, method, path):
    return page.locator(f".opblock-{method}:has(.opblock-summary-path[data-path='{path}'])")


def test_swagger_lists_operations_logs_in_and_tries_auth_me(page):
    page.goto("/docs")
    page.wait_for_selector(".opblock")
    paths = set(page.locator(".opblock-summary-path").evaluate_all("nodes => nodes.map(n => n.dataset.path)"))
    assert {"/auth/token", "/auth/me", "/api/projects", "/api/projects/{project_id}/notes"} <= paths

    page.click(".auth-wrapper button.authorize")
    dialog = page.locator(".modal-ux")
    dialog.locator("#oauth_username").fill("admin")
    dialog.locator("#oauth_password").fill("admin")
    dialog.locator(".auth-btn-wrapper button.authorize").first.click()
    dialog.locator(".auth-btn-wrapper button:has-text('Logout')").first.wait_for()
    dialog.locator("button.btn-done").first.click()

    me = operation(page, "get", "/auth/me")
    me.locator(".opblock-summary").click()
    me.locator("button.try-out__btn").click()
    me.locator("button.execute").click()
    status = me.locator(".live-responses-table tbody .response-col_status").first
    status.wait_for()
    assert status.inner_text().strip() == "200"
    answer = me.locator(".live-responses-table tbody .response-col_description").first
    assert '"username": "admin"' in answer.inner_text()


def test_redoc_renders_the_operations(page):
    page.goto("/redoc")
    page.wait_for_selector("[data-section-id^='tag/']")
    text = page.locator("#redoc-container").inner_text()
    for summary in ("登录，获取令牌", "当前用户", "项目列表", "新建笔记"):
        assert summary in text
