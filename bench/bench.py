"""Throughput of the two backends on small reads, beside run_in_executor.

Run with ``make bench``. Prints operations per second and, for Iocp, how
many completions each batch carried (one lock acquisition and one
call_soon_threadsafe per batch).
"""

import argparse
import asyncio
import os
import sys
import tempfile
import time

import _kiln

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import support  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ops", type=int, default=50_000, help="reads per run (default 50000)")
    parser.add_argument("--block", type=int, default=4096, help="read size in bytes (default 4096)")
    parser.add_argument("--depth", type=int, default=64, help="reads in flight (default 64)")
    parser.add_argument("--deferred", action="store_true",
                        help="complete I/O on the emulation's worker thread instead of at once")
    return parser.parse_args()


async def iocp_reads(path, ops, block, depth, file_size):
    loop = asyncio.get_running_loop()
    pending = {}
    batches = []

    def on_complete(batch):
        batches.append(len(batch))
        for op_id, error, result, data in batch:
            pending.pop(op_id).set_result((error, result, data))

    iocp = _kiln.Iocp(loop, on_complete)
    try:
        def submit(op_id):
            future = loop.create_future()
            pending[op_id] = future
            return future

        error, handle, _ = await submit(iocp.submit_open(path, False, False, False, False))
        assert error == 0
        blocks = file_size // block
        counter = iter(range(ops))

        async def worker():
            for n in counter:
                error, count, _ = await submit(iocp.submit_read(handle, (n % blocks) * block, block))
                assert error == 0 and count == block

        started = time.perf_counter()
        await asyncio.gather(*(worker() for _ in range(depth)))
        seconds = time.perf_counter() - started
        await submit(iocp.submit_close(handle))
    finally:
        iocp.shutdown()
    return ops / seconds, sum(batches) / len(batches)


async def executor_reads(path, ops, block, depth, file_size):
    loop = asyncio.get_running_loop()
    fd = os.open(path, os.O_RDONLY)
    blocks = file_size // block
    counter = iter(range(ops))

    async def worker():
        for n in counter:
            data = await loop.run_in_executor(None, os.pread, fd, block, (n % blocks) * block)
            assert len(data) == block

    try:
        started = time.perf_counter()
        await asyncio.gather(*(worker() for _ in range(depth)))
        return ops / (time.perf_counter() - started)
    finally:
        os.close(fd)


def proactor_reads(path, ops, block, depth, file_size):
    """ProactorIo driven by a poller on an emulated port, as a proactor loop would."""
    emu = support.Emulation()
    port = emu.create_port()
    proactor = _kiln.ProactorIo(port)
    handle = proactor.open(path, False, False, False, False)
    blocks = file_size // block
    try:
        started = time.perf_counter()
        submitted = 0
        for _ in range(min(depth, ops)):
            proactor.submit_read(handle, (submitted % blocks) * block, block)
            submitted += 1
        for _ in range(ops):
            count, _key, address = emu.dequeue(port)
            assert len(proactor.take(address, count)) == block
            if submitted < ops:
                proactor.submit_read(handle, (submitted % blocks) * block, block)
                submitted += 1
        return ops / (time.perf_counter() - started)
    finally:
        proactor.close(handle)
        emu.close_handle(port)


def main():
    args = parse_args()
    if not support.EMULATED:
        sys.exit("the benchmark drives the emulated platform; run it on Linux")
    file_size = 64 * 1024 * 1024
    emu = support.Emulation()
    emu.set_io_mode(support.IO_DEFERRED if args.deferred else support.IO_INLINE)
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "bench.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(file_size))
        iocp_rate, per_batch = asyncio.run(iocp_reads(path, args.ops, args.block, args.depth, file_size))
        executor_rate = asyncio.run(executor_reads(path, args.ops, args.block, args.depth, file_size))
        proactor_rate = proactor_reads(path, args.ops, args.block, args.depth, file_size)
    mode = "deferred" if args.deferred else "inline"
    print(f"{args.ops} reads of {args.block} bytes, depth {args.depth}, {mode} I/O")
    print(f"{'Iocp':>18}: {iocp_rate:10.0f} reads/s  ({per_batch:.1f} completions per batch)")
    print(f"{'ProactorIo':>18}: {proactor_rate:10.0f} reads/s  (ctypes poller)")
    print(f"{'run_in_executor':>18}: {executor_rate:10.0f} reads/s")
    print(f"{'Iocp / executor':>18}: {iocp_rate / executor_rate:10.2f}x")


if __name__ == "__main__":
    main()
