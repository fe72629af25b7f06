"""One completion port per event loop, and the operations in flight on it.

Where the loop can watch a descriptor (``add_reader``: the default selector
loop, uvloop), the port is an ``_kiln.LoopPort`` reaped on the loop's own
thread: reads and writes queue in it and reach the system once per loop
turn, and completions are taken when its descriptor turns readable. Other
loops get an ``_kiln.Iocp`` and its completion thread.

The completion thread of an ``_kiln.Iocp`` keeps strong references to the
``loop_obj`` and ``on_complete`` it was given for as long as it runs. Handing
it the backend, or the loop, would keep either alive for as long as the
thread runs: a forgotten backend or an event loop nobody closed could never be
collected. The thread gets a ``_Delivery`` instead, which reaches both only
through weak references.
"""

from __future__ import annotations

import asyncio
import atexit
import collections
import os
import sys
import threading
import time
import warnings
import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias, overload

import _kiln

from ._errors import ERROR_OPERATION_ABORTED, os_error
from ._modes import BinaryMode, StrOrBytesPath, TextMode

if TYPE_CHECKING:
    from ._binary import AsyncFile
    from ._open import Opener
    from ._text import AsyncTextFile

Completion: TypeAlias = tuple[int, int, int, Any]
# A pending operation: finish(owner, target, op_id, winerror, result, data) runs
# on the loop thread when its completion arrives.
Finish: TypeAlias = Callable[[Any, Any, int, int, int, Any], None]
Pending: TypeAlias = tuple[Finish, Any, Any]

# How long closing a backend waits for the completions it must see (opens,
# and the last writes of abandoned files) before it gives up on them.
_SETTLE_SECONDS = 5.0

# Where completions are reaped: on the loop's thread, or by a thread of the
# port's own. KILN_COMPLETIONS sets what kiln.open's backends use.
LOOP, THREAD = "loop", "thread"
_COMPLETIONS = (LOOP, THREAD)

# A task that keeps finding its reads in the cache never waits, so it yields
# to the loop after this many reads, or after this long, whichever is first.
# Up to UNTIMED_READ bytes a read is counted and not timed: 32 of them take
# far less than the time allowed, and a clock read would cost a tenth of one.
_READS_BEFORE_YIELD = 32
_SECONDS_BEFORE_YIELD = 0.001
UNTIMED_READ = 64 << 10


class _Delivery:
    """The ``loop_obj`` that the completion thread calls with each batch.

    It queues the batch and wakes the loop once for everything queued since
    the last wake-up. The queue stays reachable after the loop has stopped,
    so shutting down can still see completions the loop never ran.
    """

    __slots__ = ("_loop", "_backend", "batches", "_woken", "__weakref__")

    def __init__(self, loop: asyncio.AbstractEventLoop, backend: Backend) -> None:
        self._loop = weakref.ref(loop)
        self._backend = weakref.ref(backend)
        self.batches: collections.deque[list[Completion]] = collections.deque()
        self._woken = False

    def call_soon_threadsafe(self, _callback: object, batch: list[Completion]) -> None:
        """Runs on the completion thread, holding the interpreter lock."""
        self.batches.append(batch)
        if self._woken:
            return
        loop = self._loop()
        if loop is None:
            return  # the loop is gone: shutting down reads the queue
        self._woken = True
        try:
            loop.call_soon_threadsafe(self._deliver)
        except BaseException:
            self._woken = False  # the loop is closed: shutting down reads the queue
            raise

    def _deliver(self) -> None:
        self._woken = False
        backend = self._backend()
        if backend is not None:
            backend._drain()


class _Reaper:
    """What the loop calls when a LoopPort's descriptor turns readable.

    It reaches the backend weakly: the loop's reader must not keep a
    forgotten backend alive."""

    __slots__ = ("_backend",)

    def __init__(self, backend: Backend) -> None:
        self._backend = weakref.ref(backend)

    def __call__(self) -> None:
        backend = self._backend()
        if backend is not None:
            backend._reap()


class Backend:
    """One completion port serving files on one event loop.

    ``kiln.open`` uses one backend per event loop, made on first use and shut
    down when the loop closes, when it is collected, or when the thread that
    made it ends. Make one yourself for an explicit lifetime::

        async with kiln.Backend() as backend:
            f = await backend.open("data.bin", "rb")

    ``completions`` chooses where completions are reaped: ``"loop"`` (on the
    loop's thread; the loop must offer ``add_reader``) or ``"thread"`` (a
    completion thread); by default the loop's thread wherever it can be.
    ``cached_reads=False`` sends every read to the engine, even when the file
    cache holds its bytes. Closing the backend closes its files first. Use it
    from the loop's thread only.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop | None = None, *, completions: str | None = None,
                 cached_reads: bool = True) -> None:
        self._closed = True  # until the port exists, for __del__
        loop = asyncio.get_running_loop() if loop is None else loop
        self._loop_ref = weakref.ref(loop)
        self._owner = threading.get_ident()
        self._pending: dict[int, Pending] = {}
        # Handles an open delivered that no file has taken yet: closed with
        # the backend, if the loop stops before the opener resumes.
        self._unclaimed: set[int] = set()
        self._files: weakref.WeakSet[AsyncFile] = weakref.WeakSet()
        self._idle: asyncio.Future[None] | None = None
        self._warn_unclosed = True
        self._stopped = False
        self._reads_left = _READS_BEFORE_YIELD
        self._yield_at = 0.0
        self._flush_due = False
        self._signal = -1
        self._delivery: _Delivery | None = None
        # The calls the files make: a read of what the cache holds (None where
        # every read goes to the engine), a group's reads in one call (None:
        # one submission each), and the submissions that wait for a flush.
        self._read_now: Callable[[int, int, int], bytes | int] | None = None
        self._read_many: Callable[[int, list[tuple[int, int]]], list[bytes] | int] | None = None
        # The LoopPort of the loop path, also as _iocp; None on the thread path and once stopped.
        self._port: _kiln.LoopPort | None = None
        self.completions = _completions_for(loop, completions)
        if self.completions == LOOP:
            port = self._port = _kiln.LoopPort(cached_reads=cached_reads)
            self._iocp: _kiln.Iocp | _kiln.LoopPort | _Stopped = port
            try:
                self._signal = port.fileno()
                loop.add_reader(self._signal, _Reaper(self))
            except BaseException:
                port.shutdown()
                raise
            if cached_reads:
                self._read_now = port.read
            self._read_many = port.read_many
        else:
            self._delivery = _Delivery(loop, self)
            self._iocp = _kiln.Iocp(self._delivery, _unused)
        _exit_step_after_the_modules()
        self._closed = False

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        loop = self._loop_ref()
        if loop is None:
            raise RuntimeError("the kiln backend's event loop is gone")
        return loop

    @property
    def closed(self) -> bool:
        return self._closed

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._pending)} in flight"
        return f"<kiln.Backend {state}>"

    @overload
    def open(self, file: StrOrBytesPath, mode: BinaryMode = "rb", *, buffering: int = -1,
             encoding: None = None, errors: None = None, newline: None = None) -> Opener[AsyncFile]: ...
    @overload
    def open(self, file: StrOrBytesPath, mode: TextMode, *, buffering: int = -1, encoding: str | None = None,
             errors: str | None = None, newline: str | None = None) -> Opener[AsyncTextFile]: ...
    @overload
    def open(self, file: StrOrBytesPath, mode: str, *, buffering: int = -1, encoding: str | None = None,
             errors: str | None = None, newline: str | None = None) -> Opener[Any]: ...

    def open(self, file: StrOrBytesPath, mode: str = "rb", *, buffering: int = -1, encoding: str | None = None,
             errors: str | None = None, newline: str | None = None) -> Opener[Any]:
        """``kiln.open`` on this backend."""
        from ._open import Opener

        return Opener(self, file, mode, buffering, encoding, errors, newline)

    def engine(self) -> str:
        """The engine this backend's reads and writes run on (see ``kiln.engine``)."""
        return _kiln.Iocp.engine()

    # The loop's side of a LoopPort.

    def submit_read(self, handle: int, offset: int, size: int) -> int:
        op_id: int = self._iocp.submit_read(handle, offset, size)
        if self._signal >= 0 and not self._flush_due:
            self._flush_soon()
        return op_id

    def submit_write(self, handle: int, offset: int, data: bytes) -> int:
        op_id: int = self._iocp.submit_write(handle, offset, data)
        if self._signal >= 0 and not self._flush_due:
            self._flush_soon()
        return op_id

    def _flush_soon(self) -> None:
        """Once per loop turn: the turn's reads and writes go to the system together."""
        self._flush_due = True
        self.loop.call_soon(self._flush)

    def _flush(self) -> None:
        self._flush_due = False
        if self._port is not None and self._port.flush():
            # Cached reads complete inside the flush: finish them now, not a turn later.
            self._reap()

    def _reap(self) -> None:
        if self._port is None:
            return
        self._finish_batch(self._port.reap(), False)
        if not self._pending and self._idle is not None and not self._idle.done():
            self._idle.set_result(None)

    def _weight(self, size: int) -> int:
        """What a read that needed no wait counts against the turn's budget: a
        large one counts it all once the turn has run for its time."""
        if size <= UNTIMED_READ:
            return 1
        now = _now()
        if self._yield_at == 0.0:
            self._yield_at = now + _SECONDS_BEFORE_YIELD
        return _READS_BEFORE_YIELD if now >= self._yield_at else 1

    async def _yield(self) -> None:
        """Lets the loop run a turn, then starts a new budget."""
        self._reads_left = _READS_BEFORE_YIELD
        self._yield_at = 0.0
        await asyncio.sleep(0)

    async def __aenter__(self) -> Backend:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes the backend's files, waits for everything in flight, then stops the thread."""
        if self._closed:
            return
        files = list(self._files)
        results = await asyncio.gather(*(f.close() for f in files), return_exceptions=True)
        while self._pending:
            self._idle = self.loop.create_future()
            await self._idle
        self.close()
        for result in results:
            if isinstance(result, BaseException):
                raise result

    def close(self) -> None:
        """Stops at once: files still open are closed (with a ``ResourceWarning``),
        opens still in flight have their handles closed, other operations in flight
        are cancelled and fail as aborted."""
        if self._closed:
            return
        self._closed = True
        self._settle()
        for f in list(self._files):
            f._abandon(warn=True)
        for handle in self._unclaimed:
            self._close_quietly(handle)
        self._unclaimed.clear()
        self._settle()
        if self._signal >= 0:
            self._forget_signal()
        # The port cancels what is left in flight and is closed once the
        # system is done with every buffer.
        self._iocp.shutdown()
        self._stopped = True
        # A port may only be freed on the thread that made it, which this one
        # is; a backend itself may be collected later on any thread.
        self._iocp = _Stopped()
        self._port = None
        self._read_now = self._read_many = None
        self._drain(quiet=True)
        # What never completed fails as aborted, so nobody waits for it forever.
        abandoned = list(self._pending.items())
        self._pending.clear()
        for op_id, (finish, owner, target) in abandoned:
            try:
                finish(owner, target, op_id, ERROR_OPERATION_ABORTED, 0, None)
            except Exception:
                pass

    def __del__(self) -> None:
        if self._closed:
            return
        if self._warn_unclosed:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self)
        if threading.get_ident() == self._owner:
            self.close()
            return
        loop = self._loop_ref()
        try:
            if loop is None:
                raise RuntimeError("the loop is gone")
            loop.call_soon_threadsafe(self.close)
        except RuntimeError:
            _orphans.append(self)  # closed by its own thread, at its next use of kiln or as it ends

    # Used by the files.

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the kiln backend has been closed")

    def _submit(self, op_id: int, finish: Finish, owner: object, target: object) -> int:
        self._pending[op_id] = (finish, owner, target)
        return op_id

    def _submit_open(self, path: str, filename: str | bytes, read: bool, write: bool, create: bool,
                     truncate: bool, exclusive: bool, append: bool) -> tuple[int, asyncio.Future[int]]:
        self._check_open()
        future: asyncio.Future[int] = self.loop.create_future()
        op_id = self._iocp.submit_open(path, write, create, truncate, exclusive, append=append, read=read)
        self._pending[op_id] = (_finish_open, self, (filename, future))
        return op_id, future

    def _close_quietly(self, handle: int) -> None:
        """Closes a handle nobody waits on; its completion is dropped."""
        if threading.get_ident() != self._owner:
            self.loop.call_soon_threadsafe(self._close_quietly, handle)
        elif not self._stopped:
            op_id = self._iocp.submit_close(handle)
            self._pending[op_id] = (_finish_quietly, self, None)

    def _write_then_close(self, handle: int, offset: int, data: bytes) -> None:
        """The last write of a file that nobody closed; the handle is closed after it."""
        if threading.get_ident() != self._owner:
            self.loop.call_soon_threadsafe(self._write_then_close, handle, offset, data)
            return
        if self._stopped:
            return
        op_id = self.submit_write(handle, offset, data)
        self._pending[op_id] = (_finish_then_close, self, handle)

    def _cancel(self, op_id: int) -> None:
        """Asks the system to stop an operation whose caller went away."""
        if not self._stopped and op_id in self._pending:
            self._iocp.cancel(op_id)

    def _forget_signal(self) -> None:
        loop = self._loop_ref()
        signal, self._signal = self._signal, -1
        if loop is not None and not loop.is_closed():
            loop.remove_reader(signal)

    def _drain(self, quiet: bool = False) -> None:
        """Finishes every completion that has arrived."""
        if self._delivery is None:
            if self._port is not None:
                self._port.flush()
                self._finish_batch(self._port.reap(), quiet)
        else:
            batches = self._delivery.batches
            while batches:
                self._finish_batch(batches.popleft(), quiet)
        if not self._pending and self._idle is not None and not self._idle.done():
            self._idle.set_result(None)

    def _finish_batch(self, batch: list[Completion], quiet: bool) -> None:
        pending = self._pending
        for op_id, error, result, data in batch:
            entry = pending.pop(op_id, None)
            if entry is None:
                continue
            if quiet:
                try:
                    entry[0](entry[1], entry[2], op_id, error, result, data)
                except Exception:  # the loop is closing: nobody can take the result
                    pass
            else:
                entry[0](entry[1], entry[2], op_id, error, result, data)

    def _settle(self) -> None:
        """Waits, off the loop, for the completions that carry handles to close.

        Opens and the last writes of forgotten files run on the engine; the
        thread needs the interpreter lock to deliver them, which sleeping lets go."""
        deadline = time.monotonic() + _SETTLE_SECONDS
        while True:
            self._drain(quiet=True)
            if not any(entry[0] in _MUST_SETTLE for entry in self._pending.values()):
                return
            if time.monotonic() > deadline:
                return
            time.sleep(0.001)


_now = time.perf_counter


def _completions_for(loop: asyncio.AbstractEventLoop, asked: str | None) -> str:
    """Where this backend's completions are reaped: as asked, else the loop's
    thread wherever the loop can watch a descriptor."""
    if asked is None:
        asked = os.environ.get("KILN_COMPLETIONS") or None
    if asked is not None and asked not in _COMPLETIONS:
        raise ValueError(f"completions must be 'loop' or 'thread', not {asked!r}")
    offered = sys.platform != "win32" and _watches_descriptors(loop)
    if asked == LOOP and not offered:
        raise ValueError(f"completions='loop' needs a loop with add_reader, not {type(loop).__name__}")
    return asked or (LOOP if offered else THREAD)


def _watches_descriptors(loop: asyncio.AbstractEventLoop) -> bool:
    add_reader = getattr(type(loop), "add_reader", None)
    return add_reader is not None and add_reader is not asyncio.AbstractEventLoop.add_reader and \
        not (hasattr(asyncio, "ProactorEventLoop") and isinstance(loop, getattr(asyncio, "ProactorEventLoop")))


def completions(loop: asyncio.AbstractEventLoop | None = None) -> str:
    """Where kiln reaps the completions of the loop's files: ``"loop"`` (on the
    loop's own thread) or ``"thread"`` (a completion thread's)."""
    loop = asyncio.get_running_loop() if loop is None else loop
    backend = _per_loop.get(loop)
    if backend is not None and not backend._closed:
        return backend.completions
    return _completions_for(loop, None)


def _finish_open(backend: Backend, target: tuple[str | bytes, asyncio.Future[int]], _op_id: int,
                 error: int, handle: int, _data: object) -> None:
    filename, future = target
    if future.done() or backend._closed:
        # Cancelled, or its loop is closing and nothing will take the handle.
        if not error:
            backend._close_quietly(handle)
        if not future.done():
            future.set_exception(RuntimeError("the kiln backend has been closed"))
    elif error:
        future.set_exception(os_error(error, filename))
    else:
        backend._unclaimed.add(handle)
        future.set_result(handle)


def _finish_then_close(backend: Backend, handle: int, _op_id: int, _error: int, _count: int,
                       _data: object) -> None:
    backend._close_quietly(handle)


def _finish_quietly(_backend: Backend, _target: object, _op_id: int, _error: int, _result: int,
                    _data: object) -> None:
    pass


_MUST_SETTLE: frozenset[Finish] = frozenset({_finish_open, _finish_then_close})

# The backends that kiln.open made, one per event loop, each also listed with
# the thread that made it, which closes it as it ends.
_per_loop: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Backend] = weakref.WeakKeyDictionary()
# Backends dropped on another thread than their own: closed by their own thread.
_orphans: list[Backend] = []


class _ThreadBackends:
    """The backends of one thread; closed when the thread ends (its locals go then)."""

    def __init__(self) -> None:
        self.backends: weakref.WeakSet[Backend] = weakref.WeakSet()

    def __del__(self) -> None:
        _close_all(list(self.backends))


_thread_local = threading.local()


def _thread_backends() -> _ThreadBackends:
    backends: _ThreadBackends | None = getattr(_thread_local, "backends", None)
    if backends is None:
        backends = _thread_local.backends = _ThreadBackends()
    return backends


def _close_all(backends: list[Backend]) -> None:
    me = threading.get_ident()
    for backend in backends:
        if backend._owner == me:
            try:
                backend.close()
            except Exception:
                pass


def _close_orphans() -> None:
    me = threading.get_ident()
    mine = [backend for backend in _orphans if backend._owner == me]
    if mine:
        _orphans[:] = [backend for backend in _orphans if backend._owner != me]
        _close_all(mine)


def loop_backend(loop: asyncio.AbstractEventLoop) -> Backend:
    """The backend of this loop, made on first use and shut down when the loop closes."""
    backend = _per_loop.get(loop)
    if backend is None or backend._closed:
        if _orphans:
            _close_orphans()
        backend = Backend(loop)
        backend._warn_unclosed = False
        _per_loop[loop] = backend
        _thread_backends().backends.add(backend)
        _close_with_loop(loop, weakref.ref(backend))
    return backend


def _close_with_loop(loop: asyncio.AbstractEventLoop, backend_ref: weakref.ref[Backend]) -> None:
    """Shuts the loop's backend down when ``loop.close()`` is called, or when the loop is collected.

    asyncio has no hook for a loop's close, so the instance's ``close`` is
    wrapped; the wrapper removes itself. A close that asyncio refuses (the loop
    is running) changes nothing.
    """
    original = loop.close

    def close() -> None:
        if loop.is_running():
            original()  # refused with RuntimeError: the backend carries on
            return
        try:
            backend = backend_ref()
            if backend is not None:
                _per_loop.pop(loop, None)
                backend.close()
        finally:
            try:
                del loop.close
            except AttributeError:
                pass
            original()

    try:
        loop.close = close  # type: ignore[method-assign]
    except AttributeError:
        pass

    def collected(ref: weakref.ref[asyncio.AbstractEventLoop]) -> None:
        _loop_finalizers.discard(ref)
        backend = backend_ref()
        if backend is None or backend._closed:
            return
        if threading.get_ident() == backend._owner:
            backend.close()
        else:
            _orphans.append(backend)

    _loop_finalizers.add(weakref.ref(loop, collected))


# Keeps the weak references whose callbacks close a collected loop's backend.
_loop_finalizers: set[weakref.ref[asyncio.AbstractEventLoop]] = set()

_exit_step_registered = False


def _exit_step_after_the_modules() -> None:
    """Registers the package's exit step once the module has registered its own.

    Exit callbacks run last registered first. The module registers its step,
    which stops every Iocp, when it makes the first one; registered after it,
    the package's step runs before it and can still write what files buffer."""
    global _exit_step_registered
    if not _exit_step_registered:
        _exit_step_registered = True
        atexit.register(_at_exit)


def _at_exit() -> None:
    """Closes this thread's backends, writing what their files still buffer."""
    backends = list(_per_loop.values()) + list(_thread_backends().backends) + _orphans
    _close_all(list(dict.fromkeys(backends)))


class _Stopped:
    """Stands for the Iocp of a backend that has stopped."""

    def _refuse(self, *_args: object, **_kwargs: object) -> int:
        raise RuntimeError("the kiln backend has been closed")

    submit_open = submit_read = submit_write = submit_close = submit_size = submit_truncate = _refuse
    submit_sync = read = read_many = _refuse
    submit_stat = submit_stat_handle = submit_rename = submit_unlink = submit_mkdir = submit_rmdir = _refuse
    submit_symlink = submit_link = submit_readlink = submit_listdir = submit_copyfile = submit_chmod = _refuse
    submit_utime = submit_access = submit_realpath = _refuse
    submit_stat_many = submit_unlink_many = submit_rmdir_many = submit_listdir_many = _refuse

    def flush(self) -> bool:
        return False

    def reap(self) -> list[Completion]:
        return []

    def cancel(self, _op_id: int) -> bool:
        return False

    def file_type(self, _handle: int) -> int:
        return 0

    def shutdown(self) -> None:
        pass


def _unused(_batch: list[Completion]) -> None:
    """The ``on_complete`` the thread is given: ``_Delivery`` never calls it."""
