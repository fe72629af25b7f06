"""A port and a poller standing in for a proactor loop's own.

The port comes from the emulation on Linux and from ``_overlapped`` on
Windows (see support.platform()); the poller dequeues its packets the way the
loop's ``_poll`` does and hands back the byte count of each operation.
"""

import support


class Poller:
    def __init__(self, plat=None):
        self.plat = plat or support.platform()
        self.port = self.plat.create_port()
        self._reaped = {}  # address -> transferred, dequeued but not yet asked for

    def transferred(self, addr, timeout_ms=5000):
        """The byte count of the packet carrying `addr`, once it arrives."""
        while addr not in self._reaped:
            packet = self.plat.dequeue(self.port, timeout_ms)
            assert packet is not None, f"no completion for {addr:#x}"
            count, key, overlapped = packet
            assert key == 0
            assert overlapped not in self._reaped, "an operation completed twice"
            self._reaped[overlapped] = count
        return self._reaped.pop(addr)

    def idle(self, timeout_ms=50):
        """True when no packet arrives within the time-out."""
        assert not self._reaped
        return self.plat.dequeue(self.port, timeout_ms) is None

    def close(self):
        self.plat.close_handle(self.port)
