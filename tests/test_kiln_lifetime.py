"""Backends, files and cancellation: nothing leaks, nothing waits forever."""

import asyncio
import contextlib
import gc
import subprocess
import sys
import textwrap
import threading
import time
import warnings
import weakref

import pytest

import kiln
from kiln_helpers import io_mode, run, thread_count, wait_for_threads  # noqa: F401 - io_mode is a fixture
from support import IO_HELD, IO_INLINE, needs_emulation

pytestmark = needs_emulation


async def settle(emu, count, timeout=5.0):
    """Lets the loop run until the emulation's open handles are back to ``count``
    and the loop's backend has nothing in flight: an open still in flight may
    add its handle after the count was right for a moment."""
    from kiln._backend import _per_loop

    backend = _per_loop.get(asyncio.get_running_loop())
    deadline = time.monotonic() + timeout
    while (emu.open_handles() != count or (backend is not None and backend._pending)) and \
            time.monotonic() < deadline:
        await asyncio.sleep(0.001)
    return emu.open_handles()


async def warm_up(path):
    """Makes the loop's backend (its port counts as a handle) before a baseline is taken."""
    async with kiln.open(path, "wb") as f:
        await f.write(b"0123456789")


async def every_kind_of_await(path):
    async with kiln.open(path, "w+b", buffering=4) as f:
        await f.write(b"abcdefgh")
        await f.seek(0)
        assert await f.read(5) == b"abcde"
        assert await f.pread_many([(0, 2), (6, 9)]) == [b"ab", b"gh"]
        await f.pwrite(8, b"!")
    async with kiln.open(path, "r", encoding="ascii") as text:
        assert await text.readline() == "abcdefgh!"


@pytest.mark.parametrize("steps", range(0, 24, 1))
def test_cancelling_at_any_await_leaks_no_handle(io_mode, emu, tmp_path, steps):
    path = tmp_path / "f"
    outside = emu.open_handles()

    async def scenario():
        await warm_up(path)
        inside = emu.open_handles()
        task = asyncio.ensure_future(every_kind_of_await(path))
        for _ in range(steps):
            await asyncio.sleep(0)
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task
        # Closed by the completions themselves, before the loop closes.
        assert await settle(emu, inside) == inside

    run(scenario())
    assert emu.open_handles() == outside


def test_a_cancelled_read_or_write_leaves_the_position(emu, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")

    async def scenario():
        async with kiln.open(path, "r+b", buffering=0) as f:
            await f.seek(2)
            for call, args in (("read", (3,)), ("write", (b"xyz",))):
                emu.set_io_mode(IO_HELD)
                task = asyncio.ensure_future(getattr(f, call)(*args))
                await asyncio.sleep(0.01)
                task.cancel()
                emu.release_held()
                emu.set_io_mode(IO_INLINE)
                with contextlib.suppress(asyncio.CancelledError):
                    await task
                assert await f.tell() == 2, call
            assert await f.read(3) in (b"234", b"xyz")  # the cancelled write may have landed

    run(scenario())


def test_closing_stops_the_operations_in_flight_and_waits_for_them(emu, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"data")

    async def scenario():
        f = await kiln.open(path)
        emu.set_io_mode(IO_HELD)
        reads = [asyncio.ensure_future(f.pread(n, 2)) for n in range(3)]
        reads[0].cancel()  # cancelled, but still in flight
        await asyncio.sleep(0)
        handles = emu.open_handles()
        emu.set_io_mode(IO_INLINE)
        await f.close()  # nothing released them: the close stopped them
        assert f.closed and emu.open_handles() == handles - 1
        for read in reads[1:]:
            with pytest.raises(ValueError, match="closed file"):
                await read

    run(scenario())


def test_a_forgotten_file_is_closed_with_a_resource_warning_and_keeps_its_writes(io_mode, emu, tmp_path):
    path = tmp_path / "f"

    async def scenario():
        await warm_up(path)
        inside = emu.open_handles()
        f = await kiln.open(path, "wb")
        await f.write(b"buffered, never flushed")
        with pytest.warns(ResourceWarning, match="unclosed file"):
            del f
            gc.collect()
        assert await settle(emu, inside) == inside

    run(scenario())
    assert path.read_bytes() == b"buffered, never flushed"


@pytest.mark.parametrize("file_closed", [True, False], ids=["file closed", "file forgotten too"])
def test_forgotten_backends_leave_no_port_or_thread(io_mode, emu, tmp_path, file_closed):
    path = tmp_path / "f"
    path.write_bytes(b"x")

    async def scenario():
        async with kiln.Backend() as warm:  # starts the emulation's own worker threads, if any
            await (await warm.open(path)).close()
        before, threads = emu.open_handles(), thread_count()
        for _ in range(50):
            backend = kiln.Backend()
            f = await backend.open(path)
            if file_closed:
                await f.close()
                with pytest.warns(ResourceWarning, match="unclosed <kiln.Backend"):
                    del backend, f
                    gc.collect()
            else:
                with warnings.catch_warnings():
                    # A recorded warning would keep the file, and so its backend, alive.
                    warnings.simplefilter("ignore", ResourceWarning)
                    del backend, f
                    gc.collect()
        # Each backend's port is closed once its thread has stopped.
        assert await settle(emu, before) == before
        assert wait_for_threads(threads) == threads

    run(scenario())


def test_the_completion_thread_does_not_keep_a_backend_alive(emu):
    async def scenario():
        backend = kiln.Backend()
        alive = weakref.ref(backend)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            del backend  # no garbage collection: only reference counts
        assert alive() is None

    run(scenario())


def test_the_loops_backend_closes_with_the_loop(emu, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"x")
    before = emu.open_handles()
    kept = []

    async def scenario():
        kept.append(await kiln.open(path))  # never closed, still referenced

    for _ in range(20):
        with pytest.warns(ResourceWarning, match="unclosed file"):
            run(scenario())
    assert emu.open_handles() == before
    assert all(f.closed for f in kept)


def test_an_explicit_backend_closes_its_files(emu, tmp_path):
    path = tmp_path / "f"
    before = emu.open_handles()

    async def scenario():
        async with kiln.Backend() as backend:
            f = await backend.open(path, "w")
            await f.write("text")
        assert f.closed and backend.closed
        with pytest.raises(RuntimeError, match="closed"):
            await backend.open(path)

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run(scenario())
    assert emu.open_handles() == before
    assert path.read_text() == "text"


@pytest.mark.parametrize("ending", ["loop left open", "file left open", "read in flight"])
def test_the_interpreter_exits_cleanly(tmp_path, ending):
    script = textwrap.dedent(f"""
        import asyncio, sys, kiln
        sys.path.insert(0, {str(tmp_path.parent)!r})
        ending = {ending!r}
        loop = asyncio.new_event_loop()
        async def main():
            f = await kiln.open({str(tmp_path / "f")!r}, "w+b")
            await f.write(b"data")
            await f.flush()
            if ending == "read in flight":
                asyncio.ensure_future(f.pread(0, 4))
            return f
        f = loop.run_until_complete(main())
        if ending == "loop left open":
            loop.run_until_complete(f.close())
        print("done", flush=True)
    """)
    result = subprocess.run([sys.executable, "-X", "dev", "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"


def test_a_loop_closing_while_a_file_waits_to_close_still_closes_its_handle(emu, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"data")
    before = emu.open_handles()

    async def scenario():
        f = await kiln.open(path)
        emu.set_io_mode(IO_HELD)
        read = asyncio.ensure_future(f.pread(0, 1))
        await asyncio.sleep(0)
        closing = asyncio.ensure_future(f.close())
        await asyncio.sleep(0.01)
        return read, closing

    loop = asyncio.new_event_loop()
    try:
        tasks = loop.run_until_complete(scenario())
    finally:
        loop.close()
    emu.release_held()
    assert emu.open_handles() == before
    assert all(task.done() for task in tasks)  # the close stopped the read, and finished


def test_a_closed_backend_may_be_collected_on_any_thread(emu):
    reports = []

    async def scenario():
        backend = kiln.Backend()
        garbage = [backend]
        garbage.append(garbage)  # only the cycle collector can free it now
        await backend.aclose()

    gc.collect()
    gc.disable()
    hook, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        run(scenario())
        collector = threading.Thread(target=gc.collect)
        collector.start()
        collector.join()
    finally:
        sys.unraisablehook = hook
        gc.enable()
    assert [str(report.exc_value) for report in reports] == []
