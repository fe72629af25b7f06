"""The Linux engines when the kernel refuses io_uring, before the process
chooses its engine or after: a seccomp filter makes io_uring_enter fail
with EPERM, as a container's profile does, while rings can still be made."""

import os
import platform
import textwrap

import pytest

import support
from iocp_helpers import run_python

pytestmark = [
    support.needs_emulation,
    pytest.mark.skipif(platform.machine() != "x86_64", reason="the filter names x86_64's system call"),
]

SKIP_NO_SECCOMP, SKIP_NO_URING = 77, 78

# Installs the filter on the calling thread, and so on every thread it starts.
REFUSE_IO_URING_ENTER = textwrap.dedent("""
    import ctypes, struct, sys

    def refuse_io_uring_enter():
        program = [
            (0x20, 0, 0, 4),                    # load the architecture
            (0x15, 0, 3, 0xC000003E),           # x86_64, or allow
            (0x20, 0, 0, 0),                    # load the system call number
            (0x15, 0, 1, 426),                  # io_uring_enter
            (0x06, 0, 0, 0x00050000 | 1),       # fail with EPERM
            (0x06, 0, 0, 0x7FFF0000),           # allow
        ]
        code = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *op) for op in program))

        class Program(ctypes.Structure):
            _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(38, 1, 0, 0, 0) != 0:  # PR_SET_NO_NEW_PRIVS
            sys.exit(77)
        if libc.prctl(22, 2, ctypes.byref(Program(len(program), ctypes.addressof(code))), 0, 0) != 0:
            sys.exit(77)  # PR_SET_SECCOMP, SECCOMP_MODE_FILTER
""")

# A raw Iocp on a loop of its own, each result awaited in turn.
SESSION = textwrap.dedent("""
    import asyncio, ctypes, time, _kiln

    lib = ctypes.CDLL(_kiln.__file__)
    lib.kiln_emu_engine.restype = ctypes.c_uint32
    loop = asyncio.new_event_loop()
    done = {}

    def on_complete(batch):
        for op_id, *outcome in batch:
            done[op_id] = tuple(outcome)

    iocp = _kiln.Iocp(loop, on_complete)

    def result(op_id, timeout=10):
        async def poll():
            deadline = time.monotonic() + timeout
            while op_id not in done:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"no completion for {op_id}")
                await asyncio.sleep(0.001)
            return done.pop(op_id)
        return loop.run_until_complete(poll())

    def end():
        iocp.shutdown()
        loop.close()
""")


def run_script(body, path):
    done = run_python(REFUSE_IO_URING_ENTER + body.replace("PATH", repr(str(path))), timeout=30)
    if done.returncode == SKIP_NO_SECCOMP:
        pytest.skip("this machine refuses seccomp filters")
    if done.returncode == SKIP_NO_URING:
        pytest.skip("needs io_uring")
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_a_kernel_that_refuses_io_uring_enter_runs_on_the_pool(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"data")
    out = run_script("refuse_io_uring_enter()\n" + SESSION + textwrap.dedent("""
        error, handle, _ = result(iocp.submit_open(PATH, False, False, False, False))
        print(error, *result(iocp.submit_read(handle, 0, 4)), lib.kiln_emu_engine())
        result(iocp.submit_close(handle))
        end()
    """), path)
    assert out == ["0", "0", "4", "b'data'", "2"]


def test_a_ring_refused_once_in_use_fails_its_reads_without_hanging(tmp_path):
    """The loop's thread may no longer enter the ring (the completion thread
    still may): its next read fails through its completion, promptly, and
    the Iocp still shuts down."""
    path = tmp_path / "f"
    path.write_bytes(b"data")
    out = run_script(SESSION + textwrap.dedent("""
        if lib.kiln_emu_engine() != 1:
            sys.exit(78)
        error, handle, _ = result(iocp.submit_open(PATH, False, False, False, False))
        print(*result(iocp.submit_read(handle, 0, 4)))
        refuse_io_uring_enter()
        began = time.monotonic()
        error, count, data = result(iocp.submit_read(handle, 0, 4))
        print(error != 0, count, data, time.monotonic() - began < 5)
        result(iocp.submit_close(handle))
        end()
    """), path)
    assert out == ["0", "4", "b'data'", "True", "0", "None", "True"]


def test_a_group_the_kernel_still_holds_fails_once_the_ring_is_refused(tmp_path):
    """Both reads of a group wait on a FIFO when the loop's thread may no
    longer enter the ring: once they are given up as still held, the group's
    one completion comes, with the failure."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out = run_script(textwrap.dedent("""
        import os, selectors, sys, time, _kiln
        if _kiln.LoopPort.engine() != "io_uring":
            sys.exit(78)
        keeper = os.open(PATH, os.O_RDWR | os.O_NONBLOCK)  # a writer that never writes
        port = _kiln.LoopPort(cached_reads=False)
        selector = selectors.DefaultSelector()
        selector.register(port.fileno(), selectors.EVENT_READ)
        port.submit_open(PATH, False, False, False, False)
        selector.select(5)
        (_, error, handle, _), = port.reap()
        group = port.read_many(handle, [(0, 4), (0, 4)])
        port.flush()
        refuse_io_uring_enter()
        later = port.submit_read(handle, 0, 4)
        port.flush()  # refused: the ring breaks
        began, seen = time.monotonic(), {}
        while group not in seen and time.monotonic() - began < 15:
            selector.select(0.05)
            seen.update((op_id, error) for op_id, error, *_ in port.reap())
        print(later in seen, group in seen, seen.get(group, 0) != 0)
        sys.stdout.flush()
        os._exit(0)  # the kernel may still write the held reads' buffers: no shutdown waits for them
    """), fifo)
    assert out == ["True", "True", "True"]
