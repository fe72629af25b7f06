"""The emulation's control API, reached from Python as the test suites use it."""

import ctypes

import pytest

import _kiln
import support

pytestmark = support.needs_emulation


@pytest.fixture
def lib():
    return ctypes.CDLL(_kiln.__file__)


def test_control_functions_are_exported_but_not_module_attributes(lib):
    for name in ("kiln_emu_create_port", "kiln_emu_dequeue", "kiln_emu_close_handle",
                 "kiln_emu_open_handle_count", "kiln_emu_heap_blocks", "kiln_emu_set_io_mode",
                 "kiln_emu_release_held", "kiln_emu_fail_next", "kiln_emu_engine"):
        assert hasattr(lib, name)
        assert not hasattr(_kiln, name)


def test_ports_count_as_open_handles_until_closed(emu):
    before = emu.open_handles()
    port = emu.create_port()
    assert port > 0 and port % 4 == 0
    assert emu.open_handles() == before + 1
    assert emu.close_handle(port)
    assert emu.open_handles() == before
    assert not emu.close_handle(port)


def test_dequeue_returns_packets_and_times_out(emu, tmp_path):
    port = emu.create_port()
    proactor = _kiln.ProactorIo(port)
    try:
        addr = proactor.submit_read(-1, 0, 1)  # fails at once: posted by hand
        assert emu.dequeue(port) == (0, 0, addr)
        assert emu.dequeue(port, timeout_ms=10) is None
        proactor.discard(addr)
    finally:
        emu.close_handle(port)


def test_fail_next_knows_only_the_documented_names(lib, emu):
    lib.kiln_emu_fail_next.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
    assert lib.kiln_emu_fail_next(b"NoSuchCall", 5) == 0
    emu.fail_next("CreateIoCompletionPort", 8)
    assert ctypes.CDLL(_kiln.__file__).kiln_emu_create_port() == 0
    assert emu.create_port() > 0


def test_heap_blocks_follow_records(emu):
    port = emu.create_port()
    proactor = _kiln.ProactorIo(port)
    baseline = emu.heap_blocks()
    addr = proactor.submit_write(-1, 0, b"x")
    assert emu.heap_blocks() == baseline + 1
    emu.dequeue(port)
    proactor.discard(addr)
    assert emu.heap_blocks() == baseline
    emu.close_handle(port)
