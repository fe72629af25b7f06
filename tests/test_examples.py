"""The example adapter users copy, and the demo that runs it."""

import asyncio
import os
import subprocess
import sys

import pytest

import support

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
sys.path.insert(0, EXAMPLES)

from iocp_files import IocpFiles  # noqa: E402


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 20))


def test_round_trip(tmp_path):
    path = str(tmp_path / "data")

    async def scenario():
        async with IocpFiles() as files:
            handle = await files.open(path, write=True, create=True)
            assert await files.write(handle, 0, b"hello world") == 11
            assert await files.read(handle, 6, 100) == b"world"
            assert await files.read(handle, 50, 10) == b""
            await files.close(handle)

    run(scenario())
    with open(path, "rb") as f:
        assert f.read() == b"hello world"


def test_failures_become_oserror_with_the_code(tmp_path):
    async def scenario():
        async with IocpFiles() as files:
            with pytest.raises(OSError) as caught:
                await files.open(str(tmp_path / "missing"))
            assert support.winerror(caught.value) == 2
            with pytest.raises(OSError) as caught:
                await files.close(-1)
            assert support.winerror(caught.value) == 6

    run(scenario())


def test_cancelled_wait_leaves_the_adapter_usable(tmp_path, emu):
    path = str(tmp_path / "data")

    async def scenario():
        async with IocpFiles() as files:
            handle = await files.open(path, write=True, create=True)
            emu.set_io_mode(support.IO_HELD)
            held = asyncio.ensure_future(files.write(handle, 0, b"x" * 10))
            await asyncio.sleep(0)
            held.cancel()
            emu.release_held()
            emu.set_io_mode(support.IO_INLINE)
            assert await files.write(handle, 10, b"y") == 1
            await files.close(handle)

    run(scenario())


def test_shutdown_fails_what_is_still_pending(tmp_path, emu):
    async def scenario():
        files = IocpFiles()
        handle = await files.open(str(tmp_path / "f"), write=True, create=True)
        emu.set_io_mode(support.IO_HELD)
        pending = files.read(handle, 0, 1)
        files.shutdown()
        with pytest.raises(RuntimeError, match="shut down"):
            await pending

    run(scenario())


def test_demo_copies_and_verifies(tmp_path):
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "copy_demo.py"), "--size", "2", "--block", "64",
         "--depth", "4", "--path", str(tmp_path / "src.bin")],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "both copies match" in result.stdout
    assert "MB/s" in result.stdout and "Iocp / executor" in result.stdout
