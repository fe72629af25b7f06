"""What a user meets first: help, messages for common mistakes, warnings."""

import asyncio
import gc
import inspect
import pydoc
import threading

import pytest

import kiln
from kiln_helpers import run


@pytest.mark.parametrize("cls", [kiln.AsyncFile, kiln.AsyncTextFile])
def test_help_shows_no_internal_constructor(cls):
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert "_setup" not in text and "_create" not in text
    assert "raw: " not in text.split("\n", 5)[-1].split("|  Methods")[0]


@pytest.mark.parametrize("cls", [kiln.AsyncFile, kiln.AsyncTextFile])
def test_every_public_method_has_a_doc_string(cls):
    missing = [name for name, member in inspect.getmembers(cls)
               if not name.startswith("_") and callable(member) and not inspect.getdoc(member)]
    assert missing == []


def test_a_forgotten_await_says_to_await(tmp_path):
    async def scenario():
        opener = kiln.open(tmp_path / "f", "wb")
        with pytest.raises(AttributeError, match="await kiln.open"):
            opener.write(b"x")

    run(scenario())


def test_a_string_written_to_a_binary_file_is_refused_as_the_builtin_refuses_it(tmp_path):
    async def scenario():
        async with kiln.open(tmp_path / "f", "wb") as f:
            with pytest.raises(TypeError, match="^a bytes-like object is required, not 'str'$"):
                await f.write("text")

    run(scenario())


def test_a_forgotten_file_warns_with_its_name_and_mode(tmp_path):
    path = tmp_path / "f"

    async def scenario():
        f = await kiln.open(path, "wb")
        with pytest.warns(ResourceWarning, match=r"^unclosed file <kiln\.AsyncFile name='.*f' mode='wb'>$"):
            del f
            gc.collect()

    run(scenario())


@pytest.mark.parametrize("where", ["thread", "loop"])
def test_use_from_another_thread_or_loop_is_a_runtime_error_naming_both(tmp_path, where):
    path = tmp_path / "f"
    path.write_bytes(b"data")

    async def elsewhere(f):
        return await f.read()

    async def scenario():
        f = await kiln.open(path)
        outcome = {}

        def use():
            try:
                asyncio.run(elsewhere(f))
            except BaseException as exc:  # noqa: B036 - a BaseException would be the fault
                outcome["error"] = exc

        if where == "thread":
            thread = threading.Thread(target=use)
            thread.start()
            thread.join()
        else:
            await asyncio.to_thread(use)
        error = outcome["error"]
        assert type(error) is RuntimeError
        assert "belongs to event loop" in str(error) and "used from event loop" in str(error)
        assert await f.read() == b"data"  # the file is unharmed
        await f.close()

    run(scenario())
