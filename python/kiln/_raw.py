"""``RawFile``: one native handle and its position, the layer ``io.FileIO`` is to the built-in ``open``.

Reads and writes go to the backend at explicit offsets; the position is kept
here, since a completion-port handle has none. Size, truncation and sync go by
the handle, never by the file's name, which may meanwhile name another file.

A call whose caller is cancelled while its operation is in flight leaves the
file as if it had not been made: the operation is cancelled in the engine,
and if it completes all the same, a read's bytes are kept for the next read
(on a file without positions) and a write's effect is settled by the layer
above before any later write may start (see ``settled``).
"""

from __future__ import annotations

import asyncio
import errno
import operator
import os
import threading
import types
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ._errors import ERROR_OPERATION_ABORTED, closed_file, errno_error, os_error, unsupported

if TYPE_CHECKING:
    from collections.abc import Buffer

    from ._backend import Backend

# The most one operation moves: Windows counts a transfer in 32 bits, Linux
# moves at most 0x7FFFF000 bytes in one call.
MAX_IO = 1 << 30
# readall reads a large file in pieces, so the loop runs (and a cancellation
# lands) between them.
READALL_PIECE = 16 << 20
# A file without a known size is read in pieces that grow from this.
READALL_START = 64 << 10
LINE_CHUNK = 8192
# Positions are signed 64-bit numbers.
OFFSET_LIMIT = 1 << 63

# What a cancelled caller's operation does when it succeeds after all: it is
# given what its caller would have got (the bytes read, the count written).
Late = Callable[[Any], None]


class RawFile:
    """An open handle: positional reads and writes, a position, size, truncate, sync, append.

    Not used directly: ``AsyncFile`` and ``AsyncTextFile`` sit on it, and their
    stream calls run one at a time. ``pread``/``pwrite`` may be many at once.
    """

    def __init__(self, backend: Backend, handle: int, name: Any, mode: str, *, readable: bool, writable: bool,
                 appending: bool, seekable: bool) -> None:
        self._backend = backend
        # None once closing starts, so nothing new reaches the handle; _os_handle
        # stays until the handle itself is closed.
        self._handle: int | None = handle
        self._os_handle: int | None = handle
        self.name = name
        self.mode = mode
        self._readable = readable
        self._writable = writable
        self._appending = appending
        self._seekable = seekable
        # None: at the end of the file, wherever that is now (after opening or
        # writing in append mode); asked for when needed.
        self._pos: int | None = None if appending else 0
        # A file without positions: bytes a cancelled read got after all.
        self._pushback = b""
        self._inflight = 0
        self._idle: asyncio.Future[None] | None = None
        # Operations whose caller was cancelled, still in flight, and what
        # waits for them to be over.
        self._abandoned = 0
        self._after_settled: list[Callable[[], None]] = []
        # Results of operations that completed after their caller was
        # cancelled and before it resumed: None for a failure.
        self._late: dict[int, Any] = {}
        self._closing: asyncio.Future[None] | None = None
        # A close has begun stopping what is in flight.
        self._stopping = False
        self._owner = backend._owner
        self._loop = backend.loop
        self._new_future = self._loop.create_future
        self._pending = backend._pending
        # The backend's read of what the cache holds; None where every read waits,
        # and for a stream, which has no offsets to read at.
        self._read_now = backend._read_now if seekable else None

    # Checks.

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _check_open(self) -> int:
        handle = self._handle
        if handle is None:
            raise closed_file()
        return handle

    def usable(self) -> int:
        """The handle, for an operation started now: refused on a closed file, or
        from another event loop or thread than the file's (its completion would
        be delivered there)."""
        if _running_loop() is not self._loop:
            raise self._foreign_use()
        return self._check_open()

    def check_loop(self) -> None:
        """Refuses use from another event loop or thread than the file's."""
        if _running_loop() is not self._loop:
            raise self._foreign_use()

    def _foreign_use(self) -> RuntimeError:
        loop = _running_loop()
        here = f"event loop {loop!r}" if loop is not None else "no running event loop"
        return RuntimeError(f"{self.name!r} belongs to event loop {self._loop!r} on thread {self._owner}; "
                            f"it was used from {here} on thread {threading.get_ident()}")

    def check_readable(self) -> int:
        """The handle to read through: a closed file refuses first, as FileIO's."""
        handle = self.usable()
        if not self._readable:
            raise unsupported("File not open for reading")
        return handle

    def check_writable(self) -> int:
        """The handle to write through."""
        handle = self.usable()
        if not self._writable:
            raise unsupported("File not open for writing")
        return handle

    def check_positional(self) -> int:
        """The handle to read at an offset through: a stream has no offsets, as ``os.pread`` finds."""
        handle = self.check_readable()
        self._check_seekable()
        return handle

    def _check_seekable(self) -> None:
        if not self._seekable:
            raise errno_error(errno.ESPIPE)

    def _error(self, code: int) -> BaseException:
        if code == ERROR_OPERATION_ABORTED and (self._handle is None or self._stopping):
            return closed_file()  # stopped by close()
        # As the built-in: only a failed open names the file.
        return os_error(code, None)

    # Operations in flight.

    def _start(self, op_id: int) -> asyncio.Future[Any]:
        future: asyncio.Future[Any] = self._new_future()
        self._pending[op_id] = (_finish, self, future)
        self._inflight += 1
        return future

    def _start_read(self, op_id: int) -> asyncio.Future[Any]:
        future: asyncio.Future[Any] = self._new_future()
        self._pending[op_id] = (_finish_read, self, future)
        self._inflight += 1
        return future

    async def _wait(self, op_id: int, future: asyncio.Future[Any], on_late: Late | None = None) -> Any:
        """The operation's result. A cancelled caller leaves it to ``on_late``."""
        try:
            return await future
        except asyncio.CancelledError:
            if future.cancelled():
                self._orphan(op_id, on_late)
            elif on_late is not None and future.exception() is None:
                on_late(future.result())  # done, but the caller was cancelled before it resumed
            raise

    def _orphan(self, op_id: int, on_late: Late | None) -> None:
        if op_id in self._late:  # it completed before the cancellation reached its caller
            value = self._late.pop(op_id)
            if on_late is not None and value is not None:
                on_late(value)
            return
        self._pending[op_id] = (_finish_abandoned, self, on_late)
        self._abandoned += 1
        self._backend._cancel(op_id)

    def _op_done(self) -> None:
        self._inflight -= 1
        if not self._inflight and self._idle is not None and not self._idle.done():
            self._idle.set_result(None)

    def after_settled(self, callback: Callable[[], None]) -> None:
        """Runs ``callback`` once no cancelled caller's operation is in flight: at once if none is."""
        if self._abandoned:
            self._after_settled.append(callback)
        else:
            callback()

    async def settled(self) -> None:
        """Waits until no cancelled caller's operation is in flight, so nothing lands on what follows."""
        while self._abandoned:
            waiter: asyncio.Future[None] = self._new_future()
            self._after_settled.append(lambda: _wake(waiter))
            await waiter

    # Positional I/O: any number in flight at once.

    def submit_read(self, handle: int, offset: int, size: int) -> tuple[int, asyncio.Future[bytes]]:
        op_id = self._backend.submit_read(handle, offset, size)
        return op_id, self._start_read(op_id)

    async def pread(self, offset: int, size: int) -> bytes:
        """One read of up to ``size`` bytes at ``offset``: what the system gave in one transfer."""
        handle = self.check_readable()
        size = min(size, MAX_IO)
        backend = self._backend
        read_now = self._read_now
        if read_now is None:
            op_id, future = self.submit_read(handle, offset, size)
        else:
            got = read_now(handle, offset, size)
            if isinstance(got, bytes):
                left = backend._reads_left - backend._weight(size)
                if left > 0:
                    backend._reads_left = left
                else:
                    await backend._yield()
                return got
            op_id, future = got, self._start_read(got)
            if not backend._flush_due:
                backend._flush_soon()
        data: bytes = await self._wait(op_id, future)
        return data

    async def wait_read(self, op_id: int) -> Any:
        """The result of a read (or group of reads) that the backend's read_now or read_many submitted."""
        future = self._start_read(op_id)
        backend = self._backend
        if not backend._flush_due:
            backend._flush_soon()
        return await self._wait(op_id, future)

    async def read_group_at_once(self, results: list[bytes], reads: int) -> list[bytes]:
        """A group of reads that the cache held: the loop gets its turn now and then."""
        backend = self._backend
        left = backend._reads_left - reads
        if left > 0:
            backend._reads_left = left
        else:
            await backend._yield()
        return results

    async def pwrite(self, offset: int, data: bytes) -> int:
        """One write of ``data`` at ``offset`` (at the end, appending); the count written."""
        handle = self.check_writable()
        if self._abandoned:
            await self.settled()
        op_id = self._backend.submit_write(handle, offset, data)
        count: int = await self._wait(op_id, self._start(op_id))
        return count

    # The stream position.

    async def tell(self) -> int:
        self.usable()
        self._check_seekable()
        pos = self._pos
        if pos is None:
            pos = self._pos = await self.size()
        return pos

    async def seek(self, pos: int, whence: int = os.SEEK_SET) -> int:
        whence = _index(whence)  # before any other check, as the built-in parses its arguments
        self.usable()
        pos = _index(pos)
        if not -OFFSET_LIMIT <= pos < OFFSET_LIMIT:
            raise OverflowError("Python int too large to convert to C long")
        if whence == os.SEEK_SET:
            target = pos
        elif whence == os.SEEK_CUR:
            self._check_seekable()
            target = await self.tell() + pos
        elif whence == os.SEEK_END:
            self._check_seekable()
            target = await self.size() + pos
        else:
            raise errno_error(errno.EINVAL)
        self._check_seekable()
        if target < 0:
            raise errno_error(errno.EINVAL)
        self._pos = target
        return target

    async def _position(self) -> int:
        """Where the next stream transfer goes: 0 on a file without positions."""
        if not self._seekable:
            return 0
        pos = self._pos
        if pos is None:
            pos = self._pos = await self.size()
        return pos

    # Stream reads: one transfer each, as FileIO's.

    async def read(self, size: int | None = -1) -> bytes:
        handle = self.check_readable()
        if size is None or size < 0:
            return await self.readall()
        if self._pushback:
            return self._take_pushback(size)
        pos = await self._position()
        op_id, future = self.submit_read(handle, pos, min(size, MAX_IO))
        data: bytes = await self._wait(op_id, future, self._keep_late_read)
        if self._seekable:
            self._pos = pos + len(data)
        return data

    def _take_pushback(self, size: int) -> bytes:
        data, self._pushback = self._pushback[:size], self._pushback[size:]
        return data

    def _keep_late_read(self, data: bytes) -> None:
        """A file without positions loses what it gave: keep it for the next read."""
        if data and not self._seekable:
            self._pushback += data

    async def readall(self) -> bytes:
        """Everything from the position to the end: until a read gives nothing."""
        self.check_readable()
        parts = [self._take_pushback(len(self._pushback))] if self._pushback else []
        start = await self._position()
        want = READALL_START
        if self._seekable:
            want = max(await self.size() - start + 1, 1)
        try:
            while True:
                data = await self.pread(start, min(want, READALL_PIECE))
                if not data:
                    break
                parts.append(data)
                if self._seekable:
                    start += len(data)
                want = max(want - len(data), 1) if self._seekable else min(want * 2, READALL_PIECE)
        except BaseException:
            # Nothing is lost: the position has not moved, or, without
            # positions, what was read waits for the next read.
            if not self._seekable:
                self._pushback = b"".join(parts) + self._pushback
            raise
        if self._seekable:
            self._pos = start
        return b"".join(parts)

    async def readinto(self, buffer: Buffer) -> int:
        view = _writable_view(buffer)
        data = await self.read(len(view))
        view[:len(data)] = data
        return len(data)

    async def readline(self, size: int | None = -1) -> bytes:
        """A line (up to ``size`` bytes), reading ahead and moving the position past the line only."""
        limit = _size_limit(size)
        if limit == 0:
            return b""  # as the built-in: nothing asked for, nothing checked
        handle = self.check_readable()
        parts: list[bytes] = []
        total = 0
        pos = await self._position()
        try:
            while limit < 0 or total < limit:
                chunk = self._take_pushback(len(self._pushback)) if self._pushback else b""
                if not chunk:
                    op_id, future = self.submit_read(handle, pos + total, LINE_CHUNK)
                    chunk = await self._wait(op_id, future, self._keep_late_read)
                    if not chunk:
                        break
                end = chunk.find(b"\n") + 1 or len(chunk)
                if limit >= 0:
                    end = min(end, limit - total)
                if end < len(chunk) and not self._seekable:
                    self._pushback = chunk[end:] + self._pushback
                parts.append(chunk[:end])
                total += end
                if chunk[end - 1:end] == b"\n":
                    break
        except BaseException:
            if not self._seekable:
                self._pushback = b"".join(parts) + self._pushback
            raise
        if self._seekable:
            self._pos = pos + total
        return b"".join(parts)

    async def peek(self) -> bytes:
        """The bytes one read from the position gives, without moving it."""
        data = await self.read(LINE_CHUNK)
        if self._seekable:
            self._pos -= len(data)  # type: ignore[operator]
        else:
            self._pushback = data + self._pushback
        return data

    # Stream writes: one transfer each, as FileIO's.

    async def write(self, data: bytes, on_late: Late | None = None) -> int:
        """One transfer of ``data`` at the position; the count written.

        A cancelled caller's write that lands after all does not move the
        position; ``on_late`` hears of it."""
        handle = self.check_writable()
        if self._abandoned:
            await self.settled()
        pos = 0 if self._appending else await self._position()
        op_id = self._backend.submit_write(handle, pos, data)

        def late(count: Any) -> None:
            self._late_write(count)
            if on_late is not None:
                on_late(count)

        count: int = await self._wait(op_id, self._start(op_id), late)
        self._moved_by_write(pos, count)
        return count

    def _moved_by_write(self, pos: int, count: int) -> None:
        if self._appending:
            self._pos = None  # at the end, wherever the system put the bytes
        elif self._seekable:
            self._pos = pos + count

    def _late_write(self, _count: int) -> None:
        if self._appending:
            self._pos = None

    async def write_all(self, data: bytes) -> int:
        """Writes every byte, going on after short writes."""
        done = 0
        while done < len(data):
            piece = data if not done and len(data) <= MAX_IO else data[done:done + MAX_IO]
            count = await self.write(piece)
            if count <= 0:
                raise OSError(errno.EIO, "the system wrote nothing", self.name)
            done += count
        return done

    # Size, truncation, durability: by the handle.

    async def size(self) -> int:
        handle = self.usable()
        op_id = self._backend._iocp.submit_size(handle)
        size: int = await self._wait(op_id, self._start(op_id))
        return size

    async def truncate(self, size: int | None = None) -> int:
        handle = self.check_writable()
        if self._pos is None and self._seekable:
            # The end an append left the position at is where it stays.
            self._pos = await self.size()
        if size is None:
            size = await self.tell()
        size = _index(size)
        if size < 0:
            raise errno_error(errno.EINVAL)
        if self._abandoned:
            await self.settled()
        op_id = self._backend._iocp.submit_truncate(handle, size)
        await self._wait(op_id, self._start(op_id))
        return size

    async def sync(self, data_only: bool) -> None:
        handle = self.usable()
        if self._abandoned:
            await self.settled()
        op_id = self._backend._iocp.submit_sync(handle, data_only)
        await self._wait(op_id, self._start(op_id))

    # Closing.

    async def close(self) -> None:
        """Cancels what is still in flight, waits for it, then closes the handle.

        Shielded: once begun, a close finishes even if its caller is cancelled."""
        if self._closing is None or self._closing.cancelled():
            if self._handle is None and self._closing is None:
                return
            self.usable()
            self._handle = None
            self._closing = asyncio.ensure_future(self._close_handle(), loop=self._backend.loop)
        await asyncio.shield(self._closing)

    async def _close_handle(self) -> None:
        backend = self._backend
        try:
            if self._inflight:
                self.cancel_in_flight()
                self._idle = self._new_future()
                await self._idle
            handle, self._os_handle = self._os_handle, None
            if handle is None:
                return  # the backend closed it meanwhile
            backend._check_open()
            op_id = backend._iocp.submit_close(handle)
            future = self._start(op_id)
            await future
        except asyncio.CancelledError:
            # The loop is going away (asyncio.run cancels every task left):
            # the handle is closed without anyone waiting for it.
            handle, self._os_handle = self._os_handle, None
            if handle is not None and not backend._stopped:
                backend._close_quietly(handle)
            raise
        finally:
            self.closed_callback()

    def closed_callback(self) -> None:
        """Set by the file over this one: it leaves its backend's list."""

    def cancel_in_flight(self, reads_only: bool = False) -> None:
        """Asks the system to stop this file's operations (or only its reads, which may wait for ever)."""
        from ._finish import finish_many

        self._stopping = True
        reads = (_finish_read, finish_many, _finish_abandoned)
        mine = [op_id for op_id, entry in self._pending.items()
                if entry[1] is self and (not reads_only or entry[0] in reads)]
        for op_id in mine:
            self._backend._cancel(op_id)

    def abandon(self, warn: bool, what: str, last_write: tuple[int, bytes] | None = None) -> None:
        """Closes without waiting: for a file nobody closed, whose backend or self is going away."""
        closing = self._handle is None
        handle, self._handle, self._os_handle = self._os_handle, None, None
        if handle is None:
            return
        if warn and not closing:
            warnings.warn(f"unclosed file {what}", ResourceWarning, source=self)
        backend = self._backend
        self.closed_callback()
        if last_write is not None and last_write[1]:
            backend._write_then_close(handle, last_write[0], last_write[1])
        else:
            backend._close_quietly(handle)

    def __repr__(self) -> str:
        return f"<kiln.RawFile name={self.name!r} mode={self.mode!r}>"


def _finish(file: RawFile, future: asyncio.Future[Any], op_id: int, error: int, result: int, data: Any) -> None:
    file._op_done()
    if future.done():
        # Its caller was cancelled and has not yet said what to do with it.
        file._late[op_id] = None if error else (result if data is None else data)
    elif error:
        future.set_exception(file._error(error))
    else:
        future.set_result(result if data is None else data)


# The same code under another name, so that a close can tell reads (which may
# wait for ever on a pipe) from writes, at no cost on the way.
_finish_read = types.FunctionType(_finish.__code__, _finish.__globals__, "_finish_read")


def _finish_abandoned(file: RawFile, on_late: Late | None, _op_id: int, error: int, result: int,
                      data: Any) -> None:
    file._op_done()
    try:
        if on_late is not None and not error:
            on_late(result if data is None else data)
    finally:
        file._abandoned -= 1
        if not file._abandoned:
            callbacks, file._after_settled = file._after_settled, []
            for callback in callbacks:
                callback()


_running_loop = asyncio._get_running_loop


def _wake(waiter: asyncio.Future[None]) -> None:
    if not waiter.done():
        waiter.set_result(None)


def _index(value: Any) -> int:
    """An integer argument as the built-in takes it (anything with ``__index__``)."""
    if type(value) is int:
        return value
    return operator.index(value)


def _size_limit(size: Any) -> int:
    if size is None:
        return -1
    try:
        return operator.index(size)
    except TypeError:
        raise TypeError(f"argument should be integer or None, not '{type(size).__name__}'") from None


def _writable_view(buffer: Any) -> memoryview:
    refused = TypeError(f"readinto() argument 1 must be read-write bytes-like object, not {type(buffer).__name__}")
    try:
        view = memoryview(buffer)
    except TypeError:
        raise refused from None
    if view.readonly or not view.c_contiguous:
        raise refused
    return view.cast("B") if view.format != "B" or view.ndim != 1 else view
