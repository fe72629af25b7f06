"""kiln.open's modes against the built-in open on the same file."""

import asyncio
import codecs
import io
import os

import pytest

import kiln
from kiln_helpers import io_mode, run  # noqa: F401 - io_mode is a fixture

MODES = ["r", "rb", "r+", "r+b", "w", "wb", "w+", "w+b", "a", "ab", "a+", "a+b", "x", "xb", "x+", "x+b"]
INITIAL = b"first line\nsecond\n"


def script(text):
    """One sequence of calls covering reads, writes, seeks and tells; flushes before tells
    because a built-in file in append mode reports its position only after a flush."""
    data = (lambda b: b.decode()) if text else (lambda b: b)
    return [
        ("tell",), ("read", 3), ("seek", 0, 1), ("write", data(b"XYZ")), ("flush",), ("tell",),
        ("seek", 0), ("read",), ("seek", 0, 2), ("write", data(b"tail\n")), ("flush",), ("tell",),
        ("seek", 2), ("readline",), ("readline",), ("tell",),
    ]


def outcome(call):
    try:
        return ("ok", call())
    except (OSError, ValueError) as exc:
        return ("raised", type(exc))


async def outcome_async(coro_fn):
    try:
        return ("ok", await coro_fn())
    except (OSError, ValueError) as exc:
        return ("raised", type(exc))


def builtin_run(path, mode, steps):
    try:
        f = open(path, mode)
    except OSError as exc:
        return [("raised", type(exc))]
    results = []
    with f:
        for name, *args in steps:
            results.append(outcome(lambda: getattr(f, name)(*args)))
    return results


async def kiln_run(path, mode, steps):
    try:
        f = await kiln.open(path, mode)
    except OSError as exc:
        return [("raised", type(exc))]
    results = []
    async with f:
        for name, *args in steps:
            results.append(await outcome_async(lambda: getattr(f, name)(*args)))
    return results


@pytest.mark.parametrize("existed", [True, False], ids=["existing", "missing"])
@pytest.mark.parametrize("mode", MODES)
def test_every_mode_behaves_as_the_builtin_open(io_mode, tmp_path, mode, existed):
    mine, theirs = tmp_path / "kiln", tmp_path / "builtin"
    if existed:
        mine.write_bytes(INITIAL)
        theirs.write_bytes(INITIAL)
    steps = script("b" not in mode)
    expected = builtin_run(theirs, mode, steps)
    got = run(kiln_run(mine, mode, steps))
    # seek(0, 1) on a text file reports an opaque cookie: both are plain positions here.
    assert got == expected
    assert (mine.read_bytes() if mine.exists() else None) == (theirs.read_bytes() if theirs.exists() else None)


@pytest.mark.parametrize("mode, readable, writable", [
    ("rb", True, False), ("wb", False, True), ("ab", False, True), ("r+b", True, True), ("w+b", True, True),
    ("xb", False, True), ("x+b", True, True), ("r", True, False), ("w+", True, True), ("a+", True, True),
])
def test_attributes_of_an_open_file(tmp_path, mode, readable, writable):
    path, twin = tmp_path / "f", tmp_path / "twin"
    if "x" not in mode:
        path.write_bytes(b"")
        twin.write_bytes(b"")
    with open(twin, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as builtin:
        reported = builtin.mode  # "w+b" says "rb+", and "wb+" from 3.15 on

    async def scenario():
        async with kiln.open(path, mode) as f:
            assert (f.readable(), f.writable(), f.seekable()) == (readable, writable, True)
            assert f.mode == reported and f.name == str(path) and not f.closed
            with pytest.raises(io.UnsupportedOperation):
                f.fileno()
        assert f.closed

    run(scenario())


@pytest.mark.parametrize("buffering", [1, 3, 7, 64, -1])
def test_binary_lines_and_reads_across_buffer_boundaries(io_mode, tmp_path, buffering):
    content = b"".join(b"line %d " % n + b"x" * (n % 13) + b"\n" for n in range(200)) + b"no newline"
    path = tmp_path / "f"
    path.write_bytes(content)

    async def scenario():
        async with kiln.open(path, "rb", buffering=buffering or -1) as f:
            assert [line async for line in f] == content.splitlines(keepends=True)
            assert await f.read() == b""
            reference = io.BytesIO(content)
            for offset in (5, 7, 290, len(content) - 3):
                await f.seek(offset)
                reference.seek(offset)
                assert await f.readline(4) == reference.readline(4)
                piece = await f.read1(3)  # may stop at the end of the read-ahead
                assert piece == reference.read(len(piece))
                assert piece or reference.tell() == len(content)
                assert await f.read(100) == reference.read(100)
                assert (await f.peek(1))[:1] == reference.getvalue()[reference.tell():reference.tell() + 1]
                buffer = bytearray(50)
                assert await f.readinto(buffer) == reference.readinto(buffer2 := bytearray(50))
                assert buffer == buffer2
                assert await f.tell() == reference.tell()
                assert await f.readlines() == reference.readlines()

    if buffering == 1:
        with pytest.warns(RuntimeWarning, match="line buffering"):
            run(scenario())
    else:
        run(scenario())


def test_small_writes_are_buffered_and_land_in_order(io_mode, tmp_path):
    path = tmp_path / "f"

    async def scenario():
        async with kiln.open(path, "w+b", buffering=16) as f:
            for n in range(100):
                assert await f.write(b"%03d," % n) == 4
            await f.writelines([b"a", bytearray(b"b"), memoryview(b"cd")])
            await f.seek(0)
            assert await f.read(8) == b"000,001,"
            await f.seek(0, 2)
            assert await f.write(b"!") == 1
            assert await f.truncate(10) == 10
            assert await f.tell() == 405
        return path.read_bytes()

    assert run(scenario()) == b"000,001,00"


TEXT = "plain\r\nwindows\rold mac\nunix\n\nünïcödé 😀 line\r\n" * 40 + "last"


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "utf-16-le", "latin-1"])
@pytest.mark.parametrize("newline", [None, "", "\n", "\r", "\r\n"])
def test_text_round_trips_as_the_builtin(io_mode, tmp_path, encoding, newline):
    text = TEXT if encoding != "latin-1" else TEXT.replace("😀", "!").replace("ünïcödé", "\xfcn\xefc\xf6d\xe9")
    mine, theirs = tmp_path / "kiln", tmp_path / "builtin"
    with open(theirs, "w", encoding=encoding, newline=newline) as f:
        f.write(text)
    with open(theirs, encoding=encoding, newline=newline) as f:
        expected_lines = list(f)
        expected_newlines = f.newlines

    async def scenario():
        async with kiln.open(mine, "w", encoding=encoding, newline=newline) as f:
            assert await f.write(text[:100]) == 100
            await f.write(text[100:])
        assert mine.read_bytes() == theirs.read_bytes()
        async with kiln.open(mine, "r", encoding=encoding, newline=newline, buffering=37) as f:
            assert [line async for line in f] == expected_lines
            assert f.newlines == expected_newlines
        async with kiln.open(mine, "rt", encoding=encoding, newline=newline, buffering=11) as f:
            pieces = [await f.read(n % 7 + 1) for n in range(60)]
            assert "".join(pieces) + await f.read() == "".join(expected_lines)

    run(scenario())


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16"])
def test_text_tell_cookies_seek_back_to_the_same_line(tmp_path, encoding):
    path = tmp_path / "f"
    path.write_bytes(TEXT.encode(encoding))

    async def scenario():
        async with kiln.open(path, "r", encoding=encoding, buffering=29) as f:
            marks = []
            while True:
                cookie = await f.tell()
                line = await f.readline()
                if not line:
                    break
                marks.append((cookie, line))
            for cookie, line in marks[::-1]:
                assert await f.seek(cookie) == cookie
                assert await f.readline() == line
            await f.seek(0)
            assert await f.read(5) == "plain"
            assert await f.seek(0, 2) == len(path.read_bytes())
            assert await f.read() == ""

    run(scenario())


@pytest.mark.parametrize("encoding, bom", [("utf-16", codecs.BOM_UTF16), ("utf-8-sig", codecs.BOM_UTF8)])
def test_appending_text_writes_no_second_byte_order_mark(tmp_path, encoding, bom):
    path = tmp_path / "f"

    async def scenario():
        for part in ("one\n", "two\n"):
            async with kiln.open(path, "a", encoding=encoding) as f:
                await f.write(part)
        async with kiln.open(path, "r+", encoding=encoding) as f:
            assert await f.read() == "one\ntwo\n"
            await f.seek(0)
            await f.write("ONE")

    run(scenario())
    data = path.read_bytes()
    assert data.startswith(bom) and data.count(bom) == 1
    assert data.decode(encoding) == "ONE\ntwo\n"


# Between the read and the write: nothing, a refused seek, or iterating (tell() off until a flush).
@pytest.mark.parametrize("between", [None, (1, 1), (3, 2), "next"])
def test_writing_after_reading_text_lands_at_the_text_position(tmp_path, between):
    path = tmp_path / "f"
    path.write_text("abc\ndef\n" * 3000)

    async def scenario():
        async with kiln.open(path, "r+", encoding="ascii") as f:
            assert await f.readline() == "abc\n"
            if between == "next":
                assert await anext(aiter(f)) == "def\n"
            elif between:
                with pytest.raises(io.UnsupportedOperation):
                    await f.seek(*between)
            await f.write("DEF" if between != "next" else "ABC")

    run(scenario())
    expected = "abc\nDEF\n" if between != "next" else "abc\ndef\nABC\n"
    assert path.read_text().startswith(expected) and len(path.read_text()) == 8 * 3000


@pytest.mark.parametrize("path_type", [str, bytes, os.fsencode, lambda p: p], ids=["str", "bytes", "fsencode", "Path"])
def test_paths_of_every_kind_open(tmp_path, path_type):
    path = tmp_path / "f"
    path.write_bytes(b"x")

    async def scenario():
        name = path_type(path) if path_type is not bytes else bytes(path)
        async with kiln.open(name) as f:
            return await f.read(), f.name

    data, name = run(scenario())
    assert data == b"x" and os.fsdecode(os.fspath(name)) == str(path)


def test_opening_without_await_does_nothing(tmp_path):
    async def scenario():
        kiln.open(tmp_path / "f", "w")
        await asyncio.sleep(0)

    run(scenario())
    assert not (tmp_path / "f").exists()


@pytest.mark.parametrize("newline", [None, "", "\n", "\r", "\r\n"])
def test_text_readline_with_limits_matches_the_builtin(tmp_path, newline):
    path = tmp_path / "f"
    path.write_bytes(TEXT.encode())
    limits = [n % 9 - 1 for n in range(400)]  # -1 (no limit) and 0 to 7
    with open(path, encoding="utf-8", newline=newline) as f:
        expected = [f.readline(limit) for limit in limits]

    async def scenario():
        async with kiln.open(path, "r", encoding="utf-8", newline=newline, buffering=13) as f:
            return [await f.readline(limit) for limit in limits]

    assert run(scenario()) == expected


# A read that fails to decode: what was decoded before it stays for read(-1), as with the built-in.
@pytest.mark.parametrize("failing", [(), (100,)])
def test_a_read_that_fails_to_decode_keeps_what_the_builtin_keeps(tmp_path, failing):
    path = tmp_path / "f"
    path.write_bytes(b"\xff\xfe" + "line".encode("utf-16-le") + b"\xff")
    sizes = [(1,), failing, (1,)]

    def outcome(read, *size):
        try:
            return read(*size)
        except UnicodeDecodeError:
            return "failed"

    with open(path, encoding="utf-16") as f:
        expected = [outcome(f.read, *size) for size in sizes]

    async def mine():
        async with kiln.open(path, "r", encoding="utf-16") as f:
            results = []
            for size in sizes:
                try:
                    results.append(await f.read(*size))
                except UnicodeDecodeError:
                    results.append("failed")
            return results

    assert run(mine()) == expected


# tell() at the very start of the text resets the newline decoder, as the built-in's does.
@pytest.mark.parametrize("content", [b"\xef\xbb\xbf\n", b"ab\ncd\r\n", b"\n\r\nx"])
@pytest.mark.parametrize("count", [1, 2, 3])
def test_newlines_after_tell_are_the_builtins(tmp_path, content, count):
    path = tmp_path / "f"
    path.write_bytes(content)
    with open(path, encoding="utf-8") as f:
        f.read(count)
        expected = (f.tell(), f.newlines)

    async def mine():
        async with kiln.open(path, "r", encoding="utf-8") as f:
            await f.read(count)
            return await f.tell(), f.newlines

    assert run(mine()) == expected


def test_a_text_write_after_the_file_was_cut_short_under_the_read_ahead(tmp_path):
    """The text position cannot be found again: the write lands after the read-ahead, as the built-in's."""
    theirs, mine = tmp_path / "theirs", tmp_path / "mine"
    for path in (theirs, mine):
        path.write_bytes(b"\xef\xbb\xbf\ra")
    with open(theirs, "r+", encoding="utf-8") as f:
        next(f)
        f.truncate(0)
        f.write("a")

    async def scenario():
        async with kiln.open(mine, "r+", encoding="utf-8") as f:
            await anext(aiter(f))
            await f.truncate(0)
            assert await f.write("a") == 1

    run(scenario())
    assert mine.read_bytes() == theirs.read_bytes()


def test_writes_over_the_read_ahead_land_before_positional_calls_and_close(io_mode, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"." * 32)

    async def scenario():
        f = await kiln.open(path, "r+b", buffering=16)
        await f.read(2)
        await f.write(b"ab")
        assert await f.pread(0, 6) == b"..ab.."
        await f.write(b"cd")
        await f.pwrite(8, b"P")
        assert await f.read(4) == b"..P."  # the positional write is not hidden by the read-ahead
        await f.seek(1)
        await f.write(b"e")
        await f.close()

    run(scenario())
    assert path.read_bytes() == b".eabcd..P" + b"." * 23


def test_a_write_the_encoder_refuses_after_a_read_keeps_what_was_read_ahead(io_mode, tmp_path):
    theirs, path = tmp_path / "theirs", tmp_path / "f"
    for each in (theirs, path):
        each.write_bytes(b"ab\n" * 3)
    with open(theirs, "r+", encoding="latin-1") as f:
        # The built-in's next lines come from its read-ahead, even with the file cut short.
        expected = [f.readline(), f.truncate(0), outcome(lambda: f.write("\u20ac")), f.readline()]

    async def mine():
        async with kiln.open(path, "r+", encoding="latin-1") as f:
            return [await f.readline(), await f.truncate(0), await outcome_async(lambda: f.write("\u20ac")),
                    await f.readline()]

    assert run(mine()) == expected
