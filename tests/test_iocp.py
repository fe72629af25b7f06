"""Iocp on a real asyncio loop: completions, batches, delivery and stopping."""

import asyncio
import errno
import sys

import pytest

import _kiln
from iocp_helpers import io, settles  # noqa: F401 - io is a fixture
from support import IO_DEFERRED, IO_INLINE, IO_SYSTEM, on_other_thread, sparse_offset, system_code, touch


@pytest.fixture(params=[IO_INLINE, IO_DEFERRED, IO_SYSTEM], ids=["inline", "deferred", "system"])
def mode(request, emu):
    emu.set_io_mode(request.param)
    return request.param


def test_one_file_through_every_kind_and_outcome(io, mode, tmp_path):
    path = tmp_path / "f"
    assert io.iocp.submit_open(str(path), True, True, False, False) == 1
    error, handle, data = io.result(1)
    assert (error, data) == (0, None) and handle > 0
    steps = [
        ("submit_write", (handle, 0, b"hello"), (0, 5, None)),
        ("submit_read", (handle, 0, 5), (0, 5, b"hello")),  # full
        ("submit_read", (handle, 1, 10), (0, 4, b"ello")),  # short
        ("submit_read", (handle, 0, 0), (0, 0, b"")),
        ("submit_read", (handle, 5, 10), (0, 0, b"")),  # at the end
        ("submit_read", (handle, 100, 10), (0, 0, b"")),  # past it
        ("submit_close", (handle,), (0, 0, None)),
        ("submit_close", (handle,), (6, 0, None)),
        ("submit_read", (handle, 0, 4), (6, 0, None)),
    ]
    for op_id, (method, args, expected) in enumerate(steps, start=2):
        assert getattr(io.iocp, method)(*args) == op_id
        assert io.result(op_id) == expected, method
    assert path.read_bytes() == b"hello"


def test_offsets_above_4_gib_reach_a_sparse_file(io, mode, tmp_path):
    handle = io.opened(tmp_path / "sparse", write=True, create=True)
    assert io.write(handle, sparse_offset(), b"far") == (0, 3, None)
    assert io.read(handle, sparse_offset() - 1, 8) == (0, 4, b"\0far")
    assert io.read(handle, 2 ** 32 + sparse_offset(), 8) == (0, 0, b"")
    io.close(handle)


@pytest.mark.parametrize("create, truncate, exclusive, existed, error, content", [
    (False, False, False, True, 0, b"data"),
    (False, False, True, False, system_code(2, errno.ENOENT), None),  # exclusive counts only with create
    (False, True, False, True, 0, b""),
    (False, True, True, False, 0, b""),  # truncate alone creates
    (True, False, False, True, 0, b"data"),  # opened, not truncated
    (True, False, True, True, system_code(80, errno.EEXIST), b"data"),
    (True, True, True, True, system_code(80, errno.EEXIST), b"data"),
])
def test_open_dispositions(io, tmp_path, create, truncate, exclusive, existed, error, content):
    path = tmp_path / "f"
    if existed:
        touch(path, b"data")
    outcome, handle, data = io.open(path, False, create, truncate, exclusive)
    assert (outcome, data) == (error, None)
    assert (handle == -1) == (error != 0)
    assert (path.read_bytes() if path.exists() else None) == content
    if handle != -1:
        assert io.write(handle, 0, b"x") == (5, 0, None)  # opened for reading only
        assert io.close(handle) == (0, 0, None)


def test_many_completions_come_in_full_batches_in_port_order(io, emu, tmp_path):
    handle = io.opened(touch(tmp_path / "f", b"0123456789"))
    emu.set_io_mode(IO_DEFERRED)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)  # this thread keeps the lock while the port fills
    try:
        ids = [io.iocp.submit_read(handle, n % 10, 1) for n in range(3000)]
    finally:
        sys.setswitchinterval(interval)
    assert io.run_until(lambda: len(io.done) == 3001)
    delivered = [item[0] for batch in io.batches[1:] for item in batch]
    assert delivered == ids
    assert max(len(batch) for batch in io.batches) == 64
    assert all(io.done[op_id] == (0, 1, b"%d" % (n % 10)) for n, op_id in enumerate(ids))


def closed_loop():
    loop = asyncio.new_event_loop()
    loop.close()
    return loop


@pytest.mark.parametrize("make_loop", [closed_loop, object], ids=["closed-loop", "no-method"])
def test_undeliverable_batches_are_dropped_and_their_records_freed(emu, make_loop):
    data = b"written" * 10
    baseline, data_refs = emu.heap_blocks(), sys.getrefcount(data)
    iocp = _kiln.Iocp(make_loop(), print)
    for _ in range(3):  # the thread goes on after every drop
        iocp.submit_read(-4, 0, 100)
        iocp.submit_write(-4, 0, data)
        iocp.submit_close(-4)
        assert settles(lambda: emu.heap_blocks() == baseline)
    assert sys.getrefcount(data) == data_refs
    iocp.shutdown()


@pytest.mark.parametrize("stop", ["shutdown", "del"])
def test_stopping_closes_the_port_and_releases_both_references(emu, stop):
    loop_obj, on_complete = object(), object()
    handles, refs = emu.open_handles(), (sys.getrefcount(loop_obj), sys.getrefcount(on_complete))
    iocp = _kiln.Iocp(loop_obj=loop_obj, on_complete=on_complete)
    assert emu.open_handles() == handles + 1
    if stop == "shutdown":
        assert iocp.shutdown() is None
        assert iocp.shutdown() is None
    else:
        del iocp
    assert emu.open_handles() == handles
    assert (sys.getrefcount(loop_obj), sys.getrefcount(on_complete)) == refs


def test_completions_queued_before_shutdown_still_arrive(io):
    ids = [io.iocp.submit_close(-4) for _ in range(5)]
    io.iocp.shutdown()
    assert io.run_until(lambda: len(io.done) == 5)
    assert [item[0] for batch in io.batches for item in batch] == ids


def catch(function):
    try:
        return function()
    except BaseException as exc:  # noqa: B036 - InternalFailure is a BaseException
        return exc


def test_shutdown_from_another_thread_fails_and_leaves_the_object_running(io):
    error = on_other_thread(io.iocp.shutdown)["error"]
    assert type(error).__name__ == "InternalFailure"
    assert "_kiln::iocp::Iocp is unsendable, but sent to another thread" in str(error)
    assert io.close(-4) == (6, 0, None)


def test_destruction_on_another_thread_leaves_the_port_open(emu, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    handles = emu.open_handles()
    holder = [_kiln.Iocp(object(), object())]
    on_other_thread(holder.clear)
    assert [(type(r.exc_value), str(r.exc_value)) for r in reports] == [
        (RuntimeError, "_kiln::iocp::Iocp is unsendable, but is being dropped on another thread")]
    assert emu.open_handles() == handles + 1  # stopped only when the process exits


def test_shutdown_reentered_during_a_submission_is_refused(io):
    seen = []

    class Handle:
        def __index__(self):
            seen.append(catch(io.iocp.shutdown))
            return -4

    op_id = io.iocp.submit_close(Handle())
    assert [str(error) for error in seen] == ["Already borrowed"]
    assert io.result(op_id) == (6, 0, None)
