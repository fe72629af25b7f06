"""``AsyncFile``: a buffered binary file whose I/O goes through a completion port."""

from __future__ import annotations

import asyncio
import errno
import os
import warnings
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from ._errors import closed_file, os_error, unsupported
from ._finish import Group, finish_io, finish_many
from ._lines import LineReading

if TYPE_CHECKING:
    from collections.abc import Buffer

    from ._backend import Backend

# The most one operation moves; larger requests are split. Windows counts a
# read or write in 32 bits.
MAX_IO = 1 << 30
READALL_PIECE = 16 << 20


class AsyncFile(LineReading[bytes]):
    """The asynchronous counterpart of a buffered binary file (``io.BufferedRandom``).

    Every method that may touch the file is a coroutine. ``read``, ``write``,
    ``seek`` and the like share one position, as a built-in file does; do not run
    two of them on one file at once. ``pread`` and ``pwrite`` take their offset
    as an argument and leave the position alone: any number of them may be in
    flight on one file at once. ``pread_many`` submits a whole list of reads and
    resolves once, which is the fastest way to read many small pieces.

    The position and size are tracked by this object: writes in append mode go
    to the end of the file as it was when opened plus what this object wrote
    since; another writer appending to the same file is not seen. The size for
    ``seek(n, 2)`` and ``readall`` is read from the file's path.
    """

    def __init__(self, backend: Backend, handle: int, name: Any, path: str, mode: str, *,
                 readable: bool, writable: bool, append: bool, buffer_size: int, size: int) -> None:
        self._backend = backend
        # None once closing starts, so nothing new reaches the handle; _os_handle
        # stays until the handle itself is closed.
        self._handle: int | None = handle
        self._os_handle: int | None = handle
        self.name = name
        self.mode = mode
        self._path = path
        self._readable = readable
        self._writable = writable
        self._append = append
        self._buffer_size = min(buffer_size, MAX_IO)
        self._append_at = size
        self._pos = size if append else 0
        # Read-ahead: the file's bytes at [_rstart, _rstart + len(_rbuf)).
        self._rbuf = b""
        self._rstart = 0
        # Accepted writes not yet submitted: bytes for [_wstart, _wstart + len(_wbuf)).
        self._wbuf = bytearray()
        self._wstart = 0
        self._inflight = 0
        self._idle: asyncio.Future[None] | None = None
        self._closing: asyncio.Future[None] | None = None
        self._owner = backend._owner
        self._new_future = backend._loop.create_future
        self._pending = backend._pending
        backend._files.add(self)

    def __repr__(self) -> str:
        state = " closed" if self._handle is None else ""
        return f"<kiln.AsyncFile{state} name={self.name!r} mode={self.mode!r}>"

    # Plain attributes and queries.

    @property
    def closed(self) -> bool:
        return self._handle is None

    def readable(self) -> bool:
        self._check_open()
        return self._readable

    def writable(self) -> bool:
        self._check_open()
        return self._writable

    def seekable(self) -> bool:
        self._check_open()
        return True

    def fileno(self) -> int:
        """There is no file descriptor: the file is a completion-port handle."""
        raise unsupported("fileno")

    def isatty(self) -> bool:
        self._check_open()
        return False

    # Positional I/O.

    async def pread(self, offset: int, size: int) -> bytes:
        """Reads up to ``size`` bytes at ``offset``; fewer only at the end of the file."""
        if self._wbuf:
            await self.flush()  # this object's own buffered writes come first
        if size > MAX_IO:
            return b"".join(await self.pread_many(_split(offset, size)))
        return await self._start_read(offset, size)

    def _start_read(self, offset: int, size: int) -> asyncio.Future[bytes]:
        """Submits one read; a plain call, so the hot path makes no extra coroutine."""
        handle = self._check_readable()
        if offset < 0 or size < 0:
            raise ValueError(f"negative offset or size: {offset}, {size}")
        future: asyncio.Future[bytes] = self._new_future()
        self._pending[self._backend._iocp.submit_read(handle, offset, size)] = (finish_io, self, future)
        self._inflight += 1
        return future

    async def pread_many(self, requests: Iterable[tuple[int, int]]) -> list[bytes]:
        """Reads every ``(offset, size)`` at once; the results come in request order.

        All reads are submitted before the first await and resolve one future;
        each result is short only at the end of the file. The first failure is
        raised once every read has finished."""
        if self._wbuf:
            await self.flush()
        handle = self._check_readable()
        requests = list(requests)
        for offset, size in requests:
            if offset < 0 or size < 0 or size > MAX_IO:
                raise ValueError(f"bad read request: offset {offset}, size {size}")
        if not requests:
            return []
        group = Group(self._new_future(), len(requests))
        submit, pending, entry = self._backend._iocp.submit_read, self._pending, (finish_many, self, group)
        irregular = group.index
        number = 0
        try:
            for offset, size in requests:
                op_id = submit(handle, offset, size)
                pending[op_id] = entry
                # One loop thread submits, so the ids run on from the first unless a
                # submission failed after taking its id.
                if number == 0:
                    group.base = op_id
                elif op_id - group.base != number:
                    irregular[op_id] = number
                number += 1
        except BaseException:
            group.future.cancel()  # the reads already submitted complete unseen
            raise
        finally:
            self._inflight += number
        return await group.future

    async def pwrite(self, offset: int, data: Buffer) -> int:
        """Writes ``data`` (any bytes-like object) at ``offset``; returns the count written."""
        if self._wbuf:
            await self.flush()  # else an older buffered write could land over this one
        if self._rbuf:
            self._drop_read_ahead()
        if type(data) is not bytes:
            data = _as_bytes(data)
        if len(data) > MAX_IO:
            return await self._pwrite_all(offset, data)
        return await self._start_write(offset, data)

    def _start_write(self, offset: int, data: bytes) -> asyncio.Future[int]:
        handle = self._check_writable()
        if offset < 0:
            raise ValueError(f"negative offset: {offset}")
        future: asyncio.Future[int] = self._new_future()
        self._pending[self._backend._iocp.submit_write(handle, offset, data)] = (finish_io, self, future)
        self._inflight += 1
        return future

    async def _pwrite_all(self, offset: int, data: bytes) -> int:
        """Writes all of ``data``, going on after short writes."""
        done = 0
        while done < len(data):
            if not done and len(data) <= MAX_IO:
                piece = data
            else:
                piece = data[done:done + MAX_IO]
            count = await self._start_write(offset + done, piece)
            if count <= 0:
                raise OSError(errno.EIO, f"nothing was written at offset {offset + done}", self.name)
            done += count
        return done

    # The shared position.

    async def tell(self) -> int:
        self._check_open()
        return self._pos

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        self._check_open()
        if whence == os.SEEK_SET:
            target = offset
        elif whence == os.SEEK_CUR:
            target = self._pos + offset
        elif whence == os.SEEK_END:
            await self.flush()
            target = self._size() + offset
        else:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if target < 0:
            raise OSError(22, "Invalid argument") if whence else ValueError(f"negative seek position {offset}")
        await self.flush()
        self._pos = target
        return target

    def _size(self) -> int:
        """The file's size: from its path, at least what this object wrote."""
        try:
            size = os.stat(self._path).st_size
        except OSError:
            size = 0
        return max(size, self._append_at, self._wstart + len(self._wbuf))

    # Reading.

    async def read(self, size: int | None = -1) -> bytes:
        """Up to ``size`` bytes from the position; fewer only at the end of the file."""
        self._check_readable()
        if size is None or size < 0:
            return await self.readall()
        if self._wbuf:
            await self.flush()
        have = self._buffered()
        if len(have) >= size:
            self._pos += size
            return bytes(have[:size])
        want = size - len(have)
        if want >= self._buffer_size:
            data = await self.pread(self._pos + len(have), want)
            result = data if not have else bytes(have) + data
            self._drop_read_ahead()
        else:
            await self._fill(len(have))
            result = bytes(self._buffered()[:size])
        self._pos += len(result)
        return result

    async def readall(self) -> bytes:
        """Everything from the position to the end of the file."""
        self._check_readable()
        if self._wbuf:
            await self.flush()
        have = self._buffered()
        start = self._pos + len(have)
        parts = [bytes(have)] if have else []
        expected = max(self._size() - start, 0) + 1  # one more byte shows the end
        while True:
            # A large file comes in pieces, so the loop runs (and a cancellation
            # lands) between them even where reads complete during submission.
            want = min(max(expected, self._buffer_size), READALL_PIECE)
            data = await self.pread(start, want)
            parts.append(data)
            start += len(data)
            if len(data) < want:
                break
            expected -= len(data)
        result = b"".join(parts)
        self._drop_read_ahead()
        self._pos = start
        return result

    async def read1(self, size: int = -1) -> bytes:
        """Buffered bytes if there are any, else at most one read."""
        self._check_readable()
        if self._wbuf:
            await self.flush()
        if size < 0:
            size = self._buffer_size
        if size == 0:
            return b""
        have = self._buffered()
        if not have:
            await self._fill(0)
            have = self._buffered()
        result = bytes(have[:size])
        self._pos += len(result)
        return result

    async def peek(self, size: int = 0) -> bytes:
        """Buffered bytes from the position without moving it; reads once if there are none."""
        self._check_readable()
        if self._wbuf:
            await self.flush()
        have = self._buffered()
        if not have or len(have) < size:
            await self._fill(len(have))
            have = self._buffered()
        return bytes(have)

    async def readinto(self, buffer: Buffer) -> int:
        view = memoryview(buffer).cast("B")
        data = await self.read(len(view))
        view[:len(data)] = data
        return len(data)

    async def readline(self, size: int | None = -1) -> bytes:
        self._check_readable()
        if self._wbuf:
            await self.flush()
        limit = -1 if size is None else size
        searched = 0
        while True:
            buf, skip = self._window()
            have = len(buf) - skip
            end = buf.find(b"\n", skip + searched)
            if end >= 0:
                count = end + 1 - skip
            elif 0 <= limit <= have or not await self._fill(have):
                buf, skip = self._window()
                count = len(buf) - skip
            else:
                searched = have
                continue
            if 0 <= limit < count:
                count = limit
            self._pos += count
            return buf[skip:skip + count]

    def _buffered(self) -> bytes | memoryview:
        """The read-ahead from the position on."""
        buf, skip = self._window()
        return memoryview(buf)[skip:] if skip else buf

    def _window(self) -> tuple[bytes, int]:
        """The read-ahead and where the position is in it (``b"", 0`` if outside)."""
        skip = self._pos - self._rstart
        if 0 <= skip < len(self._rbuf):
            return self._rbuf, skip
        return b"", 0

    async def _fill(self, have: int) -> bool:
        """Extends the read-ahead past the ``have`` bytes after the position by one read.

        False at the end of the file. The read-ahead changes only once the
        read is done, so a cancelled fill leaves it as it was."""
        start = self._pos + have
        data = await self._start_read(start, self._buffer_size)
        if have:
            data = bytes(self._buffered()[:have]) + data
        self._rbuf, self._rstart = data, self._pos
        return len(data) > have

    def _drop_read_ahead(self) -> None:
        self._rbuf = b""
        self._rstart = 0

    # Writing.

    async def write(self, data: Buffer) -> int:
        """Accepts all of ``data`` (any bytes-like object) at the position, or at the
        end in append mode; returns its length."""
        self._check_writable()
        raw = data if isinstance(data, bytes) else memoryview(data).cast("B")
        size = len(raw)
        at = self._append_at if self._append else self._pos
        if self._wbuf and at != self._wstart + len(self._wbuf):
            await self.flush()
        if self._rbuf:
            self._drop_read_ahead()
        if size >= self._buffer_size - len(self._wbuf):
            await self.flush()
            if size >= self._buffer_size:
                await self._pwrite_all(at, raw if isinstance(raw, bytes) else raw.tobytes())
                self._advance(at, size)
                return size
        if not self._wbuf:
            self._wstart = at
        self._wbuf += raw
        self._advance(at, size)
        return size

    def _advance(self, at: int, size: int) -> None:
        self._pos = at + size
        if self._append:
            self._append_at = self._pos

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        for line in lines:
            await self.write(line)

    async def flush(self) -> None:
        """Submits the buffered writes and waits for them."""
        if self._handle is None:
            raise closed_file()
        if not self._wbuf:
            return
        data, start = bytes(self._wbuf), self._wstart
        await self._pwrite_all(start, data)
        # Only now: a cancelled flush keeps the data and writes it again later.
        if self._wbuf[:len(data)] == data and self._wstart == start:
            del self._wbuf[:len(data)]
            self._wstart += len(data)

    async def truncate(self, size: int | None = None) -> int:
        """Resizes the file to ``size`` (default: the position); the position stays.

        The completion-port layer has no call for this, so it is done
        synchronously on the file's path."""
        self._check_writable()
        await self.flush()
        if size is None:
            size = self._pos
        if size < 0:
            raise OSError(22, "Invalid argument", self.name)
        os.truncate(self._path, size)
        self._drop_read_ahead()
        self._append_at = size
        return size

    # Closing.

    async def close(self) -> None:
        """Flushes, waits for the operations still in flight, then closes the handle."""
        if self._closing is not None:
            await asyncio.shield(self._closing)
            return
        if self._handle is None:
            return
        try:
            if self._writable:
                await self.flush()
        finally:
            self._handle = None
            self._closing = asyncio.ensure_future(self._close_handle(), loop=self._backend._loop)
        await asyncio.shield(self._closing)

    async def _close_handle(self) -> None:
        backend = self._backend
        try:
            if self._inflight:
                self._idle = backend._loop.create_future()
                await self._idle
            handle, self._os_handle = self._os_handle, None
            if handle is None:
                return  # the backend closed it meanwhile
            future: asyncio.Future[int] = backend._loop.create_future()
            backend._check_open()
            self._pending[backend._iocp.submit_close(handle)] = (finish_io, self, future)
            self._inflight += 1
            await future
        finally:
            backend._files.discard(self)

    async def __aenter__(self) -> AsyncFile:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    def _abandon(self, warn: bool) -> None:
        """Closes without waiting: for a file nobody closed, whose backend or self is going away."""
        closing = self._handle is None
        handle, self._handle, self._os_handle = self._os_handle, None, None
        if handle is None:
            return
        if warn and not closing:
            warnings.warn(f"unclosed file {self!r}", ResourceWarning, source=self)
        backend = self._backend
        backend._files.discard(self)
        if self._wbuf:
            backend._write_then_close(handle, self._wstart, bytes(self._wbuf))
            self._wbuf.clear()
        else:
            backend._close_quietly(handle)

    def __del__(self) -> None:
        if getattr(self, "_os_handle", None) is not None:
            try:
                self._abandon(warn=True)
            except RuntimeError:
                pass  # its loop is closed; the backend's close took care of the handle

    # Checks and errors.

    def _check_open(self) -> None:
        if self._handle is None:
            raise closed_file()

    def _check_readable(self) -> int:
        """The handle to read through."""
        handle = self._handle
        if handle is None:
            raise closed_file()
        if not self._readable:
            raise unsupported("read")
        return handle

    def _check_writable(self) -> int:
        """The handle to write through."""
        handle = self._handle
        if handle is None:
            raise closed_file()
        if not self._writable:
            raise unsupported("write")
        return handle

    def _error(self, code: int) -> OSError:
        return os_error(code, self.name)


def _split(offset: int, size: int) -> Sequence[tuple[int, int]]:
    return [(offset + start, min(MAX_IO, size - start)) for start in range(0, size, MAX_IO)]


def _as_bytes(data: Buffer) -> bytes:
    try:
        return memoryview(data).tobytes()
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'") from None

