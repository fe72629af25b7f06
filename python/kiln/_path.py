"""``kiln.Path``: ``pathlib.Path`` with its file system methods as coroutines.

The pure-path behaviour (``/``, ``name``, ``suffix``, ``parent``,
``with_suffix``, ``relative_to``...) is ``pathlib``'s own, inherited; every
method that touches the file system is awaited (``iterdir``, ``glob``,
``rglob`` and ``walk`` are asynchronous iterators) and answers as the
installed Python's ``pathlib.Path`` does::

    config = kiln.Path("etc") / "app.toml"
    if await config.exists():
        text = await config.read_text()
    async for source in kiln.Path("src").rglob("*.py"):
        ...
"""

from __future__ import annotations

import errno
import fnmatch
import glob as _glob
import os
import pathlib
import re
import stat as _stat
import sys
from collections.abc import AsyncIterator, Callable
from typing import TYPE_CHECKING, Any

from . import _fsops, os as kos

if TYPE_CHECKING:
    from collections.abc import Buffer

    from ._open import Opener

__all__ = ["Path"]

if sys.platform == "win32":
    _PurePath = pathlib.PureWindowsPath
else:
    _PurePath = pathlib.PurePosixPath

# Failures that mean "no such thing" to the queries: false, not raised (up to 3.13).
_IGNORED_ERRNOS = (errno.ENOENT, errno.ENOTDIR, errno.EBADF, errno.ELOOP)
_IGNORED_WINERRORS = (21, 123, 1921)  # not ready, invalid name, a link to itself

_NEW_GLOB = sys.version_info >= (3, 13)
# What makes a pattern part a wildcard rather than a name.
_MAGIC = re.compile("([*?[])")


def _ignored(error: OSError) -> bool:
    if sys.version_info >= (3, 14):
        return True  # the queries say false for any failure, as os.path's do
    return error.errno in _IGNORED_ERRNOS or getattr(error, "winerror", None) in _IGNORED_WINERRORS


class Path(_PurePath):
    """An asynchronous ``pathlib.Path``: pure-path operations as they are, file system ones awaited."""

    __slots__ = ()

    # ------------------------------------------------------------ status

    async def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        """``os.stat`` of the path."""
        return await kos.stat(self, follow_symlinks=follow_symlinks)

    async def lstat(self) -> os.stat_result:
        """``os.lstat`` of the path: a link's own status."""
        return await kos.stat(self, follow_symlinks=False)

    async def _mode_test(self, test: Callable[[int], bool], follow_symlinks: bool = True) -> bool:
        try:
            return test((await self.stat(follow_symlinks=follow_symlinks)).st_mode)
        except OSError as error:
            if not _ignored(error):
                raise
            return False
        except ValueError:  # a path the system cannot take
            return False

    async def exists(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the path names something (a broken link does not, unless not following)."""
        return await self._mode_test(lambda mode: True, follow_symlinks)

    async def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        return await self._mode_test(_stat.S_ISDIR, follow_symlinks)

    async def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return await self._mode_test(_stat.S_ISREG, follow_symlinks)

    async def is_symlink(self) -> bool:
        return await self._mode_test(_stat.S_ISLNK, False)

    async def is_block_device(self) -> bool:
        return await self._mode_test(_stat.S_ISBLK)

    async def is_char_device(self) -> bool:
        return await self._mode_test(_stat.S_ISCHR)

    async def is_fifo(self) -> bool:
        return await self._mode_test(_stat.S_ISFIFO)

    async def is_socket(self) -> bool:
        return await self._mode_test(_stat.S_ISSOCK)

    async def is_mount(self) -> bool:
        return await kos.path.ismount(self)

    async def is_junction(self) -> bool:
        return await kos.path.isjunction(self)

    async def samefile(self, other_path: Any) -> bool:
        """Whether ``other_path`` names the same file."""
        first = await self.stat()
        other = other_path if isinstance(other_path, Path) else self.with_segments(other_path)
        return os.path.samestat(first, await other.stat())

    async def owner(self, *, follow_symlinks: bool = True) -> str:
        """The login name of the file's owner."""
        try:
            import pwd
        except ImportError:
            raise NotImplementedError("Path.owner() is unsupported on this system") from None
        return pwd.getpwuid((await self.stat(follow_symlinks=follow_symlinks)).st_uid).pw_name

    async def group(self, *, follow_symlinks: bool = True) -> str:
        """The name of the file's group."""
        try:
            import grp
        except ImportError:
            raise NotImplementedError("Path.group() is unsupported on this system") from None
        return grp.getgrgid((await self.stat(follow_symlinks=follow_symlinks)).st_gid).gr_name

    # ------------------------------------------------------------ contents

    def open(self, mode: str = "r", buffering: int = -1, encoding: str | None = None, errors: str | None = None,
             newline: str | None = None) -> Opener[Any]:
        """``kiln.open`` of the path: await it, or use it with ``async with``."""
        from ._open import Opener

        return Opener(None, self, mode, buffering, encoding, errors, newline)

    async def read_bytes(self) -> bytes:
        async with self.open("rb") as f:
            data: bytes = await f.read()
            return data

    async def read_text(self, encoding: str | None = None, errors: str | None = None,
                        newline: str | None = None) -> str:
        async with self.open("r", encoding=encoding, errors=errors, newline=newline) as f:
            text: str = await f.read()
            return text

    async def write_bytes(self, data: Buffer) -> int:
        view = memoryview(data)  # refuses what is no buffer before the file is truncated
        async with self.open("wb") as f:
            count: int = await f.write(view)
            return count

    async def write_text(self, data: str, encoding: str | None = None, errors: str | None = None,
                         newline: str | None = None) -> int:
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        async with self.open("w", encoding=encoding, errors=errors, newline=newline) as f:
            count: int = await f.write(data)
            return count

    # ------------------------------------------------------------ directories

    async def iterdir(self) -> AsyncIterator[Path]:
        """The directory's entries as paths, in the system's order."""
        for name in await kos.listdir(self):
            yield self / name

    async def walk(self, top_down: bool = True, on_error: Callable[[OSError], object] | None = None,
                   follow_symlinks: bool = False) -> AsyncIterator[tuple[Path, list[str], list[str]]]:
        """``(dirpath, dirnames, filenames)`` of the tree, as ``pathlib.Path.walk``: links to
        directories count as files unless ``follow_symlinks``."""
        if sys.version_info < (3, 13):
            async for found in _walk_paths(self, top_down, on_error, follow_symlinks):
                yield found
            return
        follow: Any = follow_symlinks or kos.WALK_LINKS_AS_FILES
        async for dirpath, dirnames, filenames in kos.walk(str(self), top_down, on_error, follow):
            yield self.with_segments(dirpath), dirnames, filenames

    async def glob(self, pattern: Any, *, case_sensitive: bool | None = None,
                   recurse_symlinks: bool = False) -> AsyncIterator[Path]:
        """The paths under this one that match the relative ``pattern`` (``*``, ``?``, ``[...]``, ``**``)."""
        if _NEW_GLOB:
            async for path in _glob_stack(self, pattern, case_sensitive, recurse_symlinks):
                yield path
        else:
            async for path in _glob_selectors(self, pattern, case_sensitive, False):
                yield path

    async def rglob(self, pattern: Any, *, case_sensitive: bool | None = None,
                    recurse_symlinks: bool = False) -> AsyncIterator[Path]:
        """``glob`` with ``**/`` put before the pattern: matches anywhere below this path."""
        if _NEW_GLOB:
            pattern = "**" / (pattern if isinstance(pattern, pathlib.PurePath) else self.with_segments(pattern))
            async for path in _glob_stack(self, pattern, case_sensitive, recurse_symlinks):
                yield path
        else:
            async for path in _glob_selectors(self, pattern, case_sensitive, True):
                yield path

    async def mkdir(self, mode: int = 0o777, parents: bool = False, exist_ok: bool = False) -> None:
        """Makes the directory (and with ``parents`` the missing ones above it)."""
        try:
            await kos.mkdir(self, mode)
        except FileNotFoundError:
            if not parents or self.parent == self:
                raise
            await self.parent.mkdir(parents=True, exist_ok=True)
            await self.mkdir(mode, parents=False, exist_ok=exist_ok)
        except OSError:
            # The system may report another error than EEXIST first (EACCES, EROFS).
            if not exist_ok or not await self.is_dir():
                raise

    async def rmdir(self) -> None:
        await kos.rmdir(self)

    # ------------------------------------------------------------ names

    async def touch(self, mode: int = 0o666, exist_ok: bool = True) -> None:
        """Makes the file if it is missing (with ``mode``); otherwise, with ``exist_ok``, sets its times to now."""
        if exist_ok:
            try:
                await kos.utime(self, None)
            except OSError:
                pass
            else:
                return
        f = await _fsops.open_new(self, "ab" if exist_ok else "xb", mode, exclusive=not exist_ok)
        await f.close()

    async def unlink(self, missing_ok: bool = False) -> None:
        try:
            await kos.unlink(self)
        except FileNotFoundError:
            if not missing_ok:
                raise

    async def rename(self, target: Any) -> Path:
        """Renames to ``target`` (relative to the working directory); the new path."""
        await kos.rename(self, target)
        return self.with_segments(target)

    async def replace(self, target: Any) -> Path:
        """Renames to ``target``, replacing what is there on every platform; the new path."""
        await kos.replace(self, target)
        return self.with_segments(target)

    async def symlink_to(self, target: Any, target_is_directory: bool = False) -> None:
        """Makes this path a link to ``target`` (the reverse order of ``os.symlink``)."""
        await kos.symlink(target, self, target_is_directory)

    async def hardlink_to(self, target: Any) -> None:
        """Makes this path a hard link to ``target`` (the reverse order of ``os.link``)."""
        await kos.link(target, self)

    async def readlink(self) -> Path:
        return self.with_segments(await kos.readlink(self))

    async def chmod(self, mode: int, *, follow_symlinks: bool = True) -> None:
        await kos.chmod(self, mode, follow_symlinks=follow_symlinks)

    async def lchmod(self, mode: int) -> None:
        await self.chmod(mode, follow_symlinks=False)

    # ------------------------------------------------------------ whole paths

    @classmethod
    async def cwd(cls) -> Path:
        """The working directory."""
        return cls(os.getcwd())

    @classmethod
    async def home(cls) -> Path:
        """The user's home directory, as ``os.path.expanduser("~")`` finds it."""
        return await cls("~").expanduser()

    async def absolute(self) -> Path:
        """The path made absolute with the working directory; nothing resolved or normalised."""
        return self.with_segments(pathlib.Path(self).absolute())

    async def expanduser(self) -> Path:
        """``~`` and ``~user`` expanded as ``os.path.expanduser`` does."""
        return self.with_segments(pathlib.Path(self).expanduser())

    async def resolve(self, strict: bool = False) -> Path:
        """The absolute path with every link resolved and ``..`` applied, as ``pathlib`` resolves it."""
        if sys.version_info >= (3, 13):
            return self.with_segments(await kos.path.realpath(self, strict=strict))
        try:
            resolved = self.with_segments(await kos.path.realpath(self, strict=strict))
        except OSError as error:
            _raise_if_loop(error)
            raise
        if not strict:
            try:
                await resolved.stat()
            except OSError as error:
                _raise_if_loop(error)
        return resolved

    if sys.version_info >= (3, 13):
        @classmethod
        def from_uri(cls, uri: str) -> Path:
            """The path of a ``file:`` URI."""
            return cls(pathlib.Path.from_uri(uri))


async def _walk_paths(top: Path, top_down: bool, on_error: Callable[[OSError], object] | None,
                      follow_symlinks: bool) -> AsyncIterator[tuple[Path, list[str], list[str]]]:
    """3.12's walk, which lists each directory by its path object."""
    paths: list[Any] = [top]
    while paths:
        path = paths.pop()
        if isinstance(path, tuple):
            yield path
            continue
        try:
            entries = await _entries(str(path))
        except OSError as error:
            if on_error is not None:
                on_error(error)
            continue
        dirnames: list[str] = []
        filenames: list[str] = []
        for entry in entries:
            try:
                is_dir = entry.is_dir(follow_symlinks=follow_symlinks)
            except OSError:
                is_dir = False
            (dirnames if is_dir else filenames).append(entry.name)
        if top_down:
            yield path, dirnames, filenames
        else:
            paths.append((path, dirnames, filenames))
        paths += [path / name for name in reversed(dirnames)]


def _raise_if_loop(error: OSError) -> None:
    if error.errno == errno.ELOOP or getattr(error, "winerror", 0) == 1921:
        raise RuntimeError(f"Symlink loop from {error.filename!r}")


# ---------------------------------------------------------------- glob, as pathlib has it from 3.13 on


class _Globber:
    """The walk of one pattern over path strings: a selector per pattern part, each an
    asynchronous generator of the paths it lets through."""

    def __init__(self, sep: str, case_sensitive: bool, case_pedantic: bool, recurse_symlinks: bool) -> None:
        self.sep = sep
        self.flags = re.NOFLAG if case_sensitive else re.IGNORECASE
        self.case_pedantic = case_pedantic
        self.recurse_symlinks = recurse_symlinks

    def compile(self, part: str) -> Callable[..., Any]:
        regex = _glob.translate(part, recursive=True, include_hidden=True, seps=self.sep)
        return re.compile(regex, flags=self.flags).match

    def add_slash(self, path: str) -> str:
        if os.name == "nt":
            tail = os.path.splitroot(path)[2]
            return path if not tail or tail[-1] in "\\/" else path + "\\"
        return path if not path or path[-1] == "/" else path + "/"

    def selector(self, parts: list[str]) -> Callable[[str, bool], AsyncIterator[str]]:
        if not parts:
            return self.select_exists
        part = parts.pop()
        if part == "**":
            return self.recursive(part, parts)
        if part in ("", ".", ".."):
            return self.special(part, parts)
        if not self.case_pedantic and _MAGIC.search(part) is None:
            return self.literal(part, parts)
        return self.wildcard(part, parts)

    def special(self, part: str, parts: list[str]) -> Callable[[str, bool], AsyncIterator[str]]:
        select_next = self.selector(parts)

        async def select(path: str, exists: bool = False) -> AsyncIterator[str]:
            async for found in select_next(self.add_slash(path) + part, exists):
                yield found
        return select

    def literal(self, part: str, parts: list[str]) -> Callable[[str, bool], AsyncIterator[str]]:
        while parts and _MAGIC.search(parts[-1]) is None:
            part += self.sep + parts.pop()
        select_next = self.selector(parts)

        async def select(path: str, exists: bool = False) -> AsyncIterator[str]:
            async for found in select_next(self.add_slash(path) + part, False):
                yield found
        return select

    def wildcard(self, part: str, parts: list[str]) -> Callable[[str, bool], AsyncIterator[str]]:
        match = None if part == "*" else self.compile(part)
        dir_only = bool(parts)
        select_next = self.selector(parts) if dir_only else None

        async def select(path: str, exists: bool = False) -> AsyncIterator[str]:
            try:
                entries = await _entries(path)
            except OSError:
                return
            for entry in entries:
                if match is None or match(entry.name):
                    if select_next is not None:
                        try:
                            if not entry.is_dir():
                                continue
                        except OSError:
                            continue
                        async for found in select_next(entry.path, True):
                            yield found
                    else:
                        yield entry.path
        return select

    def recursive(self, part: str, parts: list[str]) -> Callable[[str, bool], AsyncIterator[str]]:
        while parts and parts[-1] == "**":
            parts.pop()
        follow_symlinks = self.recurse_symlinks
        if follow_symlinks:
            while parts and parts[-1] not in ("", ".", ".."):
                part += self.sep + parts.pop()
        match = None if part == "**" else self.compile(part)
        dir_only = bool(parts)
        select_next = self.selector(parts)

        async def select(path: str, exists: bool = False) -> AsyncIterator[str]:
            path = self.add_slash(path)
            match_pos = len(path)
            if match is None or match(path, match_pos):
                async for found in select_next(path, exists):
                    yield found
            stack = [path]
            while stack:
                current = stack.pop()
                try:
                    entries = await _entries(current)
                except OSError:
                    continue
                for entry in entries:
                    try:
                        is_dir = entry.is_dir(follow_symlinks=follow_symlinks)
                    except OSError:
                        is_dir = False
                    if is_dir or not dir_only:
                        if match is None or match(entry.path, match_pos):
                            if dir_only:
                                async for found in select_next(entry.path, True):
                                    yield found
                            else:
                                yield entry.path
                        if is_dir:
                            stack.append(entry.path)
        return select

    async def select_exists(self, path: str, exists: bool = False) -> AsyncIterator[str]:
        if exists:
            yield path
            return
        try:
            await kos.lstat(path)
        except OSError:
            return
        yield path


async def _entries(path: str) -> list[kos.DirEntry[str]]:
    name, raw = await kos._listing("scandir", path)
    directory: Any = name
    return [kos.DirEntry(directory, entry) for entry in raw]


async def _glob_stack(self: Path, pattern: Any, case_sensitive: bool | None,
                      recurse_symlinks: bool) -> AsyncIterator[Path]:
    if not isinstance(pattern, pathlib.PurePath):
        raw = os.fspath(pattern)
        pattern = self.with_segments(pattern)
    else:
        raw = getattr(pattern, "_raw_path", str(pattern))
    if pattern.anchor:
        raise NotImplementedError("Non-relative patterns are unsupported")
    parts = [part for part in pattern.parts]
    if not parts:
        raise ValueError(f"Unacceptable pattern: {pattern!r}")
    sep = os.sep
    if raw[-1] in (sep, os.altsep):
        parts.append("")
    pedantic = case_sensitive is not None
    sensitive = case_sensitive if case_sensitive is not None else os.path.normcase("Aa") == "Aa"
    select = _Globber(sep, sensitive, pedantic, recurse_symlinks).selector(parts[::-1])
    root = str(self)
    async for found in select(root, False):
        if root == ".":
            found = found[2:]
        if parts[-1] == "":
            found = found[:-1]
        elif parts[-1] == "**" and len(found) > len(self.anchor) and found[-1] == sep:
            found = found[:-1]
        yield self.with_segments(found)


# ---------------------------------------------------------------- glob, as pathlib has it in 3.12


async def _glob_selectors(self: Path, pattern: Any, case_sensitive: bool | None,
                          recursive: bool) -> AsyncIterator[Path]:
    text = os.fspath(pattern)
    if not text and not recursive:
        raise ValueError(f"Unacceptable pattern: {pattern!r}")
    parsed = _PurePath(text)
    if parsed.drive or parsed.root:
        raise NotImplementedError("Non-relative patterns are unsupported")
    parts = list(parsed.parts)
    if text and text[-1] in (os.sep, os.altsep):
        parts.append("")
    if recursive:
        parts.insert(0, "**")
    if case_sensitive is None:
        case_sensitive = os.path.normcase("Aa") == "Aa"
    if not await self.is_dir():
        return
    double = "**" in _after_first_recursion(parts)
    seen: set[Path] = set()
    async for found in _select(self, parts, case_sensitive):
        if double:
            if found in seen:
                continue
            seen.add(found)
        yield found


def _after_first_recursion(parts: list[str]) -> list[str]:
    if "**" not in parts:
        return []
    index = parts.index("**")
    while index < len(parts) and parts[index] == "**":
        index += 1
    return parts[index:]


async def _select(path: Path, parts: list[str], case_sensitive: bool) -> AsyncIterator[Path]:
    """What the selector of ``parts[0]`` finds under ``path``, handed on to the rest."""
    if not parts:
        yield path
        return
    part, rest = parts[0], parts[1:]
    if part == "":
        yield path
    elif part == "**":
        while rest and rest[0] == "**":
            rest = rest[1:]
        async for directory in _directories(path):
            async for found in _select(directory, rest, case_sensitive):
                yield found
    elif part == "..":
        async for found in _select(path / "..", rest, case_sensitive):
            yield found
    elif "**" in part:
        raise ValueError("Invalid pattern: '**' can only be an entire path component")
    else:
        match = re.compile(fnmatch.translate(part), re.NOFLAG if case_sensitive else re.IGNORECASE).match
        try:
            entries = await _entries(str(path))
        except OSError:
            return
        for entry in entries:
            if rest:
                try:
                    if not entry.is_dir():
                        continue
                except OSError:
                    continue
            if match(entry.name):
                async for found in _select(path / entry.name, rest, case_sensitive):
                    yield found


async def _directories(path: Path) -> AsyncIterator[Path]:
    """``path`` and every directory below it, links to directories not entered (3.12's ``**``)."""
    yield path
    async for dirpath, dirnames, _files in path.walk():
        for name in dirnames:
            yield dirpath / name
