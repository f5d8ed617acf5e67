import logging as stdlib_logging

import pytest

from kelvora_core.config.app_config import AppConfig
from kelvora_core.logger.logging_ import SEPARATOR, logging


@pytest.fixture
def records(caplog):
    AppConfig.environment.logging_level = "DEBUG"
    caplog.set_level(stdlib_logging.NOTSET)
    return caplog


def logged(caplog):
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]


def test_messages_are_written_unchanged_at_their_level(records):
    logging.debug("调试 %s 100%")
    logging.info("启动应用: 示例 ")
    logging.warning("router 禁用 name: shop")
    logging.error("数据库错误 %d")
    logging.debug_line()
    logging.info_line()
    assert SEPARATOR.strip()
    assert logged(records) == [
        ("kelvora", "DEBUG", "调试 %s 100%"),
        ("kelvora", "INFO", "启动应用: 示例 "),
        ("kelvora", "WARNING", "router 禁用 name: shop"),
        ("kelvora", "ERROR", "数据库错误 %d"),
        ("kelvora", "DEBUG", SEPARATOR),
        ("kelvora", "INFO", SEPARATOR),
    ]
    # Records point at the caller, not at the facade.
    assert {(r.filename, r.funcName) for r in records.records} == {
        ("test_logging.py", "test_messages_are_written_unchanged_at_their_level")
    }


def test_warning_takes_keyword_and_any_object(records):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text form")

    logging.warning(message="忽略 基于「APIRouter」路由")
    logging.warning(42)
    logging.warning(("23505", "duplicate key"))
    logging.warning(ValueError("值错误"))
    logging.warning(None)
    logging.warning(Unprintable())
    messages = [m for _, _, m in logged(records)]
    assert messages[:5] == ["忽略 基于「APIRouter」路由", "42", "('23505', 'duplicate key')", "值错误", "None"]
    assert "Unprintable object at" in messages[5]
    assert all(isinstance(r.msg, str) for r in records.records)


def test_level_follows_configuration_at_every_call(records):
    AppConfig.environment.logging_level = "WARNING"
    logging.debug_line()
    logging.debug("hidden")
    logging.info("hidden")
    logging.warning("shown")
    AppConfig.environment.logging_level = "info"
    logging.debug("hidden")
    logging.info("shown too")
    assert logged(records) == [("kelvora", "WARNING", "shown"), ("kelvora", "INFO", "shown too")]


def test_error_with_exc_info_records_the_traceback(records):
    def fail():
        raise ZeroDivisionError("除零")

    try:
        fail()
    except ZeroDivisionError as exc:
        logging.error("失败", exc_info=True)
        caught = exc
    logging.error("no traceback")
    logging.error("nothing being handled", exc_info=True)
    with_tb, plain, outside = records.records
    assert with_tb.exc_info[1] is caught
    assert "Traceback (most recent call last)" in records.text
    assert "in fail" in records.text and "ZeroDivisionError: 除零" in records.text
    assert not plain.exc_info and not outside.exc_info
    assert records.text.count("Traceback") == 1
    assert "NoneType: None" not in records.text
