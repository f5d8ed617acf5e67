"""Example services for the tests that only talk to them, each started once for the session."""

import functools

import pytest

from _service import Service, backend_database, example_config, login, run_sql

SECRET = "live-test-secret-key-of-more-than-32-bytes"


@pytest.fixture(scope="session")
def service(tmp_path_factory):
    directory = tmp_path_factory.mktemp("service")
    config = example_config(directory, auth={"default_admin_users": ["admin", "guest"], "token_secret_key": SECRET})
    running = Service(config)
    try:
        running.wait_ready()
        yield running
    finally:
        running.stop()


@pytest.fixture(scope="session", params=["sqlite", "postgresql", "mariadb"])
def backend(request, tmp_path_factory):
    """The example service on an empty database of each backend, with tenancy on: "admin" and
    "guest" in tenant 1, "other" in tenant 2."""
    directory = tmp_path_factory.mktemp(request.param)
    with backend_database(request.param, directory) as url:
        config = example_config(directory, url, auth={
            "default_admin_users": ["admin", "guest", "other"], "token_secret_key": SECRET,
            "tenant": {"enabled": True, "default_tenant_id": "1"}})
        running = Service(config)
        try:
            running.wait_ready()
            run_sql(url, "UPDATE auth_user SET tenant_id = '2' WHERE username = 'other'")
            running.backend = request.param
            running.login = functools.cache(functools.partial(login, running.url))  # bcrypt is slow
            yield running
        finally:
            running.stop()
