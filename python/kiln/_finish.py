"""Group reads: many reads of one file resolved by one future."""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._raw import RawFile


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
        self.error: BaseException | None = None

    def cancel(self, file: RawFile) -> None:
        """Asks the system to stop the group's reads still in flight; their results are dropped."""
        for op_id, entry in list(file._pending.items()):
            if entry[2] is self:
                file._backend._cancel(op_id)


def finish_many(file: RawFile, group: Group, op_id: int, error: int, _result: int, data: Any) -> None:
    file._op_done()
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
