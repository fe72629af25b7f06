"""``AsyncTextFile``: text over an ``AsyncFile``, the layer ``io.TextIOWrapper`` is to the built-in ``open``.

Decoding goes through the codec's incremental decoder and, for universal
newlines, an ``io.IncrementalNewlineDecoder``; lines are found as the
built-in finds them; ``tell`` returns the built-in's kind of opaque cookie
(a byte position plus the decoder state to restore and the characters to
skip), reconstructed by replaying the decoder from the last point where it
held nothing back.

A call cancelled while it waits for the file leaves the text it had already
decoded in place, so the next call sees it: nothing is lost.
"""

from __future__ import annotations

import asyncio
import codecs
import io
import os
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

from ._errors import closed_file, unsupported
from ._lines import LineReading
from ._raw import _index

if TYPE_CHECKING:
    from ._binary import AsyncFile

# Bytes asked for per read while decoding.
CHUNK_SIZE = 8192

# The cookie: a byte position (64 bits), then the decoder's flags, the bytes
# to feed and the characters to skip (32 bits each), then whether to feed the
# end of the input (8 bits).
_COOKIE_BITS = 64 + 3 * 32 + 8


class AsyncTextFile(LineReading[str]):
    """A text file of ``kiln.open``: the asynchronous counterpart of ``io.TextIOWrapper``.

    Methods that may touch the file are coroutines with the built-in's names,
    arguments, results and exceptions; they share the lock of the binary file
    under them (``buffer``), so one file may be shared by many tasks. A write
    that follows a read lands at the position of the text read so far.
    """

    @classmethod
    def _create(cls, buffer: AsyncFile, encoding: str, errors: str | None, newline: str | None, *,
                line_buffering: bool, mode: str) -> AsyncTextFile:
        """Made by ``kiln.open`` only: the class has no public constructor."""
        self = cls.__new__(cls)
        self._setup(buffer, encoding, errors, newline, line_buffering, mode)
        return self

    def _setup(self, buffer: AsyncFile, encoding: str, errors: str | None, newline: str | None,
               line_buffering: bool, mode: str) -> None:
        self.buffer = buffer
        self.mode = mode
        self.line_buffering = line_buffering
        self._encoding = encoding
        self._errors = errors if errors is not None else "strict"
        self._readuniversal = not newline
        self._readtranslate = newline is None
        self._readnl = newline
        self._writetranslate = newline != ""
        self._writenl = newline or os.linesep
        self._decoder: codecs.IncrementalDecoder | None = None
        self._encoder: codecs.IncrementalEncoder | None = None
        if buffer.raw._readable:
            self._decoder = self._new_decoder()
        if buffer.raw._writable:
            self._encoder = codecs.getincrementalencoder(encoding)(self._errors)
        # The encoder writes a byte order mark only at the start of the file.
        self._encoder_at_start = self._encoder is not None
        # The decoded chunk and how much of it was read.
        self._decoded_chars = ""
        self._decoded_chars_used = 0
        # (decoder flags, bytes) the decoded chunk came from, for tell().
        self._snapshot: tuple[int, bytes] | None = None
        self._b2cratio = 0.0
        self._seekable = buffer.raw._seekable
        # Iterating turns tell() off until the end of the file or a flush, as
        # the built-in's next() does.
        self._telling = self._seekable
        # Something was read since the last write or seek: the next write
        # goes to the text position (see _rewind).
        self._has_read = False
        # While a read runs: the snapshots of the chunks it decoded.
        self._chunk_log: list[tuple[int, bytes, bytes]] | None = None

    def _new_decoder(self) -> codecs.IncrementalDecoder:
        decoder: Any = codecs.getincrementaldecoder(self._encoding)(self._errors)
        if self._readuniversal:
            decoder = io.IncrementalNewlineDecoder(decoder, self._readtranslate)
        return decoder  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<kiln.AsyncTextFile{state} name={self.name!r} mode={self.mode!r} encoding={self.encoding!r}>"

    # Attributes.

    @property
    def name(self) -> Any:
        """The file's name as given to ``kiln.open``."""
        return self.buffer.name

    @property
    def closed(self) -> bool:
        """Whether the file is closed."""
        return self.buffer.closed

    @property
    def encoding(self) -> str:
        """The encoding the text is decoded and encoded with."""
        return self._encoding

    @property
    def errors(self) -> str:
        """How encoding and decoding errors are handled."""
        return self._errors

    @property
    def write_through(self) -> bool:
        """Always False: writes are buffered by the binary file."""
        return False

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        """The newlines seen so far when reading with universal newlines, as the built-in reports them."""
        return getattr(self._decoder, "newlines", None)

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        return self.buffer.readable()

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        return self.buffer.writable()

    def seekable(self) -> bool:
        """Whether the file has positions (a pipe has none)."""
        return self.buffer.seekable()

    def fileno(self) -> int:
        """There is no file descriptor: the file is a completion-port handle."""
        raise unsupported("fileno")

    def isatty(self) -> bool:
        """Always False."""
        return self.buffer.isatty()

    # The lock, shared with the binary file.

    async def _enter(self) -> None:
        lock = self.buffer._lock
        if not lock.try_acquire():
            self.buffer.raw.check_loop()
            await lock.acquire()

    def _leave(self) -> None:
        self.buffer._unlock()

    def _check_closed(self) -> None:
        if self.buffer.raw.closed:
            raise closed_file()

    # Reading.

    async def read(self, size: int | None = -1) -> str:
        """Up to ``size`` characters (all of them for -1 or None); fewer only at the end of the file."""
        n = -1 if size is None else _index(size)
        await self._enter()
        try:
            return await self._read_unlocked(n)
        finally:
            self._leave()

    async def _read_unlocked(self, n: int) -> str:
        self._check_closed()
        decoder = self._decoder
        if decoder is None:
            raise unsupported("not readable")
        await self.buffer._flush_unlocked()
        if n < 0:
            self._has_read = True
            data = await self.buffer._read_unlocked(-1)
            # Decoded first: when that fails, what was decoded before stays to be read.
            decoded = decoder.decode(data, final=True)
            text = self._get_decoded_chars(-1) + decoded
            self._set_decoded_chars("")
            self._snapshot = None
            return text
        if n <= len(self._decoded_chars) - self._decoded_chars_used:
            return self._get_decoded_chars(n)
        parts: list[str] = []
        with self._keeping(parts):
            parts.append(self._get_decoded_chars(n))
            remaining = n - len(parts[0])
            while remaining > 0:
                if not await self._read_chunk(remaining):
                    break
                piece = self._get_decoded_chars(remaining)
                parts.append(piece)
                remaining -= len(piece)
        return "".join(parts)

    async def readline(self, size: int = -1) -> str:
        """The next line, with its line ending; at most ``size`` characters when ``size`` >= 0."""
        limit = _index(size)
        await self._enter()
        try:
            return await self._readline_unlocked(limit)
        finally:
            self._leave()

    async def _readline_unlocked(self, limit: int) -> str:
        self._check_closed()
        if self._decoder is None:
            raise unsupported("not readable")
        await self.buffer._flush_unlocked()
        chunks: list[str] = []
        chunked = 0
        # The start of a possible line ending, held for the next chunk.
        remaining: str | None = None
        line: str | None = None
        start = endpos = offset_to_buffer = 0
        with self._keeping(chunks, lambda: remaining or ""):
            while True:
                while not self._decoded_chars:
                    if not await self._read_chunk(0):
                        break
                if not self._decoded_chars:  # the end of the file
                    self._set_decoded_chars("")
                    self._snapshot = None
                    line = None
                    break
                if remaining is None:
                    line, start, offset_to_buffer = self._decoded_chars, self._decoded_chars_used, 0
                else:
                    line, start, offset_to_buffer = remaining + self._decoded_chars, 0, len(remaining)
                    remaining = None
                found, consumed = self._find_line_ending(line, start)
                endpos = found if found >= 0 else consumed
                if found >= 0 or (limit >= 0 and endpos - start + chunked >= limit):
                    if limit >= 0 and endpos - start + chunked >= limit:
                        endpos = start + limit - chunked
                    break
                if endpos > start:
                    chunks.append(line[start:endpos])
                    chunked += endpos - start
                if endpos < len(line):
                    remaining = line[endpos:]
                line = None
                self._set_decoded_chars("")
            if line is not None:
                self._decoded_chars_used = endpos - offset_to_buffer
                line = line[start:endpos]
            if remaining is not None:
                chunks.append(remaining)
            if line is not None:
                chunks.append(line)
        return "".join(chunks)

    def _find_line_ending(self, text: str, start: int) -> tuple[int, int]:
        """Where the first line of ``text[start:]`` ends, after its ending, or -1; and, without
        one, up to where the text may be taken (the rest may start an ending)."""
        if self._readtranslate:
            index = text.find("\n", start)
            return (index + 1, 0) if index >= 0 else (-1, len(text))
        if self._readuniversal:
            # The decoder holds a final \r back until it sees what follows.
            newline = text.find("\n", start)
            ret = text.find("\r", start, newline if newline >= 0 else len(text))
            if ret >= 0:
                return (ret + 2 if text.startswith("\n", ret + 1) else ret + 1), 0
            return (newline + 1, 0) if newline >= 0 else (-1, len(text))
        ending = self._readnl
        assert ending is not None
        index = text.find(ending, start)
        if index >= 0:
            return index + len(ending), 0
        if len(ending) > 1:
            # A \r at the very end may be the start of a \r\n split across chunks.
            partial = text.find(ending[0], max(start, len(text) - len(ending) + 1))
            if partial >= 0:
                return -1, partial
        return -1, len(text)

    def _pending(self) -> bool:
        return len(self._decoded_chars) > self._decoded_chars_used

    def _get_decoded_chars(self, n: int) -> str:
        self._has_read = True
        offset = self._decoded_chars_used
        if n < 0:
            chars = self._decoded_chars[offset:]
        else:
            chars = self._decoded_chars[offset:offset + n]
        self._decoded_chars_used += len(chars)
        return chars

    def _set_decoded_chars(self, chars: str) -> None:
        self._decoded_chars = chars
        self._decoded_chars_used = 0

    async def _read_chunk(self, size_hint: int) -> bool:
        self._has_read = True
        """Decodes the next chunk into the decoded characters; False at the end of the file.

        Before the read, the decoder's state gives the point tell() replays from."""
        decoder = self._decoder
        assert decoder is not None
        dec_buffer, dec_flags = decoder.getstate()
        if size_hint > 0:
            size_hint = int(max(self._b2cratio, 1.0) * size_hint)
        input_chunk = await self.buffer._read1_unlocked(max(CHUNK_SIZE, size_hint))
        eof = not input_chunk
        decoded = decoder.decode(input_chunk, eof)
        self._b2cratio = len(input_chunk) / len(decoded) if decoded else 0.0
        self._set_decoded_chars(decoded)
        self._snapshot = (dec_flags, dec_buffer + input_chunk)
        if self._chunk_log is not None:
            self._chunk_log.append((dec_flags, dec_buffer, input_chunk))
        return not eof or bool(decoded)

    def _keeping(self, taken: list[str], held: Callable[[], str] = str) -> _Keep:
        return _Keep(self, taken, held)

    # Writing.

    async def write(self, text: str) -> int:
        """Writes ``text``; returns its length in characters."""
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        await self._enter()
        try:
            return await self._write_unlocked(text)
        finally:
            self._leave()

    async def _write_unlocked(self, text: str) -> int:
        self._check_closed()
        encoder = self._encoder
        if encoder is None:
            raise unsupported("not writable")
        if self._has_read:
            # Text the encoder refuses fails before the read-ahead is given up, as the built-in's.
            codecs.getincrementalencoder(self._encoding)(self._errors).encode(text)
            await self._rewind()
        length = len(text)
        haslf = (self._writetranslate or self.line_buffering) and "\n" in text
        if haslf and self._writetranslate and self._writenl != "\n":
            text = text.replace("\n", self._writenl)
        needflush = self.line_buffering and (haslf or "\r" in text)
        starting = self._encoder_at_start
        if starting:
            self._encoder_at_start = False
            if self._seekable and await self.buffer._tell_unlocked() != 0:
                encoder.setstate(0)  # no byte order mark in the middle of a file
        try:
            data = encoder.encode(text)
        except BaseException:
            if starting:
                encoder.setstate(0)  # as the built-in's: a first write that fails still ends the start
            raise
        await self.buffer._write_unlocked(data)
        if needflush:
            await self.buffer._flush_unlocked()
        self._set_decoded_chars("")
        self._snapshot = None
        self._has_read = False
        if self._decoder is not None:
            self._decoder.reset()
        return length

    async def _rewind(self) -> None:
        """Moves the byte position back to the text position, after reading ahead.

        As a seek to tell() would, with what that implies: iterating no longer
        turns tell() off, and the encoder writes no byte order mark here."""
        cookie = await self._tell_unlocked(iterating_or_not=True)
        ahead = await self.buffer._tell_unlocked()
        try:
            await self._seek_unlocked(cookie, os.SEEK_SET)
        except OSError as error:
            if error.errno is not None:
                raise
            # The file was cut short under the read-ahead, so the text position cannot be found
            # again: the write lands after the read-ahead, as the built-in's always does.
            await self.buffer._seek_unlocked(ahead)
            self._set_decoded_chars("")
            self._snapshot = None
            self._reset_encoder(ahead == 0)

    async def writelines(self, lines: Iterable[str]) -> None:
        """Writes every string of ``lines``, adding no line endings."""
        await self._enter()
        try:
            self._check_closed()
            for line in lines:
                if not isinstance(line, str):
                    raise TypeError(f"write() argument must be str, not {type(line).__name__}")
                await self._write_unlocked(line)
        finally:
            self._leave()

    async def flush(self) -> None:
        """Writes what the file buffers."""
        await self._enter()
        try:
            self._check_closed()
            await self._flush_unlocked()
        finally:
            self._leave()

    async def _flush_unlocked(self) -> None:
        self._telling = self._seekable
        await self.buffer._flush_and_rewind()

    async def stat(self) -> os.stat_result:
        """The status of the open file, by its handle (as ``os.fstat``); see ``AsyncFile.stat``."""
        return await self.buffer.stat()

    async def truncate(self, size: int | None = None) -> int:
        """Resizes the file to ``size`` bytes; without it, to the byte position of the binary file."""
        await self._enter()
        try:
            self._check_closed()
            await self._flush_unlocked()
            return await self.buffer._truncate_unlocked(size)
        finally:
            self._leave()

    # Position.

    async def tell(self) -> int:
        """An opaque cookie for ``seek``: a byte position plus what the decoder needs to resume there."""
        await self._enter()
        try:
            return await self._tell_unlocked()
        finally:
            self._leave()

    async def _tell_unlocked(self, iterating_or_not: bool = False) -> int:
        self._check_closed()
        if not self._seekable:
            raise unsupported("underlying stream is not seekable")
        if not self._telling and not iterating_or_not:
            raise OSError("telling position disabled by next() call")
        await self._flush_unlocked()
        position = await self.buffer._tell_unlocked()
        decoder = self._decoder
        if decoder is None or self._snapshot is None:
            return position
        dec_flags, next_input = self._snapshot
        position -= len(next_input)
        chars_to_skip = self._decoded_chars_used
        if chars_to_skip == 0:
            return _pack_cookie(position, dec_flags)
        saved_state = decoder.getstate()
        try:
            return self._replay(decoder, position, dec_flags, next_input, chars_to_skip)
        finally:
            decoder.setstate(saved_state)

    def _replay(self, decoder: codecs.IncrementalDecoder, position: int, dec_flags: int, next_input: bytes,
                chars_to_skip: int) -> int:
        """Walks the decoder forward from the snapshot until it gives ``chars_to_skip`` characters.

        The cookie names the last point before them where the decoder held
        nothing back, and what to feed and skip from there."""
        skip_bytes = int(self._b2cratio * chars_to_skip)
        skip_back = 1
        while skip_bytes > 0:
            _restart(decoder, position, dec_flags)
            n = len(decoder.decode(next_input[:skip_bytes]))
            if n <= chars_to_skip:
                b, d = decoder.getstate()
                if not b:
                    dec_flags = d
                    chars_to_skip -= n
                    break
                skip_bytes -= len(b)
                skip_back = 1
            else:
                skip_bytes -= skip_back
                skip_back *= 2
        else:
            skip_bytes = 0
            _restart(decoder, position, dec_flags)
        start_pos = position + skip_bytes
        start_flags = dec_flags
        if chars_to_skip == 0:
            return _pack_cookie(start_pos, start_flags)
        bytes_fed = 0
        need_eof = False
        chars_decoded = 0
        for i in range(skip_bytes, len(next_input)):
            bytes_fed += 1
            chars_decoded += len(decoder.decode(next_input[i:i + 1]))
            dec_buffer, dec_flags = decoder.getstate()
            if not dec_buffer and chars_decoded <= chars_to_skip:
                start_pos += bytes_fed
                chars_to_skip -= chars_decoded
                start_flags, bytes_fed, chars_decoded = dec_flags, 0, 0
            if chars_decoded >= chars_to_skip:
                break
        else:
            chars_decoded += len(decoder.decode(b"", final=True))
            need_eof = True
            if chars_decoded < chars_to_skip:
                raise OSError("can't reconstruct logical file position")
        return _pack_cookie(start_pos, start_flags, bytes_fed, need_eof, chars_to_skip)

    async def seek(self, cookie: int, whence: int = os.SEEK_SET) -> int:
        """Goes to a cookie from ``tell()`` (or 0); ``seek(0, 1)`` and ``seek(0, 2)`` as the built-in."""
        await self._enter()
        try:
            return await self._seek_unlocked(cookie, whence)
        finally:
            self._leave()

    async def _seek_unlocked(self, cookie: Any, whence: int = os.SEEK_SET) -> int:
        self._check_closed()
        if not self._seekable:
            raise unsupported("underlying stream is not seekable")
        if whence == os.SEEK_CUR:
            if cookie != 0:
                raise unsupported("can't do nonzero cur-relative seeks")
            cookie = await self._tell_unlocked()
        elif whence == os.SEEK_END:
            if cookie != 0:
                raise unsupported("can't do nonzero end-relative seeks")
            self._has_read = False
            await self._flush_unlocked()
            self._set_decoded_chars("")
            self._snapshot = None
            if self._decoder is not None:
                self._decoder.reset()
            position = await self.buffer._seek_unlocked(0, os.SEEK_END)
            self._reset_encoder(position == 0)
            return position
        elif whence != os.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if cookie < 0:
            raise ValueError(f"negative seek position {cookie!r}")
        self._has_read = False
        await self._flush_unlocked()
        start_pos, dec_flags, bytes_to_feed, need_eof, chars_to_skip = _unpack_cookie(int(cookie))
        await self.buffer._seek_unlocked(start_pos)
        self._set_decoded_chars("")
        self._snapshot = None
        decoder = self._decoder
        if decoder is not None:
            if start_pos == 0 and dec_flags == 0:
                decoder.reset()
            else:
                decoder.setstate((b"", dec_flags))
        if chars_to_skip:
            assert decoder is not None
            input_chunk = await self.buffer._read_unlocked(bytes_to_feed)
            self._snapshot = (dec_flags, input_chunk)
            self._set_decoded_chars(decoder.decode(input_chunk, need_eof))
            if len(self._decoded_chars) < chars_to_skip:
                raise OSError("can't restore logical file position")
            self._decoded_chars_used = chars_to_skip
        else:
            self._snapshot = (dec_flags, b"")
        self._reset_encoder(start_pos == 0 and dec_flags == 0)
        return cookie  # type: ignore[no-any-return]

    def _reset_encoder(self, start_of_stream: bool) -> None:
        encoder = self._encoder
        if encoder is None:
            return
        if start_of_stream:
            encoder.reset()
            self._encoder_at_start = True
        else:
            encoder.setstate(0)
            self._encoder_at_start = False

    # Closing.

    async def close(self) -> None:
        """Writes what the file buffers, then closes it."""
        await self.buffer.close()

    def __del__(self) -> None:
        buffer = getattr(self, "buffer", None)
        if buffer is not None and buffer.raw._os_handle is not None:
            try:
                buffer._abandon(warn=True, what=repr(self))
            except RuntimeError:
                pass  # its loop is closed; the backend's close took care of the handle

    async def __aenter__(self) -> AsyncTextFile:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    def _check_open(self) -> None:
        self._check_closed()

    async def __anext__(self) -> str:
        await self._enter()
        try:
            self._telling = False
            line = await self._readline_unlocked(-1)
            if not line:
                self._snapshot = None
                self._telling = self._seekable
                raise StopAsyncIteration
            return line
        finally:
            self._leave()


def _restart(decoder: codecs.IncrementalDecoder, position: int, dec_flags: int) -> None:
    """The decoder as at a cookie's start point; at the very start, reset, as the built-in's
    (which also forgets the newlines seen: tell() at the start clears ``newlines``)."""
    if position == 0 and dec_flags == 0:
        decoder.reset()
    else:
        decoder.setstate((b"", dec_flags))


class _Keep:
    """Puts back the text that a cancelled read had taken, so that nothing is lost.

    Only a cancellation: a read that fails (a decoding error, a failed read
    of the file) loses what it had decoded, as the built-in's does.

    The text goes back in front of what is left, and the snapshot is widened
    to cover every chunk decoded since the call began, so that ``tell``
    still finds the position."""

    def __init__(self, text: AsyncTextFile, taken: list[str], held: Callable[[], str]) -> None:
        self.text = text
        self.taken = taken
        self.held = held
        self.chars = text._decoded_chars
        self.used = text._decoded_chars_used
        self.snapshot = text._snapshot

    def __enter__(self) -> None:
        self.text._chunk_log = []

    def __exit__(self, exc_type: object, _exc: object, _tb: object) -> None:
        text = self.text
        log, text._chunk_log = text._chunk_log or [], None
        if exc_type is None or not issubclass(exc_type, asyncio.CancelledError):  # type: ignore[arg-type]
            return
        rest = text._decoded_chars[text._decoded_chars_used:]
        text._decoded_chars = self.chars[:self.used] + "".join(self.taken) + self.held() + rest
        text._decoded_chars_used = self.used
        # What the decoder held back before a chunk is the end of the bytes
        # before it: only each chunk's own bytes are added.
        snapshot = self.snapshot
        for flags, held_back, chunk in log:
            snapshot = (flags, held_back + chunk) if snapshot is None else (snapshot[0], snapshot[1] + chunk)
        text._snapshot = snapshot


def _pack_cookie(position: int, dec_flags: int = 0, bytes_to_feed: int = 0, need_eof: bool = False,
                 chars_to_skip: int = 0) -> int:
    return (position | (dec_flags << 64) | (bytes_to_feed << 96) | (chars_to_skip << 128)
            | (int(need_eof) << 160))


def _unpack_cookie(cookie: int) -> tuple[int, int, int, bool, int]:
    if cookie >> _COOKIE_BITS:
        raise OverflowError("int too big to convert")
    position = cookie & ((1 << 64) - 1)
    if position >> 63:
        position -= 1 << 64  # the byte position is signed
    return (position, _signed32(cookie >> 64), _signed32(cookie >> 96), bool((cookie >> 160) & 0xFF),
            _signed32(cookie >> 128))


def _signed32(value: int) -> int:
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >> 31 else value
