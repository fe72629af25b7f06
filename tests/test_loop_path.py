"""kiln on the loop path: completions reaped on the loop's thread, submissions
flushed once per turn, reads of what the cache holds taken at once, groups
of reads in one call, and every lifetime guarantee the thread path gives."""

import asyncio
import gc
import os
import selectors
import time

import pytest

import _kiln
import kiln
from iocp_helpers import run_python
from kiln_helpers import run
from support import IO_HELD, IO_INLINE, IO_SYSTEM, needs_emulation

pytestmark = needs_emulation

# Where kiln's reads of what the cache holds run: only the engines that stand
# for a real system take them; the test modes keep every read on their schedule.
CACHED_MODES = [IO_SYSTEM]


class NoReaderLoop(asyncio.SelectorEventLoop):
    """A loop that cannot watch descriptors, as a proactor loop cannot."""

    add_reader = asyncio.AbstractEventLoop.add_reader


@pytest.fixture
def data(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(os.urandom(1 << 20))
    return path


def cached(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass
    return path


def drop_cache(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


@pytest.mark.parametrize("environ, asked, expected", [
    (None, None, "loop"),
    ("thread", None, "thread"),
    ("loop", "thread", "thread"),
    (None, "loop", "loop"),
])
def test_completions_are_reaped_where_asked_else_on_the_loop(monkeypatch, environ, asked, expected):
    if environ is None:
        monkeypatch.delenv("KILN_COMPLETIONS", raising=False)
    else:
        monkeypatch.setenv("KILN_COMPLETIONS", environ)

    async def scenario():
        async with kiln.Backend(completions=asked) as backend:
            assert backend.completions == expected
        if asked is None:
            assert kiln.completions() == expected

    run(scenario())


def test_a_loop_without_add_reader_gets_the_thread_and_refuses_the_loop_path(data):
    loop = NoReaderLoop()
    try:
        async def scenario():
            assert kiln.completions() == "thread"
            async with kiln.open(data) as f:
                assert await f.pread(0, 4) == data.read_bytes()[:4]
            with pytest.raises(ValueError, match="add_reader"):
                kiln.Backend(completions="loop")
            with pytest.raises(ValueError, match="'loop' or 'thread'"):
                kiln.Backend(completions="elsewhere")

        loop.run_until_complete(scenario())
    finally:
        loop.close()


@pytest.mark.parametrize("mode", [IO_INLINE, IO_SYSTEM], ids=["inline", "system"])
@pytest.mark.parametrize("cold", [False, True], ids=["cached", "cold"])
def test_pread_many_returns_every_read_in_order(emu, data, mode, cold):
    emu.set_io_mode(mode)
    contents = data.read_bytes()
    requests = [(0, 10), (700000, 4096), (len(contents) - 5, 100), (len(contents) + 10, 8), (12345, 0)]
    (drop_cache if cold else cached)(data)

    async def scenario():
        async with kiln.open(data) as f:
            got = await f.pread_many(requests)
        assert got == [contents[o:o + n] for o, n in requests]

    run(scenario())


@pytest.mark.parametrize("group", [False, True], ids=["pread", "pread_many"])
def test_more_reads_done_at_once_than_the_ring_keeps_all_arrive(emu, data, group):
    # Cached reads finish inside the flush that submits them, more of them than
    # the ring's completion queue holds: the kernel keeps the rest aside.
    emu.set_io_mode(IO_SYSTEM)
    cached(data)
    expected = data.read_bytes()[:16]

    async def scenario():
        async with kiln.Backend(cached_reads=False) as backend:
            f = await backend.open(data)
            if group:
                got = await asyncio.wait_for(f.pread_many([(0, 16)] * 5000), 10)
            else:
                got = await asyncio.wait_for(asyncio.gather(*(f.pread(0, 16) for _ in range(5000))), 10)
            assert got == [expected] * 5000
            await f.close()

    run(scenario())


def test_pread_many_keeps_to_the_requests_as_they_were_when_called(emu, data):
    emu.set_io_mode(IO_SYSTEM)
    contents = data.read_bytes()
    requests = [(len(contents) - 5, 100), (10, 4)]

    async def scenario():
        async with kiln.Backend(cached_reads=False) as backend:
            f = await backend.open(data)
            reading = asyncio.ensure_future(f.pread_many(requests))
            await asyncio.sleep(0)
            requests[0] = (0, 100)  # the caller's list changes while the reads are out
            requests.append((0, 1))
            assert await reading == [contents[-5:], contents[10:14]]
            await f.close()

    run(scenario())


@pytest.mark.parametrize("reads, at_once", [(16, True), (17, False)], ids=["4 MiB", "over 4 MiB"])
def test_a_group_copies_at_most_4_mib_at_once(emu, tmp_path, reads, at_once):
    emu.set_io_mode(IO_SYSTEM)
    if _kiln.LoopPort.engine() != "io_uring":
        pytest.skip("only io_uring takes reads of what the cache holds")
    path = tmp_path / "big"
    path.write_bytes(os.urandom(reads << 18))
    contents = cached(path).read_bytes()
    requests = [(n << 18, 1 << 18) for n in range(reads)]

    async def scenario():
        async with kiln.open(path) as f:
            got = f.raw._backend._read_many(f.raw._handle, requests)
            assert (type(got) is list) == at_once
            if not at_once:
                got = await f.raw.wait_read(got)
        assert got == [contents[o:o + n] for o, n in requests]

    run(scenario())


def test_a_failed_read_fails_its_group_once_every_read_is_done(emu, data):
    emu.set_io_mode(IO_SYSTEM)

    async def scenario():
        async with kiln.Backend(cached_reads=False) as backend:
            f = await backend.open(data)
            emu.fail_next("ReadFile", 5)  # the second read of the group cannot start
            with pytest.raises(PermissionError):
                await f.pread_many([(0, 10), (10, 10), (20, 10)])
            assert not backend._pending
            assert await f.pread_many([(0, 4)]) == [data.read_bytes()[:4]]
            await f.close()

    run(scenario())


@pytest.mark.parametrize("group", [False, True], ids=["pread", "pread_many"])
def test_a_cancelled_read_is_stopped_and_leaves_nothing_behind(emu, data, group):
    async def scenario():
        async with kiln.open(data) as f:
            backend = f.raw._backend
            handles = emu.open_handles()
            emu.set_io_mode(IO_HELD)
            read = asyncio.ensure_future(f.pread_many([(0, 4), (8, 4)]) if group else f.pread(0, 4))
            await asyncio.sleep(0)
            assert len(backend._pending) == 1  # a group is one operation
            read.cancel()
            with pytest.raises(asyncio.CancelledError):
                await read
            emu.set_io_mode(IO_INLINE)
            deadline = time.monotonic() + 5
            while backend._pending and time.monotonic() < deadline:
                await asyncio.sleep(0.001)
            assert not backend._pending and f.raw._inflight == 0
            assert await f.pread(0, 4) == data.read_bytes()[:4]
        assert emu.open_handles() == handles - 1

    run(scenario())


def test_a_read_that_found_the_cache_yields_to_the_loop_every_32_reads(emu, data):
    emu.set_io_mode(IO_SYSTEM)
    cached(data)
    turns = 0

    async def other():
        nonlocal turns
        while True:
            turns += 1
            await asyncio.sleep(0)

    async def scenario():
        task = asyncio.ensure_future(other())
        await asyncio.sleep(0)
        async with kiln.open(data) as f:
            streak = longest = 0
            seen = turns
            for n in range(320):
                assert len(await f.pread(4096 * (n % 256), 4096)) == 4096
                streak = streak + 1 if turns == seen else 1
                seen = turns
                longest = max(longest, streak)
        task.cancel()
        assert longest <= 32
        assert turns >= 10

    run(scenario())


def test_submissions_reach_the_system_only_when_flushed(emu, data):
    emu.set_io_mode(IO_SYSTEM)
    if _kiln.LoopPort.engine() != "io_uring":
        pytest.skip("only io_uring holds submissions back")
    port = _kiln.LoopPort(cached_reads=False)
    try:
        selector = selectors.DefaultSelector()
        selector.register(port.fileno(), selectors.EVENT_READ)
        port.submit_open(str(data), False, False, False, False)
        assert selector.select(5)
        (_, error, handle, _), = port.reap()
        assert error == 0
        read = port.submit_read(handle, 0, 8)
        assert not selector.select(0.2) and port.reap() == []
        port.flush()
        assert selector.select(5)
        assert port.reap() == [(read, 0, 8, data.read_bytes()[:8])]
        port.submit_close(handle)
        assert selector.select(5) and port.reap()
        selector.close()
    finally:
        port.shutdown()


@pytest.mark.parametrize("collect", [False, True], ids=["shutdown", "collected"])
def test_a_port_with_reads_in_flight_gives_every_record_back(emu, data, collect):
    emu.set_io_mode(IO_SYSTEM)
    blocks, handles = emu.heap_blocks(), emu.open_handles()
    port = _kiln.LoopPort()
    port.submit_open(str(data), False, False, False, False)
    selector = selectors.DefaultSelector()
    selector.register(port.fileno(), selectors.EVENT_READ)
    assert selector.select(5)
    selector.close()
    (_, _, handle, _), = port.reap()
    emu.set_io_mode(IO_HELD)
    reads = [port.submit_read(handle, 0, 100) for _ in range(3)]
    group = port.read_many(handle, [(0, 10), (10, 10)])
    assert len(set(reads + [group])) == 4
    emu.set_io_mode(IO_INLINE)
    assert port.cancel(group) is True
    if collect:
        del port
        gc.collect()
    else:
        port.shutdown()
        with pytest.raises(RuntimeError, match="shut down"):
            port.submit_read(handle, 0, 1)
        assert port.reap() == [] and port.cancel(reads[0]) is False
    emu.close_handle(handle)
    assert emu.heap_blocks() == blocks and emu.open_handles() == handles


def test_closing_the_loop_stops_watching_and_closes_the_port(emu, data):
    handles = emu.open_handles()
    loop = asyncio.new_event_loop()
    kept = []

    async def scenario():
        f = await kiln.open(data)
        kept.append(f)
        assert kiln.completions() == "loop"
        return len(loop._selector.get_map())

    watched = loop.run_until_complete(scenario())
    with pytest.warns(ResourceWarning, match="unclosed file"):
        loop.close()
    assert kept[0].closed
    assert emu.open_handles() == handles
    assert watched >= 2  # the loop's own wake-up pipe, and the port's descriptor


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_counts_the_parents_port_as_shut_down_and_reads_on_its_own(data):
    done = run_python("""
        import asyncio, os, warnings
        import _kiln, kiln
        warnings.simplefilter("ignore", DeprecationWarning)
        parent = _kiln.LoopPort()
        async def read():
            async with kiln.open(%r) as f:
                return await f.pread(0, 4), kiln.completions()
        expected = asyncio.run(read())
        pid = os.fork()
        if pid == 0:
            try:
                parent.submit_close(0)
                os._exit(2)
            except RuntimeError:
                pass
            parent.shutdown()
            os._exit(0 if asyncio.run(read()) == expected else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
        assert asyncio.run(read()) == expected
        parent.shutdown()
    """ % str(data))
    assert done.returncode == 0, done.stderr


def test_the_interpreter_exits_with_a_read_waiting_for_ever(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    done = run_python("""
        import asyncio, kiln
        async def main():
            f = await kiln.open(%r, "r+b", buffering=0)
            asyncio.ensure_future(f.read(10))  # nobody ever writes
            await asyncio.sleep(0.05)
            assert kiln.completions() == "loop"
            print("reading")
            loop = asyncio.get_running_loop()
            loop.stop()
        loop = asyncio.new_event_loop()
        loop.create_task(main())
        loop.run_forever()
    """ % str(fifo), timeout=20)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "reading\n"
