"""Runs the same three programs written with kiln, aiofiles and anyio and prints
their lines of code and times: hashing a large file, 40,000 small reads and
writes across 100 files, and a cancelled read.

    python examples/compare/compare.py [--size MiB] [--runs N]

aiofiles and anyio are not dependencies of kiln: run this with an interpreter
that has all three installed (a throwaway venv will do). A library that is
missing is reported and skipped.
"""

import argparse
import importlib.util
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARIES = ["kiln", "aiofiles", "anyio"]
PROGRAMS = {"hash": "hash a large file", "small": "40,000 small reads and writes", "cancel": "a cancelled read"}


def lines_of_code(path):
    with open(path) as f:
        return sum(1 for line in f if line.strip() and not line.lstrip().startswith("#"))


def timed(argv, runs):
    best, output = float("inf"), ""
    for _ in range(runs):
        started = time.perf_counter()
        result = subprocess.run(argv, capture_output=True, text=True, timeout=600)
        took = time.perf_counter() - started
        if result.returncode != 0:
            return None, result.stderr.strip().splitlines()[-1]
        best, output = min(best, took), result.stdout.strip()
    return best, output


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=256, help="size of the file to hash in MiB (default 256)")
    parser.add_argument("--runs", type=int, default=3, help="runs of each program; the best counts (default 3)")
    args = parser.parse_args()
    present = [name for name in LIBRARIES if importlib.util.find_spec(name) is not None]
    for name in set(LIBRARIES) - set(present):
        print(f"{name} is not installed: skipped")
    with tempfile.TemporaryDirectory() as scratch:
        big = os.path.join(scratch, "big.bin")
        with open(big, "wb") as f:
            for _ in range(args.size):
                f.write(os.urandom(1 << 20))
        print(f"{'program':<32} {'library':<10} {'lines':>5} {'seconds':>8}  output")
        for program, title in PROGRAMS.items():
            for library in present:
                script = os.path.join(HERE, f"{program}_{library}.py")
                folder = tempfile.mkdtemp(dir=scratch)
                target = big if program != "small" else folder
                seconds, output = timed([sys.executable, script, target], args.runs)
                shown = f"{seconds:8.3f}" if seconds is not None else "  failed"
                print(f"{title:<32} {library:<10} {lines_of_code(script):>5} {shown}  {output[:60]}")


if __name__ == "__main__":
    main()
