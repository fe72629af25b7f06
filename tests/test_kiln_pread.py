"""Positional reads and writes, many in flight on one file."""

import asyncio
import os
import random

import pytest

import kiln
from kiln_helpers import io_mode, run  # noqa: F401 - io_mode is a fixture
from support import needs_emulation

SIZE = 64 * 1024 + 123


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "data"
    content = os.urandom(SIZE)
    path.write_bytes(content)
    return path, content


def test_pread_many_returns_results_in_request_order(io_mode, data_file):
    path, content = data_file
    rng = random.Random(7)
    requests = [(rng.randrange(SIZE + 100), rng.randrange(0, 5000)) for _ in range(1000)]
    requests += [(SIZE - 10, 64), (SIZE, 1), (SIZE + 4096, 10), (0, 0)]  # short, empty, past the end

    async def scenario():
        async with kiln.open(path) as f:
            assert await f.pread_many([]) == []
            got = await f.pread_many(iter(requests))
            assert await f.tell() == 0  # no shared position moved
            return got

    assert run(scenario()) == [content[offset:offset + size] for offset, size in requests]


def test_many_preads_and_pwrites_in_flight_on_one_file(io_mode, tmp_path):
    path = tmp_path / "f"
    blocks = [bytes([n]) * 512 for n in range(256)]

    async def scenario():
        async with kiln.open(path, "w+b") as f:
            counts = await asyncio.gather(*(f.pwrite(n * 512, block) for n, block in enumerate(blocks)))
            assert counts == [512] * 256
            got = await asyncio.gather(*(f.pread(n * 512, 512) for n in reversed(range(256))))
            assert got == blocks[::-1]
            assert await f.pwrite(0, bytearray(b"ba")) == 2 and await f.pwrite(2, memoryview(b"xyz")[1:]) == 2

    run(scenario())
    assert path.read_bytes()[:4] == b"bayz"


@needs_emulation
def test_one_failed_read_fails_pread_many_after_the_others(emu, data_file):
    path, content = data_file

    async def scenario():
        async with kiln.open(path) as f:
            emu.fail_next("ReadFile", 6)
            with pytest.raises(OSError) as caught:
                await f.pread_many([(0, 10), (10, 10), (20, 10)])
            assert caught.value.filename is None  # as a failed read of the built-in
            assert f.raw._inflight == 0  # close below does not wait for anything
            assert await f.pread_many([(0, 3)]) == [content[:3]]

    run(scenario())


def test_cancelled_pread_many_lets_the_file_close(io_mode, data_file):
    path, content = data_file

    async def scenario():
        f = await kiln.open(path)
        task = asyncio.ensure_future(f.pread_many([(n, 100) for n in range(0, SIZE, 100)]))
        await asyncio.sleep(0)
        task.cancel()
        await f.close()
        assert f.raw._inflight == 0
        with pytest.raises(asyncio.CancelledError):
            await task

    run(scenario())


def test_positional_calls_see_and_order_after_the_files_own_buffers(io_mode, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")

    async def scenario():
        async with kiln.open(path, "r+b") as f:
            assert await f.read(2) == b"01"  # the rest of the file is now read ahead
            await f.pwrite(2, b"ab")
            assert await f.read(2) == b"ab"  # not the stale read-ahead
            await f.write(b"XY")  # buffered
            assert await f.pread(4, 2) == b"XY"
            await f.write(b"..")  # buffered at 6
            await f.pwrite(6, b"!!")  # must not be overwritten by the buffered write later
            assert await f.pread_many([(0, 10)]) == [b"01abXY!!89"]

    run(scenario())
    assert path.read_bytes() == b"01abXY!!89"


@pytest.mark.parametrize("piece", [1000, SIZE, SIZE + 1])
def test_readall_in_pieces(io_mode, data_file, monkeypatch, piece):
    path, content = data_file
    monkeypatch.setattr("kiln._raw.READALL_PIECE", piece)

    async def scenario():
        async with kiln.open(path, buffering=512) as f:
            assert await f.read(3) == content[:3]
            assert await f.read() == content[3:]
            assert await f.tell() == SIZE

    run(scenario())
