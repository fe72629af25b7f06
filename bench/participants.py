"""The participants: one way each of doing file I/O from asyncio.

Every asynchronous participant opens files as an adapter with the same three
coroutine-like callables, ``read(offset, size)``, ``write(offset, data)`` and
``close()``, so that one driver per workload runs them all the same way.
Those whose files have one shared position (aiofiles, anyio) open a file per
worker, as their users must, and seek before each operation that is not at
the current position.
"""

import asyncio
import os
from dataclasses import dataclass

import _kiln

MODULE_PARTICIPANTS = ("iocp", "kiln", "kiln-thread", "kiln-async", "kiln-many", "kiln-many-thread")


class IdFutures:
    """Operation ids mapped to futures: the completion side of one Iocp."""

    def __init__(self, loop):
        self._loop = loop
        self._pending = {}

    def future(self, op_id):
        future = self._loop.create_future()
        self._pending[op_id] = future
        return future

    def on_complete(self, batch):
        pop = self._pending.pop
        for op_id, error, result, data in batch:
            future = pop(op_id)
            if error:
                future.set_exception(OSError(0, f"I/O failed (winerror {error})", None, error))
            else:
                future.set_result((result, data))


class ResolvedAtOnce:
    """Stands in for Iocp with no thread and no I/O: every operation completes
    in the next batch of the loop, which goes through the same on_complete.

    Files it creates live in memory, so written data reads back and can be
    verified; reads of an existing file return one ready-made block, and
    writes to one are dropped.
    """

    def __init__(self, loop, on_complete):
        self._loop = loop
        self._on_complete = on_complete
        self._batch = []
        self._next_id = 0
        self._files = {}
        self._blocks = {}

    def _post(self, error, result, data):
        op_id = self._next_id
        self._next_id += 1
        if not self._batch:
            self._loop.call_soon(self._deliver)
        self._batch.append((op_id, error, result, data))
        return op_id

    def _deliver(self):
        batch, self._batch = self._batch, []
        self._on_complete(batch)

    def submit_open(self, path, write, create, truncate, exclusive):
        handle = 4 * (len(self._files) + 1)
        self._files[handle] = bytearray() if create else None
        return self._post(0, handle, None)

    def submit_read(self, handle, offset, size):
        contents = self._files[handle]
        if contents is None:
            data = self._blocks.get(size) or self._blocks.setdefault(size, bytes(size))
        else:
            data = bytes(contents[offset:offset + size])
        return self._post(0, len(data), data)

    def submit_write(self, handle, offset, data):
        contents = self._files[handle]
        if contents is None:
            return self._post(0, len(data), None)
        if len(contents) < offset:
            contents.extend(bytes(offset - len(contents)))
        contents[offset:offset + len(data)] = data
        return self._post(0, len(data), None)

    def submit_close(self, handle):
        self._files.pop(handle)
        return self._post(0, 0, None)

    def shutdown(self):
        pass


class PipelineFile:
    """A file on an Iocp (or its stand-in) whose operations await futures."""

    def __init__(self, backend, futures, handle):
        self._backend = backend
        self._futures = futures
        self._handle = handle

    async def read(self, offset, size):
        _, data = await self._futures.future(self._backend.submit_read(self._handle, offset, size))
        return data

    async def write(self, offset, data):
        count, _ = await self._futures.future(self._backend.submit_write(self._handle, offset, data))
        return count

    async def close(self):
        await self._futures.future(self._backend.submit_close(self._handle))


class Pipeline:
    """One Iocp or stand-in per participant run, shut down at its end."""

    def __init__(self, make_backend):
        self._make_backend = make_backend
        self._backend = None
        self._futures = None

    async def open(self, path, mode):
        if self._backend is None:
            self._futures = IdFutures(asyncio.get_running_loop())
            self._backend = self._make_backend(asyncio.get_running_loop(), self._futures.on_complete)
        write, create, truncate = {"rb": (False, False, False), "r+b": (True, False, False),
                                   "w+b": (True, True, True)}[mode]
        handle, _ = await self._futures.future(self._backend.submit_open(path, write, create, truncate, False))
        return PipelineFile(self._backend, self._futures, handle)

    def finish(self):
        if self._backend is not None:
            self._backend.shutdown()


class ExecutorFile:
    def __init__(self, fd):
        self._fd = fd

    async def read(self, offset, size):
        return await asyncio.get_running_loop().run_in_executor(None, os.pread, self._fd, size, offset)

    async def write(self, offset, data):
        return await asyncio.get_running_loop().run_in_executor(None, os.pwrite, self._fd, data, offset)

    async def close(self):
        os.close(self._fd)


class PositionedFile:
    """A file object with one position (aiofiles, anyio): seek, then read or write."""

    def __init__(self, file):
        self._file = file
        self._position = 0

    async def _at(self, offset):
        if offset != self._position:
            await self._file.seek(offset)
            self._position = offset

    async def read(self, offset, size):
        await self._at(offset)
        data = await self._file.read(size)
        self._position += len(data)
        return data

    async def write(self, offset, data):
        await self._at(offset)
        count = await self._file.write(data)
        self._position += count
        return count

    async def close(self):
        await self._file.aclose() if hasattr(self._file, "aclose") else await self._file.close()


class KilnFile:
    """A kiln.AsyncFile through its positional calls."""

    def __init__(self, file):
        self.read = file.pread
        self.write = file.pwrite
        self.close = file.close
        self.read_many = getattr(file, "pread_many", None)


OS_FLAGS = {"rb": os.O_RDONLY, "r+b": os.O_RDWR, "w+b": os.O_RDWR | os.O_CREAT | os.O_TRUNC}


@dataclass
class Participant:
    name: str
    describe: str
    per_worker: bool = False   # its files have one shared position
    batched: bool = False      # reads go as one call per group of `depth`
    synchronous: bool = False  # the floor: no loop involved
    engine: object = None      # the module's engine it runs on, for module participants
    reason: str = ""           # why it cannot run here; empty when it can

    @property
    def key(self):
        return f"{self.name} ({self.engine.key})" if self.engine else self.name

    def session(self):
        """An object with async open(path, mode) and finish(), for one run."""
        return _SESSIONS[self.name]()


class _Stateless:
    """A session that keeps nothing between opens: nothing to finish."""

    def finish(self):
        pass


class _Executor(_Stateless):
    async def open(self, path, mode):
        return ExecutorFile(os.open(path, OS_FLAGS[mode], 0o644))


class _Aiofiles(_Stateless):
    async def open(self, path, mode):
        import aiofiles
        return PositionedFile(await aiofiles.open(path, mode))


class _Anyio(_Stateless):
    async def open(self, path, mode):
        import anyio
        return PositionedFile(await anyio.open_file(path, mode))


class _Kiln(_Stateless):
    async def open(self, path, mode):
        import kiln
        return KilnFile(await kiln.open(path, mode))


class _KilnBackend:
    """kiln on a backend of its own: completions reaped where asked, cached reads or not."""

    def __init__(self, completions, cached_reads=True):
        self._options = {"completions": completions, "cached_reads": cached_reads}
        self._backend = None

    async def open(self, path, mode):
        import kiln
        if self._backend is None:
            self._backend = kiln.Backend(**self._options)
        return KilnFile(await self._backend.open(path, mode))

    def finish(self):
        if self._backend is not None:
            self._backend.close()


_SESSIONS = {
    "ceiling": lambda: Pipeline(ResolvedAtOnce),
    "executor": _Executor,
    "aiofiles": _Aiofiles,
    "anyio": _Anyio,
    "iocp": lambda: Pipeline(_kiln.Iocp),
    "kiln": _Kiln,
    "kiln-thread": lambda: _KilnBackend("thread"),
    "kiln-async": lambda: _KilnBackend("loop", cached_reads=False),
    "kiln-many": _Kiln,
    "kiln-many-thread": lambda: _KilnBackend("thread"),
}


def _missing(module):
    try:
        __import__(module)
    except ImportError as error:
        return f"{module} not installed ({error})"
    return ""


def _kiln_reason(batched, completions=None):
    try:
        import kiln
    except ImportError:
        return "kiln package not installed"
    if not hasattr(kiln, "open"):
        return "the kiln package has no open()"
    if completions == "loop" and not hasattr(kiln, "completions"):
        return "this kiln has no loop path"
    if batched and not hasattr(getattr(kiln, "AsyncFile", None), "pread_many"):
        return "kiln.AsyncFile has no pread_many"
    return ""


def unsupported(participant, kind):
    """Why a participant has no figure of its own for a kind of workload."""
    if participant.batched and kind == "write":
        return "no batched write in the kiln package: its writes are kiln's"
    if participant.batched and kind in ("fs-copy", "fs-delete"):
        return "kiln.shutil is kiln's one form of these: its figures are kiln's"
    if participant.name in ("kiln-thread", "kiln-async") and kind.startswith("fs-"):
        return "kiln.os and kiln.shutil run on the loop's own backend: their figures are kiln's"
    return ""


def all_participants(engines):
    """Every participant, the module's once per engine, each with its reason
    for not running here (empty when it runs)."""
    plain = [
        Participant("floor", "synchronous os.pread/os.pwrite loop, no asyncio", synchronous=True),
        Participant("ceiling", "the iocp pipeline with futures resolved at once, no I/O"),
        Participant("executor", "loop.run_in_executor(None, os.pread, ...)"),
        Participant("aiofiles", "aiofiles.open, seek + read per operation, a file per worker", per_worker=True,
                    reason=_missing("aiofiles")),
        Participant("anyio", "anyio.open_file on asyncio, seek + read, a file per worker", per_worker=True,
                    reason=_missing("anyio")),
    ]
    module = []
    for engine in engines:
        module += [
            Participant("iocp", "raw _kiln.Iocp, ids mapped to futures", engine=engine),
            Participant("kiln", "kiln.open + pread/pwrite: completions on the loop, cached reads at once",
                        engine=engine, reason=_kiln_reason(False)),
            Participant("kiln-thread", "kiln with a completion thread (Backend(completions='thread'))",
                        engine=engine, reason=_kiln_reason(False)),
            Participant("kiln-async", "kiln on the loop, every read to the engine (cached_reads=False)",
                        engine=engine, reason=_kiln_reason(False, "loop")),
            Participant("kiln-many", "kiln pread_many in groups of the depth, on the loop", batched=True,
                        engine=engine, reason=_kiln_reason(True)),
            Participant("kiln-many-thread", "kiln pread_many in groups of the depth, completion thread",
                        batched=True, engine=engine, reason=_kiln_reason(True)),
        ]
    return plain + module
