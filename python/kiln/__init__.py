"""Asynchronous file objects for asyncio, on I/O completion ports.

``await kiln.open(path, mode)`` (or ``async with kiln.open(...) as f``) gives an
``AsyncFile`` in binary modes and an ``AsyncTextFile`` in text modes, with the
methods of the built-in file objects as coroutines, plus ``pread``, ``pwrite``
and ``pread_many`` for positional I/O with many operations in flight.

Around the files: ``kiln.os`` (with ``kiln.os.path``), ``kiln.Path``,
``kiln.tempfile`` and ``kiln.shutil``, the standard library's functions as
coroutines on the same completion port.
"""

from __future__ import annotations

from typing import Any, overload

import _kiln

from . import os, shutil, tempfile
from ._backend import Backend, completions
from ._binary import AsyncFile
from ._modes import BinaryMode, StrOrBytesPath, TextMode
from ._open import DEFAULT_BUFFER_SIZE, Opener
from ._path import Path
from ._text import AsyncTextFile

__version__ = "0.2.0"

__all__ = ["AsyncFile", "AsyncTextFile", "Backend", "BinaryMode", "DEFAULT_BUFFER_SIZE", "Opener", "Path",
           "StrOrBytesPath", "TextMode", "completions", "engine", "open", "os", "shutil", "tempfile", "__version__"]


def engine() -> str:
    """The engine that kiln's reads and writes run on in this process.

    ``"io_uring"`` on Linux where the kernel allows it, ``"pool"`` (a few
    threads of the module's own) where it does not, ``"iocp"`` on Windows.
    The choice is made once per process, at the first call that needs it.
    ``kiln.completions()`` tells where the running loop's completions are reaped."""
    return _kiln.Iocp.engine()

@overload
def open(file: StrOrBytesPath, mode: BinaryMode = "rb", *, buffering: int = -1, encoding: None = None,
         errors: None = None, newline: None = None) -> Opener[AsyncFile]: ...
@overload
def open(file: StrOrBytesPath, mode: TextMode, *, buffering: int = -1, encoding: str | None = None,
         errors: str | None = None, newline: str | None = None) -> Opener[AsyncTextFile]: ...
@overload
def open(file: StrOrBytesPath, mode: str, *, buffering: int = -1, encoding: str | None = None,
         errors: str | None = None, newline: str | None = None) -> Opener[Any]: ...


def open(file: StrOrBytesPath, mode: str = "rb", *, buffering: int = -1, encoding: str | None = None,
         errors: str | None = None, newline: str | None = None) -> Opener[Any]:
    """Opens a file for asynchronous I/O: ``f = await kiln.open(...)`` or ``async with kiln.open(...) as f``.

    ``mode``, ``buffering``, ``encoding``, ``errors`` and ``newline`` mean what they
    mean to the built-in ``open``, except that the default mode is ``"rb"``.
    Binary modes give an ``AsyncFile``, text modes an ``AsyncTextFile``. The file
    uses the running loop's backend, made on first use and shut down when the
    loop closes; ``Backend.open`` opens on a backend of your own.
    """
    return Opener(None, file, mode, buffering, encoding, errors, newline)
