"""Temporary files and directories, as ``tempfile`` makes them, with ``kiln`` files::

    async with kiln.tempfile.NamedTemporaryFile("w+b", suffix=".part") as f:
        await f.write(b"draft")
        print(f.name)
    async with kiln.tempfile.TemporaryDirectory() as scratch:
        ...

``TemporaryFile``, ``NamedTemporaryFile`` and ``TemporaryDirectory`` are
asynchronous context managers, and may be awaited instead (``f = await
kiln.tempfile.TemporaryFile()``; then ``await f.close()``, ``await
d.cleanup()``). ``mkstemp`` gives an open ``kiln.AsyncFile`` and its absolute
path (kiln has no descriptors), ``mkdtemp`` a directory's absolute path.
Names, permissions (0o600 for files, 0o700 for directories on POSIX) and the
directory chosen are ``tempfile``'s; the first use of ``gettempdir`` picks
that directory as ``tempfile`` does, on the calling thread.
"""

from __future__ import annotations

import errno
import os
import random
import shutil
import sys
import tempfile as _tempfile
import warnings
from collections.abc import AsyncIterator, Awaitable, Callable, Generator
from types import TracebackType
from typing import Any, AnyStr, Generic, TypeVar

from . import _fsops, os as kos, shutil as kshutil

gettempdir = _tempfile.gettempdir
gettempdirb = _tempfile.gettempdirb
gettempprefix = _tempfile.gettempprefix
gettempprefixb = _tempfile.gettempprefixb
TMP_MAX = _tempfile.TMP_MAX

__all__ = ["NamedTemporaryFile", "TMP_MAX", "TemporaryDirectory", "TemporaryFile", "gettempdir", "gettempdirb",
           "gettempprefix", "gettempprefixb", "mkdtemp", "mkstemp"]

WINDOWS = os.name == "nt"
_T = TypeVar("_T")


class _RandomNames:
    """Eight characters at a time, as tempfile picks them; a forked child draws its own."""

    characters = "abcdefghijklmnopqrstuvwxyz0123456789_"

    def __init__(self) -> None:
        self._pid = -1
        self._rng = random.Random()

    def __next__(self) -> str:
        if self._pid != os.getpid():
            self._pid = os.getpid()
            self._rng = random.Random()
        return "".join(self._rng.choices(self.characters, k=8))


_names = _RandomNames()


def _output_type(*parts: Any) -> type:
    kind: type | None = None
    for part in parts:
        if part is None:
            continue
        if isinstance(part, os.PathLike):
            part = os.fspath(part)
        this = bytes if isinstance(part, bytes) else str
        if kind is not None and this is not kind:
            raise TypeError("Can't mix bytes and non-bytes in path components.")
        kind = this
    return kind or str


def _sanitize(prefix: Any, suffix: Any, dir: Any) -> tuple[Any, Any, Any, type]:
    kind = _output_type(prefix, suffix, dir)
    if suffix is None:
        suffix = kind()
    if prefix is None:
        prefix = _tempfile.template if kind is str else os.fsencode(_tempfile.template)
    if dir is None:
        dir = gettempdir() if kind is str else gettempdirb()
    return prefix, suffix, dir, kind


def _candidates(kind: type) -> Any:
    for _ in range(TMP_MAX):
        name = next(_names)
        yield name if kind is str else os.fsencode(name)


async def _name_taken_on_windows(dir: Any) -> bool:
    """Windows reports an existing directory of the chosen name as a permission error."""
    return WINDOWS and await kos.path.isdir(dir) and await kos.access(dir, os.W_OK)


def _exclusive(mode: str) -> str:
    """The mode of a file that must be new: its kind made "x", the rest as asked."""
    return "x" + "".join(c for c in mode if c not in "rwax")


async def _first_free(dir: Any, prefix: Any, suffix: Any, kind: type, event: str,
                      make: Callable[[Any], Awaitable[_T]]) -> tuple[_T, Any]:
    """``make`` on the first free name of the temporary kind; (its result, the path).

    ``event`` is the audit event, "tempfile.mkstemp" or "tempfile.mkdtemp"."""
    for name in _candidates(kind):
        path = os.path.join(dir, prefix + name + suffix)
        sys.audit(event, path)
        try:
            return await make(path), path
        except FileExistsError:
            continue
        except PermissionError:
            if await _name_taken_on_windows(dir):
                continue
            raise
    what = "directory" if event == "tempfile.mkdtemp" else "file"
    raise FileExistsError(errno.EEXIST, f"No usable temporary {what} name found")


async def _create(dir: Any, prefix: Any, suffix: Any, kind: type, mode: str, **text: Any) -> tuple[Any, Any]:
    """A new file of a name not taken yet, opened with 0o600; (file, absolute path)."""
    dir = os.path.abspath(dir)
    return await _first_free(dir, prefix, suffix, kind, "tempfile.mkstemp",
                             lambda path: _fsops.open_new(path, _exclusive(mode), 0o600, **text))


async def mkstemp(suffix: AnyStr | None = None, prefix: AnyStr | None = None, dir: Any = None,
                  text: bool = False) -> tuple[Any, AnyStr]:
    """``tempfile.mkstemp``: a new file, open for reading and writing, and its absolute path.

    The file is a ``kiln.AsyncFile`` (binary; ``text`` only matters to Windows'
    C runtime, which kiln does not use). Close and remove it yourself."""
    prefix, suffix, dir, kind = _sanitize(prefix, suffix, dir)
    return await _create(dir, prefix, suffix, kind, "w+b")


async def mkdtemp(suffix: AnyStr | None = None, prefix: AnyStr | None = None, dir: Any = None) -> AnyStr:
    """``tempfile.mkdtemp``: a new directory (0o700 on POSIX); its absolute path."""
    prefix, suffix, dir, kind = _sanitize(prefix, suffix, dir)
    _, path = await _first_free(dir, prefix, suffix, kind, "tempfile.mkdtemp", lambda path: kos.mkdir(path, 0o700))
    return os.path.abspath(path)  # type: ignore[no-any-return]


class _TemporaryFileWrapper:
    """A named temporary file: its ``kiln`` file's methods, its ``name``, and its removal.

    With ``delete`` the file is removed when it is closed (``delete_on_close``)
    or else when the ``async with`` block ends; collected before then, it is
    removed at once."""

    def __init__(self, file: Any, name: Any, delete: bool, delete_on_close: bool) -> None:
        self.file = file
        self.name = name
        self.delete = delete
        self._delete_on_close = delete_on_close
        self._removed = False

    def __getattr__(self, name: str) -> Any:
        return getattr(self.__dict__["file"], name)

    def __repr__(self) -> str:
        return f"<kiln.tempfile._TemporaryFileWrapper name={self.name!r} file={self.file!r}>"

    async def _remove(self) -> None:
        if self._removed:
            return
        self._removed = True
        try:
            await kos.unlink(self.name)
        except FileNotFoundError:
            pass

    async def close(self) -> None:
        """Closes the file, and removes it when it goes on close."""
        try:
            await self.file.close()
        finally:
            if self.delete and self._delete_on_close:
                await self._remove()

    async def __aenter__(self) -> _TemporaryFileWrapper:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        try:
            await self.file.close()
        finally:
            if self.delete:
                await self._remove()

    def __aiter__(self) -> AsyncIterator[Any]:
        return self.file.__aiter__()  # type: ignore[no-any-return]

    def __del__(self) -> None:
        if self.delete and not self._removed:
            self._removed = True
            try:
                os.unlink(self.name)
            except OSError:
                pass


class _Opening(Generic[AnyStr]):
    """Awaited, the object; with ``async with``, the object as it enters, closed as it leaves."""

    def __init__(self, opening: Any) -> None:
        self._opening = opening
        self._made: Any = None

    def __await__(self) -> Generator[Any, None, Any]:
        return self._opening.__await__()  # type: ignore[no-any-return]

    async def __aenter__(self) -> Any:
        self._made = await self._opening
        return await self._made.__aenter__()

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self._made.__aexit__(exc_type, exc, traceback)


async def _named(mode: str, buffering: int, encoding: str | None, newline: str | None, suffix: Any, prefix: Any,
                 dir: Any, delete: bool, errors: str | None, delete_on_close: bool) -> _TemporaryFileWrapper:
    prefix, suffix, dir, kind = _sanitize(prefix, suffix, dir)
    text = {"buffering": buffering, "encoding": encoding, "errors": errors, "newline": newline}
    file, name = await _create(dir, prefix, suffix, kind, mode, **text)
    return _TemporaryFileWrapper(file, name, delete, delete_on_close)


def NamedTemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None,
                       newline: str | None = None, suffix: Any = None, prefix: Any = None, dir: Any = None,
                       delete: bool = True, *, errors: str | None = None,
                       delete_on_close: bool = True) -> _Opening[Any]:
    """``tempfile.NamedTemporaryFile``: a ``kiln`` file with a ``name`` in the file system.

    ``async with`` it (or await it and close it yourself). With ``delete``, it
    is removed on close, or with ``delete_on_close=False`` when the
    ``async with`` block ends, so that it may be closed and opened again by
    name meanwhile."""
    return _Opening(_named(mode, buffering, encoding, newline, suffix, prefix, dir, delete, errors, delete_on_close))


class _Unnamed:
    """``async with`` around a file that is closed when the block ends."""

    def __init__(self, file: Any) -> None:
        self.file = file

    async def __aenter__(self) -> Any:
        return self.file

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.file.close()


async def _unnamed(mode: str, buffering: int, encoding: str | None, newline: str | None, suffix: Any, prefix: Any,
                   dir: Any, errors: str | None) -> Any:
    if WINDOWS:
        # An open file cannot lose its name on Windows: it goes when closed.
        return await _named(mode, buffering, encoding, newline, suffix, prefix, dir, True, errors, True)
    prefix, suffix, dir, kind = _sanitize(prefix, suffix, dir)
    text = {"buffering": buffering, "encoding": encoding, "errors": errors, "newline": newline}
    file, name = await _create(dir, prefix, suffix, kind, mode, **text)
    try:
        await kos.unlink(name)
    except BaseException:
        await file.close()
        raise
    return file


class _UnnamedOpening(_Opening[Any]):
    async def __aenter__(self) -> Any:
        self._made = _Unnamed(await self._opening)
        return await self._made.__aenter__()


def TemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None, newline: str | None = None,
                  suffix: Any = None, prefix: Any = None, dir: Any = None, *,
                  errors: str | None = None) -> _Opening[Any]:
    """``tempfile.TemporaryFile``: a ``kiln`` file with no name in the file system (POSIX).

    Its name goes as soon as it is made; on Windows, where an open file keeps
    its name, it is removed when closed."""
    return _UnnamedOpening(_unnamed(mode, buffering, encoding, newline, suffix, prefix, dir, errors))


async def _reset_permissions(path: Any) -> None:
    try:
        if os.chmod in os.supports_follow_symlinks:
            await kos.chmod(path, 0o700, follow_symlinks=False)
        elif not await kos.path.islink(path):
            await kos.chmod(path, 0o700)
    except NotImplementedError:
        pass


async def _rmtree(name: Any, ignore_errors: bool = False, repeated: bool = False) -> None:
    """Removes the tree, making what it may not enter or change its owner's again, as ``tempfile`` does."""
    async def onexc(_function: Any, path: Any, exc: BaseException) -> None:
        if isinstance(exc, PermissionError):
            if repeated and path == name:
                if ignore_errors:
                    return
                raise exc
            try:
                if path != name:
                    await _reset_permissions(os.path.dirname(path))
                await _reset_permissions(path)
                try:
                    await kos.unlink(path)
                except IsADirectoryError:
                    await _rmtree(path, ignore_errors=ignore_errors)
                except PermissionError:
                    if not await kos.path.isdir(path) or await kos.path.isjunction(path):
                        if ignore_errors:
                            return
                        raise
                    await _rmtree(path, ignore_errors=ignore_errors, repeated=path == name)
            except FileNotFoundError:
                pass
        elif isinstance(exc, FileNotFoundError):
            pass
        elif not ignore_errors:
            raise exc

    await kshutil.rmtree(name, onexc=onexc)


def _remove_now(name: Any) -> None:
    """The collector's cleanup, on its thread: what may not be entered is made enterable first."""
    def onexc(_function: Any, path: Any, exc: BaseException) -> None:
        if isinstance(exc, PermissionError):
            for place in (os.path.dirname(path), path):
                try:
                    os.chmod(place, 0o700)
                except OSError:
                    pass
            shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.unlink(path)

    try:
        shutil.rmtree(name, onexc=onexc)
    except OSError:
        pass


class TemporaryDirectory(Generic[AnyStr]):
    """``tempfile.TemporaryDirectory``: ``async with`` gives the new directory's name and removes
    the tree at the end (unless ``delete`` is false).

    Awaited instead, it gives itself once the directory exists: ``name`` is
    the path, ``await cleanup()`` removes it. One collected before its
    cleanup is removed then, with a ``ResourceWarning``."""

    name: AnyStr

    def __init__(self, suffix: AnyStr | None = None, prefix: AnyStr | None = None, dir: Any = None,
                 ignore_cleanup_errors: bool = False, *, delete: bool = True) -> None:
        self._arguments: tuple[Any, Any, Any] = (suffix, prefix, dir)
        self._ignore_cleanup_errors = ignore_cleanup_errors
        self._delete = delete
        self._made = False
        self._cleaned = False

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {getattr(self, 'name', None)!r}>"

    async def _make(self) -> TemporaryDirectory[AnyStr]:
        if not self._made:
            self.name = await mkdtemp(*self._arguments)
            self._made = True
        return self

    def __await__(self) -> Generator[Any, None, TemporaryDirectory[AnyStr]]:
        return self._make().__await__()

    async def __aenter__(self) -> AnyStr:
        await self._make()
        return self.name

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        if self._delete:
            await self.cleanup()

    async def cleanup(self) -> None:
        """Removes the directory and everything in it."""
        if not self._made or (self._cleaned and not await kos.path.exists(self.name)):
            return
        self._cleaned = True
        await _rmtree(self.name, ignore_errors=self._ignore_cleanup_errors)

    def __del__(self) -> None:
        if self._made and self._delete and not self._cleaned and os.path.exists(self.name):
            warnings.warn(f"Implicitly cleaning up {self!r}", ResourceWarning, stacklevel=2)
            _remove_now(self.name)

