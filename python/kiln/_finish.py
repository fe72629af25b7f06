"""What runs on the loop thread when a file's operation completes.

Each keeps the file's count of operations in flight, which ``close`` waits on,
and resolves the operation's future unless it was cancelled.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._binary import AsyncFile


class Group:
    """One future for many reads: the results by request index."""

    __slots__ = ("future", "results", "remaining", "base", "index", "error")

    def __init__(self, future: asyncio.Future[list[bytes]], count: int) -> None:
        self.future = future
        self.results: list[bytes] = [b""] * count
        self.remaining = count
        self.base = 0
        # Request numbers of the ids that do not follow on from base.
        self.index: dict[int, int] = {}
        self.error: OSError | None = None


def _op_done(file: AsyncFile) -> None:
    file._inflight -= 1
    if not file._inflight and file._idle is not None and not file._idle.done():
        file._idle.set_result(None)


def finish_io(file: AsyncFile, future: asyncio.Future[Any], _op_id: int, error: int, result: int,
              data: bytes | None) -> None:
    _op_done(file)
    if future.done():
        return  # cancelled: the position was never moved
    if error:
        future.set_exception(file._error(error))
    else:
        future.set_result(result if data is None else data)


def finish_many(file: AsyncFile, group: Group, op_id: int, error: int, _result: int,
                data: bytes | None) -> None:
    _op_done(file)
    index = group.index.pop(op_id, op_id - group.base) if group.index else op_id - group.base
    if error:
        if group.error is None:
            group.error = file._error(error)
    elif data is not None:
        group.results[index] = data
    group.remaining -= 1
    if not group.remaining and not group.future.done():
        if group.error is not None:
            group.future.set_exception(group.error)
        else:
            group.future.set_result(group.results)
