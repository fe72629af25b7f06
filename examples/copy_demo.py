"""Copies a file of random bytes with kiln and with ``loop.run_in_executor``,
checks both copies and compares their speed."""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import os
import sys
import tempfile
import time
from collections.abc import Callable, Coroutine, Sequence
from typing import Any

import kiln

MIB = 1024 * 1024
Copy = Callable[[str, str, int, int, int], Coroutine[Any, Any, None]]


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=64, help="file size in MiB (default 64)")
    parser.add_argument("--block", type=int, default=256, help="block size in KiB (default 256)")
    parser.add_argument("--depth", type=int, default=32, help="operations in flight (default 32)")
    parser.add_argument("--path", help="source file to create (default: in a temporary directory)")
    return parser.parse_args(argv)


def engine() -> str:
    """What carries the I/O on this machine."""
    if sys.platform == "win32":
        return "IOCP"
    import ctypes

    import _kiln

    library = ctypes.CDLL(_kiln.__file__)
    try:
        query = library.kiln_emu_engine
    except AttributeError:
        return "emulation (inline)"
    query.restype = ctypes.c_uint32
    names = {0: "emulation (test mode)", 1: "io_uring", 2: "worker pool"}
    code = int(query())
    return names.get(code, f"engine {code}")


def write_random_file(path: str, size: int) -> None:
    with open(path, "wb") as f:
        for _ in range(0, size, MIB):
            f.write(os.urandom(MIB))
        f.truncate(size)


def sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(4 * MIB):
            digest.update(chunk)
    return digest.hexdigest()


async def copy_with_kiln(source: str, target: str, size: int, block: int, depth: int) -> None:
    async with kiln.open(source, "rb") as src, kiln.open(target, "wb") as dst:
        offsets = iter(range(0, size, block))

        async def worker() -> None:
            for offset in offsets:
                data = await src.pread(offset, block)
                await dst.pwrite(offset, data)

        await asyncio.gather(*(worker() for _ in range(depth)))


async def copy_with_executor(source: str, target: str, size: int, block: int, depth: int) -> None:
    loop = asyncio.get_running_loop()
    src = os.open(source, os.O_RDONLY)
    dst = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    offsets = iter(range(0, size, block))

    async def worker() -> None:
        for offset in offsets:
            data = await loop.run_in_executor(None, os.pread, src, block, offset)
            await loop.run_in_executor(None, os.pwrite, dst, data, offset)

    try:
        await asyncio.gather(*(worker() for _ in range(depth)))
    finally:
        os.close(src)
        os.close(dst)


def timed_copy(copy: Copy, source: str, target: str, size: int, block: int, depth: int) -> tuple[float, float]:
    started = time.perf_counter()
    asyncio.run(copy(source, target, size, block, depth))
    seconds = time.perf_counter() - started
    operations = 2 * -(-size // block)
    return size / 1e6 / seconds, operations / seconds


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    size, block = args.size * MIB, args.block * 1024
    print(f"kiln {kiln.__version__}, I/O engine: {engine()}")
    with tempfile.TemporaryDirectory() as scratch:
        source = args.path or os.path.join(scratch, "source.bin")
        print(f"writing {args.size} MiB of random bytes to {source}")
        write_random_file(source, size)
        expected = sha256(source)
        copies: dict[str, Copy] = {"kiln": copy_with_kiln, "run_in_executor": copy_with_executor}
        results = {}
        for name, copy in copies.items():
            target = os.path.join(scratch, f"copy-{name}.bin")
            results[name] = timed_copy(copy, source, target, size, block, args.depth)
            if sha256(target) != expected:
                print(f"{name}: the copy differs from the source", file=sys.stderr)
                return 1
        print(f"block {args.block} KiB, depth {args.depth}; both copies match SHA-256 {expected[:16]}...")
        for name, (mb_per_s, ops_per_s) in results.items():
            print(f"{name:>16}: {mb_per_s:8.1f} MB/s {ops_per_s:10.0f} operations/s")
        ratio = results["kiln"][0] / results["run_in_executor"][0]
        print(f"{'kiln / executor':>16}: {ratio:8.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
