"""kiln.os beyond what the comparison with the standard library shows: lifetimes, many calls
at once, cancellation, stat_many, descriptors of directories, argument errors, stat by handle."""

import asyncio
import errno
import os

import pytest

import kiln
from kiln_helpers import io_mode, run  # noqa: F401 - io_mode is a fixture
from support import EMULATED, touch


def make_files(directory, count):
    paths = []
    for index in range(count):
        path = os.path.join(directory, f"f{index:04d}")
        touch(path, b"x" * index)
        paths.append(path)
    return paths


@pytest.mark.skipif(not EMULATED, reason="counts the emulation's heap blocks")
def test_every_call_gives_back_its_records_and_blocks(io_mode, emu, tmp_path):
    paths = make_files(tmp_path, 20)
    os.symlink("f0001", tmp_path / "link")

    async def scenario():
        for _ in range(5):
            await asyncio.gather(*(kiln.os.stat(p) for p in paths))
            await kiln.os.stat_many(paths + [str(tmp_path / "missing")], return_exceptions=True)
            await kiln.os.listdir(tmp_path)
            await kiln.os.readlink(tmp_path / "link")
            await kiln.os.path.realpath(tmp_path / "link")
            with pytest.raises(FileNotFoundError):
                await kiln.shutil.copyfile(tmp_path / "missing", tmp_path / "copy")
            await kiln.shutil.copy2(paths[3], tmp_path / "copy")

    before = emu.heap_blocks()
    run(scenario())
    assert emu.heap_blocks() == before


def test_many_calls_in_flight_each_get_their_own_answer(io_mode, tmp_path):
    paths = make_files(tmp_path, 300)

    async def scenario():
        return await asyncio.gather(*(kiln.os.stat(p) for p in paths * 3))

    results = run(scenario())
    assert [r.st_size for r in results] == [os.stat(p).st_size for p in paths * 3]


def test_a_cancelled_call_leaves_nothing_behind(io_mode, tmp_path):
    paths = make_files(tmp_path, 50)

    async def scenario():
        tasks = [asyncio.create_task(kiln.os.stat(p)) for p in paths]
        await asyncio.sleep(0)
        for task in tasks[::2]:
            task.cancel()
        outcomes = await asyncio.gather(*tasks, return_exceptions=True)
        backend = kiln._backend.loop_backend(asyncio.get_running_loop())
        while backend._pending:  # the cancelled calls still finish in the system
            await asyncio.sleep(0.001)
        # The loop goes on serving calls.
        return outcomes, await kiln.os.stat(paths[0])

    outcomes, after = run(scenario())
    for index, outcome in enumerate(outcomes):
        if isinstance(outcome, BaseException):
            assert isinstance(outcome, asyncio.CancelledError)
        else:
            assert outcome.st_size == index
    assert after.st_ino == os.stat(paths[0]).st_ino


@pytest.mark.parametrize("return_exceptions", [False, True])
def test_stat_many_keeps_the_order_and_says_what_failed(io_mode, tmp_path, return_exceptions):
    paths = make_files(tmp_path, 40)
    asked = paths[:10] + [str(tmp_path / "gone"), str(tmp_path / "f0003" / "x")] + paths[10:]

    async def scenario():
        return await kiln.os.stat_many(asked, return_exceptions=return_exceptions)

    if not return_exceptions:
        with pytest.raises(FileNotFoundError) as caught:
            run(scenario())
        assert caught.value.filename == str(tmp_path / "gone")  # the first failure in order
        return
    results = run(scenario())
    assert [r.st_size for r in results[:10] + results[12:]] == [os.stat(p).st_size for p in paths]
    assert isinstance(results[10], FileNotFoundError) and results[10].filename == asked[10]
    assert isinstance(results[11], NotADirectoryError) and results[11].errno == errno.ENOTDIR
    assert run(kiln.os.stat_many([])) == []


@pytest.mark.skipif(not EMULATED, reason="dir_fd is POSIX's")
def test_relative_paths_start_from_dir_fd(io_mode, tmp_path):
    (tmp_path / "base").mkdir()
    touch(tmp_path / "base" / "file", b"abc")
    fd = os.open(tmp_path / "base", os.O_RDONLY | os.O_DIRECTORY)

    async def scenario():
        size = (await kiln.os.stat("file", dir_fd=fd)).st_size
        await kiln.os.mkdir("sub", dir_fd=fd)
        await kiln.os.rename("file", "moved", src_dir_fd=fd, dst_dir_fd=fd)
        await kiln.os.symlink("moved", "link", dir_fd=fd)
        target = await kiln.os.readlink("link", dir_fd=fd)
        await kiln.os.link("moved", "hard", src_dir_fd=fd, dst_dir_fd=fd)
        await kiln.os.chmod("moved", 0o600, dir_fd=fd)
        await kiln.os.utime("moved", ns=(5, 7_000_000_000), dir_fd=fd)
        allowed = await kiln.os.access("moved", os.R_OK, dir_fd=fd)
        await kiln.os.unlink("hard", dir_fd=fd)
        await kiln.os.rmdir("sub", dir_fd=fd)
        return size, target, allowed

    try:
        assert run(scenario()) == (3, "moved", True)
        info = os.stat(tmp_path / "base" / "moved")
        assert (info.st_mode & 0o777, info.st_mtime_ns) == (0o600, 7_000_000_000)
        assert sorted(os.listdir(tmp_path / "base")) == ["link", "moved"]
    finally:
        os.close(fd)
    with pytest.raises(OSError) as caught:
        run(kiln.os.stat("moved", dir_fd=65000))  # no such descriptor
    assert caught.value.errno == errno.EBADF


@pytest.mark.parametrize("call, error", [
    (lambda: kiln.os.stat("a\0b"), ValueError),
    (lambda: kiln.os.stat(["x"]), TypeError),
    (lambda: kiln.os.stat(3), TypeError),
    (lambda: kiln.os.utime("x", (1, 2), ns=(1, 2)), ValueError),
    (lambda: kiln.os.utime("x", (1,)), TypeError),
    (lambda: kiln.os.utime("x", ns=[1, 2]), TypeError),
    (lambda: kiln.os.mkdir("x", dir_fd=-3), ValueError),
])
def test_arguments_are_refused_before_anything_is_submitted(call, error):
    with pytest.raises(error):
        run(call())


@pytest.mark.skipif(not EMULATED, reason="Linux cannot change a link's own mode")
def test_a_links_own_mode_is_refused_as_os_refuses_it(tmp_path):
    touch(tmp_path / "file")
    os.symlink("file", tmp_path / "link")
    with pytest.raises(NotImplementedError, match="chmod: follow_symlinks unavailable on this platform"):
        run(kiln.os.chmod(tmp_path / "link", 0o600, follow_symlinks=False))
    run(kiln.os.chmod(tmp_path / "file", 0o640, follow_symlinks=False))
    assert os.stat(tmp_path / "file").st_mode & 0o777 == 0o640


@pytest.mark.parametrize("when", [1.5, -1.25, 1_700_000_000.123456789, 0])
def test_utime_rounds_seconds_as_os_does(io_mode, tmp_path, when):
    touch(tmp_path / "ours")
    touch(tmp_path / "theirs")
    os.utime(tmp_path / "theirs", (when, when))
    run(kiln.os.utime(tmp_path / "ours", (when, when)))
    assert os.stat(tmp_path / "ours").st_mtime_ns == os.stat(tmp_path / "theirs").st_mtime_ns


@pytest.mark.parametrize("mode", ["rb", "r"])
def test_a_files_stat_goes_by_its_handle(io_mode, tmp_path, mode):
    touch(tmp_path / "old", b"12345")

    async def scenario():
        async with kiln.open(tmp_path / "old", mode) as f:
            os.rename(tmp_path / "old", tmp_path / "new")
            touch(tmp_path / "old", b"another, longer file")
            return await f.stat()

    info = run(scenario())
    assert (info.st_ino, info.st_size) == (os.stat(tmp_path / "new").st_ino, 5)


def test_a_files_stat_sees_what_was_flushed(io_mode, tmp_path):
    async def scenario():
        async with kiln.open(tmp_path / "f", "wb") as f:
            await f.write(b"x" * 100)
            before = (await f.stat()).st_size
            await f.flush()
            after = (await f.stat()).st_size
        with pytest.raises(ValueError, match="closed file"):
            await f.stat()
        return before, after

    assert run(scenario()) == (0, 100)


def test_scandir_as_an_async_context_manager_fails_on_entering(io_mode, tmp_path):
    make_files(tmp_path, 3)

    async def scenario():
        async with kiln.os.scandir(tmp_path) as entries:
            first = await entries.__anext__()
            entries.close()
            rest = [entry async for entry in entries]
        with pytest.raises(FileNotFoundError):
            async with kiln.os.scandir(tmp_path / "missing"):
                pass
        return first.name, rest

    name, rest = run(scenario())
    assert name in {"f0000", "f0001", "f0002"} and rest == []


def test_an_entrys_stat_is_kept(io_mode, tmp_path):
    touch(tmp_path / "file", b"abc")

    async def scenario():
        entry = [e async for e in kiln.os.scandir(tmp_path)][0]
        first = await entry.stat()
        touch(tmp_path / "file", b"longer now")
        return first, await entry.stat(), await entry.stat(follow_symlinks=False)

    first, again, link = run(scenario())
    assert first is again is link and first.st_size == 3


@pytest.mark.skipif(not EMULATED, reason="injects a refused start")
def test_calls_that_cannot_start_fail_in_their_place(io_mode, emu, tmp_path):
    paths = make_files(tmp_path, 5)

    async def scenario():
        emu.fail_next("FileCall", 8)  # ERROR_NOT_ENOUGH_MEMORY
        together = await kiln.os.stat_many(paths, return_exceptions=True)
        emu.fail_next("FileCall", 8)
        with pytest.raises(OSError) as alone:
            await kiln.os.stat(paths[0])
        return together, alone.value, await kiln.os.stat_many(paths)

    together, alone, after = run(scenario())
    assert [(type(r), r.errno, r.filename) for r in together] == [(OSError, errno.ENOMEM, p) for p in paths]
    assert (alone.errno, alone.filename) == (errno.ENOMEM, paths[0])
    assert [r.st_size for r in after] == list(range(5))
