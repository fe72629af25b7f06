"""The calls on paths: submitted to the running loop's backend, finished on its thread.

Each call is one native operation (``Iocp.submit_stat`` and the rest) whose
completion resolves a future with the call's data: an ``os.stat_result``, a
listing, a path, or nothing. A failure is raised as the built-in raises it,
naming the path (and, for calls on two paths, both) as ``os.fspath`` gives it.

A call whose caller is cancelled still runs to its end in the system (none of
them can be stopped half-way); its result is dropped.
"""

from __future__ import annotations

import asyncio
import operator
import os
import sys
from typing import TYPE_CHECKING, Any, TypeAlias

from ._backend import _finish_open, loop_backend
from ._errors import os_error

if TYPE_CHECKING:
    from ._backend import Backend

WINDOWS = sys.platform == "win32"
NO_DIR_FD = -1

# What a listing says an entry is (the native layer's kEntry* values).
ENTRY_NONE, ENTRY_FILE, ENTRY_DIRECTORY, ENTRY_LINK, ENTRY_OTHER = 0, 1, 2, 3, 4

# A raw listing entry: (name, type, inode, target, target_error).
RawEntry: TypeAlias = tuple[str, int, int, int, int]

_get_loop = asyncio.get_running_loop


def backend() -> Backend:
    """The running loop's backend, made on first use."""
    return loop_backend(_get_loop())


def fspath(function: str, path: Any) -> str | bytes:
    """``os.fspath`` with the message the ``os`` functions give; kiln has no descriptors to take instead."""
    try:
        name: str | bytes = os.fspath(path)
    except TypeError:
        raise TypeError(f"{function}: path should be string, bytes or os.PathLike, "
                        f"not {type(path).__name__}") from None
    return name


def native(function: str, name: str | bytes) -> str:
    """The path as the module takes it: a str, bytes decoded as ``os.fsdecode`` does."""
    text = name if isinstance(name, str) else os.fsdecode(name)
    if "\0" in text:
        raise ValueError(f"{function}: embedded null character in path")
    return text


def dir_fd_of(function: Any, dir_fd: Any) -> int:
    """-1 for none; a descriptor where the platform's ``os`` takes one for this function."""
    if dir_fd is None:
        return NO_DIR_FD
    if function not in os.supports_dir_fd:
        raise NotImplementedError("dir_fd unavailable on this platform")
    fd = operator.index(dir_fd)
    if fd < 0:
        raise ValueError(f"fd must be a non-negative integer, got {fd}")
    return fd


def error_for(code: int, filename: object, filename2: object = None) -> OSError:
    return os_error(code, filename, filename2)


def _finish(filename: object, future: asyncio.Future[Any], _op_id: int, error: int, _result: int,
            data: Any) -> None:
    if future.done():  # its caller was cancelled
        return
    if error:
        future.set_exception(os_error(error, filename))
    else:
        future.set_result(data)


def _finish_two(names: tuple[object, object], future: asyncio.Future[Any], _op_id: int, error: int, _result: int,
                data: Any) -> None:
    if future.done():
        return
    if error:
        future.set_exception(os_error(error, names[0], names[1]))
    else:
        future.set_result(data)


# A copy names the side that failed: 1 the source, 2 the target, 3 the copy between them.
def _finish_copy(names: tuple[object, object], future: asyncio.Future[Any], _op_id: int, error: int, _result: int,
                 data: Any) -> None:
    if future.done():
        return
    if not error:
        future.set_result(None)
    elif data == 1:
        future.set_exception(os_error(error, names[0]))
    elif data == 2:
        future.set_exception(os_error(error, names[1]))
    else:
        future.set_exception(os_error(error, names[0], names[1]))


def settle(backend: Backend, op_id: int, filename: object, filename2: object = None) -> asyncio.Future[Any]:
    """The future of a submitted call; its failure names the paths given."""
    future: asyncio.Future[Any] = _get_loop().create_future()
    if filename2 is None:
        backend._pending[op_id] = (_finish, filename, future)
    else:
        backend._pending[op_id] = (_finish_two, (filename, filename2), future)
    return future


def settle_copy(backend: Backend, op_id: int, src: object, dst: object) -> asyncio.Future[None]:
    future: asyncio.Future[None] = _get_loop().create_future()
    backend._pending[op_id] = (_finish_copy, (src, dst), future)
    return future


class Batch:
    """Many calls resolving one future: their results (or failures) in submission order.

    A failure is kept in its place as the ``OSError`` the call raises; the
    future resolves once every call has finished."""

    __slots__ = ("future", "results", "remaining", "base", "names")

    def __init__(self, future: asyncio.Future[list[Any]], names: list[Any]) -> None:
        self.future = future
        self.names = names
        self.results: list[Any] = [None] * len(names)
        self.remaining = len(names)
        self.base = 0  # the calls' ids run on from it


def _finish_batch(batch: Batch, _target: object, op_id: int, error: int, _result: int, data: Any) -> None:
    index = op_id - batch.base
    batch.results[index] = os_error(error, batch.names[index]) if error else data
    batch.remaining -= 1
    if not batch.remaining and not batch.future.done():
        batch.future.set_result(batch.results)


async def batch_paths(backend: Backend, submit_many: Any, texts: list[str], names: list[Any],
                      *args: Any) -> list[Any]:
    """``submit_many(texts, *args)``, one native call starting a call on every path together;
    the results in order, an ``OSError`` (naming ``names[i]``) in the place of each failure."""
    if not texts:
        return []
    group = Batch(_get_loop().create_future(), names)
    group.base = submit_many(texts, *args)
    entry = (_finish_batch, group, None)
    pending = backend._pending
    for op_id in range(group.base, group.base + len(texts)):
        pending[op_id] = entry
    return await group.future


async def open_new(path: Any, mode: str, permissions: int, *, exclusive: bool = True, buffering: int = -1,
                   encoding: str | None = None, errors: str | None = None, newline: str | None = None) -> Any:
    """``kiln.open`` of a file made if missing (with ``exclusive``, only if missing) with these
    permission bits (POSIX), less the umask."""
    from ._open import Opener

    opener: Opener[Any] = Opener(None, path, mode, buffering, encoding, errors, newline)
    parsed = opener._parsed
    here = backend()
    here._check_open()
    future: asyncio.Future[int] = _get_loop().create_future()
    op_id = here._iocp.submit_open(opener._path, parsed.writable, True, parsed.truncate, exclusive,
                                   append=parsed.append, read=parsed.readable, mode=permissions)
    here._pending[op_id] = (_finish_open, here, (path, future))
    try:
        handle = await future
    except asyncio.CancelledError:
        if future.done() and not future.cancelled() and future.exception() is None:
            here._close_quietly(future.result())
        raise
    try:
        return opener._wrap(here, handle)
    except BaseException:
        here._close_quietly(handle)
        raise
