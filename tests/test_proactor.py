"""ProactorIo from submission to result, driven by a poller over a port."""

import errno
import gc
import os
import sys
import threading
import tracemalloc

import pytest

import _kiln
import support

IN_FLIGHT = "I/O operation still in flight"
DATA = b"0123456789"


@pytest.fixture(params=[support.IO_INLINE, support.IO_DEFERRED, support.IO_SYSTEM],
                ids=["inline", "deferred", "system"])
def mode(request):
    if support.EMULATED:
        emulation = support.Emulation()
        emulation.set_io_mode(request.param)
        yield request.param
        emulation.set_io_mode(support.IO_INLINE)
    elif request.param == support.IO_INLINE:
        yield request.param  # the system picks its own way
    else:
        pytest.skip("the emulation's I/O modes")


@pytest.fixture
def pio(poller):
    return _kiln.ProactorIo(poller.port)


@pytest.fixture
def opened(pio, tmp_path):
    """Opens tmp_path/f (holding DATA unless told), closing every handle afterwards."""
    handles = []

    def open_(data=DATA, write=True):
        path = tmp_path / "f"
        if data is not None:
            path.write_bytes(data)
        handles.append(pio.open(str(path), write, False, False, False))
        return handles[-1]
    yield open_
    for handle in handles:
        pio.close(handle)


def reap(pio, poller, addr, transferred=None):
    count = poller.transferred(addr)
    return pio.take(addr, count if transferred is None else transferred)


def fresh_data():
    """Bytes of a reference count of their own (bytes(DATA) would be DATA)."""
    return bytes(bytearray(DATA))


def heap_and_handles(emu):
    gc.collect()
    return emu.heap_blocks(), emu.open_handles()


def raises_winerror(code, call, *args, message="I/O failed (winerror {})"):
    with pytest.raises(OSError) as caught:
        call(*args)
    assert (support.winerror(caught.value), support.strerror(caught.value)) == (code, message.format(code))


# ------------------------------------------------------------------ open

# (create, truncate, exclusive) -> what happens to an existing file, to a missing one
NOT_FOUND, EXISTS = support.system_code(2, errno.ENOENT), support.system_code(80, errno.EEXIST)
DISPOSITIONS = [
    ((False, False, False), "kept", NOT_FOUND), ((False, False, True), "kept", NOT_FOUND),
    ((False, True, False), "emptied", "made"), ((False, True, True), "emptied", "made"),
    ((True, False, False), "kept", "made"), ((True, False, True), EXISTS, "made"),
    ((True, True, False), "emptied", "made"), ((True, True, True), EXISTS, "made"),
]


@pytest.mark.parametrize("exists", [True, False], ids=["existing", "missing"])
@pytest.mark.parametrize("flags, on_existing, on_missing", DISPOSITIONS)
def test_open_dispositions(pio, tmp_path, flags, on_existing, on_missing, exists):
    path = tmp_path / "f"
    if exists:
        path.write_bytes(DATA)
    expected = on_existing if exists else on_missing
    if isinstance(expected, int):
        raises_winerror(expected, pio.open, str(path), False, *flags, message="CreateFileW failed (winerror {})")
        assert path.exists() == exists
        return
    pio.close(pio.open(str(path), False, *flags))
    assert path.read_bytes() == (DATA if expected == "kept" else b"")


def test_open_read_only_refuses_writes_through_take(pio, poller, opened):
    handle = opened(write=False)
    assert reap(pio, poller, pio.submit_read(handle, 0, 4)) == DATA[:4]
    raises_winerror(5, reap, pio, poller, pio.submit_write(handle, 0, b"x"))


def test_open_twice_shares_the_file(pio, poller, opened):
    first, second = opened(), opened(data=None)
    assert reap(pio, poller, pio.submit_write(first, 0, b"ab")) == 2
    assert reap(pio, poller, pio.submit_read(second, 0, 4)) == b"ab23"


def test_close_of_a_handle_that_is_not_open(pio, opened):
    handle = opened()
    pio.close(handle)
    assert pio.close(handle) is None


# ------------------------------------------------------------------ reads and writes

def test_full_read_hands_over_the_buffer_without_copy(pio, poller, opened):
    size = 1 << 20
    addr = pio.submit_read(opened(os.urandom(size)), 0, size)
    count = poller.transferred(addr)
    tracemalloc.start()
    try:
        result = pio.take(addr, count)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert len(result) == size and peak < size // 2


@pytest.mark.parametrize("offset, length, transferred, expected", [
    (0, 100, None, DATA),  # short: the end of the file
    (2, 8, 3, DATA[2:5]),  # the count given, not the buffer
    (0, 4, 2 ** (support.POINTER_BITS - 1) + 1, DATA[:4]),  # a count beyond the buffer is capped
    (0, 0, None, b""),
    (10, 4, None, b""),  # at the end
    (99, 4, None, b""),  # past it
])
def test_reads(pio, poller, opened, mode, offset, length, transferred, expected):
    addr = pio.submit_read(opened(), offset, length)
    assert reap(pio, poller, addr, transferred) == expected


@pytest.mark.parametrize("data", [b"", b"xyz"])
def test_writes(pio, poller, opened, tmp_path, mode, data):
    assert reap(pio, poller, pio.submit_write(opened(), 4, data)) == len(data)
    assert (tmp_path / "f").read_bytes() == DATA[:4] + data + DATA[4 + len(data):]


@pytest.mark.parametrize("target, offset, code", [
    ("invalid", 0, 6), ("file", 2 ** 63, 87), ("file", 2 ** 64 - 1, 87),  # no offset, nor "at the end"
])
@pytest.mark.parametrize("submit", ["read", "write"])
def test_start_failures_raise_their_code_whatever_the_count(pio, poller, opened, tmp_path, submit, target, offset,
                                                            code):
    handle = opened()
    handle = handle if target == "file" else 0x7FFC
    addr = pio.submit_read(handle, offset, 4) if submit == "read" else pio.submit_write(handle, offset, b"x")
    raises_winerror(code, reap, pio, poller, addr, 123)
    assert (tmp_path / "f").read_bytes() == DATA


@support.needs_emulation  # NTFS would fill the 5 GiB gap of a file that is not marked sparse
def test_offsets_above_4_gib(pio, poller, opened, tmp_path, mode):
    handle, offset = opened(b""), support.sparse_offset()
    assert reap(pio, poller, pio.submit_write(handle, offset, b"far")) == 3
    assert os.path.getsize(tmp_path / "f") == offset + 3
    assert reap(pio, poller, pio.submit_read(handle, offset - 1, 8)) == b"\0far"


def test_each_submit_completes_once_under_its_own_address(pio, poller, opened, mode):
    handle = opened()
    addrs = [pio.submit_read(handle, 0, 2), pio.submit_read(handle, 2, 2)]
    assert addrs[0] != addrs[1]
    assert [reap(pio, poller, addr) for addr in reversed(addrs)] == [b"23", b"01"]
    assert poller.idle()


# ------------------------------------------------------------------ the registry

@pytest.mark.parametrize("addr", [0, 1, 2 ** support.POINTER_BITS - 1, "neighbour"])
def test_unknown_addresses_are_ignored(pio, poller, opened, addr):
    real = pio.submit_read(opened(), 0, 4)
    addr = real + 8 if addr == "neighbour" else addr
    assert pio.take(addr, 0) is None and pio.discard(addr) is None
    assert reap(pio, poller, real) == DATA[:4]


@pytest.mark.parametrize("first", ["take", "discard"])
@pytest.mark.parametrize("handle", ["file", "invalid"])
def test_reaping_frees_once(emu, pio, poller, opened, first, handle):
    handle = opened() if handle == "file" else 0x7FFC
    data = fresh_data()
    before = sys.getrefcount(data), heap_and_handles(emu)
    addr = pio.submit_write(handle, 0, data)
    count = poller.transferred(addr)
    if first == "discard":
        assert pio.discard(addr) is None  # even for a failed operation
    elif handle == 0x7FFC:
        raises_winerror(6, pio.take, addr, count)
    else:
        assert pio.take(addr, count) == len(DATA)
    assert (sys.getrefcount(data), heap_and_handles(emu)) == before
    assert pio.take(addr, count) is None and pio.discard(addr) is None


def test_a_release_that_reenters_the_registry_is_refused(pio, poller, opened, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    handle = opened()
    other = pio.submit_read(handle, 0, 4)

    class Data(bytes):
        def __del__(self):
            pio.discard(other)

    addr = pio.submit_write(handle, 0, Data(b"x"))
    poller.transferred(addr)
    pio.discard(addr)
    assert [type(report.exc_value).__name__ for report in unraisable] == ["InternalFailure"]
    assert reap(pio, poller, other) == DATA[:4]


@pytest.mark.parametrize("thread", ["owner", "other"])
def test_deallocation_with_unreaped_records(emu, poller, opened, monkeypatch, thread):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    handle, data = opened(), fresh_data()
    refs, (blocks, handles) = sys.getrefcount(data), heap_and_handles(emu)
    holder = [_kiln.ProactorIo(poller.port)]
    addrs = [holder[0].submit_write(handle, 0, data), holder[0].submit_read(handle, 0, 4)]
    for addr in addrs:
        poller.transferred(addr)
    if thread == "owner":
        holder.clear()
        assert (sys.getrefcount(data), heap_and_handles(emu), unraisable) == (refs, (blocks, handles), [])
    else:
        worker = threading.Thread(target=holder.clear)
        worker.start()
        worker.join()
        assert [type(report.exc_value) for report in unraisable] == [RuntimeError]
        assert (sys.getrefcount(data), heap_and_handles(emu)) == (refs + 1, (blocks + 2, handles))
    assert poller.plat.open_handles() == handles  # the port among them


# ------------------------------------------------------------------ operations held in flight

@pytest.fixture
def held(emu, pio, poller, opened):
    emu.set_io_mode(support.IO_HELD)
    return emu, opened()


@pytest.mark.parametrize("reaper", ["take", "discard"])
def test_in_flight_operations_are_never_freed(held, pio, poller, reaper):
    emu, handle = held
    data = fresh_data()
    refs, counts = sys.getrefcount(data), heap_and_handles(emu)
    addr = pio.submit_write(handle, 0, data)
    with pytest.raises(RuntimeError, match=IN_FLIGHT):
        pio.take(addr, 0)
    assert pio.discard(addr) is None  # asks for cancellation; the record stays
    count = poller.transferred(addr)
    if reaper == "take":
        raises_winerror(995, pio.take, addr, count)
    else:
        pio.discard(addr)
    assert (sys.getrefcount(data), heap_and_handles(emu)) == (refs, counts)


def test_held_operations_complete_once_released(held, pio, poller, tmp_path):
    emu, handle = held
    writes = [pio.submit_write(handle, 10, b"ab"), pio.submit_write(handle, 0, b"AB")]
    read = pio.submit_read(handle, 0, 20)
    assert poller.idle()
    emu.release_held()
    assert [reap(pio, poller, addr) for addr in writes] == [2, 2]
    assert reap(pio, poller, read) == b"AB23456789ab"


def test_deallocation_cancels_and_keeps_operations_in_flight(held, poller):
    emu, handle = held
    data = fresh_data()
    refs, (blocks, _) = sys.getrefcount(data), heap_and_handles(emu)
    pio = _kiln.ProactorIo(poller.port)
    done = pio.submit_read(handle, 0, 4)
    emu.release_held()
    poller.transferred(done)
    flying = pio.submit_write(handle, 0, data)
    del pio
    assert poller.transferred(flying) == 0  # cancelled
    assert (sys.getrefcount(data), heap_and_handles(emu)[0]) == (refs + 1, blocks + 1)


# ------------------------------------------------------------------ mended faults

def test_failed_association_closes_the_file(emu, pio, tmp_path):
    counts = heap_and_handles(emu)
    emu.fail_next("AssociatePort", 87)
    raises_winerror(87, pio.open, support.touch(tmp_path / "f"), True, False, False, False,
                    message="CreateIoCompletionPort failed (winerror {})")
    assert heap_and_handles(emu) == counts


@pytest.mark.parametrize("case", ["start failure", "end of file", "offset too large"])
def test_failed_post_releases_the_record(emu, pio, poller, opened, case):
    handle, data = opened(), fresh_data()
    refs, counts = sys.getrefcount(data), heap_and_handles(emu)
    emu.fail_next("PostQueuedCompletionStatus", 8)
    if case == "start failure":
        emu.fail_next("WriteFile", 31)
    submit = {
        "start failure": lambda: pio.submit_write(handle, 0, data),
        "end of file": lambda: pio.submit_read(handle, 100, 4),
        "offset too large": lambda: pio.submit_write(handle, 2 ** 63, data),
    }[case]
    raises_winerror(8, submit, message="PostQueuedCompletionStatus failed (winerror {})")
    assert (sys.getrefcount(data), heap_and_handles(emu)) == (refs, counts)
    assert poller.idle()
