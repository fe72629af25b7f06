"""FIFOs through a raw Iocp on every Linux engine that runs in the
background: a read waits for data, takes what is there, and ends as aborted
when its file is closed."""

import os
import time

import pytest

import support
from iocp_helpers import io  # noqa: F401 - a fixture

pytestmark = support.needs_emulation

ERROR_OPERATION_ABORTED = 995


@pytest.mark.parametrize("mode", [support.IO_DEFERRED, support.IO_SYSTEM, support.IO_POOL],
                         ids=["deferred", "system", "pool"])
def test_a_fifo_read_waits_for_data_and_ends_when_the_file_closes(io, emu, tmp_path, mode):
    emu.set_io_mode(mode)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    handle = io.opened(fifo, write=True)  # its own writer: it opens without a peer
    first = io.iocp.submit_read(handle, 1 << 40, 64)  # the offset means nothing to a FIFO
    assert not io.run_until(lambda: first in io.done, timeout=0.1)
    writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    os.write(writer, b"hello")
    os.close(writer)
    assert io.result(first) == (0, 5, b"hello")

    waiting = io.iocp.submit_read(handle, 0, 64)
    assert not io.run_until(lambda: waiting in io.done, timeout=0.1)
    began = time.monotonic()
    assert io.close(handle) == (0, 0, None)
    assert io.result(waiting) == (ERROR_OPERATION_ABORTED, 0, None)
    assert time.monotonic() - began < 2
