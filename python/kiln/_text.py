"""``AsyncTextFile``: text over an ``AsyncFile``, decoded and translated as ``io.TextIOWrapper`` does."""

from __future__ import annotations

import codecs
import io
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING

from ._errors import closed_file, unsupported
from ._lines import LineReading

if TYPE_CHECKING:
    from ._binary import AsyncFile

# Bytes asked for per read while decoding.
CHUNK_SIZE = 8192


class AsyncTextFile(LineReading[str]):
    """The asynchronous counterpart of a text file (``io.TextIOWrapper``).

    Decoding uses the codec's incremental decoder and universal newlines as
    the built-in does (``newline=None`` translates ``\\r\\n`` and ``\\r`` to
    ``\\n`` on reading and ``\\n`` to ``os.linesep`` on writing). ``tell()``
    returns an opaque cookie for ``seek``; besides cookies, ``seek`` takes
    ``seek(0)`` and ``seek(0, 2)``.
    """

    def __init__(self, buffer: AsyncFile, encoding: str, errors: str | None, newline: str | None, *,
                 line_buffering: bool, mode: str, at_start: bool) -> None:
        self.buffer = buffer
        self.mode = mode
        self.line_buffering = line_buffering
        self._given_encoding = encoding
        self._errors = errors if errors is not None else "strict"
        self._newline = newline
        self._translate_in = newline is None
        self._universal = newline in (None, "")
        self._line_ending = newline or "\n"
        self._write_newline = os.linesep if newline is None else newline or "\n"
        self._encoder: codecs.IncrementalEncoder | None = None
        self._decoder: codecs.IncrementalDecoder | None = None
        if buffer._writable:
            self._encoder = codecs.getincrementalencoder(encoding)(self._errors)
            if not at_start:
                self._encoder.setstate(0)  # no byte order mark in the middle of a file
        # The decoded chunk and how much of it was read: _decoded[_used:] is pending.
        self._decoded = ""
        self._used = 0
        # (decoder flags, bytes) the decoded text came from, for tell().
        self._snapshot: tuple[int, bytes] | None = None
        self._eof = False

    def _make_decoder(self) -> codecs.IncrementalDecoder:
        decoder: codecs.IncrementalDecoder = codecs.getincrementaldecoder(self._given_encoding)(self._errors)
        if self._universal:
            decoder = io.IncrementalNewlineDecoder(decoder, self._translate_in)  # type: ignore[assignment]
        return decoder

    def _get_decoder(self) -> codecs.IncrementalDecoder:
        if self._decoder is None:
            if not self.buffer._readable:
                raise unsupported("not readable")
            self._decoder = self._make_decoder()
        return self._decoder

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<kiln.AsyncTextFile{state} name={self.name!r} mode={self.mode!r} encoding={self.encoding!r}>"

    # Attributes.

    @property
    def name(self) -> object:
        return self.buffer.name

    @property
    def closed(self) -> bool:
        return self.buffer.closed

    @property
    def encoding(self) -> str:
        return self._given_encoding

    @property
    def errors(self) -> str:
        return self._errors

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        decoder = self._decoder
        return getattr(decoder, "newlines", None) if decoder is not None else None

    def readable(self) -> bool:
        return self.buffer.readable()

    def writable(self) -> bool:
        return self.buffer.writable()

    def seekable(self) -> bool:
        return self.buffer.seekable()

    def fileno(self) -> int:
        raise unsupported("fileno")

    def isatty(self) -> bool:
        return self.buffer.isatty()

    # Reading.

    async def _read_chunk(self) -> bool:
        """Decodes the next chunk once the pending text is used up; False at the end."""
        decoder = self._get_decoder()
        undecoded, flags = decoder.getstate()
        data = await self.buffer.read1(CHUNK_SIZE)
        self._eof = not data
        text = decoder.decode(data, final=self._eof)
        self._snapshot = (flags, undecoded + data)
        self._decoded, self._used = text, 0
        return bool(data) or bool(text)

    async def read(self, size: int | None = -1) -> str:
        self._check_readable()
        if self.buffer._wbuf:
            await self.buffer.flush()
        decoder = self._get_decoder()
        if size is None or size < 0:
            text = self._pending_text() + decoder.decode(await self.buffer.read(), final=True)
            self._reset_read()
            return text
        parts = []
        while size > 0:
            pending = self._pending_text()
            if not pending and not await self._read_chunk():
                break
            piece = self._consume(size)
            parts.append(piece)
            size -= len(piece)
        return "".join(parts)

    async def readline(self, size: int | None = -1) -> str:
        self._check_readable()
        if self.buffer._wbuf:
            await self.buffer.flush()
        limit = -1 if size is None else size
        parts: list[str] = []
        count = 0
        while True:
            text, start = self._decoded, self._used
            end = self._line_end(text, start, parts[-1][-1:] if parts else "")
            available = len(text) - start
            if end >= 0 or 0 <= limit <= count + available:
                take = end - start if end >= 0 else available
                if 0 <= limit < count + take:
                    take = limit - count
                parts.append(self._consume(take))
                return "".join(parts)
            parts.append(self._consume(available))
            count += available
            if not await self._read_chunk():
                return "".join(parts)

    def _line_end(self, text: str, start: int, before: str) -> int:
        """Where the first line of ``text[start:]`` ends, after its line ending; -1 if it does not."""
        if self._translate_in:
            index = text.find("\n", start)
            return index + 1 if index >= 0 else -1
        if self._universal:  # newline="": \r, \n or \r\n, kept as they are
            newline = text.find("\n", start)
            ret = text.find("\r", start, newline if newline >= 0 else len(text))
            if ret < 0:
                return newline + 1 if newline >= 0 else -1
            if ret + 1 < len(text):
                return ret + 2 if text[ret + 1] == "\n" else ret + 1
            # The decoder holds a final \r back until it sees what follows.
            return ret + 1 if self._eof else -1
        ending = self._line_ending
        if ending == "\r\n" and before == "\r" and text.startswith("\n", start):
            return start + 1
        index = text.find(ending, start)
        return index + len(ending) if index >= 0 else -1

    def _pending_text(self) -> str:
        return self._decoded[self._used:]

    def _consume(self, count: int) -> str:
        text = self._decoded[self._used:self._used + count]
        self._used += len(text)
        return text

    def _reset_read(self) -> None:
        self._decoded, self._used, self._snapshot = "", 0, None

    # Writing.

    async def write(self, text: str) -> int:
        self._check_writable()
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        if self._decoded or self._snapshot is not None:
            await self._rewind()
        length = len(text)
        flush = self.line_buffering and ("\n" in text or "\r" in text)
        if self._write_newline != "\n" and "\n" in text:
            text = text.replace("\n", self._write_newline)
        assert self._encoder is not None
        await self.buffer.write(self._encoder.encode(text))
        if flush:
            await self.buffer.flush()
        return length

    async def writelines(self, lines: Iterable[str]) -> None:
        for line in lines:
            await self.write(line)

    async def flush(self) -> None:
        self._check_open()
        await self.buffer.flush()

    async def _rewind(self) -> None:
        """Moves the byte position back to the text position after reading ahead."""
        position, _flags, feed, _skip, _eof = _uncookie(await self.tell())
        await self.buffer.seek(position + feed)
        self._reset_read()
        if self._decoder is not None:
            self._decoder.reset()

    async def truncate(self, size: int | None = None) -> int:
        await self.flush()
        if size is None:
            size = await self.tell()
        return await self.buffer.truncate(size)

    # Position.

    async def tell(self) -> int:
        self._check_open()
        await self.buffer.flush()
        position = await self.buffer.tell()
        decoder = self._decoder
        if decoder is None or self._snapshot is None:
            return position
        flags, fed = self._snapshot
        position -= len(fed)
        if self._used == 0:
            return _cookie(position, flags)
        return self._replay(position, flags, fed, self._used)

    def _replay(self, position: int, flags: int, fed: bytes, skip: int) -> int:
        """Finds how many of ``fed``'s bytes give the text read so far, by decoding
        them again one at a time from the state they were first decoded in."""
        decoder = self._make_decoder()
        decoder.setstate((b"", flags))
        start, start_flags = position, flags
        fed_count = decoded = 0
        for index in range(len(fed)):
            fed_count += 1
            decoded += len(decoder.decode(fed[index:index + 1]))
            pending, now_flags = decoder.getstate()
            if not pending and decoded <= skip:
                start += fed_count
                skip -= decoded
                start_flags, fed_count, decoded = now_flags, 0, 0
            if decoded >= skip:
                return _cookie(start, start_flags, fed_count, skip)
        decoded += len(decoder.decode(b"", final=True))
        if decoded < skip:
            raise OSError("can't reconstruct logical file position")
        return _cookie(start, start_flags, fed_count, skip, need_eof=True)

    async def seek(self, cookie: int, whence: int = os.SEEK_SET) -> int:
        self._check_open()
        if whence == os.SEEK_CUR:
            if cookie != 0:
                raise unsupported("can't do nonzero cur-relative seeks")
            return await self.tell()
        if whence == os.SEEK_END:
            if cookie != 0:
                raise unsupported("can't do nonzero end-relative seeks")
            await self.buffer.flush()
            position = await self.buffer.seek(0, os.SEEK_END)
            self._reset_read()
            if self._decoder is not None:
                self._decoder.reset()
            self._reset_encoder(position)
            return position
        if whence != os.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if cookie < 0:
            raise ValueError(f"negative seek position {cookie!r}")
        await self.buffer.flush()
        position, flags, feed, skip, need_eof = _uncookie(cookie)
        await self.buffer.seek(position)
        self._reset_read()
        self._eof = False
        if self._decoder is not None or feed or skip or flags:
            decoder = self._get_decoder()
            if cookie == 0:
                decoder.reset()
            else:
                decoder.setstate((b"", flags))
            if feed or skip:
                data = await self.buffer.read(feed)
                self._decoded = decoder.decode(data, final=need_eof)
                self._snapshot = (flags, data)
                if len(self._decoded) < skip:
                    raise OSError("can't restore logical file position")
                self._used = skip
        self._reset_encoder(cookie)
        return cookie

    def _reset_encoder(self, position: int) -> None:
        if self._encoder is not None:
            if position == 0:
                self._encoder.reset()
            else:
                self._encoder.setstate(0)

    # Closing.

    async def close(self) -> None:
        await self.buffer.close()

    async def __aenter__(self) -> AsyncTextFile:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    def _check_open(self) -> None:
        if self.buffer.closed:
            raise closed_file()

    def _check_readable(self) -> None:
        self._check_open()
        if not self.buffer._readable:
            raise unsupported("not readable")

    def _check_writable(self) -> None:
        self._check_open()
        if not self.buffer._writable:
            raise unsupported("not writable")


def _cookie(position: int, flags: int, feed: int = 0, skip: int = 0, need_eof: bool = False) -> int:
    return position | (flags << 64) | (feed << 128) | (skip << 192) | (int(need_eof) << 256)


def _uncookie(cookie: int) -> tuple[int, int, int, int, bool]:
    mask = (1 << 64) - 1
    return (cookie & mask, (cookie >> 64) & mask, (cookie >> 128) & mask, (cookie >> 192) & mask,
            bool(cookie >> 256))
