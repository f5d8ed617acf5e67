"""native/README.md's code is the example module's, and the example behaves as its Python twins."""

import asyncio
import inspect
import json
import pathlib
import re
import types

import bcrypt
import pytest

import _readme_example as example

HERE = pathlib.Path(__file__).resolve().parent
README = HERE.parents[1] / "native" / "README.md"
EXAMPLE = HERE / "_readme_example.cpp"


def test_every_code_block_of_the_readme_is_cut_from_the_example():
    # Compared without white space: clang-format may re-wrap the example, not change its code.
    def code(text):
        return re.sub(r"\s+", "", text)

    source = code(EXAMPLE.read_text(encoding="utf-8"))
    blocks = re.findall(r"^```cpp\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)
    assert blocks
    for block in blocks:
        assert code(block) in source, block


def table_title(name: str, prefix="", *, upper: bool = False) -> str:
    words = name.split("_")
    kept = (w for i, w in enumerate(words) if not (i == 0 and w.lower() in ("t", "v", "sys")))
    title = prefix + "".join(w.capitalize() for w in kept)
    return title.upper() if upper else title


@pytest.mark.parametrize("args,kwargs", [
    (("t_user_role",), {}), (("SYS_log",), {}), (("ǆemo_straße", "Ξ"), {"upper": True}), (("",), {}),
])
def test_a_module_function_binds_and_answers_as_its_twin(args, kwargs):
    assert inspect.signature(example.table_title) == inspect.signature(table_title)
    assert example.table_title(*args, **kwargs) == table_title(*args, **kwargs)
    with pytest.raises(TypeError, match="expected str, got NoneType"):
        example.table_title(None)
    assert example.to_json({"b": 1, "a": [None]}) == json.dumps({"b": 1, "a": [None]}, sort_keys=True)


def count_words(text: str) -> int:
    """How many words the text has."""
    return len(text.split())


async def count_words_later(text: str, delay=0.0) -> int:
    """count_words(text), after asyncio.sleep(delay)."""
    await asyncio.sleep(delay)
    return count_words(text)


@pytest.mark.parametrize("text", ["", "  one ", "two\twords", "ein\u2003zwei\u3000drei"])
def test_the_walk_through_module_answers_as_its_twins(text):
    for native, twin in ((example.count_words, count_words), (example.count_words_later, count_words_later)):
        assert inspect.signature(native) == inspect.signature(twin) and native.__doc__ == twin.__doc__
    assert inspect.iscoroutinefunction(example.count_words_later)
    assert example.count_words(text) == count_words(text)
    assert asyncio.run(example.count_words_later(text)) == count_words(text)
    with pytest.raises(TypeError, match="expected str, got bytes"):
        example.count_words(b"x")


def test_warden_hashes_and_verifies(log_into):
    hashed = example.Warden.hash_password("秘密")
    assert bcrypt.checkpw("秘密".encode(), hashed.encode())
    assert example.Warden.verify_password("秘密", hashed) is True
    log = log_into(example)
    with pytest.raises(ValueError) as failed:
        example.Warden.verify_password("秘密", "not a hash")
    assert log.lines == [("error", f"密码验证系统错误: {failed.value}", True)]


class Session:
    def __init__(self, fail):
        self.fail, self.calls = fail, []

    async def commit(self):
        self.calls.append("commit")
        if self.fail:
            raise RuntimeError("conflict")

    async def rollback(self):
        self.calls.append("rollback")

    def connect(self):
        session = self

        class Connection:
            async def __aenter__(self):
                session.calls.append("enter")
                return self

            async def __aexit__(self, *exc_info):
                session.calls.append(("exit", exc_info[0]))

            async def execute(self, statement):
                if session.fail:
                    raise RuntimeError(statement)
                return types.SimpleNamespace(first=lambda: (statement,))

        return Connection()

    async def dispose(self):
        self.calls.append("dispose")


@pytest.mark.parametrize("fail", [False, True])
def test_coroutines_await_catch_and_clean_up(fail, log_into):
    session = Session(fail)
    log_into(example)

    async def main():
        outcomes = []
        for work in (example.commit(session), example.first_row(session, "SELECT 1"),
                     example.close_all(types.SimpleNamespace(engine=session))):
            try:
                outcomes.append(await work)
            except RuntimeError as error:
                outcomes.append(str(error))
        return outcomes

    outcomes = asyncio.run(main())
    if fail:
        assert outcomes == ["conflict", "SELECT 1", None]
        assert session.calls == ["commit", "rollback", "enter", ("exit", RuntimeError), "dispose"]
    else:
        assert outcomes == [None, ("SELECT 1",), None]
        assert session.calls == ["commit", "enter", ("exit", None), "dispose"]
