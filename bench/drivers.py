"""Runs one participant once on one workload and returns its figures."""

import asyncio
import gc
import os
import time

import workloads

HEARTBEAT = 0.001


class Mismatch(AssertionError):
    pass


def _check(condition, what):
    if not condition:
        raise Mismatch(what)


class Context:
    """What a run needs: the workload, its files and offsets, its data."""

    def __init__(self, workload, data_path, write_path, files_dir, offsets, payloads, idle_seconds,
                 least_seconds=0.0):
        self.workload = workload
        self.data_path = data_path
        self.write_path = write_path
        self.files_dir = files_dir
        self.offsets = offsets
        self.block = os.urandom(workload.block) if workload.kind == "write" else b""
        self.payloads = payloads
        self.idle_seconds = idle_seconds
        # Reads and writes go over the offsets again until a run lasts this
        # long: a fast participant's single pass is over in milliseconds, too
        # short to measure. A cold workload makes one pass, its pages dropped.
        self.least_seconds = 0.0 if workload.cold else least_seconds

    def small_file(self, index):
        return os.path.join(self.files_dir, f"small-{index:03d}.bin")


def run(participant, context):
    """{"seconds": ..., "ops": ..., "cpu": ...} (and "gap", "ran", "waited" for the
    heartbeat workload); "cpu" is the loop thread's own CPU time over the
    measured part."""
    gc.collect()
    kind = context.workload.kind
    if context.workload.cold:
        workloads.drop_cache(context.data_path)
    if participant.synchronous and kind != "responsive":
        return _FLOOR[kind](context)
    return asyncio.run(_ASYNC[kind](participant, context))


def idle(context):
    """The loop's own largest heartbeat gap with nothing else to do."""
    gc.collect()

    async def nothing():
        await asyncio.sleep(context.idle_seconds)

    anatomy = {}

    async def main():
        return await _with_heartbeat(nothing, anatomy)

    seconds, gap = asyncio.run(main())
    return {"seconds": seconds, "ops": 0, "gap": gap, **anatomy}


# The floor: plain system calls on this thread.

def _floor_rw(context):
    w = context.workload
    flags = os.O_RDONLY if w.kind == "read" else os.O_RDWR
    fd = os.open(context.data_path if w.kind == "read" else context.write_path, flags)
    try:
        size, block = w.block, context.block
        started, cpu_started = time.perf_counter(), time.thread_time()
        passes = 0
        while passes == 0 or time.perf_counter() - started < context.least_seconds:
            if w.kind == "read":
                for offset in context.offsets:
                    _check(len(os.pread(fd, size, offset)) == size, "short read")
            else:
                for offset in context.offsets:
                    _check(os.pwrite(fd, block, offset) == size, "short write")
            passes += 1
        seconds = time.perf_counter() - started
        cpu = time.thread_time() - cpu_started
    finally:
        os.close(fd)
    return {"seconds": seconds, "ops": passes * len(context.offsets), "cpu": cpu}


def _floor_files(context):
    w = context.workload
    started = time.perf_counter()
    for index in range(w.files):
        pieces = _pieces(context, index)
        fd = os.open(context.small_file(index), os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            for number, piece in enumerate(pieces):
                os.pwrite(fd, piece, number * w.block)
            read = [os.pread(fd, w.block, number * w.block) for number in range(w.per_file)]
        finally:
            os.close(fd)
        _check(b"".join(read) == context.payloads[index], f"file {index} read back differs")
    return {"seconds": time.perf_counter() - started, "ops": w.ops}


_FLOOR = {"read": _floor_rw, "write": _floor_rw, "files": _floor_files}


# Asynchronous participants, through their session's files.

def _pieces(context, index):
    size = context.workload.block
    payload = context.payloads[index]
    return [payload[start:start + size] for start in range(0, len(payload), size)]


async def _open_files(participant, session, path, mode, depth):
    count = depth if participant.per_worker else 1
    return [await session.open(path, mode) for _ in range(count)]


async def _close_all(files):
    for f in files:
        await f.close()


async def _reads_and_writes(participant, context):
    w = context.workload
    reading = w.kind == "read"
    session = participant.session()
    try:
        files = await _open_files(participant, session, context.data_path if reading else context.write_path,
                                  "rb" if reading else "r+b", w.depth)
        started, cpu_started = time.perf_counter(), time.thread_time()
        passes = 0
        while passes == 0 or time.perf_counter() - started < context.least_seconds:
            if reading and participant.batched:
                await _batched_reads(files[0], context.offsets, w.block, w.depth)
            else:
                offsets = iter(context.offsets)
                workers = [_reader(f, offsets, w.block) if reading else _writer(f, offsets, context.block)
                           for f in (files * w.depth)[:w.depth]]
                await asyncio.gather(*workers)
            passes += 1
        seconds = time.perf_counter() - started
        cpu = time.thread_time() - cpu_started
        await _close_all(files)
    finally:
        session.finish()
    return {"seconds": seconds, "ops": passes * len(context.offsets), "cpu": cpu}


async def _reader(f, offsets, size):
    read = f.read
    for offset in offsets:
        _check(len(await read(offset, size)) == size, "short read")


async def _writer(f, offsets, block):
    write, size = f.write, len(block)
    for offset in offsets:
        _check(await write(offset, block) == size, "short write")


async def _batched_reads(f, offsets, size, depth):
    for start in range(0, len(offsets), depth):
        group = [(offset, size) for offset in offsets[start:start + depth]]
        for data in await f.read_many(group):
            _check(len(data) == size, "short read")


async def _small_files(participant, context):
    w = context.workload
    session = participant.session()

    async def one(index):
        pieces = _pieces(context, index)
        f = await session.open(context.small_file(index), "w+b")
        for number, piece in enumerate(pieces):
            await f.write(number * w.block, piece)
        requests = [(number * w.block, w.block) for number in range(w.per_file)]
        if participant.batched:
            read = await f.read_many(requests)
        else:
            read = [await f.read(offset, size) for offset, size in requests]
        await f.close()
        _check(b"".join(read) == context.payloads[index], f"file {index} read back differs")

    try:
        started = time.perf_counter()
        await asyncio.gather(*(one(index) for index in range(w.files)))
        seconds = time.perf_counter() - started
    finally:
        session.finish()
    return {"seconds": seconds, "ops": w.ops}


# The heartbeat workload.

class _LoopClock:
    """Where the loop thread's time went: run by it, or waiting for a core.

    The kernel's per-thread scheduler figures; (wall, ran, waited) in
    seconds. Without them (no /proc), nothing ran and nothing waited."""

    def __init__(self):
        try:
            self._fd = os.open("/proc/thread-self/schedstat", os.O_RDONLY)
        except OSError:
            self._fd = None

    def now(self):
        if self._fd is None:
            return time.perf_counter(), 0.0, 0.0
        ran, waited = os.pread(self._fd, 128, 0).split()[:2]
        return time.perf_counter(), int(ran) / 1e9, int(waited) / 1e9

    def close(self):
        if self._fd is not None:
            os.close(self._fd)


async def _with_heartbeat(action, anatomy=None):
    """(seconds the action took, largest gap between two heartbeats).

    `anatomy`, a dict, gets the largest gap's parts in seconds: "ran" (the
    loop thread on a core) and "waited" (runnable, waiting for one); the rest
    it was blocked in the kernel."""
    largest = 0.0
    running = True
    clock = _LoopClock()

    async def beat():
        nonlocal largest
        last = clock.now()
        while running:
            await asyncio.sleep(HEARTBEAT)
            now = clock.now()
            if now[0] - last[0] > largest:
                largest = now[0] - last[0]
                if anatomy is not None:
                    anatomy.update(ran=now[1] - last[1], waited=now[2] - last[2])
            last = now

    task = asyncio.create_task(beat())
    await asyncio.sleep(0.01)  # the heartbeat is running before the action starts
    largest = 0.0
    started = time.perf_counter()
    try:
        kept = await action()
    finally:
        seconds = time.perf_counter() - started
        running = False
        await task
        clock.close()
    del kept  # freeing what the action read is no part of what it measures
    return seconds, largest


class _FloorFile:
    """The floor inside a loop: every read blocks the loop until it is done."""

    def __init__(self, path):
        self._fd = os.open(path, os.O_RDONLY)

    async def read(self, offset, size):
        return os.pread(self._fd, size, offset)

    async def close(self):
        os.close(self._fd)


async def _responsive(participant, context):
    w = context.workload
    if participant.synchronous:
        files = [_FloorFile(context.data_path)]
        session = None
    else:
        session = participant.session()
        files = await _open_files(participant, session, context.data_path, "rb", w.depth)
    try:
        async def read_all():
            if participant.batched:
                read = await files[0].read_many([(offset, w.block) for offset in context.offsets])
            else:
                read = await asyncio.gather(*(f.read(offset, w.block)
                                              for f, offset in zip(files * w.depth, context.offsets)))
            _check(all(len(data) == w.block for data in read), "short read")
            return read

        anatomy = {}
        seconds, gap = await _with_heartbeat(read_all, anatomy)
        await _close_all(files)
    finally:
        if session is not None:
            session.finish()
    return {"seconds": seconds, "ops": len(context.offsets), "gap": gap, **anatomy}


_ASYNC = {"read": _reads_and_writes, "write": _reads_and_writes, "files": _small_files,
          "responsive": _responsive}

# The workloads on files by name, on the helpers above.
import fs_bench  # noqa: E402

_FLOOR.update(fs_bench.FLOOR)
_ASYNC.update(fs_bench.ASYNC)
