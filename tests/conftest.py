import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import support  # noqa: E402
from poller import Poller  # noqa: E402


@pytest.fixture(autouse=True)
def inline_io_by_default():
    """Every test starts in the deterministic inline mode, whatever the last
    one left; a process that never sets a mode runs on the system engine."""
    if support.EMULATED:
        support.Emulation().set_io_mode(support.IO_INLINE)


@pytest.fixture
def emu():
    """The emulation, reset to inline I/O after the test."""
    if not support.EMULATED:
        pytest.skip("needs the emulated platform's control API")
    emulation = support.Emulation()
    emulation.set_io_mode(support.IO_INLINE)
    yield emulation
    emulation.release_held()
    emulation.set_io_mode(support.IO_INLINE)


@pytest.fixture
def plat():
    return support.platform()


@pytest.fixture
def poller():
    """A port standing in for a proactor loop's, with its poller."""
    poller = Poller()
    yield poller
    poller.close()
