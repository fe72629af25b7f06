"""Error codes from the native module as the ``OSError`` subclasses Python users expect."""

from __future__ import annotations

import errno
import io
import os
import sys

# On Linux a failure the system reported as an errno value comes through with
# this bit set and the errno value below it (Windows leaves bit 29 of error
# codes to applications), so it is raised exactly as the built-in would.
ERRNO_FLAG = 0x20000000

# The C runtime's table from Windows error codes to errno values, which the
# interpreter also uses on Windows; codes not listed map to EINVAL. On Linux
# only the codes the emulation keeps for itself (and injected failures) use it.
_WINERROR_TO_ERRNO: dict[int, int] = {
    2: errno.ENOENT,  # ERROR_FILE_NOT_FOUND
    3: errno.ENOENT,  # ERROR_PATH_NOT_FOUND
    4: errno.EMFILE,  # ERROR_TOO_MANY_OPEN_FILES
    5: errno.EACCES,  # ERROR_ACCESS_DENIED
    6: errno.EBADF,  # ERROR_INVALID_HANDLE
    7: errno.ENOMEM,
    8: errno.ENOMEM,  # ERROR_NOT_ENOUGH_MEMORY
    9: errno.ENOMEM,
    10: errno.E2BIG,
    11: errno.ENOEXEC,
    12: errno.EACCES,
    13: errno.EINVAL,
    15: errno.ENOENT,  # ERROR_INVALID_DRIVE
    16: errno.EACCES,
    17: errno.EXDEV,  # ERROR_NOT_SAME_DEVICE
    18: errno.ENOENT,
    **{code: errno.EACCES for code in range(19, 37)},  # write protect .. sharing/lock violations
    53: errno.ENOENT,  # ERROR_BAD_NETPATH
    65: errno.EACCES,
    67: errno.ENOENT,
    80: errno.EEXIST,  # ERROR_FILE_EXISTS
    82: errno.EACCES,
    83: errno.EACCES,
    87: errno.EINVAL,  # ERROR_INVALID_PARAMETER
    89: errno.EAGAIN,
    108: errno.EACCES,
    109: errno.EPIPE,  # ERROR_BROKEN_PIPE
    112: errno.ENOSPC,  # ERROR_DISK_FULL
    114: errno.EBADF,
    128: errno.ECHILD,
    129: errno.ECHILD,
    130: errno.EBADF,
    131: errno.EINVAL,  # ERROR_NEGATIVE_SEEK
    132: errno.EACCES,
    145: errno.ENOTEMPTY,  # ERROR_DIR_NOT_EMPTY
    158: errno.EACCES,
    161: errno.ENOENT,  # ERROR_BAD_PATHNAME
    164: errno.EAGAIN,
    167: errno.EACCES,
    183: errno.EEXIST,  # ERROR_ALREADY_EXISTS
    206: errno.ENOENT,  # ERROR_FILENAME_EXCED_RANGE
    215: errno.EAGAIN,
    232: errno.EPIPE,  # ERROR_NO_DATA
    267: errno.ENOTDIR,  # ERROR_DIRECTORY
    1816: errno.ENOMEM,
}

ERROR_ACCESS_DENIED = 5
ERROR_OPERATION_ABORTED = 995


def code_to_errno(code: int) -> int:
    """The errno value of a code from the native module."""
    if code & ERRNO_FLAG and sys.platform != "win32":
        return code & 0xFFFF
    return _WINERROR_TO_ERRNO.get(code, errno.EINVAL)


def os_error(code: int, filename: object, filename2: object = None) -> OSError:
    """The exception the interpreter raises for this code on this file.

    ``OSError``'s constructor picks the subclass (``FileNotFoundError`` and so on)
    from the errno value. On Windows it derives errno from ``winerror`` itself
    and keeps ``winerror``.
    """
    if sys.platform == "win32":
        import ctypes

        return OSError(None, ctypes.FormatError(code), filename, code, filename2)
    number = code_to_errno(code)
    if filename2 is None:
        return OSError(number, os.strerror(number), filename)
    return OSError(number, os.strerror(number), filename, None, filename2)


def errno_error(number: int, filename: object = None) -> OSError:
    """An ``OSError`` for an errno value found by the package itself."""
    if filename is None:
        return OSError(number, os.strerror(number))
    return OSError(number, os.strerror(number), filename)


def closed_file() -> ValueError:
    return ValueError("I/O operation on closed file.")


def unsupported(what: str) -> io.UnsupportedOperation:
    return io.UnsupportedOperation(what)
