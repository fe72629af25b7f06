"""System failures raised exactly as the built-in open raises them: type, errno, strerror, filename."""

import ast
import asyncio
import contextlib
import errno
import io
import os
import subprocess
import sys
import textwrap
import time

import pytest

import kiln
from kiln_helpers import io_mode, run  # noqa: F401 - io_mode is a fixture

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="errno values of Linux")


def builtin_failure(action):
    try:
        action()
    except OSError as exc:
        return type(exc), exc.errno, exc.strerror, exc.filename
    return None


def kiln_failure(action):
    try:
        run(action())
    except OSError as exc:
        return type(exc), exc.errno, exc.strerror, exc.filename
    return None


def make_cases(tmp_path):
    (tmp_path / "file").write_bytes(b"x")
    (tmp_path / "dir").mkdir()
    os.symlink(tmp_path / "loop", tmp_path / "loop")
    long_name = str(tmp_path / ("n" * 300))
    return {
        "ENOENT": (str(tmp_path / "missing"), "rb"),
        "ENOENT parent": (str(tmp_path / "missing" / "child"), "wb"),
        "EEXIST": (str(tmp_path / "file"), "xb"),
        "EISDIR read": (str(tmp_path / "dir"), "rb"),
        "EISDIR write": (str(tmp_path / "dir"), "wb"),
        "ENOTDIR": (str(tmp_path / "file" / "child"), "rb"),
        "ELOOP": (str(tmp_path / "loop"), "rb"),
        "ENAMETOOLONG": (long_name, "wb"),
    }


@pytest.mark.parametrize("case", ["ENOENT", "ENOENT parent", "EEXIST", "EISDIR read", "EISDIR write", "ENOTDIR",
                                  "ELOOP", "ENAMETOOLONG"])
def test_open_fails_as_the_builtin(io_mode, tmp_path, case):
    path, mode = make_cases(tmp_path)[case]
    expected = builtin_failure(lambda: open(path, mode))
    assert expected is not None
    assert kiln_failure(lambda: kiln.open(path, mode)) == expected


def test_a_full_device_fails_writes_with_enospc(io_mode):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")

    def builtin():
        with open("/dev/full", "wb") as f:
            f.write(b"x" * 100)

    async def with_kiln():
        async with kiln.open("/dev/full", "wb") as f:
            await f.write(b"x" * 100)

    expected = builtin_failure(builtin)
    assert expected is not None and expected[1] == errno.ENOSPC
    got = kiln_failure(with_kiln)
    assert got[:3] == expected[:3]


def test_a_fifo_without_reader_fails_writes_with_epipe_and_opens_with_enxio(io_mode, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    expected_open = builtin_failure(lambda: os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    assert kiln_failure(lambda: kiln.open(fifo, "wb"))[:3] == expected_open[:3] == (OSError, errno.ENXIO,
                                                                                      os.strerror(errno.ENXIO))

    async def scenario():
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        f = await kiln.open(fifo, "wb", buffering=0)
        os.close(reader)
        try:
            await f.write(b"nobody reads this")
        finally:
            await f.close()

    got = kiln_failure(scenario)
    assert got[:2] == (BrokenPipeError, errno.EPIPE)


@pytest.mark.parametrize("call", ["pread", "pread_many", "pwrite"])
def test_calls_at_an_offset_on_a_fifo_fail_with_espipe_and_leave_the_stream_alone(io_mode, tmp_path, call):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    keeper = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # a reader and a writer for the test's whole length
    try:
        os.write(keeper, b"hello world")
        if call == "pwrite":
            expected = builtin_failure(lambda: os.pwrite(keeper, b"x", 0))
        else:
            expected = builtin_failure(lambda: os.pread(keeper, 5, 0))

        async def scenario():
            async with kiln.open(fifo, "r+b", buffering=0) as f:
                try:
                    if call == "pread":
                        await f.pread(1000, 5)
                    elif call == "pread_many":
                        await f.pread_many([(500, 3), (0, 2)])
                    else:
                        await f.pwrite(0, b"x")
                finally:
                    assert await f.read(11) == b"hello world"

        assert expected is not None and expected[1] == errno.ESPIPE
        assert kiln_failure(scenario)[:3] == expected[:3]
    finally:
        os.close(keeper)


@pytest.mark.parametrize("mode", ["r+b", "w+b", "r+"])
def test_a_fifo_open_both_ways_with_a_buffer_is_refused_as_the_builtin(io_mode, tmp_path, mode):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def descriptors():
        return len(os.listdir("/proc/self/fd"))

    def builtin():
        try:
            open(fifo, mode)
        except io.UnsupportedOperation as error:
            return type(error), str(error)

    async def scenario():
        async with kiln.open(tmp_path / "warm", "wb"):
            pass  # the loop's backend holds its descriptors from here on
        before = descriptors()
        try:
            await kiln.open(fifo, mode)
        except io.UnsupportedOperation as error:
            refused = type(error), str(error)
        deadline = time.monotonic() + 5
        while descriptors() > before and time.monotonic() < deadline:
            await asyncio.sleep(0.001)  # the handle is closed off the loop
        return refused, descriptors() - before

    assert run(scenario()) == (builtin(), 0)
    assert builtin() == (io.UnsupportedOperation, "File or stream is not seekable.")


def test_a_close_that_failed_closed_the_file_as_the_builtin(io_mode, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def builtin():
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        f = open(fifo, "wb")
        f.write(b"buffered")
        os.close(reader)  # nobody reads what the close writes
        first = builtin_failure(f.close)
        return first[:2], builtin_failure(f.close), f.closed

    async def with_kiln():
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        f = await kiln.open(fifo, "wb")
        await f.write(b"buffered")
        os.close(reader)
        try:
            await f.close()
        except OSError as error:
            first = type(error), error.errno
        else:
            first = None
        await f.close()
        return first, None, f.closed

    assert run(with_kiln()) == builtin() == ((BrokenPipeError, errno.EPIPE), None, True)


def test_a_buffered_seek_on_a_fifo_is_refused_before_anything_is_written(io_mode, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    keeper = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # the reader

    def outcome(error):
        with contextlib.suppress(BlockingIOError):
            return type(error), str(error), os.read(keeper, 100)
        return type(error), str(error), b""

    def builtin():
        with open(fifo, "wb") as f:
            f.write(b"buffered")
            try:
                f.seek(0)
            except OSError as error:
                return outcome(error)

    async def with_kiln():
        async with kiln.open(fifo, "wb") as f:
            await f.write(b"buffered")
            try:
                await f.seek(0)
            except OSError as error:
                return outcome(error)

    try:
        expected = builtin()
        os.read(keeper, 100)  # what its close wrote
        assert run(with_kiln()) == expected == (io.UnsupportedOperation, "File or stream is not seekable.", b"")
    finally:
        os.close(keeper)


@pytest.mark.parametrize("whence", [1.0, "1", None])
def test_an_unbuffered_seek_takes_only_an_integer_whence(io_mode, tmp_path, whence):
    path = tmp_path / "f"
    path.write_bytes(b"0123")

    def builtin():
        with open(path, "rb", buffering=0) as f:
            with pytest.raises(TypeError) as caught:
                f.seek(1, whence)
            return str(caught.value), f.tell()

    async def with_kiln():
        async with kiln.open(path, "rb", buffering=0) as f:
            with pytest.raises(TypeError) as caught:
                await f.seek(1, whence)
            return str(caught.value), await f.tell()

    assert run(with_kiln()) == builtin()


CHILD_PROLOGUE = """
import asyncio, os, resource, signal, sys
import kiln

def failure(exc):
    return (type(exc).__name__, exc.errno, exc.strerror, exc.filename)

def builtin_failure(action):
    try:
        action()
    except OSError as exc:
        return failure(exc)

async def awaited(awaitable):
    return await awaitable

def kiln_failure(action):
    try:
        asyncio.run(awaited(action()))
    except OSError as exc:
        return failure(exc)
"""


def in_child(source):
    """Runs ``source`` in a fresh interpreter; what it prints last is a Python literal."""
    result = subprocess.run([sys.executable, "-c", CHILD_PROLOGUE + textwrap.dedent(source)], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stdout.strip().splitlines()[-1])


def test_a_file_past_the_size_limit_fails_with_efbig(tmp_path):
    path = str(tmp_path / "big")
    expected, got = in_child(f"""
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        def builtin():
            with open({path!r}, "wb", buffering=0) as f:
                f.write(b"x" * 4096)
                f.write(b"y")

        async def with_kiln():
            async with kiln.open({path!r}, "wb", buffering=0) as f:
                assert await f.write(b"x" * 4096) == 4096
                await f.write(b"y")

        print((builtin_failure(builtin), kiln_failure(with_kiln)))
    """)
    assert expected[:2] == ("OSError", errno.EFBIG)
    assert got == expected


def test_permission_is_refused_as_the_builtin_refuses_it():
    if os.geteuid() != 0:
        pytest.skip("switches to an unprivileged user, which needs root")
    shared = f"/tmp/kiln-perm-{os.getpid()}"
    os.makedirs(shared, exist_ok=True)
    os.chmod(shared, 0o777)
    secret, dropbox = f"{shared}/secret", f"{shared}/dropbox"
    for name, permissions in ((secret, 0o000), (dropbox, 0o222)):
        with open(name, "wb"):
            pass
        os.chmod(name, permissions)
    try:
        secret_builtin, secret_kiln, box_builtin, box_kiln = in_child(f"""
            os.setgid(65534)
            os.setuid(65534)

            async def append_to_dropbox():
                async with kiln.open({dropbox!r}, "ab") as f:
                    await f.write(b"for your eyes only")

            asyncio.run(append_to_dropbox())
            print((builtin_failure(lambda: open({secret!r}, "rb")), kiln_failure(lambda: kiln.open({secret!r}, "rb")),
                   builtin_failure(lambda: open({dropbox!r}, "rb")), kiln_failure(lambda: kiln.open({dropbox!r}, "rb"))))
        """)
        assert secret_kiln == secret_builtin and secret_builtin[:2] == ("PermissionError", errno.EACCES)
        assert box_kiln == box_builtin
        with open(dropbox, "rb") as f:
            assert f.read() == b"for your eyes only"
    finally:
        for name in (secret, dropbox):
            os.unlink(name)
        os.rmdir(shared)


def test_injected_windows_codes_still_map(emu, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"data")

    async def scenario():
        emu.fail_next("ReadFile", 112)  # ERROR_DISK_FULL, as a Windows layer reports it
        async with kiln.open(path, "rb", buffering=0) as f:
            await f.read(1)

    with pytest.raises(OSError) as caught:
        run(scenario())
    assert caught.value.errno == errno.ENOSPC


def test_the_event_loop_is_left_running_after_failures(io_mode, tmp_path):
    async def scenario():
        for _ in range(3):
            with pytest.raises(FileNotFoundError):
                await kiln.open(tmp_path / "missing")
        await asyncio.sleep(0)
        return True

    assert run(scenario())
