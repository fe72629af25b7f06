"""``AsyncFile``: a buffered binary file, the layer ``io.BufferedRandom`` is to the built-in ``open``.

It keeps a read-ahead and a write-behind over a ``RawFile`` and behaves as the
built-in buffered objects do: a short read is never taken for the end of the
file, only a read that gives nothing is; lines are found in one pass over
what is read. With ``buffering=0`` it passes every call straight to the raw
file, as the built-in's ``FileIO`` does.
"""

from __future__ import annotations

import asyncio
import errno
import operator
import os
import sys
import weakref
from collections.abc import Awaitable, Callable, Iterable
from typing import TYPE_CHECKING, Any, TypeVar, cast

from ._errors import closed_file, errno_error, unsupported
from ._backend import UNTIMED_READ as _UNTIMED_READ
from ._raw import _running_loop
from ._finish import Group, finish_many
from ._lines import LineReading
from ._lock import StreamLock
from ._raw import MAX_IO, OFFSET_LIMIT, RawFile, _index, _size_limit, _writable_view

if TYPE_CHECKING:
    from collections.abc import Buffer

T = TypeVar("T")

VALID_WHENCE = (os.SEEK_SET, os.SEEK_CUR, os.SEEK_END)
# What read1(-1) asks of an unbuffered file.
DEFAULT_PIECE = 64 * 1024
# From 3.13 on a write as large as the buffer goes to the file at once, as a larger one does.
_FULL_WRITES_GO_THROUGH = sys.version_info >= (3, 13)


class AsyncFile(LineReading[bytes]):
    """A binary file of ``kiln.open``: the asynchronous counterpart of ``io.BufferedRandom``.

    The methods that may touch the file are coroutines with the built-in's
    names, arguments, results and exceptions. Stream calls (``read*``,
    ``write*``, ``seek``, ``tell``, ``flush``, ``truncate``, iteration and
    ``close``) of one file run one at a time, in the order they were made, so
    one file may be shared by many tasks. ``pread``, ``pwrite`` and
    ``pread_many`` take their offset as an argument, leave the position alone
    and may be many at once. A cancelled call leaves the file as if it had not
    been made.
    """

    @classmethod
    def _create(cls, raw: RawFile, buffer_size: int) -> AsyncFile:
        """Made by ``kiln.open`` only: the class has no public constructor."""
        self = cls.__new__(cls)
        self._setup(raw, buffer_size)
        return self

    def _setup(self, raw: RawFile, buffer_size: int) -> None:
        self.raw = raw
        backend = raw._backend
        backend._files.add(self)
        # Without a reference to this file, so that a forgotten file is collected.
        files = weakref.ref(backend._files)
        me = weakref.ref(self)
        raw.closed_callback = lambda: _forget(files, me)  # type: ignore[method-assign]
        self._buffer_size = min(buffer_size, MAX_IO)
        # The read-ahead: raw's position is at its end. Its part from _buf_start on is what
        # the built-in would hold in its buffer; writes within that buffer's room go over the
        # read-ahead in place, and the range they cover waits to be written.
        self._read_buf = b""
        self._read_pos = 0
        self._buf_start = 0
        self._dirty_start = 0
        self._dirty_end = 0
        # The write-behind: raw's position is at its start.
        self._write_buf = bytearray()
        self._lock = StreamLock()
        self._closing: asyncio.Future[None] | None = None
        # A positional write may have changed bytes the read-ahead holds.
        self._stale = False

    def __repr__(self) -> str:
        state = " closed" if self.raw.closed else ""
        return f"<kiln.AsyncFile{state} name={self.name!r} mode={self.mode!r}>"

    # Plain attributes and queries.

    @property
    def name(self) -> Any:
        return self.raw.name

    @property
    def mode(self) -> str:
        return self.raw.mode

    @property
    def closed(self) -> bool:
        return self.raw.closed

    # A buffered file of one direction answers for the other without looking
    # at the file, as the built-in's reader and writer classes do.

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        if self._buffer_size and not self.raw._readable:
            return False
        self.raw._check_open()
        return self.raw._readable

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        if self._buffer_size and not self.raw._writable:
            return False
        self.raw._check_open()
        return self.raw._writable

    def _check_read(self) -> int:
        """The handle to read through. A buffered file that cannot read has no
        reading methods at all: that refusal comes before the closed file's."""
        if self._buffer_size and not self.raw._readable:
            raise unsupported("read")
        return self.raw.check_readable()

    def _refuse_reading(self, size: Any) -> None:
        """A buffered file that cannot read: its reading methods take their
        size as a C int, then refuse."""
        if self._buffer_size and not self.raw._readable:
            _c_int(size)
            raise unsupported("read")

    def _check_write(self) -> int:
        if self._buffer_size and not self.raw._writable:
            raise unsupported("write")
        return self.raw.check_writable()

    def seekable(self) -> bool:
        """Whether the file has positions (a pipe has none)."""
        self.raw._check_open()
        return self.raw._seekable

    def fileno(self) -> int:
        """There is no file descriptor: the file is a completion-port handle."""
        raise unsupported("fileno")

    def isatty(self) -> bool:
        """Always False: the file is no terminal."""
        self.raw._check_open()
        return False

    # The lock around stream calls.

    async def _locked(self, call: Callable[[], Awaitable[T]]) -> T:
        lock = self._lock
        if not lock.try_acquire():
            self.raw.check_loop()
            await lock.acquire()
        try:
            return await call()
        finally:
            self._unlock()

    def _unlock(self) -> None:
        """Gives the lock back, once nothing a cancelled call started is still in flight."""
        if self.raw._abandoned:
            self.raw.after_settled(self._lock.release)
        else:
            self._lock.release()

    # Positional I/O, outside the lock.

    async def pread(self, offset: int, size: int) -> bytes:
        """Reads up to ``size`` bytes at ``offset``; fewer only at the end of the file."""
        if self._write_buf or self._dirty_end:
            await self._locked(self._flush_unlocked)  # this object's own writes come first
        if type(offset) is not int or type(size) is not int:
            offset, size = _index(offset), _index(size)
        if offset < 0 or size < 0:
            raise ValueError(f"negative offset or size: {offset}, {size}")
        raw = self.raw
        read_now = raw._read_now
        handle = raw._handle
        if size > _UNTIMED_READ or handle is None or not raw._readable or _running_loop() is not raw._loop:
            raw.check_positional()
            data = await raw.pread(offset, size)  # large reads
        elif read_now is None:
            if not raw._seekable:
                raw.check_positional()
            op_id, future = raw.submit_read(handle, offset, size)
            data = await raw._wait(op_id, future)
        else:
            got = read_now(handle, offset, size)
            if type(got) is not bytes:
                data = await raw.wait_read(cast(int, got))
            else:
                # What the cache held came without a wait: the loop gets its turn now and then.
                backend = raw._backend
                left = backend._reads_left - 1
                if left > 0:
                    backend._reads_left = left
                else:
                    await backend._yield()
                data = got
        if len(data) == size or not data:
            return data
        return await self._read_rest(offset, size, data)

    async def _read_rest(self, offset: int, size: int, data: bytes) -> bytes:
        """Goes on after a short read: only a read that gives nothing is the end."""
        parts = [data]
        got = len(data)
        while got < size:
            more = await self.raw.pread(offset + got, size - got)
            if not more:
                break
            parts.append(more)
            got += len(more)
        return b"".join(parts)

    async def pread_many(self, requests: Iterable[tuple[int, int]]) -> list[bytes]:
        """Reads every ``(offset, size)`` at once; the results come in request order.

        All reads are submitted before the first await and resolve one future;
        each result is short only at the end of the file. The first failure is
        raised once every read has finished."""
        if self._write_buf or self._dirty_end:
            await self._locked(self._flush_unlocked)
        raw = self.raw
        handle = raw.check_positional()
        read_many = raw._backend._read_many
        if read_many is not None:
            # One call: it checks the requests itself when they are tuples of ints.
            listed = requests if type(requests) is list else list(requests)
            if not listed:
                return []
            try:
                got = read_many(handle, listed)
            except TypeError:
                listed = _checked_requests(listed)
                got = read_many(handle, listed)
            if type(got) is list:
                return await raw.read_group_at_once(got, len(listed))
            # The caller's own list may change while the reads are out.
            requests = listed.copy() if listed is requests else listed
            results: list[bytes] = await raw.wait_read(cast(int, got))
        else:
            requests = _checked_requests(requests)
            if not requests:
                return []
            results = await self._submit_many(handle, requests)
        for index, (offset, size) in enumerate(requests):
            data = results[index]
            if 0 < len(data) < size:
                results[index] = await self._read_rest(offset, size, data)
        return results

    async def _submit_many(self, handle: int, requests: list[tuple[int, int]]) -> list[bytes]:
        raw = self.raw
        group = Group(raw._new_future(), len(requests))
        submit, pending, entry = raw._backend.submit_read, raw._pending, (finish_many, raw, group)
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
            raw._inflight += number
        try:
            return await group.future
        except asyncio.CancelledError:
            group.cancel(raw)
            raise

    async def pwrite(self, offset: int, data: Buffer) -> int:
        """Writes all of ``data`` (any bytes-like object) at ``offset``; returns its length.

        In append mode the system puts every write at the end of the file."""
        if self._write_buf or self._dirty_end:
            await self._locked(self._flush_unlocked)  # else an older buffered write could land over this one
        offset = _index(offset)
        if offset < 0:
            raise ValueError(f"negative offset: {offset}")
        self._check_write()
        self.raw._check_seekable()  # a stream has no offsets, as os.pwrite finds
        done = await self._pwrite_all(offset, _as_bytes(data))
        if self._read_buf:
            self._stale = True
        return done

    async def _pwrite_all(self, offset: int, payload: bytes) -> int:
        """Writes all of ``payload`` at ``offset``, going on after short writes."""
        raw = self.raw
        done = 0
        while done < len(payload) or not payload:
            piece = payload if not done and len(payload) <= MAX_IO else payload[done:done + MAX_IO]
            count = await raw.pwrite(offset + done, piece)
            if not payload:
                break
            if count <= 0:
                raise OSError(errno.EIO, "the system wrote nothing", self.name)
            done += count
        return done

    # The shared position.

    async def tell(self) -> int:
        """The position in bytes."""
        return await self._locked(self._tell_unlocked)

    async def _tell_unlocked(self) -> int:
        pos = await self.raw.tell()
        if self._write_buf:
            return pos + len(self._write_buf)
        return pos - (len(self._read_buf) - self._read_pos)

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Moves the position to ``offset`` from the start, the position (1) or the end (2); returns it."""
        return await self._locked(lambda: self._seek_unlocked(offset, whence))

    async def _seek_unlocked(self, offset: Any, whence: Any = os.SEEK_SET) -> int:
        if not self._buffer_size:
            return await self.raw.seek(offset, whence)
        whence = _index(whence)
        if whence not in VALID_WHENCE:
            raise ValueError(f"whence value {whence} unsupported")
        raw = self.raw
        if raw.closed:
            raise ValueError("seek of closed file")
        if not raw._seekable:
            raise unsupported("File or stream is not seekable.")  # before the buffer is written
        offset = _index(offset)
        if self._buffer_size and not -OFFSET_LIMIT <= offset < OFFSET_LIMIT:
            raise ValueError("cannot fit 'int' into an offset-sized integer")
        if self._buffer_size and whence != os.SEEK_END and not self._write_buf and self._seek_in_buffer(offset, whence):
            return raw._pos - (len(self._read_buf) - self._read_pos)  # type: ignore[operator]
        await self._flush_unlocked()
        if whence == os.SEEK_CUR:
            offset -= len(self._read_buf) - self._read_pos
        pos = await raw.seek(offset, whence)
        self._reset_read_buf()
        return pos

    def _seek_in_buffer(self, offset: int, whence: int) -> bool:
        """Moves within the read-ahead without touching the raw file, when the target is in it."""
        raw_pos, buf = self.raw._pos, self._read_buf
        if self._stale or raw_pos is None or len(buf) == self._read_pos:
            return False
        at = raw_pos - len(buf)  # where the read-ahead begins in the file
        target = offset if whence == os.SEEK_SET else at + self._read_pos + offset
        if at + self._buf_start <= target <= raw_pos:
            self._read_pos = target - at
            return True
        return False

    # Reading.

    async def read(self, size: int | None = -1) -> bytes:
        """Up to ``size`` bytes from the position (all of it for -1 or None); fewer only at the end."""
        lock = self._lock
        if not lock.try_acquire():
            self.raw.check_loop()
            await lock.acquire()
        try:
            return await self._read_unlocked(size)
        finally:
            self._unlock()

    async def _read_unlocked(self, size: Any = -1, into: bool = False) -> bytes:
        raw = self.raw
        self._refuse_reading(size)
        n = -1 if size is None else _index(size)
        if not self._buffer_size:
            return await raw.read(n)
        if n < -1:
            raise ValueError("read length must be non-negative or -1")
        raw.check_readable()
        if n == 0 and not into:
            return b""  # as the built-in's, without writing what waits to be written
        await self._before_read()
        if n == -1:
            rest = await raw.readall()
            head = self._read_buf[self._read_pos:]
            self._reset_read_buf()
            return head + rest if head else rest
        buf, pos = self._read_buf, self._read_pos
        avail = len(buf) - pos
        if n <= avail:
            self._read_pos += n
            return buf[pos:pos + n]
        chunks = [buf[pos:]] if avail else []
        # The built-in reads whole buffers straight into the result; its buffer holds the rest.
        buf_start = avail + self._straight_part(n - avail, into)
        try:
            while avail < n:
                chunk = await raw.read(self._read_size(n - avail, into))
                if not chunk:
                    break
                avail += len(chunk)
                chunks.append(chunk)
        except BaseException:
            self._keep(chunks)  # what was read stays, as if the call had not been made
            raise
        out = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        n = min(n, avail)
        self._read_buf, self._read_pos, self._buf_start = out, n, min(buf_start, len(out))
        return out[:n]

    def _straight_part(self, missing: int, into: bool) -> int:
        """How many of ``missing`` bytes the built-in reads past its buffer: for ``read``, the
        whole buffers among them; for ``readinto``, all of them when they are more than a
        buffer."""
        size = self._buffer_size
        if into:
            return missing if missing > size else 0
        return missing - missing % size

    def _read_size(self, missing: int, into: bool) -> int:
        """What one read of the file asks for when ``missing`` bytes are wanted, as the built-in
        reads them (in one read where it takes two), so that as much is left read ahead for
        ``read1`` and ``peek``: the part it reads straight, and a buffer more for a rest."""
        straight = self._straight_part(missing, into)
        return straight + self._buffer_size if straight < missing else straight

    def _keep(self, chunks: list[bytes]) -> None:
        self._read_buf = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        self._read_pos = self._buf_start = 0

    async def readall(self) -> bytes:
        """Everything from the position to the end of the file."""
        return await self._locked(lambda: self._read_unlocked(-1))

    async def read1(self, size: int = -1) -> bytes:
        """Buffered bytes if there are any, else at most one read of the file."""
        return await self._locked(lambda: self._read1_unlocked(size))

    async def _read1_unlocked(self, size: Any = -1) -> bytes:
        raw = self.raw
        self._refuse_reading(size)
        n = _index(size)
        raw.check_readable()
        if not self._buffer_size:
            return await raw.read(n if n >= 0 else DEFAULT_PIECE)
        if n < 0:
            n = self._buffer_size
        if n == 0:
            return b""
        await self._before_read()
        have = len(self._read_buf) - self._read_pos
        if have > 0:
            n = min(have, n)
            pos = self._read_pos
            self._read_pos += n
            return self._read_buf[pos:pos + n]
        self._reset_read_buf()
        return await raw.read(n)

    async def peek(self, size: int = 0) -> bytes:
        """The buffered bytes from the position on, without moving it; reads once if there are none."""
        return await self._locked(self._peek_unlocked)

    async def _peek_unlocked(self) -> bytes:
        raw = self.raw
        self._check_read()
        if not self._buffer_size:
            return await raw.peek()
        await self._before_read()
        if raw._writable:
            # A file open both ways reads ahead afresh from the position, as the built-in's does.
            self._rewind()
        if len(self._read_buf) > self._read_pos:
            return self._read_buf[self._read_pos:]
        await self._fill()
        return self._read_buf

    async def _fill(self) -> int:
        """Reads the next buffer's worth into an empty read-ahead; the count read."""
        self._reset_read_buf()
        data = await self.raw.read(self._buffer_size)
        self._read_buf = data
        return len(data)

    async def readinto(self, buffer: Buffer) -> int:
        """Reads into ``buffer`` (a writable bytes-like object); the count read."""
        view = _writable_view(buffer)
        if not self._buffer_size:
            data = await self.read(len(view))
        else:
            data = await self._locked(lambda: self._read_unlocked(len(view), into=True))
        view[:len(data)] = data
        return len(data)

    async def readinto1(self, buffer: Buffer) -> int:
        """Reads into ``buffer``: the buffered bytes, then at most one read of the file."""
        view = _writable_view(buffer)
        if not self._buffer_size:
            data = await self.read1(len(view))
        else:
            data = await self._locked(lambda: self._readinto1_unlocked(len(view)))
        view[:len(data)] = data
        return len(data)

    async def _readinto1_unlocked(self, n: int) -> bytes:
        """As the built-in's readinto1: what is buffered; then, if that is not all, one read
        straight into the caller's buffer when the rest is larger than the buffer, or, when
        nothing was buffered, one buffer's worth of which the rest is taken."""
        raw = self.raw
        self._refuse_reading(n)
        raw.check_readable()
        await self._before_read()
        buf, pos = self._read_buf, self._read_pos
        have = len(buf) - pos
        if have >= n:
            self._read_pos += n
            return buf[pos:pos + n]
        head = buf[pos:]
        self._reset_read_buf()
        missing = n - have
        if have and missing <= self._buffer_size:
            return head
        try:
            chunk = await raw.read(missing if missing > self._buffer_size else self._buffer_size)
        except BaseException:
            self._keep([head] if head else [])
            raise
        taken = min(len(chunk), missing)
        self._read_buf, self._read_pos = chunk, taken
        self._buf_start = taken if missing > self._buffer_size else 0
        return head + chunk[:missing]

    async def readline(self, size: int | None = -1) -> bytes:
        """The next line, with its ``\\n``; at most ``size`` bytes when ``size`` >= 0."""
        lock = self._lock
        if not lock.try_acquire():
            self.raw.check_loop()
            await lock.acquire()
        try:
            return await self._readline_unlocked(size)
        finally:
            self._unlock()

    async def _readline_unlocked(self, size: Any = -1) -> bytes:
        raw = self.raw
        if not self._buffer_size:
            return await raw.readline(size)
        limit = _size_limit(size)
        if not raw._readable:
            if limit == 0:
                return b""  # the built-in's writer reads nothing for nothing
            raise unsupported("read")
        raw.check_readable()
        await self._before_read()
        buf, pos = self._read_buf, self._read_pos
        end = len(buf) if limit < 0 else min(len(buf), pos + limit)
        found = buf.find(b"\n", pos, end)
        if found >= 0 or end - pos == limit:
            stop = found + 1 if found >= 0 else end
            self._read_pos = stop
            return buf[pos:stop]
        chunks = [buf[pos:end]] if end > pos else []
        taken = end - pos
        self._read_pos = end
        try:
            while limit < 0 or taken < limit:
                if not await self._fill():
                    break
                buf = self._read_buf
                end = len(buf) if limit < 0 else min(len(buf), limit - taken)
                found = buf.find(b"\n", 0, end)
                stop = found + 1 if found >= 0 else end
                chunks.append(buf[:stop])
                taken += stop
                self._read_pos = stop
                if found >= 0:
                    break
        except BaseException:
            self._keep(chunks + [self._read_buf[self._read_pos:]])
            raise
        return chunks[0] if len(chunks) == 1 else b"".join(chunks)

    async def _before_read(self) -> None:
        """Writes what waits to be written, and forgets read-ahead a positional write overtook."""
        if self._write_buf or self._dirty_end:
            await self._flush_unlocked()
        if self._stale:
            self._rewind()
            self._stale = False

    def _reset_read_buf(self) -> None:
        self._read_buf = b""
        self._read_pos = self._buf_start = 0

    def _rewind(self) -> None:
        """Forgets the read-ahead, moving the raw position back to the logical one."""
        unread = len(self._read_buf) - self._read_pos
        if unread and self.raw._pos is not None and self.raw._seekable:
            self.raw._pos -= unread
        self._reset_read_buf()

    # Writing.

    async def write(self, data: Buffer) -> int:
        """Accepts all of ``data`` (any bytes-like object); returns its length."""
        lock = self._lock
        if not lock.try_acquire():
            self.raw.check_loop()
            await lock.acquire()
        try:
            return await self._write_unlocked(data)
        finally:
            self._unlock()

    async def _write_unlocked(self, data: Any) -> int:
        raw = self.raw
        if self._buffer_size and not raw._writable:
            raise unsupported("write")
        view = _as_view(data)  # as the built-in, the argument is looked at before the file
        raw.check_writable()
        if not self._buffer_size:
            return await raw.write(_as_bytes(view))
        size = len(view)
        buffered = size < self._buffer_size or (size == self._buffer_size and not _FULL_WRITES_GO_THROUGH)
        if self._read_buf:
            if buffered and self._fits_over_read_ahead(size):
                if size:
                    self._overwrite(view)
                return size
            await self._flush_unlocked()
            self._rewind()
        if buffered and len(self._write_buf) + size <= self._buffer_size:
            self._write_buf += view
            return size
        await self._flush_unlocked()
        if buffered:
            self._write_buf += view
            return size
        # Large writes go straight from the caller's bytes, copying nothing.
        await raw.write_all(_as_bytes(view))
        return size

    def _fits_over_read_ahead(self, size: int) -> bool:
        """Whether a write goes into the buffer the built-in shares between reading and writing:
        from the position to the buffer's end. Appends go to the end of the file instead, and
        read-ahead a positional write overtook is not worth keeping."""
        raw = self.raw
        return (raw._readable and not raw._appending and not self._stale and raw._pos is not None
                and size <= self._buffer_size - (self._read_pos - self._buf_start))

    def _overwrite(self, data: bytes | memoryview) -> None:
        """Writes over the read-ahead at the position, which moves past the bytes; raw's
        position stays at the read-ahead's end, where the next read of the file starts."""
        buf = cast(bytearray, self._read_buf) if type(self._read_buf) is not bytes else self._shared_buffer()
        pos = self._read_pos
        end = pos + len(data)
        grown = end - len(buf)
        buf[pos:end] = data
        if grown > 0:
            self.raw._pos = cast(int, self.raw._pos) + grown
        self._read_pos = end
        if self._dirty_end:
            self._dirty_start, self._dirty_end = min(self._dirty_start, pos), max(self._dirty_end, end)
        else:
            self._dirty_start, self._dirty_end = pos, end

    def _shared_buffer(self) -> bytearray:
        """The read-ahead as a buffer that writes go into in place: only the built-in's part of
        it, so that a write costs its own length. It is bytes again once the writes are out,
        before anything reads it."""
        cut = self._buf_start
        shared = bytearray(memoryview(self._read_buf)[cut:])
        self._read_buf = cast(bytes, shared)
        self._read_pos -= cut
        if self._dirty_end:
            self._dirty_start -= cut
            self._dirty_end -= cut
        self._buf_start = 0
        return shared

    async def _write_dirty(self) -> None:
        """Writes the bytes written over the read-ahead where they belong; the read-ahead stays."""
        start, end = self._dirty_start, self._dirty_end
        at = cast(int, self.raw._pos) - len(self._read_buf)
        self._read_buf = data = bytes(self._read_buf)
        await self._pwrite_all(at + start, data[start:end])
        self._dirty_start = self._dirty_end = 0

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        """Writes every bytes-like object of ``lines``, adding nothing between them."""
        await self._locked(lambda: self._writelines_unlocked(lines))

    async def _writelines_unlocked(self, lines: Iterable[Buffer]) -> None:
        self.raw._check_open()
        for line in lines:
            await self._write_unlocked(line)

    async def flush(self) -> None:
        """Writes what the file buffers and waits for it."""
        await self._locked(self._flush_checked)

    async def _flush_checked(self) -> None:
        if self.raw.closed:
            raise ValueError("flush of closed file")
        await self._flush_and_rewind()

    async def _flush_and_rewind(self) -> None:
        """flush() itself: a file open both ways also forgets its read-ahead, as the built-in's."""
        await self._flush_unlocked()
        if self._read_buf and self.raw._readable and self.raw._writable:
            self._rewind()

    async def _flush_unlocked(self) -> None:
        if self._dirty_end:
            await self._write_dirty()
        raw = self.raw
        while self._write_buf:
            count = await raw.write(bytes(self._write_buf), self._late_flush)
            if count <= 0:
                raise OSError(errno.EIO, "the system wrote nothing", self.name)
            del self._write_buf[:count]

    def _late_flush(self, count: int) -> None:
        """A cancelled flush's write landed after all: appended bytes must not go twice.

        At a position, writing the same bytes again is harmless, and the next
        flush does; appended ones would be appended again, and a stream's
        would be sent again."""
        if self.raw._appending or not self.raw._seekable:
            del self._write_buf[:count]

    async def truncate(self, size: int | None = None) -> int:
        """Resizes the file to ``size`` bytes (default: the position); the position stays."""
        return await self._locked(lambda: self._truncate_unlocked(size))

    async def _truncate_unlocked(self, size: Any = None) -> int:
        raw = self.raw
        if raw.closed:
            raise ValueError("truncate of closed file")
        self._check_write()
        await self._flush_unlocked()
        self._rewind()
        return await raw.truncate(size)

    async def fsync(self) -> None:
        """Writes what the file buffers, then waits until the system has it on stable storage."""
        await self._locked(lambda: self._sync_unlocked(False))

    async def fdatasync(self) -> None:
        """As ``fsync``, for the data and only the metadata needed to read it back."""
        await self._locked(lambda: self._sync_unlocked(True))

    async def _sync_unlocked(self, data_only: bool) -> None:
        self.raw._check_open()
        await self._flush_unlocked()
        await self.raw.sync(data_only)

    async def stat(self) -> os.stat_result:
        """The status of the open file, by its handle (as ``os.fstat``): whatever its name now names.

        What the write-behind still holds is not counted; ``flush`` first for that."""
        raw = self.raw
        handle = raw.usable()
        op_id = raw._backend._iocp.submit_stat_handle(handle)
        result: os.stat_result = await raw._wait(op_id, raw._start(op_id))
        return result

    # Closing.

    async def close(self) -> None:
        """Writes what the file buffers, stops what is still in flight, then closes the handle.

        Once begun, the close finishes even if its caller is cancelled."""
        raw = self.raw
        closing = self._closing
        if closing is None or closing.cancelled():
            if raw.closed and closing is None:
                return
            raw.check_loop()
            # A read may wait for ever (a pipe nobody writes to), holding the lock.
            raw.cancel_in_flight(reads_only=True)
            closing = self._closing = asyncio.ensure_future(self._close_in_turn(), loop=raw._loop)
            closing.add_done_callback(_seen)
        elif closing.done():
            return  # a close that failed closed the file all the same: the next one has nothing to say
        await asyncio.shield(closing)

    async def _close_in_turn(self) -> None:
        """The close itself: after the stream calls made before it, as a task of its own."""
        raw = self.raw
        await self._lock.acquire()
        try:
            if raw.closed:
                return
            try:
                if self._write_buf or self._dirty_end:
                    await self._flush_unlocked()
            finally:
                await raw.close()
        finally:
            self._unlock()

    async def __aenter__(self) -> AsyncFile:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    def _abandon(self, warn: bool, what: str | None = None) -> None:
        """Closes without waiting: for a file nobody closed, whose backend or self is going away."""
        raw = self.raw
        last = None
        if self._write_buf and (raw._pos is not None or raw._appending):
            last = (0 if raw._appending else raw._pos or 0, bytes(self._write_buf))
            self._write_buf.clear()
        elif self._dirty_end and raw._pos is not None:
            at = raw._pos - len(self._read_buf)
            last = (at + self._dirty_start, bytes(self._read_buf[self._dirty_start:self._dirty_end]))
            self._dirty_start = self._dirty_end = 0
        raw.abandon(warn, what or repr(self), last)

    def __del__(self) -> None:
        raw = getattr(self, "raw", None)
        if raw is not None and raw._os_handle is not None:
            try:
                self._abandon(warn=True)
            except RuntimeError:
                pass  # its loop is closed; the backend's close took care of the handle

    def _check_open(self) -> None:
        if self.raw.closed:
            raise closed_file()


def _c_int(value: Any) -> int:
    number = operator.index(value)
    if not -(1 << 31) <= number < 1 << 31:
        raise OverflowError("Python int too large to convert to C int")
    return number


def _checked_requests(requests: Iterable[tuple[int, int]]) -> list[tuple[int, int]]:
    checked = [(_index(offset), _index(size)) for offset, size in requests]
    for offset, size in checked:
        if offset < 0 or size < 0 or size > MAX_IO:
            raise ValueError(f"bad read request: offset {offset}, size {size}")
    return checked


def _seen(task: asyncio.Future[None]) -> None:
    """A close nobody waits for any more still reports nothing as lost."""
    if not task.cancelled():
        task.exception()


def _forget(files: weakref.ref[weakref.WeakSet[AsyncFile]], file: weakref.ref[AsyncFile]) -> None:
    listed, me = files(), file()
    if listed is not None and me is not None:
        listed.discard(me)


def _as_view(data: Any) -> bytes | memoryview:
    """``data`` as the built-in's write takes it: any C-contiguous bytes-like object."""
    if type(data) is bytes:
        return data
    if isinstance(data, str):
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'")
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'") from None
    if not view.c_contiguous:
        raise BufferError("memoryview: underlying buffer is not C-contiguous")
    return view.cast("B") if view.format != "B" or view.ndim != 1 else view


def _as_bytes(data: Any) -> bytes:
    view = _as_view(data)
    return view if isinstance(view, bytes) else view.tobytes()


def _negative_seek() -> OSError:
    return errno_error(errno.EINVAL)
