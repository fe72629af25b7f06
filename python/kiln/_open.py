"""``kiln.open``: mode strings as the built-in ``open`` reads them."""

from __future__ import annotations

import asyncio
import codecs
import io
import locale
import os
import sys
import warnings
from collections.abc import Generator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from ._binary import AsyncFile
from ._raw import RawFile
from ._text import AsyncTextFile

if TYPE_CHECKING:
    from ._backend import Backend

# Every read costs a trip through the event loop, so the read-ahead is larger
# than a synchronous file's.
DEFAULT_BUFFER_SIZE = max(io.DEFAULT_BUFFER_SIZE, 64 * 1024)

# What the system calls a file that reads and writes at offsets.
FILE_TYPE_DISK = 1

FileT = TypeVar("FileT", AsyncFile, AsyncTextFile)


@dataclass(frozen=True)
class Mode:
    """A mode string taken apart, and the open flags of the module it needs."""

    readable: bool
    writable: bool
    append: bool
    binary: bool
    create: bool
    truncate: bool
    exclusive: bool

    @classmethod
    def parse(cls, mode: str) -> Mode:
        if not isinstance(mode, str):
            raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
        if len(set(mode)) != len(mode) or set(mode) - set("rwaxbt+"):
            raise ValueError(f"invalid mode: '{mode}'")
        kinds = [c for c in mode if c in "rwax"]
        if len(kinds) != 1:
            raise ValueError("must have exactly one of create/read/write/append mode")
        if "b" in mode and "t" in mode:
            raise ValueError("can't have text and binary mode at once")
        kind, plus = kinds[0], "+" in mode
        return cls(readable=kind == "r" or plus, writable=kind != "r" or plus, append=kind == "a",
                   binary="b" in mode, create=kind in "wax", truncate=kind == "w", exclusive=kind == "x")

    def file_mode(self) -> str:
        """The ``mode`` a built-in binary file reports for this mode."""
        if self.exclusive:
            base = "xb"
        elif self.append:
            base = "ab"
        elif self.readable and not (self.truncate and _W_PLUS_SAYS_W):
            base = "rb"
        else:
            base = "wb"
        return base + "+" if self.readable and self.writable else base


# From 3.15 on a "w+" file says "wb+", as it was opened; before, "rb+".
_W_PLUS_SAYS_W = sys.version_info >= (3, 15)


def _path_text(name: str | bytes) -> str:
    path = os.fsdecode(name)
    if "\0" in path:
        raise ValueError("embedded null character")
    return path


class Opener(Generic[FileT]):
    """What ``kiln.open`` returns: await it for the file, or use it with ``async with``."""

    def __init__(self, backend: Backend | None, file: Any, mode: str, buffering: int, encoding: str | None,
                 errors: str | None, newline: str | None) -> None:
        self._backend = backend
        # The name as the built-in open keeps it: str or bytes, from any path-like object.
        self._name: str | bytes = os.fspath(file)
        self._mode = mode
        self._parsed = Mode.parse(mode)
        self._buffering = buffering
        self._encoding = encoding
        self._errors = errors
        self._newline = newline
        self._path = _path_text(self._name)
        self._check_text_arguments()
        self._opened: FileT | None = None

    def _check_text_arguments(self) -> None:
        if self._parsed.binary:
            for name in ("encoding", "errors", "newline"):
                if getattr(self, "_" + name) is not None:
                    raise ValueError(f"binary mode doesn't take an {name} argument")
            if self._buffering == 1:
                warnings.warn("line buffering (buffering=1) isn't supported in binary mode, the default "
                              "buffer size will be used", RuntimeWarning, stacklevel=4)
        elif self._buffering == 0:
            raise ValueError("can't have unbuffered text I/O")
        elif self._encoding is not None:
            codecs.lookup(self._encoding)  # an unknown encoding fails before the file is opened
        if self._newline not in (None, "", "\n", "\r", "\r\n"):
            raise ValueError(f"illegal newline value: {self._newline!r}")

    def __getattr__(self, name: str) -> Any:
        raise AttributeError(f"'Opener' object has no attribute {name!r}: kiln.open() gives an opener to await "
                             f"(f = await kiln.open(...)) or to use with 'async with'")

    def __await__(self) -> Generator[Any, None, FileT]:
        return self._open().__await__()

    async def __aenter__(self) -> FileT:
        self._opened = await self._open()
        return self._opened

    async def __aexit__(self, *exc_info: object) -> None:
        if self._opened is not None:
            await self._opened.close()

    async def _open(self) -> FileT:
        from ._backend import loop_backend

        backend = self._backend or loop_backend(asyncio.get_running_loop())
        mode = self._parsed
        op_id, future = backend._submit_open(self._path, self._name, mode.readable, mode.writable, mode.create,
                                             mode.truncate, mode.exclusive, mode.append)
        try:
            handle = await future
        except asyncio.CancelledError:
            # Cancelled after the open succeeded but before this resumed.
            if future.done() and not future.cancelled() and future.exception() is None:
                backend._unclaimed.discard(future.result())
                backend._close_quietly(future.result())
            raise
        backend._unclaimed.discard(handle)
        try:
            return self._wrap(backend, handle)  # type: ignore[return-value]
        except BaseException:
            backend._close_quietly(handle)
            raise

    def _wrap(self, backend: Backend, handle: int) -> AsyncFile | AsyncTextFile:
        mode = self._parsed
        seekable = backend._iocp.file_type(handle) == FILE_TYPE_DISK
        if mode.readable and mode.writable and self._buffering != 0 and not seekable:
            # Reading ahead and writing back both need positions.
            raise io.UnsupportedOperation("File or stream is not seekable.")
        raw = RawFile(backend, handle, self._name, mode.file_mode(), readable=mode.readable,
                      writable=mode.writable, appending=mode.append, seekable=seekable)
        buffering = self._buffering
        line_buffering = buffering == 1 and not mode.binary
        if buffering < 0 or buffering == 1:
            buffering = DEFAULT_BUFFER_SIZE
        binary = AsyncFile._create(raw, buffering)
        if mode.binary:
            return binary
        encoding = io.text_encoding(self._encoding)
        if encoding == "locale":
            encoding = locale.getencoding()
        return AsyncTextFile._create(binary, encoding, self._errors, self._newline,
                                     line_buffering=line_buffering, mode=self._mode)
