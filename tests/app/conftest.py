"""One example service for the tests that only talk to it, started once for the session."""

import pytest

from _service import Service, example_config


@pytest.fixture(scope="session")
def service(tmp_path_factory):
    directory = tmp_path_factory.mktemp("service")
    config = example_config(directory, auth={"default_admin_users": ["admin", "guest"],
                                             "token_secret_key": "live-test-secret-key-of-more-than-32-bytes"})
    running = Service(config)
    try:
        running.wait_ready()
        yield running
    finally:
        running.stop()
