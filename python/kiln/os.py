"""The ``os`` functions on files and directories, as coroutines on the running loop's backend.

Each function takes the arguments of its ``os`` namesake and gives what it
gives (``stat`` an ``os.stat_result``, ``listdir`` a list of names of the
path's type), or raises what it raises (naming the paths as str or bytes)::

    info = await kiln.os.stat("data.bin")
    async for entry in kiln.os.scandir("logs"):
        if entry.is_file():
            print(entry.name, (await entry.stat()).st_size)
    async for top, dirs, files in kiln.os.walk("src"):
        ...

Every call is one operation of the native layer (io_uring on Linux where the
kernel has it, a worker otherwise; a thread-pool work item on Windows), and
any number may be in flight at once. Paths are str, bytes or path-like
objects; kiln has no file descriptors, so none is taken in place of a path.
``dir_fd`` is a descriptor of the caller's where the platform's ``os`` takes
one. A call whose caller is cancelled still runs to its end; its result is
dropped.

``kiln.os.path`` has the queries of ``os.path`` (``exists``, ``isdir``,
``getsize``...) as coroutines, and its pure functions (``join``...) as they are.
"""

from __future__ import annotations

import errno as _errno
import math
import operator
import os
import sys
from collections.abc import AsyncIterator, Callable, Iterable
from types import TracebackType
from typing import Any, AnyStr, Generic, Literal, overload

from . import _fsops, _ospath as path
from ._fsops import ENTRY_DIRECTORY, ENTRY_FILE, ENTRY_LINK, WINDOWS, RawEntry
from ._modes import StrOrBytesPath

# `import kiln.os.path` finds it, as `import os.path` does.
sys.modules[__name__ + ".path"] = path

__all__ = ["DirEntry", "access", "chmod", "link", "listdir", "lstat", "makedirs", "mkdir", "path", "readlink",
           "remove", "removedirs", "rename", "replace", "rmdir", "scandir", "stat", "stat_many", "symlink", "unlink",
           "utime", "walk"]

_backend = _fsops.backend
_fspath = _fsops.fspath
_native = _fsops.native
_dir_fd = _fsops.dir_fd_of
_settle = _fsops.settle


def _name_like(model: str | bytes, name: str) -> Any:
    """A name of the listing in the type of the path it came from."""
    return name if isinstance(model, str) else os.fsencode(name)


# ---------------------------------------------------------------- stat


async def stat(path: StrOrBytesPath, *, dir_fd: int | None = None, follow_symlinks: bool = True) -> os.stat_result:
    """``os.stat``: the status of the file, following links unless ``follow_symlinks`` is false."""
    # The common case (a str, no directory descriptor) takes the short way:
    # many stats in flight spend most of their time here.
    name = path if type(path) is str else _fspath("stat", path)
    backend = _backend()
    text = name if type(name) is str and "\0" not in name else _native("stat", name)
    if dir_fd is None:
        op_id = backend._iocp.submit_stat(text, follow_symlinks)
    else:
        op_id = backend._iocp.submit_stat(text, follow_symlinks, dir_fd=_dir_fd(os.stat, dir_fd))
    result: os.stat_result = await _settle(backend, op_id, name)
    return result


@overload
async def stat_many(paths: Iterable[StrOrBytesPath], *, follow_symlinks: bool = True,
                    return_exceptions: Literal[False] = False) -> list[os.stat_result]: ...
@overload
async def stat_many(paths: Iterable[StrOrBytesPath], *, follow_symlinks: bool = True,
                    return_exceptions: bool) -> list[os.stat_result | OSError]: ...


async def stat_many(paths: Iterable[StrOrBytesPath], *, follow_symlinks: bool = True,
                    return_exceptions: bool = False) -> list[Any]:
    """``stat`` of every path at once, resolving one future: the results in the paths' order.

    Much cheaper per path than one ``stat`` each. A failure is raised (the
    first in order, once all have finished), or with ``return_exceptions``
    left in its place as the ``OSError`` ``stat`` raises."""
    names = [path if type(path) is str else _fspath("stat", path) for path in paths]
    texts = [name if type(name) is str and "\0" not in name else _native("stat", name) for name in names]
    backend = _backend()
    results = await _fsops.batch_paths(backend, backend._iocp.submit_stat_many, texts, names, follow_symlinks)
    if not return_exceptions:
        for result in results:
            if isinstance(result, OSError):
                raise result
    return results


async def lstat(path: StrOrBytesPath, *, dir_fd: int | None = None) -> os.stat_result:
    """``os.lstat``: the status of a link itself."""
    return await stat(path, dir_fd=dir_fd, follow_symlinks=False)


# ---------------------------------------------------------------- names


async def _rename(function: str, src: StrOrBytesPath, dst: StrOrBytesPath, replace: bool, src_dir_fd: int | None,
                  dst_dir_fd: int | None) -> None:
    source, target = _fspath(function, src), _fspath(function, dst)
    backend = _backend()
    op_id = backend._iocp.submit_rename(_native(function, source), _native(function, target), replace,
                                        src_dir_fd=_dir_fd(os.rename, src_dir_fd),
                                        dst_dir_fd=_dir_fd(os.rename, dst_dir_fd))
    await _settle(backend, op_id, source, target)


async def rename(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
                 dst_dir_fd: int | None = None) -> None:
    """``os.rename``: on Windows an existing ``dst`` is refused (``FileExistsError``)."""
    await _rename("rename", src, dst, False, src_dir_fd, dst_dir_fd)


async def replace(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
                  dst_dir_fd: int | None = None) -> None:
    """``os.replace``: an existing ``dst`` is replaced on every platform."""
    await _rename("replace", src, dst, True, src_dir_fd, dst_dir_fd)


async def remove(path: StrOrBytesPath, *, dir_fd: int | None = None) -> None:
    """``os.remove``: removes a file (or a link, not what it names)."""
    name = _fspath("remove", path)
    backend = _backend()
    op_id = backend._iocp.submit_unlink(_native("remove", name), dir_fd=_dir_fd(os.unlink, dir_fd))
    await _settle(backend, op_id, name)


async def unlink(path: StrOrBytesPath, *, dir_fd: int | None = None) -> None:
    """``os.unlink``, the same as ``remove``."""
    name = _fspath("unlink", path)
    backend = _backend()
    op_id = backend._iocp.submit_unlink(_native("unlink", name), dir_fd=_dir_fd(os.unlink, dir_fd))
    await _settle(backend, op_id, name)


async def link(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
               dst_dir_fd: int | None = None, follow_symlinks: bool = True) -> None:
    """``os.link``: makes ``dst`` a hard link to ``src``."""
    source, target = _fspath("link", src), _fspath("link", dst)
    backend = _backend()
    op_id = backend._iocp.submit_link(_native("link", source), _native("link", target), bool(follow_symlinks),
                                      src_dir_fd=_dir_fd(os.link, src_dir_fd),
                                      dst_dir_fd=_dir_fd(os.link, dst_dir_fd))
    await _settle(backend, op_id, source, target)


async def symlink(src: StrOrBytesPath, dst: StrOrBytesPath, target_is_directory: bool = False, *,
                  dir_fd: int | None = None) -> None:
    """``os.symlink``: makes ``dst`` a symbolic link to ``src`` (kept as given, never resolved)."""
    target, link_name = _fspath("symlink", src), _fspath("symlink", dst)
    backend = _backend()
    op_id = backend._iocp.submit_symlink(_native("symlink", target), _native("symlink", link_name),
                                         bool(target_is_directory), dir_fd=_dir_fd(os.symlink, dir_fd))
    await _settle(backend, op_id, target, link_name)


@overload
async def readlink(path: str | os.PathLike[str], *, dir_fd: int | None = None) -> str: ...
@overload
async def readlink(path: bytes | os.PathLike[bytes], *, dir_fd: int | None = None) -> bytes: ...


async def readlink(path: StrOrBytesPath, *, dir_fd: int | None = None) -> str | bytes:
    """``os.readlink``: what the link says, as str or bytes like ``path``."""
    name = _fspath("readlink", path)
    backend = _backend()
    op_id = backend._iocp.submit_readlink(_native("readlink", name), dir_fd=_dir_fd(os.readlink, dir_fd))
    target: str = await _settle(backend, op_id, name)
    result: str | bytes = _name_like(name, target)
    return result


# ---------------------------------------------------------------- directories


async def mkdir(path: StrOrBytesPath, mode: int = 0o777, *, dir_fd: int | None = None) -> None:
    """``os.mkdir``: the new directory's permission bits are ``mode`` less the umask (POSIX)."""
    name = _fspath("mkdir", path)
    backend = _backend()
    op_id = backend._iocp.submit_mkdir(_native("mkdir", name), operator.index(mode) & 0xFFFFFFFF,
                                       dir_fd=_dir_fd(os.mkdir, dir_fd))
    await _settle(backend, op_id, name)


async def rmdir(path: StrOrBytesPath, *, dir_fd: int | None = None) -> None:
    """``os.rmdir``: removes an empty directory."""
    name = _fspath("rmdir", path)
    backend = _backend()
    op_id = backend._iocp.submit_rmdir(_native("rmdir", name), dir_fd=_dir_fd(os.rmdir, dir_fd))
    await _settle(backend, op_id, name)


async def makedirs(name: StrOrBytesPath, mode: int = 0o777, exist_ok: bool = False) -> None:
    """``os.makedirs``: the directory and every missing parent."""
    head, tail = os.path.split(name)
    if not tail:
        head, tail = os.path.split(head)
    if head and tail and not await path.exists(head):
        try:
            await makedirs(head, exist_ok=exist_ok)
        except FileExistsError:
            pass  # made meanwhile by someone else
        current: str | bytes = os.curdir if isinstance(tail, str) else os.curdir.encode("ascii")
        if tail == current:  # xxx/newdir/. exists if xxx/newdir exists
            return
    try:
        await mkdir(name, mode)
    except OSError:
        # The system may report another error than EEXIST first (EACCES, EROFS).
        if not exist_ok or not await path.isdir(name):
            raise


async def removedirs(name: StrOrBytesPath) -> None:
    """``os.removedirs``: the directory, then each parent the removal left empty."""
    await rmdir(name)
    head, tail = os.path.split(name)
    if not tail:
        head, tail = os.path.split(head)
    while head and tail:
        try:
            await rmdir(head)
        except OSError:
            break
        head, tail = os.path.split(head)


async def _listing(function: str, path: Any) -> tuple[str | bytes, list[RawEntry]]:
    name = _fspath(function, path)
    backend = _backend()
    op_id = backend._iocp.submit_listdir(_native(function, name))
    entries: list[RawEntry] = await _settle(backend, op_id, name)
    return name, entries


@overload
async def listdir(path: str | os.PathLike[str] | None = None) -> list[str]: ...
@overload
async def listdir(path: bytes | os.PathLike[bytes]) -> list[bytes]: ...


async def listdir(path: StrOrBytesPath | None = None) -> list[str] | list[bytes]:
    """``os.listdir``: the names in the directory, in the system's order, ``.`` and ``..`` left out."""
    name, entries = await _listing("listdir", "." if path is None else path)
    if isinstance(name, str):
        return [entry[0] for entry in entries]
    return [os.fsencode(entry[0]) for entry in entries]


class DirEntry(Generic[AnyStr]):
    """An entry of ``scandir``: ``name``, ``path``, what it is, and its status on demand.

    ``is_dir``, ``is_file`` and ``is_symlink`` answer from the listing without
    a system call (the listing already followed links); ``stat`` is a coroutine,
    its result kept as ``os.DirEntry`` keeps it.
    """

    __slots__ = ("name", "path", "_type", "_inode", "_target", "_target_error", "_stat", "_lstat")

    def __init__(self, directory: AnyStr, raw: RawEntry) -> None:
        self.name: AnyStr = _name_like(directory, raw[0])
        self.path: AnyStr = os.path.join(directory, self.name)
        self._type = raw[1]
        self._inode = raw[2]
        self._target = raw[3]
        self._target_error = raw[4]
        self._stat: os.stat_result | None = None
        self._lstat: os.stat_result | None = None

    def __repr__(self) -> str:
        return f"<DirEntry {self.name!r}>"

    def __fspath__(self) -> AnyStr:
        return self.path

    def inode(self) -> int:
        """The entry's inode number as the listing gave it (0 on Windows)."""
        return self._inode

    def is_symlink(self) -> bool:
        return self._type == ENTRY_LINK

    def is_junction(self) -> bool:
        """A Windows junction (a directory whose listing carries a directory target); never on POSIX."""
        return WINDOWS and self._type == ENTRY_DIRECTORY and self._target == ENTRY_DIRECTORY

    def _kind(self, follow_symlinks: bool) -> int:
        if self._type != ENTRY_LINK or not follow_symlinks:
            return self._type
        if self._target_error:
            error = _fsops.error_for(self._target_error, self.path)
            if not isinstance(error, FileNotFoundError):
                raise error
        return self._target

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the entry is a directory (or, following, a link to one); a broken link is not."""
        return self._kind(follow_symlinks) == ENTRY_DIRECTORY

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the entry is a regular file (or, following, a link to one)."""
        return self._kind(follow_symlinks) == ENTRY_FILE

    async def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        """The entry's status, kept for later calls; a link is followed unless asked not to."""
        if follow_symlinks and self._type == ENTRY_LINK:
            if self._stat is None:
                self._stat = await stat(self.path)
            return self._stat
        if self._lstat is None:
            self._lstat = await stat(self.path, follow_symlinks=False)
        return self._lstat


class ScandirIterator(Generic[AnyStr]):
    """What ``scandir`` gives: ``async for entry in it``, and ``async with`` as ``os.scandir``'s.

    The directory is listed in one operation, at the first entry asked for (or
    on entering ``async with``); its failure is raised there.
    """

    def __init__(self, path: Any) -> None:
        self._path = path
        self._entries: list[DirEntry[AnyStr]] | None = None
        self._next = 0
        self._closed = False

    async def _load(self) -> list[DirEntry[AnyStr]]:
        if self._entries is None:
            name, raw = await _listing("scandir", self._path)
            directory: Any = name
            self._entries = [DirEntry(directory, entry) for entry in raw]
        return self._entries

    def __aiter__(self) -> ScandirIterator[AnyStr]:
        return self

    async def __anext__(self) -> DirEntry[AnyStr]:
        if self._closed:
            raise StopAsyncIteration
        entries = await self._load()
        if self._next >= len(entries):
            raise StopAsyncIteration
        entry = entries[self._next]
        self._next += 1
        return entry

    async def __aenter__(self) -> ScandirIterator[AnyStr]:
        await self._load()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        """Ends the iteration: no more entries are given."""
        self._closed = True
        self._entries = []


@overload
def scandir(path: str | os.PathLike[str] | None = None) -> ScandirIterator[str]: ...
@overload
def scandir(path: bytes | os.PathLike[bytes]) -> ScandirIterator[bytes]: ...


def scandir(path: StrOrBytesPath | None = None) -> ScandirIterator[Any]:
    """``os.scandir``: an asynchronous iterator of ``DirEntry``, in the system's order."""
    return ScandirIterator("." if path is None else path)


# Walks that take links to directories for files, as pathlib's walk does by default.
WALK_LINKS_AS_FILES = object()


@overload
def walk(top: str | os.PathLike[str], topdown: bool = True, onerror: Callable[[OSError], object] | None = None,
         followlinks: bool = False) -> AsyncIterator[tuple[str, list[str], list[str]]]: ...
@overload
def walk(top: bytes | os.PathLike[bytes], topdown: bool = True, onerror: Callable[[OSError], object] | None = None,
         followlinks: bool = False) -> AsyncIterator[tuple[bytes, list[bytes], list[bytes]]]: ...


async def walk(top: StrOrBytesPath, topdown: bool = True, onerror: Callable[[OSError], object] | None = None,
               followlinks: Any = False) -> AsyncIterator[tuple[Any, list[Any], list[Any]]]:
    """``os.walk``: ``(dirpath, dirnames, filenames)`` for each directory, in ``os.walk``'s order.

    Top down, ``dirnames`` may be changed in place to prune the walk. Listing
    errors go to ``onerror`` (an ``OSError``), or are passed over."""
    stack: list[Any] = [os.fspath(top)]
    join = os.path.join
    as_files = followlinks is WALK_LINKS_AS_FILES
    while stack:
        current = stack.pop()
        if isinstance(current, tuple):
            yield current
            continue
        try:
            _name, raw = await _listing("scandir", current)
        except OSError as error:
            if onerror is not None:
                onerror(error)
            continue
        dirs: list[Any] = []
        nondirs: list[Any] = []
        walk_dirs: list[Any] = []
        for item in raw:
            entry: DirEntry[Any] = DirEntry(current, item)
            try:
                if as_files:
                    is_dir = entry.is_dir(follow_symlinks=False) and not entry.is_junction()
                else:
                    is_dir = entry.is_dir()
            except OSError:
                is_dir = False  # as os.path.isdir has it
            (dirs if is_dir else nondirs).append(entry.name)
            if not topdown and is_dir and (followlinks or not entry.is_symlink()):
                walk_dirs.append(entry.path)
        if topdown:
            yield current, dirs, nondirs
            for dirname in reversed(dirs):
                new_path = join(current, dirname)
                # The caller may have replaced the entry while it had the tuple.
                if followlinks or not await path.islink(new_path):
                    stack.append(new_path)
        else:
            stack.append((current, dirs, nondirs))
            stack.extend(reversed(walk_dirs))


# ---------------------------------------------------------------- metadata


async def chmod(path: StrOrBytesPath, mode: int, *, dir_fd: int | None = None, follow_symlinks: bool = True) -> None:
    """``os.chmod``; on Windows only the write bit counts (the read-only attribute)."""
    name = _fspath("chmod", path)
    backend = _backend()
    op_id = backend._iocp.submit_chmod(_native("chmod", name), operator.index(mode) & 0xFFFFFFFF,
                                       bool(follow_symlinks), dir_fd=_dir_fd(os.chmod, dir_fd))
    try:
        await _settle(backend, op_id, name)
    except OSError as error:
        if not follow_symlinks and error.errno in (_errno.EOPNOTSUPP, _errno.ENOTSUP) and not WINDOWS:
            raise NotImplementedError("chmod: follow_symlinks unavailable on this platform") from None
        raise


def _time_ns(value: Any) -> int:
    """A time in seconds as ``os.utime`` takes it, rounded toward minus infinity."""
    if isinstance(value, float):
        fraction, whole = math.modf(value)
        nanoseconds = math.floor(fraction * 1e9)
        if nanoseconds >= 1_000_000_000:
            nanoseconds -= 1_000_000_000
            whole += 1
        elif nanoseconds < 0:
            nanoseconds += 1_000_000_000
            whole -= 1
        return int(whole) * 1_000_000_000 + int(nanoseconds)
    return operator.index(value) * 1_000_000_000


def _utime_ns(times: Any, ns: Any) -> tuple[int, int] | None:
    if times is not None and ns is not None:
        raise ValueError("utime: you may specify either 'times' or 'ns' but not both")
    if times is not None:
        if not isinstance(times, tuple) or len(times) != 2:
            raise TypeError("utime: 'times' must be either a tuple of two ints or None")
        return _time_ns(times[0]), _time_ns(times[1])
    if ns is not None:
        if not isinstance(ns, tuple) or len(ns) != 2:
            raise TypeError("utime: 'ns' must be a tuple of two ints")
        return operator.index(ns[0]), operator.index(ns[1])
    return None


async def utime(path: StrOrBytesPath, times: tuple[float, float] | None = None, *,
                ns: tuple[int, int] | None = None, dir_fd: int | None = None, follow_symlinks: bool = True) -> None:
    """``os.utime``: access and modification times in seconds (``times``) or nanoseconds (``ns``), or now."""
    name = _fspath("utime", path)
    when = _utime_ns(times, ns)
    backend = _backend()
    atime, mtime = when or (0, 0)
    op_id = backend._iocp.submit_utime(_native("utime", name), atime, mtime, when is None, bool(follow_symlinks),
                                       dir_fd=_dir_fd(os.utime, dir_fd))
    await _settle(backend, op_id, name)


async def access(path: StrOrBytesPath, mode: int, *, dir_fd: int | None = None, effective_ids: bool = False,
                 follow_symlinks: bool = True) -> bool:
    """``os.access``: whether ``path`` may be used as ``mode`` (``os.F_OK``, ``os.R_OK``...) says."""
    name = _fspath("access", path)
    if effective_ids and os.access not in os.supports_effective_ids:
        raise NotImplementedError("access: effective_ids unavailable on this platform")
    backend = _backend()
    op_id = backend._iocp.submit_access(_native("access", name), operator.index(mode) & 0xFFFFFFFF,
                                        bool(follow_symlinks), bool(effective_ids),
                                        dir_fd=_dir_fd(os.access, dir_fd))
    try:
        await _settle(backend, op_id, name)
    except OSError:
        return False
    return True

