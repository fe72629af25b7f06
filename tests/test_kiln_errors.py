"""Failures raised as the OSError subclasses Python users expect, and closed files."""

import errno
import io

import pytest

import kiln
from kiln_helpers import io_mode, run  # noqa: F401 - io_mode is a fixture
from support import IO_HELD, needs_emulation


@pytest.mark.parametrize("mode, make, exc_type, number", [
    ("rb", None, FileNotFoundError, errno.ENOENT),
    ("rb", "missing-dir", FileNotFoundError, errno.ENOENT),
    ("xb", "file", FileExistsError, errno.EEXIST),
    ("x", "file", FileExistsError, errno.EEXIST),
    ("rb", "dir", IsADirectoryError, errno.EISDIR),
    ("wb", "dir", IsADirectoryError, errno.EISDIR),
])
def test_open_failures(io_mode, tmp_path, mode, make, exc_type, number):
    path = tmp_path / "target"
    if make == "file":
        path.write_bytes(b"keep")
    elif make == "dir":
        path.mkdir()
    elif make == "missing-dir":
        path = tmp_path / "nowhere" / "target"
    with pytest.raises(exc_type) as caught:
        run(kiln.open(path, mode))
    assert caught.value.errno == number
    assert caught.value.filename == str(path)
    assert caught.value.strerror  # the system's text, not a made-up one
    if make == "file":
        assert path.read_bytes() == b"keep"


# (operation that fails, Windows code, what the user sees)
INJECTED = [
    ("CreateFileW", 5, PermissionError, errno.EACCES),
    ("CreateFileW", 183, FileExistsError, errno.EEXIST),
    ("CreateFileW", 4, OSError, errno.EMFILE),
    ("ReadFile", 6, OSError, errno.EBADF),
    ("ReadFile", 33, PermissionError, errno.EACCES),  # a lock violation
    ("WriteFile", 112, OSError, errno.ENOSPC),
    ("WriteFile", 5, PermissionError, errno.EACCES),
    ("CloseHandle", 6, OSError, errno.EBADF),
    ("ReadFile", 317, OSError, errno.EINVAL),  # a code with no errno of its own
]


@needs_emulation
@pytest.mark.parametrize("operation, code, exc_type, number", INJECTED)
def test_failures_of_every_operation_carry_errno(emu, tmp_path, operation, code, exc_type,
                                                                    number):
    path = tmp_path / "f"
    path.write_bytes(b"data")

    async def scenario():
        if operation == "CreateFileW":
            emu.fail_next(operation, code)
            await kiln.open(path, "r+b")
            return
        f = await kiln.open(path, "r+b", buffering=0)
        try:
            emu.fail_next(operation, code)
            if operation == "ReadFile":
                await f.read(4)
            elif operation == "WriteFile":
                await f.write(b"more")
            else:
                await f.close()
        finally:
            await f.close()

    with pytest.raises(OSError) as caught:
        run(scenario())
    assert type(caught.value) is exc_type
    # As the built-in: an open names the file, a read or write does not.
    assert (caught.value.errno, caught.value.filename) == (number, str(path) if operation == "CreateFileW" else None)


def test_a_failed_read_leaves_the_position(emu, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")

    async def scenario():
        async with kiln.open(path, "rb", buffering=0) as f:
            await f.read(2)
            emu.fail_next("ReadFile", 6)
            with pytest.raises(OSError):
                await f.read(3)
            assert await f.tell() == 2
            assert await f.read(3) == b"234"

    run(scenario())


# Every call that may touch the file, with arguments that would be fine on an open one.
CALLS = [
    ("read", ()), ("read", (3,)), ("readall", ()), ("read1", ()), ("peek", ()), ("readline", ()),
    ("readlines", ()), ("readinto", (bytearray(3),)), ("write", (b"x",)), ("writelines", ([b"x"],)),
    ("seek", (0,)), ("tell", ()), ("flush", ()), ("truncate", ()), ("pread", (0, 1)),
    ("pwrite", (0, b"x")), ("pread_many", ([(0, 1)],)),
]


@pytest.mark.parametrize("name, args", CALLS, ids=[f"{name}{len(args)}" for name, args in CALLS])
def test_a_closed_file_refuses_every_call_and_never_reaches_a_reused_handle(io_mode, tmp_path, name, args):
    first, second = tmp_path / "first", tmp_path / "second"
    first.write_bytes(b"first")
    second.write_bytes(b"second")

    async def scenario():
        closed = await kiln.open(first, "r+b")
        await closed.close()
        async with kiln.open(second, "r+b") as other:  # may get the closed file's handle value
            # The built-in's messages: "I/O operation on closed file.", "seek of closed file"...
            with pytest.raises(ValueError, match="closed file"):
                await getattr(closed, name)(*args)
            assert await other.read() == b"second"
        await closed.close()  # closing again does nothing

    run(scenario())
    assert second.read_bytes() == b"second"


@pytest.mark.parametrize("mode, call, args", [
    ("wb", "read", ()), ("wb", "readline", ()), ("wb", "pread", (0, 1)), ("wb", "pread_many", ([],)),
    ("ab", "read1", ()), ("rb", "write", (b"x",)), ("rb", "pwrite", (0, b"x")), ("rb", "truncate", ()),
    ("w", "read", ()), ("r", "write", ("x",)),
])
def test_the_wrong_direction_is_unsupported(tmp_path, mode, call, args):
    path = tmp_path / "f"
    path.write_bytes(b"data")

    async def scenario():
        async with kiln.open(path, mode) as f:
            with pytest.raises(io.UnsupportedOperation):
                await getattr(f, call)(*args)

    run(scenario())


@pytest.mark.parametrize("call, args, exc_type", [
    ("pread", (-1, 1), ValueError), ("pread", (0, -1), ValueError), ("pwrite", (-1, b"x"), ValueError),
    ("pwrite", (0, "text"), TypeError), ("write", ("text",), TypeError), ("seek", (-1,), OSError),
    ("seek", (0, 3), ValueError), ("pread_many", ([(0, -1)],), ValueError),
])
def test_bad_arguments(tmp_path, call, args, exc_type):
    async def scenario():
        async with kiln.open(tmp_path / "f", "w+b") as f:
            with pytest.raises(exc_type):
                await getattr(f, call)(*args)

    run(scenario())


@needs_emulation
def test_a_backend_closed_under_waiting_reads_fails_them(emu, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"data")

    async def scenario():
        backend = kiln.Backend()
        f = await backend.open(path)
        emu.set_io_mode(IO_HELD)
        import asyncio
        read = asyncio.ensure_future(f.pread(0, 4))
        await asyncio.sleep(0)
        with pytest.warns(ResourceWarning, match="unclosed file"):
            backend.close()
        with pytest.raises(ValueError, match="closed file"):
            await read
        emu.release_held()

    run(scenario())
