"""What binary and text files share: reading by lines."""

from __future__ import annotations

import abc
import operator
from collections.abc import AsyncIterator


class LineReading[T: (bytes, str)](abc.ABC):
    """`readlines` and `async for` over a file's own `readline`."""

    @abc.abstractmethod
    async def readline(self, size: int = -1) -> T: ...

    @abc.abstractmethod
    def _check_open(self) -> None: ...

    async def readlines(self, hint: int | None = -1) -> list[T]:
        """The remaining lines; stops once they hold more than ``hint`` characters or bytes, if ``hint`` > 0."""
        limit = -1 if hint is None else operator.index(hint)
        self._check_open()  # as iterating a closed file refuses at once
        lines: list[T] = []
        total = 0
        # By iterating, as the built-in does (a text file's tell() notices).
        async for line in self:
            lines.append(line)
            total += len(line)
            if 0 < limit < total:
                break
        return lines

    def __aiter__(self) -> AsyncIterator[T]:
        self._check_open()
        return self

    async def __anext__(self) -> T:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line
