"""An Iocp on a real asyncio loop, driven synchronously by the tests."""

import asyncio
import gc
import os
import subprocess
import sys
import textwrap
import time

import pytest

import _kiln


class Session:
    """One Iocp delivering to its own event loop; results are collected by id."""

    def __init__(self):
        # Garbage left by earlier tests is collected here, on its owner
        # thread, rather than by whichever thread allocates next (possibly
        # the completion thread, which would report it as dropped there).
        gc.collect()
        self.loop = asyncio.new_event_loop()
        self.batches = []
        self.done = {}
        self.iocp = _kiln.Iocp(self.loop, self.on_complete)

    def on_complete(self, batch):
        self.batches.append(batch)
        for op_id, *outcome in batch:
            assert op_id not in self.done, f"id {op_id} delivered twice"
            self.done[op_id] = tuple(outcome)

    def run_until(self, predicate, timeout=5.0):
        async def poll():
            deadline = time.monotonic() + timeout
            while not predicate():
                if time.monotonic() > deadline:
                    return False
                await asyncio.sleep(0.001)
            return True

        return self.loop.run_until_complete(poll())

    def result(self, op_id):
        assert self.run_until(lambda: op_id in self.done), f"no completion for id {op_id}"
        return self.done[op_id]

    def open(self, path, write=False, create=False, truncate=False, exclusive=False):
        return self.result(self.iocp.submit_open(os.fspath(path), write, create, truncate, exclusive))

    def opened(self, path, **flags):
        error, handle, _ = self.open(path, **flags)
        assert error == 0
        return handle

    def read(self, handle, offset, length):
        return self.result(self.iocp.submit_read(handle, offset, length))

    def write(self, handle, offset, data):
        return self.result(self.iocp.submit_write(handle, offset, data))

    def close(self, handle):
        return self.result(self.iocp.submit_close(handle))

    def end(self):
        self.iocp.shutdown()
        self.iocp = None  # freed here, on its owner thread, not by a collection elsewhere
        self.loop.close()


@pytest.fixture
def io():
    session = Session()
    yield session
    session.end()


def settles(predicate, timeout=5.0):
    """Polls without a loop, for effects of the completion thread alone."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def run_python(source, timeout=10):
    """Runs source in a fresh interpreter of this version that imports this _kiln."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_kiln.__file__))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, capture_output=True,
                          text=True, timeout=timeout)
