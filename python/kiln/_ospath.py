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
import types
from collections.abc import Callable
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


class _Unknown(BaseException):
    """What the replayed ``realpath`` asked that is not known yet; no ``OSError``, so it is not caught."""

    def __init__(self, question: tuple[str, Any]) -> None:
        self.question = question


class _Answers:
    """The ``os`` module as the replayed ``realpath`` sees it: the answers gathered so far for
    ``lstat``, ``stat`` and ``readlink``, everything else ``os``'s own."""

    def __init__(self) -> None:
        self.known: dict[tuple[str, Any], tuple[bool, Any]] = {}

    def __getattr__(self, name: str) -> Any:
        return getattr(os, name)

    def _answer(self, question: tuple[str, Any]) -> Any:
        if question not in self.known:
            raise _Unknown(question)
        ok, value = self.known[question]
        if not ok:
            raise value
        return value

    def lstat(self, path: Any) -> Any:
        return self._answer(("lstat", path))

    def stat(self, path: Any) -> Any:
        return self._answer(("stat", path))

    def readlink(self, path: Any) -> Any:
        return self._answer(("readlink", path))


def _replayable(answers: _Answers) -> Callable[..., Any]:
    """The interpreter's own ``posixpath.realpath``, its module's functions rebound to see
    ``answers`` as ``os``: whatever this version of it asks, and in what order."""
    import posixpath

    namespace = dict(vars(posixpath))
    namespace["os"] = answers
    for name, value in vars(posixpath).items():
        if isinstance(value, types.FunctionType) and value.__globals__ is vars(posixpath):
            rebound = types.FunctionType(value.__code__, namespace, value.__name__, value.__defaults__,
                                         value.__closure__)
            rebound.__kwdefaults__ = value.__kwdefaults__
            namespace[name] = rebound
    function: Callable[..., Any] = namespace["realpath"]
    return function


async def _resolve(filename: Any, strict: bool) -> Any:
    """Runs the interpreter's ``realpath`` over and over, answering each system call it asks
    for with kiln's, until it needs no more: its result, for any version of it."""
    answers = _Answers()
    realpath = _replayable(answers)
    while True:
        try:
            return realpath(filename, strict=strict)
        except _Unknown as unknown:
            question = unknown.question
        kind, path = question
        try:
            if kind == "readlink":
                answers.known[question] = (True, await _readlink(path))
            else:
                answers.known[question] = (True, await _status(path, follow_symlinks=kind == "stat"))
        except OSError as error:
            answers.known[question] = (False, error)


async def _readlink(path: Any) -> Any:
    from .os import readlink

    return await readlink(path)
