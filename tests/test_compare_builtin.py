"""kiln files against the built-in open: the same random calls on two copies of one file.

Each example writes the same content to two files, opens one with the built-in ``open`` and one
with ``kiln.open`` in the same mode, and makes the same calls on both. After every step the results
and exceptions (type, errno, filename) must agree, and so must the positions of binary files and
the bytes on disk after every flush and close. Text cookies are opaque: each file is sought to the
cookies it gave itself.

The run is bounded and deterministic: a fixed seed and KILN_COMPARE_EXAMPLES examples per machine
and engine. For a long exploratory run, raise the count and pick seeds of your own:

    KILN_COMPARE_EXAMPLES=20000 KILN_COMPARE_SEED=7 python -P -m pytest tests/test_compare_builtin.py

The bounded run reports a failing example as found, without shrinking it, so that a failure costs
seconds, not minutes; a run with KILN_COMPARE_EXAMPLES set shrinks it to its smallest form.
"""

import array
import asyncio
import codecs
import contextlib
import errno
import io
import os
import shutil
import sys
import tempfile
import warnings
from dataclasses import dataclass
from typing import Any

import pytest
from hypothesis import HealthCheck, Phase, seed, settings
from hypothesis import strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, initialize, invariant, multiple, precondition,
                                 rule, run_state_machine_as_test)

import kiln
from kiln_helpers import io_mode  # noqa: F401 - a fixture

EXAMPLES = int(os.environ.get("KILN_COMPARE_EXAMPLES", "100"))
SHRINK = "KILN_COMPARE_EXAMPLES" in os.environ
SEED = int(os.environ.get("KILN_COMPARE_SEED", "20240"))
# A hung operation fails its step instead of the whole run.
STEP_SECONDS = 60
# Above 2**31: a count that does not fit the 32 bits of a Windows transfer.
HUGE = 2 ** 31 + 7
# Calls that are plain on a kiln file; all others are coroutines.
PLAIN = frozenset({"readable", "writable", "seekable", "fileno"})


# What the files hold and what is written: pieces that put line endings, multi-byte characters,
# byte order marks and invalid bytes at every distance from the 8 KiB chunk and buffer boundaries.

class Run:
    """``unit * count``, shown that way in a failing example."""

    def __init__(self, unit, count):
        self.unit, self.count = unit, count

    def __repr__(self):
        return f"{self.unit!r} * {self.count}"

    def value(self):
        return self.unit * self.count


class Joined(tuple):
    """Pieces shown as the sum they make."""

    def __repr__(self):
        return " + ".join(map(repr, self)) or "b''"

    def value(self):
        return b"".join(piece.value() if isinstance(piece, Run) else piece for piece in self)


RUN_COUNTS = [1, 2, 3, 15, 16, 17, 63, 64, 65, 2047, 2048, 2049, 2730, 2731, 4095, 4096, 4097, 8191, 8192,
              8193, 20000]
BYTE_FRAGMENTS = [b"a", b"line", b"\n", b"\r", b"\r\n", b"\n\r", "é".encode(), "€".encode(), "𝄞".encode(),
                  codecs.BOM_UTF8, codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE, b"\xff", b"\x80", b"\xc3",
                  b"\xed\xa0\x80", b"\x00"]
TEXT_FRAGMENTS = ["a", "line", "\n", "\r", "\r\n", "\n\r", "é", "€", "𝄞", "\ufeff", "\x00"]
# Written only: outside latin-1, and lone surrogates (one that surrogateescape encodes, one it does not).
TEXT_WRITE_FRAGMENTS = TEXT_FRAGMENTS + ["Ā", "\udcff", "\ud800"]
BYTE_RUNS = st.builds(Run, st.sampled_from([b"x", b"ab\n", b"a\r\n", b"a\r"]), st.sampled_from(RUN_COUNTS))
TEXT_RUNS = st.builds(Run, st.sampled_from(["x", "ab\n", "a\r\n", "a\r", "é\n", "€"]), st.sampled_from(RUN_COUNTS))
INVALID = st.sampled_from([b"\xff", b"\x80", b"\xc3", b"\xed\xa0\x80", b"\xd8", codecs.BOM_UTF16_BE])

binary_pieces = st.one_of(st.sampled_from(BYTE_FRAGMENTS), BYTE_RUNS)
binary_contents = st.lists(binary_pieces, max_size=8).map(Joined)


@st.composite
def text_contents(draw, encoding):
    """Text in the file's encoding, sometimes after a byte order mark, sometimes with invalid bytes."""
    if encoding == "utf-16":
        bom, codec = draw(st.sampled_from([(codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"),
                                           (b"", "utf-16-le")]))
    elif encoding == "latin-1":
        bom, codec = b"", "latin-1"
    else:
        bom, codec = draw(st.sampled_from([codecs.BOM_UTF8, b""])), "utf-8"
    pieces = draw(st.lists(st.one_of(st.sampled_from(TEXT_FRAGMENTS), TEXT_RUNS, INVALID), max_size=8))
    encoded = [bom] if bom else []
    for piece in pieces:
        if isinstance(piece, Run):
            encoded.append(Run(piece.unit.encode(codec, "replace"), piece.count))
        else:
            encoded.append(piece if isinstance(piece, bytes) else piece.encode(codec, "replace"))
    return Joined(encoded)


class Data:
    """An argument to write: a fresh object of ``kind`` for each file, so neither sees the other's."""

    FORMS = {"bytes": "{}", "str": "{}", "bytearray": "bytearray({})", "memoryview": "memoryview({})",
             "strided": "memoryview({})[::2]", "array": "array('H', {})"}

    def __init__(self, kind, piece):
        self.kind, self.piece = kind, piece

    def __repr__(self):
        return self.FORMS[self.kind].format(repr(self.piece))

    def make(self):
        value = self.piece.value() if isinstance(self.piece, Run) else self.piece
        if self.kind in ("bytes", "str"):
            return value
        if self.kind == "bytearray":
            return bytearray(value)
        if self.kind == "memoryview":
            return memoryview(value)
        if self.kind == "strided":
            return memoryview(bytearray(value))[::2]
        return array.array("H", value + b"\0" * (len(value) % 2))


text_pieces = st.one_of(st.sampled_from(TEXT_WRITE_FRAGMENTS), TEXT_RUNS)
binary_data = st.one_of(
    st.builds(Data, st.sampled_from(["bytes", "bytes", "bytearray", "memoryview", "strided", "array"]),
              binary_pieces),
    st.builds(Data, st.just("str"), text_pieces))
text_data = st.one_of(st.builds(Data, st.just("str"), text_pieces),
                      st.builds(Data, st.just("bytes"), st.sampled_from(BYTE_FRAGMENTS)))


# The files' setups.

@dataclass(frozen=True)
class Setup:
    mode: str
    buffering: int = -1
    encoding: str | None = None
    errors: str | None = None
    newline: str | None = None

    @property
    def binary(self):
        return "b" in self.mode

    def arguments(self):
        return dict(buffering=self.buffering, encoding=self.encoding, errors=self.errors, newline=self.newline)


BUFFERINGS = [-1, 1, 2, 3, 5, 7, 8, 13, 16, 64]
binary_setups = st.builds(Setup, st.sampled_from(["rb", "wb", "ab", "xb", "r+b", "w+b", "a+b", "x+b"]),
                          st.sampled_from([0] + BUFFERINGS))
text_setups = st.builds(Setup, st.sampled_from(["r", "w", "a", "x", "r+", "w+", "a+", "x+"]),
                        st.sampled_from(BUFFERINGS), st.sampled_from(["utf-8", "utf-16", "latin-1", "utf-8-sig"]),
                        st.sampled_from([None, "strict", "replace", "surrogateescape"]),
                        st.sampled_from([None, "", "\n", "\r", "\r\n"]))


def open_builtin(path, setup):
    arguments = setup.arguments()
    line_buffering = not setup.binary and setup.buffering == 1
    if setup.buffering < 0 or setup.buffering == 1:
        # Departure: kiln's default read-ahead (kiln.DEFAULT_BUFFER_SIZE) is larger than the
        # built-in's, and peek, read1 and the text layer's chunks show the buffer's size.
        arguments["buffering"] = kiln.DEFAULT_BUFFER_SIZE
    f = open(path, setup.mode, **arguments)
    if line_buffering:
        f.reconfigure(line_buffering=True)
    return f


# Outcomes of one call.

@dataclass
class Outcome:
    value: Any = None
    error: BaseException | None = None

    def __repr__(self):
        if self.error is not None:
            return f"raised {type(self.error).__name__}{self.error.args!r}"[:300]
        text = repr(self.value)
        return text if len(text) <= 300 else f"{text[:300]}... ({len(self.value)} long)"


def attempt(function, *args):
    try:
        return Outcome(function(*args))
    except Exception as exc:
        return Outcome(error=exc)


@dataclass(frozen=True)
class Cookies:
    """What tell() or seek() gave each text file, for seeking each back to its own."""
    theirs: int
    mine: int
    generation: int


# Once a first open succeeded there are files to call, open or closed.
opened = precondition(lambda self: self.theirs is not None)


class Comparison(RuleBasedStateMachine):
    """Two copies of one file, one per implementation, and the calls both kinds of file share."""

    base: str  # set by the test

    def __init__(self):
        super().__init__()
        self.directory = tempfile.mkdtemp(dir=self.base)
        self.paths = (os.path.join(self.directory, "builtin"), os.path.join(self.directory, "kiln"))
        self.loop = asyncio.new_event_loop()
        self.theirs = self.mine = None
        self.setup = None
        # Counts the opens, so that cookies of an earlier file object are not used on a later one.
        self.generation = 0
        # Text was written since the last call that writes it out (see read_after_write).
        self.text_written = False
        # The built-in text file iterated and no longer knows its text position (see realign).
        self.untracked = False
        # Its tell() since then may have counted newlines kiln has not read yet (see TextFiles.tell).
        self.replayed = False
        self.failed = False

    def teardown(self):
        try:
            if self.theirs is not None and not self.failed:
                self.compare("close()", attempt(self.theirs.close), self.on_kiln("close"))
                self.check_disk("the end")
        finally:
            # Whatever is still open is closed quietly: its failures were compared, or come after one.
            if self.mine is not None:
                self.attempt_kiln(self.mine.close)
            if self.theirs is not None:
                attempt(self.theirs.close)
            self.loop.close()
            shutil.rmtree(self.directory, ignore_errors=True)

    # Opening.

    def begin(self, setup, content, present):
        if present != ("x" in setup.mode):
            for path in self.paths:
                with open(path, "wb") as f:
                    f.write(content.value())
        self.reopen_both(setup)

    def reopen_both(self, setup):
        self.generation += 1
        self.untracked = self.replayed = False
        theirs = attempt(open_builtin, self.paths[0], setup)

        async def open_mine():
            return await kiln.open(self.paths[1], setup.mode, **setup.arguments())

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            mine = self.attempt_kiln(open_mine)
        if mine.error is None:
            self.mine = mine.value
        if theirs.error is None:
            self.theirs = theirs.value
        self.setup = setup
        self.compare(f"open({setup})", theirs, mine, lambda a, b: True)
        # The built-in warns that binary files have no line buffering, even when the open fails.
        warned = [w.category for w in caught if not issubclass(w.category, ResourceWarning)]
        expected = [RuntimeWarning] if setup.binary and setup.buffering == 1 else []
        self.expect(warned == expected, f"open({setup}) warned {warned}, the built-in {expected}")
        if theirs.error is None:
            self.attributes()

    def closed(self):
        return self.theirs is None or self.theirs.closed

    # Calling both.

    def attempt_kiln(self, make):
        try:
            return Outcome(self.loop.run_until_complete(asyncio.wait_for(make(), STEP_SECONDS)))
        except Exception as exc:
            return Outcome(error=exc)

    def on_kiln(self, name, *args):
        async def call():
            result = getattr(self.mine, name)(*args)
            return result if name in PLAIN else await result
        return self.attempt_kiln(call)

    def read_after_write(self):
        """Before 3.13 a text file's reads (next(), readline(), read()) do not first write the
        text written before them; kiln does what 3.13 and later do. A flush of the built-in does
        that work, and nothing else: right after a write, tell() is on in both files."""
        if self.text_written and sys.version_info < (3, 13) and self.theirs is not None:
            attempt(self.theirs.flush)
        self.text_written = False

    def call(self, name, *args, same=None, shown=None):
        """Calls ``name`` on both files and compares what they did.

        A method the built-in's class for this mode lacks (an unbuffered
        file's ``peek`` and ``read1``) has nothing to be compared with: kiln's
        one binary class offers it anyway, and its own tests cover it."""
        if self.theirs is not None and not hasattr(self.theirs, name):
            return None, None
        if name in ("read", "readline", "readlines"):
            self.read_after_write()
        elif name in ("flush", "seek", "tell", "truncate", "close"):
            self.text_written = False  # each writes what was written first
        theirs = attempt(lambda: getattr(self.theirs, name)(*args))
        mine = self.on_kiln(name, *args)
        self.compare(f"{name}({shown or ', '.join(map(repr, args))})"[:200], theirs, mine, same)
        return theirs, mine

    def compare(self, what, theirs, mine, same=None):
        if theirs.error is not None or mine.error is not None:
            agree = self.same_error(theirs.error, mine.error)
        else:
            agree = (same or (lambda a, b: a == b))(theirs.value, mine.value)
        self.expect(agree, f"{what}: built-in {theirs}, kiln {mine}")

    def expect(self, condition, message):
        if not condition:
            self.failed = True  # the end's comparisons would only repeat the news
            raise AssertionError(message)

    def same_error(self, theirs, mine):
        if theirs is None or mine is None:
            return False
        if isinstance(theirs, AttributeError):
            # The built-in's class for this mode lacks the method; kiln's one class may refuse it.
            return isinstance(mine, (AttributeError, io.UnsupportedOperation)) or (
                type(mine) is ValueError and self.mine.closed)
        if type(theirs) is not type(mine):
            return False
        if not isinstance(theirs, OSError):
            return True
        if theirs.filename is None:
            # Departure: kiln names the file in the errors of reads and writes too.
            names = (None, self.paths[1])
        else:
            names = (self.paths[1] if theirs.filename == self.paths[0] else theirs.filename,)
        return theirs.errno == mine.errno and mine.filename in names

    def check_disk(self, after):
        def content(path):
            try:
                with open(path, "rb") as f:
                    return f.read()
            except FileNotFoundError:
                return None
        theirs, mine = map(content, self.paths)
        self.expect(theirs == mine, f"after {after}: on disk, built-in {Outcome(theirs)}, kiln {Outcome(mine)}")

    # Calls of both kinds of file.

    def attributes(self):
        for name in ("closed", "mode"):
            self.compare(name, attempt(getattr, self.theirs, name), attempt(getattr, self.mine, name))
        self.expect(self.theirs.name == self.paths[0] and self.mine.name == self.paths[1], f"name {self.mine.name!r}")
        for name in ("readable", "writable", "seekable"):
            self.call(name)
        # Departure: a kiln file has no descriptor.
        fileno = attempt(self.mine.fileno)
        self.expect(isinstance(fileno.error, io.UnsupportedOperation), f"fileno(): kiln {fileno}")

    @opened
    @rule()
    def check_attributes(self):
        self.attributes()

    @opened
    @rule()
    def flush(self):
        self.call("flush")
        self.check_disk("flush")

    @opened
    @rule()
    def close(self):
        self.call("close")
        self.check_disk("close")

    @opened
    @rule(hint=st.sampled_from([(), (None,), (-1,), (0,), (1,), (5,), (100,), (10 ** 6,)]))
    def readlines(self, hint):
        self.call("readlines", *hint)

    @opened
    @rule(count=st.sampled_from([1, 2, 3, 10 ** 6]))
    def iterate(self, count):
        """Up to ``count`` lines of ``for line in f`` and of ``async for line in f``."""
        self.read_after_write()

        def theirs():
            lines, lines_of = [], iter(self.theirs)
            for _ in range(count):
                try:
                    lines.append(next(lines_of))
                except StopIteration:
                    break
            return lines

        async def mine():
            lines, lines_of = [], aiter(self.mine)
            for _ in range(count):
                try:
                    lines.append(await anext(lines_of))
                except StopAsyncIteration:
                    break
            return lines
        self.compare(f"iterate({count})", attempt(theirs), self.attempt_kiln(mine))

    def write_lines(self, lines):
        self.compare(f"writelines({lines})", attempt(self.theirs.writelines, [data.make() for data in lines]),
                     self.on_kiln("writelines", [data.make() for data in lines]))


SIZES = [None, -5, -1, 0, 1, 2, 3, 7, 15, 16, 17, 63, 64, 65, 4095, 4096, 8191, 8192, 8193, 65535, 65536,
         65537, 100_000, HUGE]
SEEKS = [(offset, whence) for whence in (0, 1, 2) for offset in (-8193, -100, -1, 0, 1, 7, 8192, 8193)] + [
    (2 ** 63, 0), (0, -1), (0, 5)]
READ_INTO = {"bytearray": bytearray, "memoryview": lambda size: memoryview(bytearray(size + 3))[3:],
             "strided": lambda size: memoryview(bytearray(2 * size))[::2],
             "array": lambda size: array.array("i", [0]) * size, "bytes": bytes}


class BinaryFiles(Comparison):
    @initialize(setup=binary_setups, content=binary_contents, present=st.integers(0, 7).map(bool))
    def start(self, setup, content, present):
        self.begin(setup, content, present)

    @precondition(lambda self: self.closed())
    @rule(setup=binary_setups)
    def reopen(self, setup):
        self.reopen_both(setup)

    @invariant()
    def same_position(self):
        if self.theirs is None:
            return
        mine = self.mine
        if "a" in self.setup.mode and mine is not None and not mine.closed and mine._write_buf:
            # Appending, with writes waiting after a read: the built-in's write buffer shares its
            # room with the read-ahead and may have written them to the end already (listed
            # among the README's departures); both count from the end once they are out.
            self.call("tell", same=lambda theirs, ours: True)
        else:
            self.call("tell")
        if self.setup.buffering == 0:
            self.check_disk("an unbuffered step")

    @opened
    @rule(size=st.sampled_from(SIZES))
    def read(self, size):
        self.call("read", size)

    @opened
    @rule()
    def readall(self):
        if hasattr(self.theirs, "readall"):
            theirs = attempt(self.theirs.readall)
            if isinstance(theirs.error, OSError) and theirs.error.errno == errno.EBADF and not self.theirs.readable():
                # Before 3.15 an unbuffered built-in file tries the read even when it is write-only.
                theirs = Outcome(error=io.UnsupportedOperation("File not open for reading"))
        else:
            # Departure: every kiln binary file has readall(), which reads what read() reads.
            theirs = attempt(self.theirs.read)
        self.compare("readall()", theirs, self.on_kiln("readall"))

    @opened
    @rule(size=st.sampled_from([()] + [(size,) for size in SIZES]))
    def read1(self, size):
        self.call("read1", *size)

    @opened
    @rule(size=st.sampled_from([(), (-1,), (0,), (1,), (100,), (HUGE,)]))
    def peek(self, size):
        self.call("peek", *size)

    @opened
    @rule(kind=st.sampled_from(sorted(READ_INTO)), size=st.sampled_from([0, 1, 5, 64, 8193, 70_000]))
    def readinto(self, kind, size):
        theirs, mine = READ_INTO[kind](size), READ_INTO[kind](size)

        async def into_mine():
            return await self.mine.readinto(mine), bytes(mine)
        self.compare(f"readinto({kind}({size}))", attempt(lambda: (self.theirs.readinto(theirs), bytes(theirs))),
                     self.attempt_kiln(into_mine))

    @opened
    @rule(limit=st.sampled_from([(), (None,), (-1,), (0,), (1,), (2,), (5,), (100,), (8193,), (HUGE,)]))
    def readline(self, limit):
        self.call("readline", *limit)

    @opened
    @rule(data=binary_data)
    def write(self, data):
        self.to_the_end_if_appending()
        self.call("write", data.make(), shown=repr(data))

    @opened
    @rule(lines=st.lists(binary_data, max_size=4))
    def writelines(self, lines):
        self.to_the_end_if_appending()
        self.write_lines(lines)

    def to_the_end_if_appending(self):
        """Appending after a read, kiln's position goes to the end with the write; the built-in's
        keeps its read-ahead and reads on from before the write (listed among the README's
        departures). Both go to the end first, where the write lands anyway."""
        mine = self.mine
        if "a" not in self.setup.mode or mine is None or mine.closed or not mine._buffer_size:
            return
        if len(mine._read_buf) > mine._read_pos:
            self.call("seek", 0, 2)

    @opened
    @rule(seek=st.one_of(st.sampled_from(SEEKS), st.tuples(st.integers(0, 70_000), st.just(0))))
    def seek(self, seek):
        self.call("seek", *seek)

    @opened
    @rule(size=st.sampled_from([(), (None,), (0,), (1,), (5,), (8193,), (70_000,), (-1,)]))
    def truncate(self, size):
        self.call("truncate", *size)


TEXT_SIZES = [None, -3, -1, 0, 1, 2, 3, 5, 100, 4095, 4096, 8191, 8192, 8193, 20_000, 1 << 20]


def newline_kinds(newlines):
    return set() if newlines is None else {newlines} if isinstance(newlines, str) else set(newlines)


class TextFiles(Comparison):
    cookies = Bundle("cookies")

    @initialize(data=st.data(), setup=text_setups, present=st.integers(0, 7).map(bool))
    def start(self, data, setup, present):
        self.begin(setup, data.draw(text_contents(setup.encoding), label="content"), present)

    @precondition(lambda self: self.closed())
    @rule(data=st.data())
    def reopen(self, data):
        # The same encoding, so that what one setup wrote is read back by the next.
        setup = data.draw(text_setups.filter(lambda setup: setup.encoding == self.setup.encoding), label="setup")
        self.reopen_both(setup)

    def attributes(self):
        super().attributes()
        for name in ("encoding", "errors", "line_buffering"):
            self.compare(name, attempt(getattr, self.theirs, name), attempt(getattr, self.mine, name))
        theirs, mine = self.theirs.newlines, self.mine.newlines
        if self.replayed:
            # The built-in's tell() after iterating replayed its read-ahead and counted the
            # newlines there too (see tell); kiln's has seen no more than the built-in's.
            self.expect(newline_kinds(mine) <= newline_kinds(theirs), f"newlines: built-in {theirs!r}, kiln {mine!r}")
            self.replayed = theirs != mine
        else:
            self.expect(theirs == mine, f"newlines: built-in {theirs!r}, kiln {mine!r}")

    @opened
    @rule(size=st.sampled_from([()] + [(size,) for size in TEXT_SIZES]))
    def read(self, size):
        self.call("read", *size)

    @opened
    @rule(limit=st.sampled_from([(), (None,), (-1,), (0,), (1,), (2,), (5,), (100,), (8193,)]))
    def readline(self, limit):
        self.call("readline", *limit)

    def to_text_position(self, text=""):
        """A text write after a read lands at the text position in kiln, and a byte order mark goes only
        at the start of a file (both listed among the README's departures); the built-in writes after
        its read-ahead. Puts the built-in where kiln writes: as a flush and a seek to tell() would."""
        theirs, mine = self.theirs, self.mine
        if not isinstance(text, str):
            return  # refused before anything moves
        if theirs is None or theirs.closed or not theirs.writable() or not theirs.seekable():
            return
        if not mine._has_read:
            return  # nothing read since the last write or seek: kiln writes where the built-in does
        try:
            theirs.flush()
            if not self.untracked:
                theirs.seek(theirs.tell())
            elif self.kiln_can_return(cookie := self.kiln_position()):
                theirs.seek(cookie)
        except Exception:
            pass
        self.untracked = False

    def kiln_can_return(self, cookie):
        """Whether kiln finds its text position again: not when the file was cut short under it,
        and then kiln writes after its read-ahead, where the built-in does."""
        start, to_feed = cookie & (2 ** 64 - 1), (cookie >> 128) & (2 ** 64 - 1)
        return os.path.getsize(self.paths[1]) >= start + to_feed

    def kiln_position(self):
        """kiln's text position as a cookie, leaving its tell() as it was (on or off), and its
        decoder too: a tell() replays from the chunk's start, and newlines would count only that."""
        mine, telling, decoder = self.mine, self.mine._telling, self.mine._decoder
        if decoder is not None:
            mine._decoder = mine._new_decoder()
            mine._decoder.setstate(decoder.getstate())
        try:
            return self.loop.run_until_complete(mine._tell_unlocked(iterating_or_not=True))
        finally:
            mine._telling, mine._decoder = telling, decoder

    def realign(self):
        """Iterating, the built-in stops keeping the point its tell() replays from, and a tell()
        after flush() then gives the byte position after its read-ahead; kiln keeps it and gives the
        text position (listed among the README's departures). Puts the built-in at kiln's position
        before a call that depends on it."""
        theirs = self.theirs
        if not self.untracked or theirs is None or theirs.closed or not self.mine._has_read:
            return
        if not self.mine._telling:
            return  # tell() is off on both, and a seek would turn the built-in's back on
        self.untracked = False
        with contextlib.suppress(Exception):
            if self.kiln_can_return(cookie := self.kiln_position()):
                theirs.seek(cookie)

    @opened
    @rule(count=st.sampled_from([1, 2, 3, 10 ** 6]))
    def iterate(self, count):
        super().iterate(count)
        self.note_iteration()

    def note_iteration(self):
        """Until an iteration ends (readlines iterates too): at its end the built-in's byte position
        is its text position again."""
        mine = self.mine
        self.untracked = self.untracked or (mine is not None and not mine.closed and not mine._telling)

    @opened
    @rule(hint=st.sampled_from([(), (None,), (-1,), (0,), (1,), (5,), (100,), (10 ** 6,)]))
    def readlines(self, hint):
        super().readlines(hint)
        self.note_iteration()

    def write_lines(self, lines):
        if lines:
            self.to_text_position(lines[0].make())
        super().write_lines(lines)
        self.text_written = True

    @opened
    @rule(data=text_data)
    def write(self, data):
        self.to_text_position(data.make())
        theirs, _ = self.call("write", data.make(), shown=repr(data))
        self.text_written = True
        text = data.make()
        # A line-buffered write that ends a line is on disk at once.
        if theirs.error is None and self.theirs.line_buffering and ("\n" in text or "\r" in text):
            self.check_disk("a line-buffered write")

    @opened
    @rule(lines=st.lists(text_data, max_size=4))
    def writelines(self, lines):
        self.write_lines(lines)

    def cookie_call(self, name, *args):
        theirs, mine = self.call(name, *args, same=lambda a, b: True)
        if theirs.error is not None:
            return multiple()
        return Cookies(theirs.value, mine.value, self.generation)

    @opened
    @rule(target=cookies)
    def tell(self):
        mine = self.mine
        lost = self.untracked and mine is not None and not mine.closed and mine._telling
        if not lost:
            return self.cookie_call("tell")
        # The built-in's cookie names its read-ahead's end, or it cannot rebuild one from what it
        # kept before iterating (see realign); kiln's names the text position, and means the same
        # to the built-in.
        self.text_written = False
        self.replayed = True
        theirs, ours = attempt(self.theirs.tell), self.on_kiln("tell")
        unrebuilt = isinstance(theirs.error, UnicodeDecodeError) or \
            isinstance(theirs.error, OSError) and "reconstruct" in str(theirs.error)
        if not (unrebuilt and ours.error is None):
            self.compare("tell()", theirs, ours, lambda a, b: True)
        if ours.error is not None:
            return multiple()
        return Cookies(ours.value, ours.value, self.generation)

    @opened
    @rule(target=cookies, seek=st.sampled_from([(0, 0), (0, 1), (0, 2), (1, 1), (-1, 1), (3, 2), (-1, 0), (0, 5),
                                                (0, -1)]))
    def seek(self, seek):
        if seek[1] == 1:
            self.realign()
        cookies = self.cookie_call("seek", *seek)
        if isinstance(cookies, Cookies):
            self.untracked = False  # a refused seek (tell() off while iterating) leaves it as it was
        return cookies

    @opened
    @rule(target=cookies, cookies=cookies)
    def seek_back(self, cookies):
        if cookies.generation != self.generation:
            return multiple()  # a cookie of an earlier file object means nothing to this one
        self.untracked = False
        theirs, mine = attempt(self.theirs.seek, cookies.theirs), self.on_kiln("seek", cookies.mine)
        self.compare(f"seek({cookies})", theirs, mine, lambda a, b: True)
        return multiple() if theirs.error is not None else Cookies(theirs.value, mine.value, self.generation)

    @opened
    @rule(size=st.sampled_from([(), (None,), (0,), (1,), (7,), (8193,), (-1,)]))
    def truncate(self, size):
        self.call("truncate", *size)


@pytest.mark.parametrize("machine", [BinaryFiles, TextFiles], ids=["binary", "text"])
def test_kiln_files_behave_as_the_builtin_files(io_mode, tmp_path, machine):  # noqa: F811 - io_mode is a fixture
    class Machine(machine):
        base = str(tmp_path)

    run_state_machine_as_test(seed(SEED)(Machine), settings=settings(
        max_examples=EXAMPLES, stateful_step_count=40, deadline=None, database=None, print_blob=False,
        phases=list(Phase) if SHRINK else [phase for phase in Phase if phase is not Phase.shrink],
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]))
