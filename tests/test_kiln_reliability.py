"""Cancellation, loop close, exit and files that never answer: nothing lost, leaked or left waiting."""

import asyncio
import contextlib
import gc
import logging
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kiln
from kiln_helpers import descriptor_count, io_mode, run, thread_count  # noqa: F401 - io_mode is a fixture
from support import IO_DEFERRED, IO_HELD, IO_INLINE, IO_POOL, IO_SYSTEM, needs_emulation

BIG = 32 << 20


@pytest.fixture(scope="module")
def busy_source(tmp_path_factory):
    """A file whose reads keep the engine's workers busy."""
    path = tmp_path_factory.mktemp("busy") / "source"
    with open(path, "wb") as f:
        f.write(os.urandom(1 << 20) * 128)
    return path


@pytest.mark.parametrize("call", ["write", "pwrite"])
def test_a_cancelled_write_never_lands_over_a_later_one(io_mode, tmp_path, busy_source, call):
    path = tmp_path / "f"

    async def scenario():
        async with kiln.open(busy_source) as source, kiln.open(path, "w+b") as f:
            busy = [asyncio.ensure_future(source.pread(n << 20, 32 << 20)) for n in range(0, 128, 32)]
            await asyncio.sleep(0)
            first = f.write(b"A" * BIG) if call == "write" else f.pwrite(0, b"A" * BIG)
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(first, 0.005)
            if call == "write":
                await f.seek(0)
                await f.write(b"B" * 4096)
                await f.flush()
            else:
                await f.pwrite(0, b"B" * 4096)
            assert await f.pread(0, 4096) == b"B" * 4096
            await asyncio.gather(*busy)

    for _ in range(5):
        run(scenario())
        with open(path, "rb") as f:
            assert f.read(4096) == b"B" * 4096


def run_script(source, timeout=60):
    return subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(source)], capture_output=True,
                          text=True, timeout=timeout)


@pytest.mark.parametrize("mode, steps, expected", [
    ("wb", 'await f.write(b"written, never flushed")', b"written, never flushed"),
    ("w", 'await f.write("written, never flushed")', b"written, never flushed"),
    ("r+b", 'await f.read(3); await f.write(b"ABC")', b"...ABC" + b"." * 10),
], ids=["binary", "text", "over the read-ahead"])
def test_buffered_writes_reach_the_file_at_exit_without_a_close(tmp_path, mode, steps, expected):
    path = tmp_path / "f"
    path.write_bytes(b"." * 16)
    result = run_script(f"""
        import asyncio, kiln, warnings
        warnings.simplefilter("ignore", ResourceWarning)
        kept = []
        async def main():
            f = await kiln.open({str(path)!r}, {mode!r})
            {steps}
            kept.append(f)
        loop = asyncio.new_event_loop()
        loop.run_until_complete(main())
    """)
    assert result.returncode == 0, result.stderr
    assert path.read_bytes() == expected


@needs_emulation
def test_a_loop_closed_with_reads_in_flight_frees_their_records_and_buffers(emu, tmp_path, caplog):
    caplog.set_level(logging.CRITICAL, logger="asyncio")  # the tasks left pending, as asyncio reports them
    path = tmp_path / "f"
    with open(path, "wb") as f:
        f.truncate(16 << 20)
    emu.set_io_mode(IO_SYSTEM)

    async def start_reads():
        f = await kiln.open(path)
        reads = [asyncio.ensure_future(f.pread(0, 16 << 20)) for _ in range(16)]
        await asyncio.sleep(0)
        return f, reads

    def one_round():
        loop = asyncio.new_event_loop()
        with pytest.warns(ResourceWarning, match="unclosed file"):
            try:
                kept = loop.run_until_complete(start_reads())
            finally:
                loop.close()
        del kept

    one_round()
    gc.collect()
    blocks = emu.heap_blocks()
    for _ in range(20):
        one_round()
    gc.collect()
    assert emu.heap_blocks() <= blocks


@pytest.mark.parametrize("mode", [IO_DEFERRED, IO_SYSTEM], ids=["deferred", "system"])
def test_cancelled_text_reads_lose_no_text(emu, tmp_path, mode):
    path = tmp_path / "f"
    lines = [f"{n:04} " + "é" * 50_000 + "\n" for n in range(40)]
    path.write_text("".join(lines), encoding="utf-8")
    emu.set_io_mode(mode)

    async def patient(call):
        while True:
            try:
                return await asyncio.wait_for(call(), 0.0002)
            except asyncio.TimeoutError:
                continue

    async def scenario():
        async with kiln.open(path, "r", encoding="utf-8", buffering=4096) as f:
            got = [await patient(f.readline) for _ in lines]
            assert await f.read() == ""
            await f.seek(0)
            pieces = []
            while piece := await patient(lambda: f.read(30_001)):
                pieces.append(piece)
            return got, "".join(pieces)

    got, text = run(scenario(), timeout=120)
    assert got == lines
    assert text == "".join(lines)


def test_a_refused_loop_close_changes_nothing(tmp_path):
    path = tmp_path / "f"

    async def scenario():
        async with kiln.open(path, "w+b") as f:
            await f.write(b"before")
            with pytest.raises(RuntimeError, match="running"):
                asyncio.get_running_loop().close()
            await f.write(b", after")
            await f.seek(0)
            return await f.read()

    assert run(scenario()) == b"before, after"


def test_loops_nobody_closed_go_with_their_threads(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"data")

    async def work():
        async with kiln.open(path) as f:
            return await f.read()

    def thread_body():
        assert asyncio.new_event_loop().run_until_complete(work()) == b"data"

    def one_thread():
        thread = threading.Thread(target=thread_body)
        thread.start()
        thread.join()

    one_thread()  # the engine's own workers start here
    gc.collect()
    threads, descriptors = thread_count(), descriptor_count()
    for _ in range(20):
        one_thread()
    gc.collect()
    deadline = time.monotonic() + 5
    while (thread_count() > threads or descriptor_count() > descriptors) and time.monotonic() < deadline:
        time.sleep(0.01)
        gc.collect()
    assert thread_count() <= threads and descriptor_count() <= descriptors


@needs_emulation
def test_an_open_that_truncates_runs_off_the_loop(emu, tmp_path):
    held, target = tmp_path / "held", tmp_path / "target"
    held.write_bytes(b"x")
    target.write_bytes(b"keep until the open runs")

    async def scenario():
        async with kiln.open(held) as blocker:
            emu.set_io_mode(IO_HELD)
            read = asyncio.ensure_future(blocker.pread(0, 1))  # holds the single test worker
            await asyncio.sleep(0.01)
            emu.set_io_mode(IO_DEFERRED)
            opening = asyncio.ensure_future(kiln.open(target, "wb"))
            beats = 0
            for _ in range(10):
                await asyncio.sleep(0.001)
                beats += 1
            assert beats == 10 and not opening.done()
            assert target.read_bytes() == b"keep until the open runs"
            emu.release_held()
            f = await opening
            await f.close()
            assert await read == b"x"
        assert target.read_bytes() == b""

    run(scenario())


@pytest.mark.parametrize("mode", [IO_DEFERRED, IO_POOL, IO_SYSTEM], ids=["deferred", "pool", "system"])
def test_close_stops_a_read_that_nothing_will_answer(emu, tmp_path, mode):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    emu.set_io_mode(mode)

    async def scenario():
        keeper = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # a writer that never writes
        try:
            f = await kiln.open(fifo, "rb", buffering=0)
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(f.read(10), 0.05)
            stuck = asyncio.ensure_future(f.read(10))
            await asyncio.sleep(0.01)
            await asyncio.wait_for(f.close(), 5)
            with pytest.raises(ValueError, match="closed file"):
                await stuck
        finally:
            os.close(keeper)

    run(scenario())


@needs_emulation
@pytest.mark.parametrize("mode", [IO_POOL, IO_SYSTEM], ids=["pool", "system"])
def test_a_cancelled_flush_on_a_pipe_sends_no_byte_twice(emu, tmp_path, mode):
    emu.set_io_mode(mode)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    keeper = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # the reader, and a writer that fills the pipe

    def drain():
        got = bytearray()
        with contextlib.suppress(BlockingIOError):
            while chunk := os.read(keeper, 1 << 16):
                got += chunk
        return bytes(got)

    async def scenario():
        f = await kiln.open(fifo, "wb", buffering=16384)
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(keeper, b"." * 4096)
        os.read(keeper, 4096)  # room for one page of the flush, not two
        await f.write(b"B" * 8192)
        flushing = asyncio.ensure_future(f.flush())
        await asyncio.sleep(0.2)
        flushing.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await flushing
        sent = drain()
        await f.flush()
        sent += drain()
        await f.close()
        return (sent + drain()).count(b"B")

    try:
        assert run(scenario()) == 8192
    finally:
        os.close(keeper)
