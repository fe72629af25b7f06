"""Shared by the tests of the kiln package: the I/O modes they run in, and a runner."""

import asyncio
import os
import time

import pytest

from support import IO_DEFERRED, IO_INLINE, IO_SYSTEM

# Every I/O mode of the emulation that completes on its own.
IO_MODES = [IO_INLINE, IO_DEFERRED, IO_SYSTEM]
IO_MODE_IDS = {IO_INLINE: "inline", IO_DEFERRED: "deferred", IO_SYSTEM: "system"}


@pytest.fixture(params=IO_MODES, ids=lambda mode: IO_MODE_IDS.get(mode, str(mode)))
def io_mode(request, emu):
    emu.set_io_mode(request.param)
    return request.param


def run(coro, timeout=30):
    """Runs a scenario on a fresh event loop, which also shuts its kiln backend down."""
    return asyncio.run(asyncio.wait_for(coro, timeout))


def thread_count():
    """This process's threads, without the kernel's io_uring workers: those
    belong to the threads that submit and may start or end at any time."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                name = comm.read()
        except FileNotFoundError:
            continue  # ended while listed
        count += not name.startswith(("iou-wrk", "iou-sqp"))
    return count


def descriptor_count():
    return len(os.listdir("/proc/self/fd"))


def wait_for_threads(count, timeout=5.0):
    """Waits until at most ``count`` threads are left: a thread that closed its
    port is still listed until it has returned from its body."""
    deadline = time.monotonic() + timeout
    while thread_count() > count and time.monotonic() < deadline:
        time.sleep(0.002)
    return thread_count()
