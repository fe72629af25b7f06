"""What the tests need from the platform under the module.

On Linux the module carries an emulation of completion ports and overlapped
file I/O, controlled through C functions exported from the module itself. On
Windows the tests take their ports from ``_overlapped`` and cannot inject
faults; everything that differs between the two lives here.
"""

import ctypes
import gc
import os
import sys
import threading

import pytest

import _kiln

EMULATED = sys.platform != "win32"
# Under AddressSanitizer (make sanitize preloads it), freed memory waits in its
# quarantine (256 MiB by default) before the process may use it again.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
POINTER_BITS = ctypes.sizeof(ctypes.c_void_p) * 8

IO_INLINE, IO_DEFERRED, IO_HELD, IO_SYSTEM, IO_POOL = 0, 1, 2, 3, 4
ENGINE_TEST, ENGINE_URING, ENGINE_POOL = 0, 1, 2


ERRNO_FLAG = 0x20000000


def system_code(windows_code, errno_value):
    """The code a failure the system reported comes with: its Windows code on
    Windows; on Linux the errno value, carried in the codes Windows leaves to
    applications."""
    return ERRNO_FLAG | errno_value if EMULATED else windows_code


def winerror(exc):
    """The Windows error code an OSError raised by the module carries."""
    if EMULATED:
        # The host maps winerror only on Windows: here the code stays the
        # fourth constructor argument.
        assert len(exc.args) == 4 and exc.args[0] == 0 and exc.args[2] is None, exc.args
        return exc.args[3]
    return exc.winerror


def strerror(exc):
    return exc.args[1] if EMULATED else exc.strerror


class Emulation:
    """The control API of the emulation, with fixed C signatures."""

    def __init__(self):
        lib = ctypes.CDLL(_kiln.__file__)
        u32, uptr, iptr = ctypes.c_uint32, ctypes.c_size_t, ctypes.c_ssize_t
        sigs = {
            "kiln_emu_create_port": (iptr, []),
            "kiln_emu_dequeue": (ctypes.c_int, [iptr, u32, ctypes.POINTER(u32), ctypes.POINTER(uptr),
                                                ctypes.POINTER(uptr)]),
            "kiln_emu_close_handle": (ctypes.c_int, [iptr]),
            "kiln_emu_open_handle_count": (u32, []),
            "kiln_emu_heap_blocks": (u32, []),
            "kiln_emu_set_io_mode": (None, [ctypes.c_int]),
            "kiln_emu_engine": (u32, []),
            "kiln_emu_release_held": (None, []),
            "kiln_emu_fail_next": (ctypes.c_int, [ctypes.c_char_p, u32]),
        }
        for name, (restype, argtypes) in sigs.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        self._lib = lib

    def create_port(self):
        port = self._lib.kiln_emu_create_port()
        assert port != 0
        return port

    def dequeue(self, port, timeout_ms=5000):
        """One packet as (bytes, key, overlapped), or None on time-out."""
        count, key, overlapped = ctypes.c_uint32(), ctypes.c_size_t(), ctypes.c_size_t()
        if not self._lib.kiln_emu_dequeue(port, timeout_ms, ctypes.byref(count), ctypes.byref(key),
                                          ctypes.byref(overlapped)):
            return None
        return count.value, key.value, overlapped.value

    def close_handle(self, handle):
        return bool(self._lib.kiln_emu_close_handle(handle))

    def open_handles(self):
        return self._lib.kiln_emu_open_handle_count()

    def heap_blocks(self):
        return self._lib.kiln_emu_heap_blocks()

    def set_io_mode(self, mode):
        self._lib.kiln_emu_set_io_mode(mode)

    def engine(self):
        """The engine a read or write started now runs on (ENGINE_*)."""
        return self._lib.kiln_emu_engine()

    def release_held(self):
        self._lib.kiln_emu_release_held()

    def fail_next(self, operation, error):
        assert self._lib.kiln_emu_fail_next(operation.encode(), error) == 1, operation


class WindowsPorts:
    """Ports from _overlapped on a real system; no fault injection."""

    def __init__(self):
        import _overlapped
        self._ov = _overlapped

    def create_port(self):
        return self._ov.CreateIoCompletionPort(self._ov.INVALID_HANDLE_VALUE, 0, 0, 0)

    def dequeue(self, port, timeout_ms=5000):
        status = self._ov.GetQueuedCompletionStatus(port, timeout_ms)
        if status is None:
            return None
        _err, transferred, key, address = status
        return transferred, key, address

    def close_handle(self, handle):
        import _winapi
        _winapi.CloseHandle(handle)
        return True


def platform():
    return Emulation() if EMULATED else WindowsPorts()


needs_emulation = pytest.mark.skipif(not EMULATED, reason="needs the emulated platform's control API")


def sparse_offset():
    """An offset above 4 GiB, for files the filesystem keeps sparse."""
    return 5 * 1024 ** 3 + 12345


def touch(path, data=b""):
    with open(path, "wb") as f:
        f.write(data)
    return os.fspath(path)


def on_other_thread(function):
    """Runs function on a new thread of the test's; returns {"value": ...} or
    {"error": ...}.

    Garbage of earlier tests is collected first, on this thread: collected on
    the other one, each module object in it would be reported as dropped on a
    foreign thread.
    """
    gc.collect()
    outcome = {}

    def run():
        try:
            outcome["value"] = function()
        except BaseException as exc:  # noqa: B036 - InternalFailure is a BaseException
            outcome["error"] = exc

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return outcome
