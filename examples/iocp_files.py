"""Awaitable file operations on top of ``_kiln.Iocp``.

``Iocp`` hands out an operation id for every submission and later delivers
batches of ``(id, winerror, result, data)`` tuples on the event loop's thread.
This adapter turns each id into an ``asyncio.Future``::

    async with IocpFiles() as files:
        handle = await files.open(path)
        data = await files.read(handle, 0, 4096)
        await files.close(handle)
"""

import asyncio

import _kiln


class IocpFiles:
    """File I/O through one ``Iocp`` on the running event loop."""

    def __init__(self, loop=None):
        self._loop = loop or asyncio.get_running_loop()
        self._pending = {}
        self._iocp = _kiln.Iocp(self._loop, self._on_complete)

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        self.shutdown()

    def shutdown(self):
        """Stops the completion thread; operations still pending never finish."""
        self._iocp.shutdown()
        for future in self._pending.values():
            if not future.done():
                future.set_exception(RuntimeError("Iocp has been shut down"))
        self._pending.clear()

    def open(self, path, *, write=False, create=False, truncate=False, exclusive=False):
        """Resolves to the new file handle."""
        return self._track(self._iocp.submit_open(path, write, create, truncate, exclusive))

    def read(self, handle, offset, length):
        """Resolves to the bytes read: fewer than asked at the end of the file."""
        return self._track(self._iocp.submit_read(handle, offset, length))

    def write(self, handle, offset, data):
        """Resolves to the number of bytes written."""
        return self._track(self._iocp.submit_write(handle, offset, data))

    async def close(self, handle):
        await self._track(self._iocp.submit_close(handle))

    def _track(self, op_id):
        future = self._loop.create_future()
        self._pending[op_id] = future
        return future

    def _on_complete(self, batch):
        for op_id, error, result, data in batch:
            future = self._pending.pop(op_id, None)
            if future is None or future.done():
                continue  # the caller stopped waiting (cancelled)
            if error:
                future.set_exception(OSError(0, f"I/O failed (winerror {error})", None, error))
            else:
                future.set_result(data if data is not None else result)
