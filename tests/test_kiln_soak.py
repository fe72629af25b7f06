"""A soak: random opens, reads, writes, cancellations, loop closes and time-outs on every engine, after
which the process holds what it held before: heap blocks, handles, descriptors, threads and memory."""

import asyncio
import contextlib
import gc
import logging
import os
import random
import time
import warnings

import pytest

import kiln
from support import IO_DEFERRED, IO_INLINE, IO_POOL, IO_SYSTEM, SANITIZED, needs_emulation

pytestmark = [needs_emulation,
              # Closing a loop with tasks it never ran is part of the soak, and Python says so.
              pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")]

ROUNDS = 150
FILES = 6


def counts(emu):
    gc.collect()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return {"heap blocks": emu.heap_blocks(), "handles": emu.open_handles(),
            "descriptors": len(os.listdir("/proc/self/fd")), "threads": len(os.listdir("/proc/self/task")),
            "rss": rss}


async def one_task(rng, paths):
    path = rng.choice(paths)
    mode = rng.choice(["r+b", "a+b", "w+b", "r+"])
    buffering = rng.choice([64, -1] if "b" not in mode else [0, 64, -1])
    async with kiln.open(path, mode, buffering=buffering, **({} if "b" in mode else {"encoding": "latin-1"})) as f:
        for _ in range(rng.randrange(1, 12)):
            action = rng.randrange(6)
            if action == 0:
                await f.write(b"x" * rng.randrange(1, 200_000) if "b" in f.mode else "y" * rng.randrange(1, 5000))
            elif action == 1:
                await f.read(rng.randrange(1, 300_000))
            elif action == 2:
                await f.seek(0)
            elif action == 3 and "b" in f.mode:
                await f.pread_many([(rng.randrange(0, 1 << 20), 4096) for _ in range(rng.randrange(1, 20))])
            elif action == 4:
                await f.readline()
            else:
                await f.flush()


async def one_round(rng, paths, kind):
    tasks = [asyncio.ensure_future(one_task(rng, paths)) for _ in range(rng.randrange(2, 8))]
    await asyncio.sleep(rng.random() * 0.01)
    for task in tasks:
        if rng.random() < 0.5:
            task.cancel()
    if kind == "timeout":
        await asyncio.sleep(1)  # the caller's time-out ends it
    results = await asyncio.gather(*tasks, return_exceptions=True)
    for result in results:
        if isinstance(result, BaseException) and not isinstance(result, (asyncio.CancelledError, OSError,
                                                                          UnicodeDecodeError)):
            raise result


def run_round(rng, paths):
    kind = rng.choice(["complete", "timeout", "loop closed"])
    if kind == "loop closed":
        loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(asyncio.wait_for(one_round(rng, paths, kind), rng.random() * 0.02))
        except asyncio.TimeoutError:
            pass
        finally:
            loop.close()
            # The tasks it never ran die here, under this test's filters, and not inside whatever Python
            # code the collector would next interrupt (its warning machinery can fail there).
            gc.collect()
    else:
        with contextlib.suppress(asyncio.TimeoutError):
            asyncio.run(asyncio.wait_for(one_round(rng, paths, kind), 0.05 if kind == "timeout" else 30))


@pytest.mark.parametrize("mode", [IO_INLINE, IO_DEFERRED, IO_POOL, IO_SYSTEM],
                         ids=["inline", "deferred", "pool", "system"])
def test_nothing_is_left_behind(emu, tmp_path, caplog, mode):
    caplog.set_level(logging.CRITICAL, logger="asyncio")
    emu.set_io_mode(mode)
    paths = [tmp_path / f"f{n}" for n in range(FILES)]
    for path in paths:
        path.write_bytes(os.urandom(1 << 20))
    rng = random.Random(mode)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        run_round(rng, paths)  # the engine's own threads and rings start here
        before = counts(emu)
        for _ in range(ROUNDS):
            run_round(rng, paths)
    # The kernel's own io_uring workers linger a little after their last work.
    deadline = time.monotonic() + 10
    while (after := counts(emu))["threads"] > before["threads"] and time.monotonic() < deadline:
        time.sleep(0.05)
    for name in ("heap blocks", "handles", "descriptors", "threads"):
        assert after[name] <= before[name], (name, before, after)
    assert after["rss"] - before["rss"] < (64 + (256 if SANITIZED else 0)) << 20, (before, after)
