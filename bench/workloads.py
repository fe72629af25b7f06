"""The workloads, their sizes, and the data files they run on."""

import os
import random
from dataclasses import dataclass, field

KIB = 1024
MIB = 1024 * KIB


@dataclass(frozen=True)
class Workload:
    name: str
    title: str
    kind: str          # read, write, files, responsive
    block: int = 0     # bytes per operation
    depth: int = 1     # operations in flight
    ops: int = 0       # operations per participant, round and pass over the offsets
    sequential: bool = False
    cold: bool = False  # the data file's pages are dropped from the cache before each run
    files: int = 0     # files: how many files, and ops per file and direction
    per_file: int = 0


@dataclass(frozen=True)
class Sizes:
    data_file: int
    workloads: list = field(default_factory=list)


def sizes(quick):
    """Every workload at its full or --quick size.

    Full sizes keep each participant's pass near a tenth of a second to a few
    seconds on a small machine (the fastest repeat theirs, see the runner), so
    that every round of every workload fits in a few minutes; --quick only
    proves that every path works.
    """
    if quick:
        data, reads, big, resp = 16 * MIB, 400, 16, 2 * MIB
        files, per_file = 10, 20
    else:
        data, reads, big, resp = 256 * MIB, 8000, 2048, 64 * MIB
        files, per_file = 100, 200
    return Sizes(data, [
        Workload("read-4k-d1", "4 KiB random reads, 1 in flight", "read", 4 * KIB, 1, reads // 2),
        Workload("read-4k-d8", "4 KiB random reads, 8 in flight", "read", 4 * KIB, 8, reads),
        Workload("read-4k-d64", "4 KiB random reads, 64 in flight", "read", 4 * KIB, 64, reads),
        Workload("read-4k-d64-cold", "4 KiB random reads, 64 in flight, pages dropped before each run", "read",
                 4 * KIB, 64, reads // 4, cold=True),
        Workload("read-1m-seq", "1 MiB sequential reads, 4 in flight", "read", MIB, 4, big, sequential=True),
        Workload("write-4k-d64", "4 KiB random writes, 64 in flight", "write", 4 * KIB, 64, reads),
        Workload("small-files", f"{files} files: {per_file} writes then {per_file} reads of 512 bytes each, verified",
                 "files", 512, files, 2 * files * per_file, files=files, per_file=per_file),
        Workload("responsive", f"1 ms heartbeat while 8 reads of {resp // MIB} MiB are in flight",
                 "responsive", resp, 8, 8),
    ] + fs_bench.workloads(quick))


def offsets(workload, data_size, seed):
    """The same offsets for every participant and round of a workload."""
    if workload.kind in fs_bench.FS_KINDS:
        return [0] * workload.ops  # calls on paths have no offsets
    if workload.kind == "responsive":
        return [(index * workload.block) % data_size for index in range(workload.ops)]
    blocks = data_size // workload.block
    if workload.sequential:
        return [(index % blocks) * workload.block for index in range(workload.ops)]
    rng = random.Random(seed)
    return [rng.randrange(blocks) * workload.block for _ in range(workload.ops)]


def make_data_file(path, size):
    """A file of random bytes, read once so that its pages are cached."""
    if not (os.path.exists(path) and os.path.getsize(path) == size):
        with open(path, "wb") as f:
            for _ in range(size // MIB):
                f.write(os.urandom(MIB))
    warm(path)


def drop_cache(path):
    """Takes the file's pages out of the cache, so that its reads wait for the disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def warm(path):
    with open(path, "rb", buffering=0) as f:
        while f.read(8 * MIB):
            pass


def small_file_payloads(workload, seed):
    """What each small file holds: distinct for every file, 512-byte pieces."""
    rng = random.Random(seed)
    blob = rng.randbytes(workload.block * workload.per_file + workload.files)
    size = workload.block * workload.per_file
    return [blob[index:index + size] for index in range(workload.files)]


import fs_bench  # noqa: E402 - its workloads are built from the Workload above
