"""The I/O engines the module offers on this platform, and switching between them.

On Linux the module carries its platform layer's control functions as C
exports: the I/O mode decides how a read or write is carried out at the
moment it starts, so one process can run the same workload on every engine.
On Windows there is one engine, the system's completion ports.
"""

import ctypes
import sys
from dataclasses import dataclass

import _kiln

INLINE, DEFERRED, SYSTEM = 0, 1, 3
# What kiln_emu_engine() reports for an operation started now.
ENGINE_NAMES = {0: "emulation", 1: "io_uring", 2: "worker pool"}


@dataclass(frozen=True)
class Engine:
    key: str    # short name used in tables: inline, deferred, io_uring, pool, iocp
    mode: int   # the control API's mode, -1 where there is none
    label: str  # what the engine is, for the report


class Engines:
    """The control API where the module exports it; a no-op on Windows."""

    def __init__(self):
        self._lib = None
        self._engine_of = None
        if sys.platform == "win32":
            return
        lib = ctypes.CDLL(_kiln.__file__)
        lib.kiln_emu_set_io_mode.restype = None
        lib.kiln_emu_set_io_mode.argtypes = [ctypes.c_int]
        self._lib = lib
        engine_of = getattr(lib, "kiln_emu_engine", None)
        if engine_of is not None:
            engine_of.restype = ctypes.c_uint32
            engine_of.argtypes = []
            self._engine_of = engine_of

    def available(self):
        """(engines offered, {name: reason} for those that are not)."""
        if self._lib is None:
            return [Engine("iocp", -1, "I/O completion ports")], {}
        engines = [Engine("inline", INLINE, "emulation, inline (I/O done in the submitting call)"),
                   Engine("deferred", DEFERRED, "emulation, deferred (one worker thread)")]
        if self._engine_of is None:
            return engines, {"system": "this build exports no kiln_emu_engine: it has no system engine"}
        self.select(SYSTEM)
        chosen = ENGINE_NAMES.get(self._engine_of(), "unknown")
        key = "io_uring" if chosen == "io_uring" else "pool"
        engines.append(Engine(key, SYSTEM, f"system engine: {chosen}"))
        return engines, {}

    def select(self, mode):
        if self._lib is not None and mode >= 0:
            self._lib.kiln_emu_set_io_mode(mode)

    def default(self):
        """The engine a program that never touches the control API gets."""
        engines, _ = self.available()
        return next((engine for engine in engines if engine.mode == SYSTEM), engines[0])
