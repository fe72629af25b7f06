"""Iocp under injected system failures, misuse, and exit while running."""

import faulthandler
import os
import sys
import threading
import time
import weakref

import pytest

import _kiln
from iocp_helpers import Session, io, run_python, settles  # noqa: F401 - io is a fixture
from support import touch, winerror

pytestmark = pytest.mark.usefixtures("emu")

ERROR_INVALID_PARAMETER = 87
ERROR_INVALID_HANDLE = 6


@pytest.fixture(autouse=True)
def no_hang():
    """A stop sequence that hangs ends the run with a traceback instead."""
    faulthandler.dump_traceback_later(20, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def threads():
    return len(os.listdir("/proc/self/task"))


def test_port_creation_failure(emu):
    loop_obj, before = object(), threads()
    refs = sys.getrefcount(loop_obj)
    emu.fail_next("CreateIoCompletionPort", 8)
    with pytest.raises(OSError) as caught:
        _kiln.Iocp(loop_obj, print)
    assert caught.value.args == ("CreateIoCompletionPort failed",)
    assert caught.value.errno is None and getattr(caught.value, "winerror", None) is None
    assert threads() == before and sys.getrefcount(loop_obj) == refs


def test_thread_start_failure(emu):
    loop_obj, handles = object(), emu.open_handles()
    refs = sys.getrefcount(loop_obj)
    emu.fail_next("CreateThread", 8)
    with pytest.raises(BaseException) as caught:
        _kiln.Iocp(loop_obj, print)
    assert type(caught.value).__name__ == "InternalFailure"
    assert str(caught.value).startswith("failed to spawn thread: Not enough memory")
    assert emu.open_handles() == handles and sys.getrefcount(loop_obj) == refs


def test_join_failure_leaves_the_port_open_and_the_object_shut_down(emu):
    handles = emu.open_handles()
    iocp = _kiln.Iocp(object(), print)
    emu.fail_next("WaitForSingleObject", ERROR_INVALID_HANDLE)
    with pytest.raises(BaseException) as caught:
        iocp.shutdown()
    assert type(caught.value).__name__ == "InternalFailure"
    assert str(caught.value) == "failed to join on thread: The handle is invalid."
    assert emu.open_handles() == handles + 1
    assert iocp.shutdown() is None
    with pytest.raises(RuntimeError, match="Iocp has been shut down"):
        iocp.submit_close(-4)


def test_failed_wait_ends_the_thread_quietly(io, emu):
    handles = emu.open_handles()
    assert io.close(-4) == (6, 0, None)
    time.sleep(0.05)  # the thread is back in its wait
    emu.fail_next("GetQueuedCompletionStatusEx", ERROR_INVALID_HANDLE)
    assert io.close(-4) == (6, 0, None)  # delivered; the next wait fails
    late = io.iocp.submit_close(-4)
    assert not io.run_until(lambda: late in io.done, timeout=0.2)
    io.iocp.shutdown()
    assert emu.open_handles() == handles - 1


def test_failed_stop_packet_does_not_hang_shutdown(emu):
    handles = emu.open_handles()
    iocp = _kiln.Iocp(object(), print)
    emu.fail_next("PostQueuedCompletionStatus", 1450)
    assert iocp.shutdown() is None
    assert emu.open_handles() == handles


class Mark:
    pass


class LocalsLoop:
    """Its call_soon_threadsafe runs on the completion thread and leaves a
    mark in that thread's locals, which live as long as its thread state."""

    def __init__(self):
        self.local = threading.local()
        self.marks = []
        self.batches = 0

    def call_soon_threadsafe(self, callback, batch):
        if not hasattr(self.local, "mark"):
            self.local.mark = Mark()
            self.marks.append(weakref.ref(self.local.mark))
        self.batches += 1


def fail_the_next_wait(iocp, emu, loop):
    time.sleep(0.05)  # the thread is back in its wait
    emu.fail_next("GetQueuedCompletionStatusEx", ERROR_INVALID_HANDLE)
    iocp.submit_close(-4)
    # Delivered alone: the wait after it fails and the thread ends. A stop
    # packet in the same batch would leave the failure armed for later tests.
    assert settles(lambda: loop.batches == 4)


THREAD_ENDS = {
    "shutdown": lambda iocp, emu, loop: iocp.shutdown(),
    "freed running": lambda iocp, emu, loop: None,
    "failed wait": fail_the_next_wait,
}


@pytest.mark.parametrize("end", THREAD_ENDS)
def test_the_thread_state_ends_with_the_completion_thread(emu, end):
    loop = LocalsLoop()
    iocp = _kiln.Iocp(loop, print)
    for batches in range(1, 4):
        iocp.submit_close(-4)
        assert settles(lambda: loop.batches == batches)
    THREAD_ENDS[end](iocp, emu, loop)
    del iocp  # stops it if still running
    assert loop.marks and settles(lambda: all(mark() is None for mark in loop.marks))


@pytest.mark.parametrize("method", ["submit_open", "submit_read", "submit_write", "submit_close"])
def test_submissions_after_shutdown_are_refused(emu, tmp_path, method):
    iocp = _kiln.Iocp(object(), print)
    iocp.shutdown()
    other = emu.create_port()  # may reuse the value of the closed port
    blocks = emu.heap_blocks()
    args = {"submit_open": (str(tmp_path / "new"), True, True, False, False), "submit_read": (other, 0, 1),
            "submit_write": (other, 0, b"x"), "submit_close": (other,)}[method]
    with pytest.raises(RuntimeError, match="^Iocp has been shut down$"):
        getattr(iocp, method)(*args)
    assert not (tmp_path / "new").exists() and emu.heap_blocks() == blocks
    assert emu.close_handle(other)


def test_closing_the_objects_own_port_is_refused(emu):
    free = emu.create_port()
    emu.close_handle(free)
    session = Session()  # its port takes the lowest free value
    try:
        assert session.close(free) == (ERROR_INVALID_HANDLE, 0, None)
        assert session.close(-4) == (ERROR_INVALID_HANDLE, 0, None)
    finally:
        session.end()


POST_FAILURES = {
    "open": lambda io, path, handle: io.iocp.submit_open(path, False, False, False, False),
    "read-at-end": lambda io, path, handle: io.iocp.submit_read(handle, 4, 10),
    "read-offset": lambda io, path, handle: io.iocp.submit_read(handle, 2 ** 63, 10),
    "write-invalid": lambda io, path, handle: io.iocp.submit_write(-4, 0, b"data"),
    "close": lambda io, path, handle: io.iocp.submit_close(-4),
}


@pytest.mark.parametrize("case", POST_FAILURES)
def test_failed_post_of_a_record_is_raised_and_the_record_freed(io, emu, tmp_path, case):
    path = touch(tmp_path / "f", b"data")
    handle = io.opened(path)
    handles, blocks = emu.open_handles(), emu.heap_blocks()
    if case in ("open", "close"):
        # A call the engine runs posts its own packet; one that cannot start
        # is posted by the submission.
        emu.fail_next("FileCall", 8)
    emu.fail_next("PostQueuedCompletionStatus", 1450)
    with pytest.raises(OSError) as caught:
        POST_FAILURES[case](io, path, handle)
    assert caught.value.args[1] == "PostQueuedCompletionStatus failed (winerror 1450)"
    assert winerror(caught.value) == 1450
    assert (emu.open_handles(), emu.heap_blocks()) == (handles, blocks)
    assert io.iocp.submit_close(-4) == 3  # the failed submission spent id 2
    assert io.result(3) == (ERROR_INVALID_HANDLE, 0, None)


def test_open_that_cannot_join_the_port_is_undone(io, emu, tmp_path):
    handles = emu.open_handles()
    emu.fail_next("AssociatePort", ERROR_INVALID_PARAMETER)
    assert io.open(touch(tmp_path / "f")) == (ERROR_INVALID_PARAMETER, -1, None)
    assert emu.open_handles() == handles


@pytest.mark.parametrize("offset", [2 ** 63, 2 ** 64 - 1])
@pytest.mark.parametrize("method, last", [("read", 8), ("write", b"tail")])
def test_offsets_from_2_63_are_refused_by_the_operation(io, tmp_path, offset, method, last):
    path = touch(tmp_path / "f", b"data")
    handle = io.opened(path, write=True)
    assert getattr(io, method)(handle, offset, last) == (ERROR_INVALID_PARAMETER, 0, None)
    assert open(path, "rb").read() == b"data"
    io.close(handle)


EXIT_SCENARIOS = {
    "idle, freed at finalization": """
        iocp = _kiln.Iocp(object(), print)
    """,
    "reads in flight": """
        emu.kiln_emu_set_io_mode(2)
        session = Session()
        handle = session.opened(PATH)
        for n in range(100):
            session.iocp.submit_read(handle, 0, 4)
    """,
    "completions waiting for the lock": """
        sys.setswitchinterval(100)
        iocp = _kiln.Iocp(asyncio.new_event_loop(), print)
        for n in range(1000):
            iocp.submit_close(-4)
    """,
    "dropped on another thread": """
        holder = [_kiln.Iocp(object(), print)]
        threading.Thread(target=holder.clear).start()
    """,
    "started by a later exit callback": """
        def late():
            global iocp
            iocp = _kiln.Iocp(object(), print)
            iocp.submit_close(-4)
            time.sleep(0.05)
        atexit.register(late)
        _kiln.Iocp(object(), print)
    """,
}


@pytest.mark.parametrize("scenario", EXIT_SCENARIOS)
def test_exit_with_an_iocp_running(tmp_path, scenario):
    prologue = f"""
        import asyncio, atexit, ctypes, sys, threading, time
        import _kiln
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from iocp_helpers import Session
        emu = ctypes.CDLL(_kiln.__file__)
        PATH = {touch(tmp_path / "f", b"data")!r}
    """
    started = time.monotonic()
    done = run_python(prologue + EXIT_SCENARIOS[scenario])
    assert done.returncode == 0, done.stderr
    assert "terminate" not in done.stderr and "Fatal" not in done.stderr
    assert time.monotonic() - started < 5


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_finds_its_iocps_shut_down_and_exits():
    done = run_python("""
        import os, sys, warnings
        import _kiln
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        sys.path.insert(0, %r)
        from iocp_helpers import Session
        session = Session()
        pid = os.fork()
        if pid == 0:
            try:
                session.iocp.submit_close(-4)
            except RuntimeError as exc:
                sys.exit(0 if str(exc) == "Iocp has been shut down" else 3)
            sys.exit(4)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
        assert session.close(-4) == (6, 0, None)  # the parent's Iocp still serves
    """ % os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
