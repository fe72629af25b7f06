"""``kiln.os.path``: the queries of ``os.path`` as coroutines, its pure functions as they are.

``exists``, ``lexists``, ``isfile``, ``isdir``, ``islink``, ``isjunction``,
``ismount``, ``getsize``, ``getmtime``, ``getatime``, ``getctime``,
``samefile`` and ``realpath`` touch the file system and are awaited; they
answer as their ``os.path`` namesakes do (``exists`` is false for a broken
link or an unusable path). ``join``, ``split``, ``normpath`` and the other
functions that only work on the text of a path are ``os.path``'s own.
"""

from __future__ import annotations

import os
import stat as _stat
import sys
from os.path import (abspath, altsep, basename, commonpath, commonprefix, curdir, defpath, devnull, dirname,
                     expanduser, expandvars, extsep, isabs, join, normcase, normpath, pardir, pathsep, relpath,
                     samestat, sep, split, splitdrive, splitext)
from typing import Any, AnyStr, overload

from ._modes import StrOrBytesPath

__all__ = ["abspath", "altsep", "basename", "commonpath", "commonprefix", "curdir", "defpath", "devnull", "dirname",
           "exists", "expanduser", "expandvars", "extsep", "getatime", "getctime", "getmtime", "getsize", "isabs",
           "isdir", "isfile", "isjunction", "islink", "ismount", "join", "lexists", "normcase", "normpath",
           "pardir", "pathsep", "realpath", "relpath", "samefile", "samestat", "sep", "split", "splitdrive",
           "splitext"]

if sys.version_info >= (3, 12):
    from os.path import splitroot  # noqa: F401

    __all__.append("splitroot")

WINDOWS = sys.platform == "win32"
_MOUNT_POINT = 0xA0000003  # IO_REPARSE_TAG_MOUNT_POINT: a junction


async def _status(path: Any, follow_symlinks: bool = True) -> os.stat_result:
    from .os import stat

    return await stat(path, follow_symlinks=follow_symlinks)


async def exists(path: StrOrBytesPath) -> bool:
    """Whether the path names something, following links: false for a broken link."""
    try:
        await _status(path)
    except (OSError, ValueError):
        return False
    return True


async def lexists(path: StrOrBytesPath) -> bool:
    """Whether the path names something, a broken link included."""
    try:
        await _status(path, follow_symlinks=False)
    except (OSError, ValueError):
        return False
    return True


async def isfile(path: StrOrBytesPath) -> bool:
    """Whether the path is a regular file, following links."""
    try:
        info = await _status(path)
    except (OSError, ValueError):
        return False
    return _stat.S_ISREG(info.st_mode)


async def isdir(path: StrOrBytesPath) -> bool:
    """Whether the path is a directory, following links."""
    try:
        info = await _status(path)
    except (OSError, ValueError):
        return False
    return _stat.S_ISDIR(info.st_mode)


async def islink(path: StrOrBytesPath) -> bool:
    """Whether the path is a symbolic link."""
    try:
        info = await _status(path, follow_symlinks=False)
    except (OSError, ValueError, AttributeError):
        return False
    return _stat.S_ISLNK(info.st_mode)


async def isjunction(path: StrOrBytesPath) -> bool:
    """Whether the path is a Windows junction; never on POSIX."""
    if not WINDOWS:
        os.fspath(path)
        return False
    try:
        info = await _status(path, follow_symlinks=False)
    except (OSError, ValueError):
        return False
    return bool(getattr(info, "st_reparse_tag", 0) == _MOUNT_POINT)


async def ismount(path: StrOrBytesPath) -> bool:
    """Whether the path is a mount point: on another device than its parent, or its own parent.

    On Windows this asks ``os.path.ismount``, on the loop's thread."""
    if WINDOWS:
        return os.path.ismount(path)
    try:
        first = await _status(path, follow_symlinks=False)
    except (OSError, ValueError):
        return False
    if _stat.S_ISLNK(first.st_mode):
        return False
    name: Any = os.fspath(path)
    parent = await realpath(join(name, b".." if isinstance(name, bytes) else ".."))
    try:
        second = await _status(parent, follow_symlinks=False)
    except (OSError, ValueError):
        return False
    return first.st_dev != second.st_dev or first.st_ino == second.st_ino


async def getsize(path: StrOrBytesPath) -> int:
    """The size of the file in bytes (``OSError`` when there is none)."""
    return (await _status(path)).st_size


async def getmtime(path: StrOrBytesPath) -> float:
    """The time of the last modification, in seconds since the epoch."""
    return (await _status(path)).st_mtime


async def getatime(path: StrOrBytesPath) -> float:
    """The time of the last access, in seconds since the epoch."""
    return (await _status(path)).st_atime


async def getctime(path: StrOrBytesPath) -> float:
    """The time of the last status change (POSIX) or the creation (Windows), in seconds since the epoch."""
    return (await _status(path)).st_ctime


async def samefile(f1: StrOrBytesPath, f2: StrOrBytesPath) -> bool:
    """Whether both paths name the same file (the same device and inode)."""
    first = await _status(f1)
    second = await _status(f2)
    return samestat(first, second)


@overload
async def realpath(filename: str | os.PathLike[str], *, strict: bool = False) -> str: ...
@overload
async def realpath(filename: bytes | os.PathLike[bytes], *, strict: bool = False) -> bytes: ...


async def realpath(filename: StrOrBytesPath, *, strict: bool = False) -> str | bytes:
    """The absolute path with every link resolved, as ``os.path.realpath`` gives it.

    An existing path is resolved by the system in one operation; otherwise
    (a missing part, a loop) component by component, as ``os.path.realpath``
    does, with its handling of what is missing."""
    name: Any = os.fspath(filename)
    from . import _fsops

    try:
        here = _fsops.backend()
        op_id = here._iocp.submit_realpath(_fsops.native("realpath", name))
        resolved: str = await _fsops.settle(here, op_id, name)
    except (OSError, ValueError):
        found: str | bytes
        if WINDOWS:
            if strict:
                raise
            found = await _realpath_up(name)
        else:
            found = await _resolve(name, strict)
        return found
    return resolved if isinstance(name, str) else os.fsencode(resolved)


async def _realpath_up(name: AnyStr) -> AnyStr:
    """Windows: the deepest part that exists, resolved, and the rest as it is."""
    from . import _fsops

    head, tail = abspath(name), name[:0]
    while True:
        try:
            here = _fsops.backend()
            op_id = here._iocp.submit_realpath(_fsops.native("realpath", head))
            resolved: str = await _fsops.settle(here, op_id, head)
        except OSError:
            parent, part = split(head)
            if parent == head:
                return abspath(name)
            head, tail = parent, join(part, tail) if tail else part
            continue
        prefix: Any = resolved if isinstance(name, str) else os.fsencode(resolved)
        return normpath(join(prefix, tail)) if tail else prefix


async def _resolve(filename: Any, strict: bool) -> Any:
    if sys.version_info >= (3, 13):
        return await _resolve_stack(filename, strict)
    path, _ok = await _join_real(filename[:0], filename, strict, {})
    return abspath(path)


async def _readlink(path: Any) -> Any:
    from .os import readlink

    return await readlink(path)


async def _resolve_stack(filename: Any, strict: bool) -> Any:
    """``posixpath.realpath`` of 3.13 on: a stack of the parts still to resolve."""
    text = isinstance(filename, str)
    slash: Any
    here: Any
    up: Any
    slash, here, up = ("/", ".", "..") if text else (b"/", b".", b"..")
    rest: list[Any] = filename.split(slash)[::-1]
    path = slash if filename.startswith(slash) else (os.getcwd() if text else os.getcwdb())
    seen: dict[Any, Any] = {}
    while rest:
        name = rest.pop()
        if name is None:
            seen[rest.pop()] = path  # a link's target, now resolved
            continue
        if not name or name == here:
            continue
        if name == up:
            path = path[:path.rindex(slash)] or slash
            continue
        newpath = path + name if path == slash else path + slash + name
        try:
            info = await _status(newpath, follow_symlinks=False)
            if not _stat.S_ISLNK(info.st_mode):
                path = newpath
                continue
            if newpath in seen:
                path = seen[newpath]
                if path is not None:
                    continue
                if strict:  # a loop
                    await _status(newpath)
                path = newpath
                continue
            target = await _readlink(newpath)
        except OSError:
            if strict:
                raise
            path = newpath
            continue
        seen[newpath] = None
        if target.startswith(slash):
            path = slash
        rest.append(newpath)
        rest.append(None)
        rest.extend(target.split(slash)[::-1])
    return path


async def _join_real(path: Any, rest: Any, strict: bool, seen: dict[Any, Any]) -> tuple[Any, bool]:
    """``posixpath._joinrealpath`` of 3.12: ``path`` joined with ``rest``, its links resolved."""
    slash: Any
    here: Any
    up: Any
    slash, here, up = ("/", ".", "..") if isinstance(path, str) else (b"/", b".", b"..")
    if isabs(rest):
        rest = rest[1:]
        path = slash
    while rest:
        name, _, rest = rest.partition(slash)
        if not name or name == here:
            continue
        if name == up:
            if path:
                path, name = split(path)
                if name == up:
                    path = join(path, up, up)
            else:
                path = up
            continue
        newpath = join(path, name)
        try:
            info = await _status(newpath, follow_symlinks=False)
        except OSError:
            if strict:
                raise
            is_link = False
        else:
            is_link = _stat.S_ISLNK(info.st_mode)
        if not is_link:
            path = newpath
            continue
        if newpath in seen:
            path = seen[newpath]
            if path is not None:
                continue
            if strict:  # a loop
                await _status(newpath)
            else:
                return join(newpath, rest), False
        seen[newpath] = None
        path, ok = await _join_real(path, await _readlink(newpath), strict, seen)
        if not ok:
            return join(path, rest), False
        seen[newpath] = path
    return path, True
