"""Iocp objects while the interpreter exits, each in a fresh interpreter."""

import importlib.util
import os
import subprocess
import textwrap

import pytest

from iocp_helpers import run_python
from support import EMULATED

PROLOGUE = f"""
    import asyncio, atexit, sys, threading, time
    import _kiln
    sys.path.insert(0, {os.path.dirname(__file__)!r})
"""


class SlowLoop:
    """Source of a loop_obj that keeps its completion thread in Python code, lock released."""

    SOURCE = """
    class SlowFinalization:
        def __del__(self, sleep=time.sleep):
            sleep(0.6)  # other threads run on while the interpreter finalizes
    import gc
    gc.disable()
    cycle = SlowFinalization()
    cycle.self = cycle  # freed by the collection during finalization
    del cycle

    class SlowLoop:
        def __init__(self, loop=None):
            self.loop = loop
        def call_soon_threadsafe(self, callback, batch):
            time.sleep(0.3)
            if self.loop is not None:
                self.loop.call_soon_threadsafe(callback, batch)
    """


def run_clean(*parts, timeout=15):
    source = "".join(textwrap.dedent(part) for part in (PROLOGUE, SlowLoop.SOURCE) + parts)
    try:
        done = run_python(source, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the interpreter did not exit")
    assert done.returncode == 0, done.stderr
    assert "terminate" not in done.stderr and "Fatal" not in done.stderr, done.stderr
    return done.stdout


STOPS_UNDER_WAY = {
    "loop thread shut down by an exit callback": """
        ready = threading.Event()
        def serve():
            global loop
            loop = asyncio.new_event_loop()
            iocp = _kiln.Iocp(SlowLoop(loop), print)
            iocp.submit_close(-4)
            ready.set()
            loop.run_forever()
            iocp.shutdown()
        threading.Thread(target=serve, daemon=True).start()
        ready.wait()
        def stop_loop():
            loop.call_soon_threadsafe(loop.stop)
            time.sleep(0.1)  # the loop thread is in shutdown() when this returns
        atexit.register(stop_loop)
    """,
    "daemon thread shutting down while its completion thread runs Python": """
        started = threading.Event()
        def owner():
            iocp = _kiln.Iocp(SlowLoop(), print)
            iocp.submit_close(-4)
            time.sleep(0.05)
            started.set()
            iocp.shutdown()
        threading.Thread(target=owner, daemon=True).start()
        started.wait()
        time.sleep(0.02)
    """,
}


@pytest.mark.parametrize("scenario", STOPS_UNDER_WAY)
def test_exit_waits_for_a_stop_under_way_on_another_thread(scenario):
    run_clean(STOPS_UNDER_WAY[scenario])


LATE_USE = """
    def late():
        loop = asyncio.new_event_loop()
        delivered = []
        iocp = _kiln.Iocp(loop, delivered.extend)
        iocp.submit_close(-4)
        async def until_delivered():
            for _ in range(2000):
                if delivered:
                    return
                await asyncio.sleep(0.001)
        loop.run_until_complete(until_delivered())
        iocp.shutdown()
        loop.close()
        print("late", delivered)
"""


def test_an_iocp_made_by_a_later_exit_callback_delivers():
    out = run_clean(LATE_USE, """
        atexit.register(late)
        _kiln.Iocp(object(), print)  # the module's exit step runs before late()
    """)
    assert out.splitlines() == ["late [(1, 6, 0, None)]"]


@pytest.mark.skipif(not EMULATED, reason="a legacy sub-interpreter through _testcapi")
def test_sub_interpreters_are_refused_and_leave_the_main_one_working(tmp_path):
    if importlib.util.find_spec("_testcapi") is None:
        pytest.skip("this interpreter has no _testcapi")
    path = tmp_path / "f"
    path.write_bytes(b"data")
    use = textwrap.dedent(f"""
        import asyncio, kiln
        async def main():
            f = await kiln.open({str(path)!r})
            await f.pread(0, 4)
            await f.close()
        asyncio.run(main())
    """)
    out = run_clean(LATE_USE, f"""
        import _testcapi
        for _ in range(2):
            assert _testcapi.run_in_subinterp({use!r}) != 0
            assert _testcapi.run_in_subinterp("import _kiln") != 0
        late()
    """)
    assert out.splitlines() == ["late [(1, 6, 0, None)]"]
