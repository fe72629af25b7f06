"""Counts the lines, words and bytes of text files concurrently and hashes them:
a small program on the typed kiln API (it passes ``mypy --strict``).

    python examples/file_stats.py FILE...
"""

from __future__ import annotations

import asyncio
import hashlib
import sys
from dataclasses import dataclass

import kiln

BLOCK = 256 * 1024


@dataclass
class Stats:
    path: str
    lines: int = 0
    words: int = 0
    size: int = 0
    sha256: str = ""


async def text_counts(path: str, stats: Stats) -> None:
    async with kiln.open(path, "r", encoding="utf-8", errors="replace") as f:
        async for line in f:
            stats.lines += 1
            stats.words += len(line.split())


async def digest(path: str, stats: Stats) -> None:
    """Reads the whole file in blocks, 16 of them in flight at once."""
    async with kiln.open(path, "rb") as f:
        await f.seek(0, 2)
        stats.size = await f.tell()
        blocks = [(offset, BLOCK) for offset in range(0, stats.size, BLOCK)]
        hasher = hashlib.sha256()
        for start in range(0, len(blocks), 16):
            for data in await f.pread_many(blocks[start:start + 16]):
                hasher.update(data)
        stats.sha256 = hasher.hexdigest()


async def one_file(path: str) -> Stats | OSError:
    stats = Stats(path)
    try:
        await asyncio.gather(text_counts(path, stats), digest(path, stats))
    except OSError as exc:  # FileNotFoundError, PermissionError, IsADirectoryError...
        return exc
    return stats


async def main(paths: list[str]) -> int:
    failed = 0
    for outcome in await asyncio.gather(*(one_file(path) for path in paths)):
        if isinstance(outcome, OSError):
            print(f"{outcome.filename}: {outcome.strerror}", file=sys.stderr)
            failed += 1
        else:
            print(f"{outcome.lines:8} {outcome.words:8} {outcome.size:10} {outcome.sha256[:16]} {outcome.path}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1:])))
