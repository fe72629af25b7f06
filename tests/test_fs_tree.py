"""kiln.Path, kiln.tempfile and kiln.shutil beyond the comparison with the standard library:
pure-path behaviour kept, opening, concurrency bounds, handlers that are coroutines, temporaries awaited."""

import asyncio
import os
import pathlib
import stat

import pytest

import kiln
from kiln_helpers import io_mode, run  # noqa: F401 - io_mode is a fixture
from support import touch


def test_pure_path_operations_stay_kiln_paths():
    path = kiln.Path("/srv") / "data" / "file.tar.gz"
    derived = [path.parent, path.with_suffix(".xz"), path.with_name("x"), path.relative_to("/srv"),
               path.parents[1], path.joinpath("y"), path / ".."]
    assert all(type(p) is kiln.Path for p in derived)
    assert (path.name, path.suffix, path.suffixes, path.stem) == ("file.tar.gz", ".gz", [".tar", ".gz"], "file.tar")
    assert path == pathlib.PurePath("/srv/data/file.tar.gz") and hash(path) == hash(pathlib.PurePath(path))
    assert os.fspath(path) == "/srv/data/file.tar.gz" and repr(kiln.Path("a")) == "Path('a')"


def test_contents_round_trip_and_bad_data_leaves_the_file(io_mode, tmp_path):
    path = kiln.Path(tmp_path) / "notes.txt"

    async def scenario():
        assert await path.write_text("h\u00e9llo\n", encoding="utf-8") == 6
        text = await path.read_text(encoding="utf-8")
        with pytest.raises(TypeError):
            await path.write_text(b"bytes")
        with pytest.raises(TypeError):
            await path.write_bytes("text")
        data = await path.read_bytes()
        async with path.open("ab") as f:
            await f.write(b"more")
        f = await path.open("rb")
        tail = await f.pread(len(data), 4)
        await f.close()
        return text, data, tail

    assert run(scenario()) == ("h\u00e9llo\n", "h\u00e9llo\n".encode(), b"more")


def test_touch_and_mkdir_follow_pathlib(io_mode, tmp_path):
    base = kiln.Path(tmp_path)

    async def scenario():
        await (base / "new").touch(mode=0o600)
        await (base / "new").touch()  # exists: only its times change
        with pytest.raises(FileExistsError):
            await (base / "new").touch(exist_ok=False)
        await (base / "a" / "b" / "c").mkdir(parents=True)
        await (base / "a").mkdir(exist_ok=True)
        with pytest.raises(FileExistsError):
            await (base / "a").mkdir()
        with pytest.raises(FileNotFoundError):
            await (base / "x" / "y").mkdir()
        with pytest.raises(FileExistsError):
            await (base / "new").mkdir(exist_ok=True)  # a file is no directory

    umask = os.umask(0)
    os.umask(umask)
    run(scenario())
    assert stat.S_IMODE(os.stat(tmp_path / "new").st_mode) == 0o600 & ~umask
    assert os.path.isdir(tmp_path / "a" / "b" / "c")


def test_copytree_runs_copies_at_once_within_its_bound(io_mode, tmp_path, monkeypatch):
    monkeypatch.setattr(kiln.shutil, "MAX_IN_FLIGHT", 8)
    for directory in range(4):
        os.makedirs(tmp_path / "src" / f"d{directory}")
        for index in range(10):
            touch(tmp_path / "src" / f"d{directory}" / f"f{index}", b"x" * index)
    in_flight = [0, 0]

    async def slow_copy(src, dst):
        in_flight[0] += 1
        in_flight[1] = max(in_flight[1], in_flight[0])
        await asyncio.sleep(0.01)
        await kiln.shutil.copy2(src, dst)
        in_flight[0] -= 1

    run(kiln.shutil.copytree(tmp_path / "src", tmp_path / "dst", copy_function=slow_copy))
    assert 1 < in_flight[1] <= 8
    assert sorted(os.listdir(tmp_path / "dst" / "d3")) == [f"f{i}" for i in range(10)]

    def plain_copy(src, dst):  # a function that is no coroutine works too
        return __import__("shutil").copyfile(src, dst)

    run(kiln.shutil.copytree(tmp_path / "src", tmp_path / "again", copy_function=plain_copy))
    assert os.path.getsize(tmp_path / "again" / "d1" / "f9") == 9


def test_copytree_gathers_failures_into_one_error(io_mode, tmp_path):
    os.makedirs(tmp_path / "src")
    for name in ("a", "b", "c"):
        touch(tmp_path / "src" / name)

    async def refuse_b(src, dst):
        if os.path.basename(os.fspath(src)) == "b":
            raise OSError(5, "refused", src)
        await kiln.shutil.copy2(src, dst)

    with pytest.raises(kiln.shutil.Error) as caught:
        run(kiln.shutil.copytree(tmp_path / "src", tmp_path / "dst", copy_function=refuse_b))
    [(src, dst, why)] = caught.value.args[0]
    assert src.endswith("b") and dst.endswith("b") and "refused" in why
    assert sorted(os.listdir(tmp_path / "dst")) == ["a", "c"]


def test_rmtree_awaits_a_coroutine_handler(io_mode, tmp_path):
    touch(tmp_path / "file")
    seen = []

    async def onexc(function, path, error):
        await asyncio.sleep(0)
        seen.append((function.__name__, type(error).__name__))

    run(kiln.shutil.rmtree(tmp_path / "file", onexc=onexc))
    # As shutil: the listing fails, then the removal of what could be opened.
    assert seen == [("scandir", "NotADirectoryError"), ("rmdir", "NotADirectoryError")]


def test_rmtree_hands_onerror_an_exception_triple(io_mode, tmp_path):
    touch(tmp_path / "file")
    seen = []
    run(kiln.shutil.rmtree(tmp_path / "file", onerror=lambda *args: seen.append(args)))
    function, path, (kind, value, _traceback) = seen[0]
    assert (function, path, kind) == (kiln.os.scandir, str(tmp_path / "file"), NotADirectoryError)
    assert isinstance(value, NotADirectoryError)


def test_temporaries_awaited_instead_of_entered(io_mode, tmp_path):
    async def scenario():
        named = await kiln.tempfile.NamedTemporaryFile("w+", dir=tmp_path, suffix=".txt", encoding="utf-8")
        await named.write("text")
        await named.seek(0)
        text = await named.read()
        name = named.name
        await named.close()
        directory = await kiln.tempfile.TemporaryDirectory(dir=tmp_path, prefix="d-")
        touch(os.path.join(directory.name, "inside"))
        made = directory.name
        await directory.cleanup()
        await directory.cleanup()  # a second cleanup finds nothing to do
        f, path = await kiln.tempfile.mkstemp(dir=tmp_path)
        await f.write(b"abc")
        back = await f.pread(0, 3)
        await f.close()
        return text, name, made, path, back

    text, name, made, path, back = run(scenario())
    assert text == "text" and name.endswith(".txt") and not os.path.exists(name)
    assert os.path.basename(made).startswith("d-") and not os.path.exists(made)
    assert back == b"abc" and stat.S_IMODE(os.stat(path).st_mode) == 0o600


def test_a_forgotten_temporary_directory_is_removed_with_a_warning(tmp_path):
    async def scenario():
        directory = await kiln.tempfile.TemporaryDirectory(dir=tmp_path)
        return directory.name

    with pytest.warns(ResourceWarning, match="Implicitly cleaning up"):
        name = run(scenario())  # the object is gone with the coroutine
    assert not os.path.exists(name)


def test_the_readmes_examples_of_files_by_name_run(tmp_path, monkeypatch):
    readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
    if not readme.exists():
        pytest.skip("the README is not beside the tests here")
    text = readme.read_text(encoding="utf-8")
    section = text[text.index("## Files by name"):text.index("## Using Iocp from asyncio")]
    blocks = [block.split("```")[0] for block in section.split("```python\n")[1:]]
    monkeypatch.chdir(tmp_path)
    for folder, name in (("logs/archive", "old"), ("etc", "app.toml"), ("src", "m.py"), ("site", "index.html")):
        os.makedirs(folder, exist_ok=True)
        touch(os.path.join(folder, name), b"x")

    async def scenario():
        for block in blocks:
            names = {"kiln": kiln, "os": os, "time": __import__("time"), "cache": "logs"}
            if block.startswith("async def write_safely"):
                exec(block, names)
                await names["write_safely"]("target.bin", b"new")
                continue
            exec("async def example():\n" + "".join(f"    {line}\n" for line in block.splitlines()), names)
            await names["example"]()

    run(scenario())
    assert (tmp_path / "target.bin").read_bytes() == b"new"
    assert sorted(os.listdir(tmp_path)) == ["backup", "etc", "logs", "site", "src", "target.bin"]
