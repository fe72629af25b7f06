"""``shutil``'s copying, moving and removal of files and trees, as coroutines with many operations in flight.

``copyfile``, ``copy`` and ``copy2`` copy a file's bytes in one operation of
the native layer (``copy_file_range`` on Linux, which the kernel does without
bringing the bytes to the process; ``CopyFileExW`` on Windows), with its
permission bits and times when ``copy``/``copy2`` ask for them. ``copytree``
and ``rmtree`` list, copy and remove many entries at once, up to
``MAX_IN_FLIGHT`` operations, rather than one after another::

    await kiln.shutil.copytree("site", "backup/site", dirs_exist_ok=True)
    await kiln.shutil.rmtree("build")

Arguments, results and exceptions are ``shutil``'s (``shutil.Error``,
``shutil.SameFileError``...). Differences: extended attributes are not
copied; ``rmtree`` works by path (the platform's ``shutil`` on Linux holds
each directory open against a symbolic link swapped in meanwhile), takes no
``dir_fd``, and hands ``onexc`` the ``kiln.os`` function that failed; the
``copy_function`` of ``copytree`` and ``move`` may be a coroutine function
(``copy2`` by default) or a plain one.
"""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import itertools
import os
import shutil as _shutil
import stat as _stat
import sys
import weakref
from collections.abc import Awaitable, Callable, Iterable, Sequence
from typing import Any, TypeVar

from . import _fsops, os as kos
from ._modes import StrOrBytesPath
from .os import DirEntry

Error = _shutil.Error
SameFileError = _shutil.SameFileError
SpecialFileError = _shutil.SpecialFileError
ignore_patterns = _shutil.ignore_patterns

__all__ = ["COPIES_AT_ONCE", "Error", "MAX_IN_FLIGHT", "SameFileError", "SpecialFileError", "copy", "copy2", "copyfile", "copymode",
           "copystat", "copytree", "ignore_patterns", "move", "rmtree"]

# IO_REPARSE_TAG_MOUNT_POINT: a junction, on Windows.
_MOUNT_POINT = 0xA0000003

# The most operations one tree call has in flight at once.
MAX_IN_FLIGHT = 64

T = TypeVar("T")
CopyFunction = Callable[[Any, Any], Any]
# An rmtree error handler: called with the function that failed, its path and
# the exception, while it is handled; a coroutine function is awaited.
OnExc = Callable[[Callable[..., Any], Any, BaseException], object]


async def _each(items: Sequence[T], action: Callable[[T], Awaitable[None]], limit: int | None = None) -> None:
    """Runs ``action`` on every item, at most ``limit`` (``MAX_IN_FLIGHT``) at once. The first
    failure stops the items not yet begun; once those in flight are over, it is raised."""
    if not items:
        return
    limit = MAX_IN_FLIGHT if limit is None else limit
    pending = iter(items)
    failure: list[BaseException] = []

    async def worker() -> None:
        for item in pending:
            if failure:
                return
            try:
                await action(item)
            except BaseException as error:
                failure.append(error)
                return

    workers = min(limit, len(items))
    if workers == 1:
        await worker()
    else:
        await asyncio.gather(*(worker() for _ in range(workers)))
    if failure:
        raise failure[0]


def _is_entry(value: object) -> bool:
    return isinstance(value, (DirEntry, os.DirEntry))


async def _status(fn: Any) -> os.stat_result:
    if _is_entry(fn):
        result = fn.stat()
        return await result if isinstance(fn, DirEntry) else result  # type: ignore[no-any-return]
    return await kos.stat(fn)


async def _islink(fn: Any) -> bool:
    if _is_entry(fn):
        return bool(fn.is_symlink())
    return await kos.path.islink(fn)


async def _stat_or_none(fn: Any) -> os.stat_result | None:
    try:
        return await _status(fn)
    except OSError:
        return None


# ---------------------------------------------------------------- files


async def _copy_bytes(src: Any, dst: Any, copy_mode: bool, copy_times: bool, follow_symlinks: bool) -> None:
    """``copyfile``'s checks, then the copy: one operation, with the mode and times if asked."""
    source_status, target_status = await asyncio.gather(_stat_or_none(src), _stat_or_none(dst))
    if source_status is not None and target_status is not None and os.path.samestat(source_status, target_status):
        raise SameFileError(f"{src!r} and {dst!r} are the same file")
    for name, status in ((src, source_status), (dst, target_status)):
        if status is not None and _stat.S_ISFIFO(status.st_mode):
            raise SpecialFileError(f"`{os.fspath(name)}` is a named pipe")
    if not follow_symlinks and await _islink(src):
        await kos.symlink(await kos.readlink(src), dst)
        return
    source, target = _fsops.fspath("copyfile", src), _fsops.fspath("copyfile", dst)
    backend = _fsops.backend()
    try:
        async with _copy_slots(backend):
            op_id = backend._iocp.submit_copyfile(_fsops.native("copyfile", source),
                                                  _fsops.native("copyfile", target), copy_mode, copy_times)
            await _fsops.settle_copy(backend, op_id, source, target)
    except IsADirectoryError as error:
        # A target that names a directory that is not there reads better as such.
        if error.filename is target and not await kos.path.exists(dst):
            raise FileNotFoundError(f"Directory does not exist: {dst}") from error
        raise


# A copy keeps a core busy in the system for as long as it moves bytes: at
# most one fewer at once than there are cores, so that the loop keeps one.
# On Linux the module's copy lane holds the copies waiting; Windows' thread
# pool would run them all at once, so they wait here.
COPIES_AT_ONCE = max(1, (os.cpu_count() or 2) - 1)
_slots: weakref.WeakKeyDictionary[Any, asyncio.Semaphore] = weakref.WeakKeyDictionary()


def _copy_slots(backend: Any) -> contextlib.AbstractAsyncContextManager[Any]:
    if not _fsops.WINDOWS:
        return contextlib.nullcontext()
    slots = _slots.get(backend)
    if slots is None:
        slots = _slots[backend] = asyncio.Semaphore(COPIES_AT_ONCE)
    return slots


async def copyfile(src: StrOrBytesPath, dst: StrOrBytesPath, *, follow_symlinks: bool = True) -> Any:
    """``shutil.copyfile``: the bytes of ``src`` into ``dst`` (made or replaced); returns ``dst``."""
    await _copy_bytes(src, dst, False, False, follow_symlinks)
    return dst


async def copymode(src: StrOrBytesPath, dst: StrOrBytesPath, *, follow_symlinks: bool = True) -> None:
    """``shutil.copymode``: the permission bits of ``src`` onto ``dst``."""
    if not follow_symlinks and await _islink(src) and await kos.path.islink(dst):
        if not hasattr(os, "lchmod"):
            return
        status = await kos.lstat(src)
        await kos.chmod(dst, _stat.S_IMODE(status.st_mode), follow_symlinks=False)
        return
    status = await _status(src)
    await kos.chmod(dst, _stat.S_IMODE(status.st_mode))


async def copystat(src: StrOrBytesPath, dst: StrOrBytesPath, *, follow_symlinks: bool = True) -> None:
    """``shutil.copystat``: the access and modification times, then the permission bits (no extended attributes)."""
    follow = follow_symlinks or not (await _islink(src) and await kos.path.islink(dst))
    if isinstance(src, DirEntry):
        status = await src.stat(follow_symlinks=follow)
    elif isinstance(src, os.DirEntry):
        status = src.stat(follow_symlinks=follow)
    else:
        status = await kos.stat(src, follow_symlinks=follow)
    if follow or os.utime in os.supports_follow_symlinks:
        await kos.utime(dst, ns=(status.st_atime_ns, status.st_mtime_ns), follow_symlinks=follow)
    if follow or os.chmod in os.supports_follow_symlinks:
        try:
            await kos.chmod(dst, _stat.S_IMODE(status.st_mode), follow_symlinks=follow)
        except NotImplementedError:
            pass  # no way to change a link's own mode here


async def _target_in(dst: Any, src: Any) -> Any:
    if await kos.path.isdir(dst):
        return os.path.join(dst, os.path.basename(os.fspath(src)))
    return dst


async def copy(src: StrOrBytesPath, dst: StrOrBytesPath, *, follow_symlinks: bool = True) -> Any:
    """``shutil.copy``: the bytes and the permission bits; into ``dst`` when it is a directory. Returns the new file."""
    return await _copy_with(src, dst, follow_symlinks, with_times=False)


async def copy2(src: StrOrBytesPath, dst: StrOrBytesPath, *, follow_symlinks: bool = True) -> Any:
    """``shutil.copy2``: the bytes, the times and the permission bits, in one operation. Returns the new file."""
    return await _copy_with(src, dst, follow_symlinks, with_times=True)


async def _copy_with(src: Any, dst: Any, follow_symlinks: bool, with_times: bool) -> Any:
    dst = await _target_in(dst, src)
    if not follow_symlinks and await _islink(src):
        await _copy_bytes(src, dst, False, False, False)
        await (copystat if with_times else copymode)(src, dst, follow_symlinks=False)
    else:
        await _copy_bytes(src, dst, True, with_times, True)
    return dst


# ---------------------------------------------------------------- trees


async def _call_copy(copy_function: CopyFunction, src: Any, dst: Any) -> None:
    result = copy_function(src, dst)
    if asyncio.iscoroutine(result) or isinstance(result, asyncio.Future):
        await result


async def copytree(src: StrOrBytesPath, dst: StrOrBytesPath, symlinks: bool = False,
                   ignore: Callable[[Any, list[Any]], Iterable[Any]] | None = None,
                   copy_function: CopyFunction = copy2, ignore_dangling_symlinks: bool = False,
                   dirs_exist_ok: bool = False) -> Any:
    """``shutil.copytree``: ``src`` and everything in it as ``dst``; returns ``dst``.

    The entries of each directory are copied many at once. Failures are
    gathered and raised at the end as ``shutil.Error``, as ``shutil`` does."""
    limit = asyncio.Semaphore(MAX_IN_FLIGHT)
    return await _copytree(src, dst, symlinks, ignore, copy_function, ignore_dangling_symlinks, dirs_exist_ok,
                           limit)


async def _copytree(src: Any, dst: Any, symlinks: bool, ignore: Any, copy_function: CopyFunction,
                    ignore_dangling_symlinks: bool, dirs_exist_ok: bool, limit: asyncio.Semaphore) -> Any:
    async with kos.scandir(src) as listing:
        entries = [entry async for entry in listing]
    ignored = ignore(os.fspath(src), [entry.name for entry in entries]) if ignore is not None else set()
    await kos.makedirs(dst, exist_ok=dirs_exist_ok)
    use_entry = copy_function is copy2 or copy_function is copy
    kept = [entry for entry in entries if entry.name not in ignored]
    failures: list[list[Any]] = [[] for _ in kept]

    async def leaf(call: Callable[[], Awaitable[Any]]) -> None:
        async with limit:
            await call()

    async def one(index: int) -> None:
        entry = kept[index]
        srcname = os.path.join(src, entry.name)
        dstname = os.path.join(dst, entry.name)
        srcobj = entry if use_entry else srcname

        async def subtree() -> Any:
            return await _copytree(srcobj, dstname, symlinks, ignore, copy_function, ignore_dangling_symlinks,
                                   dirs_exist_ok, limit)

        try:
            is_symlink = entry.is_symlink()
            if is_symlink and os.name == "nt":
                # Junctions look like links but are walked into.
                status = await entry.stat(follow_symlinks=False)
                if getattr(status, "st_reparse_tag", 0) == _MOUNT_POINT:
                    is_symlink = False
            if is_symlink:
                linkto = await kos.readlink(srcname)
                if symlinks:
                    async def relink() -> None:
                        await kos.symlink(linkto, dstname)
                        await copystat(srcobj, dstname, follow_symlinks=not symlinks)
                    await leaf(relink)
                elif not await kos.path.exists(linkto) and ignore_dangling_symlinks:
                    return
                elif entry.is_dir():
                    await subtree()
                else:
                    await leaf(lambda: _call_copy(copy_function, srcobj, dstname))
            elif entry.is_dir():
                await subtree()
            else:
                await leaf(lambda: _call_copy(copy_function, srcobj, dstname))
        except Error as error:
            failures[index].extend(error.args[0])
        except OSError as why:
            failures[index].append((srcname, dstname, str(why)))

    await _each(range(len(kept)), one)
    errors = [failure for found in failures for failure in found]
    try:
        await copystat(src, dst)
    except OSError as why:
        if getattr(why, "winerror", None) is None:  # Windows may refuse to copy a folder's access time
            errors.append((src, dst, str(why)))
    if errors:
        raise Error(errors)
    return dst


async def _report(handler: OnExc, function: Callable[..., Any], path: Any, error: BaseException) -> None:
    """Hands a failure to the handler, which may be a coroutine function; called while it is handled."""
    outcome = handler(function, path, error)
    if inspect.isawaitable(outcome):
        await outcome


def _onexc(ignore_errors: bool, onerror: Any, onexc: OnExc | None) -> OnExc:
    if ignore_errors:
        def ignore(*_args: Any) -> None:
            pass
        return ignore
    if onexc is not None:
        return onexc
    if onerror is not None:
        def delegate(function: Callable[..., Any], path: Any, exc: BaseException) -> object:
            return onerror(function, path, (type(exc), exc, exc.__traceback__))
        return delegate

    def reraise(*_args: Any) -> None:
        raise  # noqa: PLE0704 - called inside the handler of the failure

    return reraise


# Removal goes on past a file that vanished meanwhile, as shutil does from 3.13 on.
_SKIP_MISSING = sys.version_info >= (3, 13)


async def rmtree(path: StrOrBytesPath, ignore_errors: bool = False, onerror: Any = None, *,
                 onexc: OnExc | None = None, dir_fd: int | None = None) -> None:
    """``shutil.rmtree``: ``path`` and everything in it; a link to a directory is refused.

    The tree is listed level by level, its files removed many at once, then
    its directories deepest first. Errors go to ``onexc`` (or ``onerror``)
    with the ``kiln.os`` function that failed, or are raised."""
    handler = _onexc(ignore_errors, onerror, onexc)
    if dir_fd is not None:
        raise NotImplementedError("dir_fd unavailable on this platform")
    try:
        status = await kos.lstat(path)
    except OSError as error:
        await _report(handler, kos.lstat, path, error)
        return
    try:
        reparse = getattr(status, "st_reparse_tag", 0) == _MOUNT_POINT
        if _stat.S_ISLNK(status.st_mode) or reparse:
            raise OSError("Cannot call rmtree on a symbolic link")
    except OSError as error:
        await _report(handler, kos.path.islink, path, error)
        return
    await _remove_tree(os.fspath(path), handler)


async def _in_batches(submit_many: Callable[[list[str]], int], names: list[Any],
                      each: Callable[[int, Any], Awaitable[None]]) -> None:
    """A call on every path, in batches of half ``MAX_IN_FLIGHT``, two batches in flight;
    ``each(i, result)`` hears of every result, in order within its batch, as its batch ends.
    A failure of ``each`` stops the batches not yet begun and is raised once those in flight
    are over."""
    if not names:
        return
    backend = _fsops.backend()
    texts = [_fsops.native("rmtree", name) for name in names]
    size = max(MAX_IN_FLIGHT // 2, 1)

    async def run(start: int) -> None:
        results = await _fsops.batch_paths(backend, submit_many, texts[start:start + size],
                                           names[start:start + size])
        for offset, result in enumerate(results):
            await each(start + offset, result)

    await _each(range(0, len(names), size), run, limit=2)


async def _remove_tree(top: Any, handler: OnExc) -> None:
    """Lists the tree a level at a time, removes its files, then its directories deepest first;
    each step's calls go in batches."""
    levels: list[list[Any]] = []
    files_by_directory: list[list[Any]] = []
    # Reported once and not removed, as it cannot be emptied; one that is no
    # directory is tried all the same, as shutil tries what it could open.
    unlisted: set[Any] = set()
    iocp = _fsops.backend()._iocp
    level: list[Any] = [os.fspath(top)]

    async def failed(function: Callable[..., Any], name: Any, error: BaseException) -> None:
        if _SKIP_MISSING and isinstance(error, FileNotFoundError):
            return
        try:
            raise error
        except OSError:
            await _report(handler, function, name, error)

    while level:
        levels.append(level)
        below: list[Any] = []
        listed: list[Any] = [None] * len(level)

        async def list_one(index: int, result: Any, level: list[Any] = level, listed: list[Any] = listed) -> None:
            if isinstance(result, OSError):
                if not isinstance(result, NotADirectoryError):
                    unlisted.add(level[index])
                await failed(kos.scandir, level[index], result)
            else:
                listed[index] = result

        await _in_batches(iocp.submit_listdir_many, level, list_one)
        for directory, raw in zip(level, listed):
            inside: list[Any] = []
            for item in raw or ():
                entry: DirEntry[Any] = DirEntry(directory, item)
                is_dir = entry.is_dir(follow_symlinks=False) and not entry.is_junction()
                (below if is_dir else inside).append(entry.path)
            files_by_directory.append(inside)
        level = below
    # One directory's removals take its lock one at a time: the batches take
    # a file of each directory in turn, so that they overlap in the system.
    files = [name for row in itertools.zip_longest(*files_by_directory) for name in row if name is not None]

    async def unlinked(index: int, result: Any) -> None:
        if isinstance(result, OSError):
            await failed(kos.unlink, files[index], result)

    await _in_batches(iocp.submit_unlink_many, files, unlinked)
    for directories in reversed(levels):
        removable = [name for name in directories if name not in unlisted]

        async def removed(index: int, result: Any, removable: list[Any] = removable) -> None:
            if isinstance(result, OSError):
                await failed(kos.rmdir, removable[index], result)

        await _in_batches(iocp.submit_rmdir_many, removable, removed)


def _basename(path: Any) -> Any:
    path = os.fspath(path)
    separators = os.path.sep + (os.path.altsep or "")
    if isinstance(path, bytes):
        return os.path.basename(path.rstrip(os.fsencode(separators)))
    return os.path.basename(path.rstrip(separators))


def _destinsrc(src: Any, dst: Any) -> bool:
    src = os.path.abspath(src)
    dst = os.path.abspath(dst)
    if not src.endswith(os.path.sep):
        src += os.path.sep
    if not dst.endswith(os.path.sep):
        dst += os.path.sep
    return bool(dst.startswith(src))


async def move(src: StrOrBytesPath, dst: StrOrBytesPath, copy_function: CopyFunction = copy2) -> Any:
    """``shutil.move``: a rename where the system can, else a copy and a removal. Returns the new path."""
    real_dst: Any = dst
    if await kos.path.isdir(dst):
        if await _samefile(src, dst) and not await kos.path.islink(src):
            # A case-insensitive file system may take this for a rename of the case.
            await kos.rename(src, dst)
            return None
        real_dst = os.path.join(dst, _basename(src))
        if await kos.path.exists(real_dst):
            raise Error("Destination path '%s' already exists" % (str(real_dst),))
    try:
        await kos.rename(src, real_dst)
    except OSError:
        if await kos.path.islink(src):
            linkto = await kos.readlink(src)
            await kos.symlink(linkto, real_dst)
            await kos.unlink(src)
        elif await kos.path.isdir(src):
            if _destinsrc(src, dst):
                raise Error("Cannot move a directory '%s' into itself '%s'." % (str(src), str(dst))) from None
            await copytree(src, real_dst, copy_function=copy_function, symlinks=True)
            await rmtree(src)
        else:
            await _call_copy(copy_function, src, real_dst)
            await kos.unlink(src)
    return real_dst


async def _samefile(src: Any, dst: Any) -> bool:
    try:
        return await kos.path.samefile(src, dst)
    except OSError:
        return False
