"""How an Iocp's engine ends: a stop packet that cannot be posted, and
objects that the cyclic collector frees on a completion thread."""

import gc
import os
import subprocess
import sys
import threading

import pytest

import _kiln
from iocp_helpers import Session, run_python, settles
from support import touch

pytestmark = pytest.mark.usefixtures("emu")


def test_a_failed_stop_packet_never_leaves_the_thread_on_a_reused_port(tmp_path):
    # The completion thread sits in Python code when the stop packet cannot
    # be posted; a port made meanwhile on another thread must keep its packets.
    source = f"""
        import ctypes, threading, time
        import _kiln
        emu = ctypes.CDLL(_kiln.__file__)
        emu.kiln_emu_create_port.restype = ctypes.c_ssize_t
        emu.kiln_emu_dequeue.argtypes = [ctypes.c_ssize_t, ctypes.c_uint32] + [ctypes.c_void_p] * 3
        class SlowLoop:
            def call_soon_threadsafe(self, callback, batch):
                time.sleep(0.3)
        iocp = _kiln.Iocp(SlowLoop(), print)
        iocp.submit_close(-4)
        time.sleep(0.05)
        outcome = []
        def other():
            time.sleep(0.1)
            port = emu.kiln_emu_create_port()
            pio = _kiln.ProactorIo(port)
            handle = pio.open({touch(tmp_path / "f", b"data")!r}, False, False, False, False)
            addr = pio.submit_read(handle, 0, 4)
            count, key, overlapped = ctypes.c_uint32(), ctypes.c_size_t(), ctypes.c_size_t()
            if emu.kiln_emu_dequeue(port, 2000, ctypes.byref(count), ctypes.byref(key), ctypes.byref(overlapped)):
                outcome.append((overlapped.value == addr, pio.take(addr, count.value)))
            pio.close(handle)
        worker = threading.Thread(target=other)
        worker.start()
        emu.kiln_emu_fail_next(b"PostQueuedCompletionStatus", 1450)
        iocp.shutdown()
        worker.join()
        print(outcome)
    """
    try:
        done = run_python(source, timeout=10)
    except subprocess.TimeoutExpired:
        pytest.fail("shutdown() did not return")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["[(True, b'data')]"]


class CollectingLoop:
    """A loop_obj whose completion thread runs the cyclic collector."""

    def __init__(self):
        self.go = threading.Event()
        self.collected = threading.Event()

    def call_soon_threadsafe(self, callback, batch):
        self.go.wait(5)
        gc.collect()
        self.collected.set()


def garbage_cycle(obj):
    cycle = [obj]
    cycle.append(cycle)


@pytest.fixture
def quiet_gc(monkeypatch):
    """Garbage is collected only where a test says; every unraisable report is kept."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    gc.collect()
    gc.disable()
    yield reports
    gc.enable()


def collect_on_a_completion_thread(loop_obj):
    loop_obj.go.set()
    assert loop_obj.collected.wait(5)


def test_a_proactor_collected_on_a_completion_thread_is_torn_down(emu, quiet_gc, tmp_path):
    loop_obj = CollectingLoop()
    collector = _kiln.Iocp(loop_obj, print)
    port = emu.create_port()
    data = bytes(bytearray(b"payload"))
    refs = sys.getrefcount(data)
    pio = _kiln.ProactorIo(port)
    handle = pio.open(touch(tmp_path / "f"), True, False, False, False)
    addr = pio.submit_write(handle, 0, data)
    assert emu.dequeue(port)[2] == addr  # complete, never reaped
    pio.close(handle)
    blocks = emu.heap_blocks()
    garbage_cycle(pio)
    del pio
    collector.submit_close(-4)
    collect_on_a_completion_thread(loop_obj)
    assert quiet_gc == []
    assert sys.getrefcount(data) == refs and emu.heap_blocks() == blocks - 1
    collector.shutdown()
    emu.close_handle(port)


@pytest.mark.parametrize("whose", ["its own", "another Iocp's"])
def test_an_iocp_collected_on_a_completion_thread_is_stopped(emu, quiet_gc, whose):
    handles = emu.open_handles()
    loop_obj = CollectingLoop()
    collector = _kiln.Iocp(loop_obj, print)
    collector.submit_close(-4)
    if whose == "its own":
        garbage_cycle(collector)
        del collector
        collect_on_a_completion_thread(loop_obj)
    else:
        garbage_cycle(_kiln.Iocp(object(), print))
        collect_on_a_completion_thread(loop_obj)
        collector.shutdown()
    assert quiet_gc == []
    assert settles(lambda: emu.open_handles() == handles), "a port or thread was left behind"


def test_an_iocp_dropped_by_a_user_thread_is_still_reported(emu, quiet_gc):
    handles = emu.open_handles()
    holder = [_kiln.Iocp(object(), print)]
    worker = threading.Thread(target=holder.clear)
    worker.start()
    worker.join()
    assert [str(report.exc_value) for report in quiet_gc] == [
        "_kiln::iocp::Iocp is unsendable, but is being dropped on another thread"]
    assert emu.open_handles() == handles + 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_can_make_and_use_a_new_iocp():
    done = run_python("""
        import os, sys, warnings
        import _kiln
        warnings.simplefilter("ignore", DeprecationWarning)
        sys.path.insert(0, %r)
        from iocp_helpers import Session
        parent = Session()
        pid = os.fork()
        if pid == 0:
            child = Session()
            os._exit(0 if child.close(-4) == (6, 0, None) else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
    """ % os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
