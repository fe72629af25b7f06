"""The lock that makes one file's stream calls run one at a time."""

from __future__ import annotations

import asyncio
import collections


class StreamLock:
    """Runs a file's stream calls (reads, writes, seeks...) one at a time, in arrival order.

    The built-in file's internal lock does the same for threads. A waiter that
    is cancelled leaves the queue; if it was cancelled just as the lock was
    handed to it, the lock goes on to the next waiter.
    """

    __slots__ = ("_held", "_waiters")

    def __init__(self) -> None:
        self._held = False
        self._waiters: collections.deque[asyncio.Future[None]] = collections.deque()

    def try_acquire(self) -> bool:
        """Takes the lock if nobody holds it or waits for it; no await, so the common case costs nothing."""
        if self._held or self._waiters:
            return False
        self._held = True
        return True

    async def acquire(self) -> None:
        if self.try_acquire():
            return
        waiter: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._waiters.append(waiter)
        try:
            await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled():
                self.release()  # handed over, but its caller is gone
            else:
                try:
                    self._waiters.remove(waiter)
                except ValueError:
                    pass
            raise

    def release(self) -> None:
        """Hands the lock to the first waiter still waiting, or frees it."""
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return
        self._held = False

    @property
    def locked(self) -> bool:
        return self._held
